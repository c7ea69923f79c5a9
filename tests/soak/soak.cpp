// A seeded, reproducible long run of the whole program on the simulated Windows, with random input,
// checking the program's promises after every event.
//
//   vantorel_soak [--hours H] [--seed S]
//
// Prints the figures of the run; exits 1 on the first broken promise (with what broke and when).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "app/program.h"
#include "platform/constants.h"
#include "platform/texts.h"
#include "sim/sim_windows.h"

namespace vantorel::soak {
namespace {

using sim::SimWindows;

struct Figures {
  std::uint64_t events = 0;
  std::uint64_t checks = 0;
  std::uint64_t inputs = 0;
  std::uint64_t clicks = 0;
  std::uint64_t toggles = 0;
  std::uint64_t popups = 0;
  std::uint64_t hides = 0;
};

class Soak {
 public:
  Soak(double hours, std::uint32_t seed)
      : end_(sim::kStartTime + static_cast<std::uint64_t>(hours * 3600000.0)), random_(seed) {
    sim_.logEnabled = false;
    sim_.clockLimit = end_ + 60000;
    listView_ = sim_.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
    const WindowHandle defView = sim_.addWindow(listView_, text::kDefViewClass, "");
    listView_ = sim_.addWindow(defView, text::kListViewClass, text::kListViewTitle);
    taskbar_ = sim_.addWindow(0, text::kTaskbarClass, "");
    sim_.setLastInputTime(static_cast<std::uint32_t>(sim::kStartTime));
    sim_.onPopup = [this](const sim::PopupRecord&) {
      // Between popups only the window's menu bar (with its popup) exists; now the tray popup too.
      expect(sim_.liveMenus() == 3, "the popup menu is not the only extra menu while it is open");
      return choice_;
    };
  }

  int run() {
    const auto started = std::chrono::steady_clock::now();
    sim_.at(sim::kStartTime + 1, [this] {
      heapBlocks_ = sim_.liveHeapBlocks();
      schedule(sim_.now64());
    });
    const auto code = sim_.runToExit([this] { program_.run(); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const WindowHandle host = program_.host.handle;
    std::printf("soak: %.2f h of virtual time in %.2f s (seed %u)\n",
                static_cast<double>(sim_.now64() - sim::kStartTime) / 3600000.0, seconds, seed_);
    std::printf(
        "soak: %llu events, %llu checks, %llu inputs, %llu clicks, %llu toggles, %llu popups, "
        "%llu idle hides\n",
        ull(figures_.events), ull(figures_.checks), ull(figures_.inputs), ull(figures_.clicks), ull(figures_.toggles),
        ull(figures_.popups), ull(figures_.hides));
    std::printf(
        "soak: %zu idle ticks, %zu click ticks, heap blocks %zu at the start and %zu at the end of the "
        "loop\n",
        sim_.timerTickCount(host, 1), sim_.timerTickCount(host, 2), heapBlocks_, heapBlocksAtEnd_);
    if (!failure_.empty()) {
      std::printf("soak: FAILED at %llu ms: %s\n", ull(failedAt_ - sim::kStartTime), failure_.c_str());
      return 1;
    }
    if (code != 0u) {
      std::printf("soak: FAILED: the program ended with %u\n", code.value_or(9999));
      return 1;
    }
    std::printf("soak: all checks held\n");
    return 0;
  }

  void seed(std::uint32_t s) { seed_ = s; }

 private:
  static unsigned long long ull(std::uint64_t v) { return v; }

  void expect(bool condition, const char* what) {
    ++figures_.checks;
    if (!condition && failure_.empty()) {
      failure_ = what;
      failedAt_ = sim_.now64();
      sim_.postQuit(1);
    }
  }

  bool shellHidden() const { return !sim_.visible(listView_) && !sim_.visible(taskbar_); }
  bool shellShown() const { return sim_.visible(listView_) && sim_.visible(taskbar_); }

  // What holds between events, whatever came before.
  void checkInvariants() {
    const bool suspended = program_.autoHideSuspended == 1;
    if (sim_.cursorHideCalls != hidesWhenSuspendedWhileHidden_) {
      suspendedWhileHidden_ = false;  // the idle watcher has hidden everything since
    }
    if (program_.itemsHidden == 0) {
      expect(shellShown() && sim_.cursorVisible(), "shown state: something is still hidden");
      suspendedWhileHidden_ = false;
    } else if (suspendedWhileHidden_) {
      // Suspended (or resumed) while hidden: all is shown though the flag still says hidden.
      expect(shellShown() && sim_.cursorVisible(), "suspended while hidden: something is hidden");
    } else {
      expect(shellHidden(), "hidden state: the shell is visible");
    }
    if (suspended) {
      expect(shellShown() && sim_.cursorVisible(), "suspended: something is hidden");
    }
    expect(sim_.liveIcons() <= 1, "more than one tray icon handle");
    expect(sim_.trayIcons.size() == 1, "the tray icon is missing");
    expect(sim_.liveMenus() == 2, "a popup menu outlived its popup");
    expect(sim_.liveHeapBlocks() == heapBlocks_, "heap blocks grew");
    expect(sim_.openMessageBoxes == 0, "a message box is open");
  }

  std::uint32_t clickPeriod() const { return static_cast<std::uint32_t>(program_.host.clickTimer.periodMs); }

  // Picks the next event and the gap before it.
  void schedule(std::uint64_t now) {
    if (now >= end_) {
      sim_.at(now, [this] {
        heapBlocksAtEnd_ = sim_.liveHeapBlocks();
        sim_.postQuit(0);
      });
      return;
    }
    std::uint64_t gap;
    switch (random_() % 4) {
      case 0:
        gap = 950 + random_() % 100;
        break;  // around the show threshold
      case 1:
        gap = 2950 + random_() % 100;
        break;  // around the hide threshold
      case 2:
        gap = 3100 + random_() % 5000;
        break;  // long enough to hide
      default:
        gap = 1 + random_() % 800;
        break;  // busy input
    }
    sim_.at(now + gap, [this] { event(); });
  }

  void event() {
    ++figures_.events;
    checkInvariants();
    const std::uint64_t now = sim_.now64();
    const bool suspended = program_.autoHideSuspended == 1;
    const std::uint32_t kind = random_() % 100;
    // The next event comes only after this one's check, so that nothing else decides its outcome.
    std::uint64_t settled = now + 2;
    if (kind < 45) {
      ++figures_.inputs;
      sim_.input();
      if (!suspended) {
        // The idle watcher's next tick (within its period) sees the input and brings all back.
        sim_.at(now + 301, [this] {
          expect(program_.itemsHidden == 0 && shellShown() && sim_.cursorVisible(),
                 "input did not bring everything back within one idle tick");
        });
        settled = now + 302;
      }
    } else if (kind < 80) {
      ++figures_.clicks;
      sim_.press(random_() % 2 == 0 ? kVkLButton : kVkRButton);
      if (!suspended) {
        const std::uint32_t period = clickPeriod();
        sim_.at(now + period + 1, [this] {
          expect(program_.itemsHidden == 0 && shellShown() && sim_.cursorVisible(),
                 "a click did not bring everything back within one click period");
        });
        settled = now + period + 2;
      }
    } else if (kind < 90) {
      ++figures_.toggles;
      ++figures_.popups;
      if (program_.autoHideSuspended == 0 && program_.itemsHidden == 1) {
        suspendedWhileHidden_ = true;
        hidesWhenSuspendedWhileHidden_ = sim_.cursorHideCalls;
      }
      choice_ = kMenuCommandBase + static_cast<std::uint32_t>(kToggleEntry);
      sim_.clickTrayIcon(program_.host.handle, kTrayIconId, kWmRButtonUp);
    } else if (kind < 95) {
      ++figures_.popups;
      choice_ = 0;
      sim_.clickTrayIcon(program_.host.handle, kTrayIconId, kWmRButtonUp);
    } else {
      // A quiet spell long enough for the idle watcher to hide everything.
      if (!suspended && !suspendedWhileHidden_) {
        ++figures_.hides;
        sim_.at(now + 3000 + 300 + 1, [this] {
          expect(program_.itemsHidden == 1 && shellHidden() && !sim_.cursorVisible(),
                 "3.3 s without input did not hide everything");
          checkInvariants();
          schedule(sim_.now64());
        });
        return;
      }
    }
    sim_.at(settled, [this] { checkInvariants(); });
    schedule(settled);
  }

  SimWindows sim_;
  Program program_{sim_};
  std::uint64_t end_;
  std::mt19937 random_;
  std::uint32_t seed_ = 0;
  WindowHandle listView_ = 0;
  WindowHandle taskbar_ = 0;
  std::uint32_t choice_ = 0;
  bool suspendedWhileHidden_ = false;
  int hidesWhenSuspendedWhileHidden_ = 0;
  std::size_t heapBlocks_ = 0;
  std::size_t heapBlocksAtEnd_ = 0;
  Figures figures_;
  std::string failure_;
  std::uint64_t failedAt_ = 0;
};

}  // namespace
}  // namespace vantorel::soak

int main(int argc, char** argv) {
  double hours = 24.0;
  std::uint32_t seed = 20261211;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--hours") == 0) {
      hours = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--seed") == 0) {
      seed = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: vantorel_soak [--hours H] [--seed S]\n");
      return 2;
    }
  }
  vantorel::soak::Soak soak(hours, seed);
  soak.seed(seed);
  return soak.run();
}
