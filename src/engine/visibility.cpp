// The one place that switches the shell's pieces and the pointer off and on, and the version probe.
#include "app/program.h"
#include "platform/constants.h"

namespace vantorel {

namespace {

constexpr std::uintptr_t kMajorVersionOffset = 0xA4;
constexpr std::uintptr_t kMinorVersionOffset = 0xA8;
constexpr std::uintptr_t kExpectedBlockRegion = 7;  // the block lies in 0x70000000–0x7FFFFFFF

}  // namespace

void Program::hideAll(bool includePointer) {
  externals.showWindow(shellTargets.desktopListView, kSwHide);
  externals.showWindow(shellTargets.taskbarWindow, kSwHide);
  if (includePointer) {
    externals.showSystemCursor(0);
  }
  if (probeWindowsVersion() == kWindows7) {
    externals.showWindow(shellTargets.startButtonWindow, kSwHide);
  }
}

void Program::showAll() {
  externals.showWindow(shellTargets.desktopListView, kSwShowNormal);
  externals.showWindow(shellTargets.taskbarWindow, kSwShowNormal);
  externals.showSystemCursor(1);
  if (probeWindowsVersion() == kWindows7) {
    externals.showWindow(shellTargets.startButtonWindow, kSwShowNormal);
  }
}

WindowsVersionCode Program::probeWindowsVersion() {
  const std::uintptr_t block = win.processEnvironmentBlock();
  if ((block >> 28) != kExpectedBlockRegion) {
    return 0;
  }
  const std::uint32_t major = win.readMemory32(block + kMajorVersionOffset);
  const std::uint32_t minor = win.readMemory32(block + kMinorVersionOffset);
  return static_cast<WindowsVersionCode>(major * 10 + minor);
}

}  // namespace vantorel
