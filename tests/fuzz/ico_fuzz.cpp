// Feeds arbitrary bytes to the code that turns .ico bytes into the tray icon. Bytes that are no
// usable picture must give no icon and touch nothing outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/program.h"
#include "sim/sim_windows.h"

namespace {

struct Harness {
  vantorel::sim::SimWindows sim;
  vantorel::Program program{sim};
  Harness() {
    sim.logEnabled = false;
    program.host.handle = sim.addWindow(0, "Host", "");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness h;
  vantorel::IcoImage image;
  if (vantorel::locateIcoImage(data, size, &image)) {
    // The image, and the header fields read from it, lie wholly inside the input.
    if (image.bytes < data || image.size < 40 || image.bytes + image.size > data + size) {
      std::abort();
    }
  }
  h.program.setTrayIcon(data, size, "Vantorel");
  if (h.sim.liveIcons() > 1 || h.sim.trayIcons.size() > 1) {
    std::abort();
  }
  h.program.applyTrayIcon(0, nullptr);
  if (h.sim.liveIcons() != 0 || !h.sim.trayIcons.empty()) {
    std::abort();
  }
  h.sim.notifyCalls.clear();  // kept by the simulator for tests; here it would only grow
  return 0;
}
