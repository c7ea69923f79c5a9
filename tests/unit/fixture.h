// A fresh program on a fresh simulated Windows, with helpers to lay out shell desktops.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/program.h"
#include "platform/constants.h"
#include "platform/texts.h"
#include "sim/sim_windows.h"

namespace vantorel::test {

using sim::call;

// The shell windows of one simulated desktop.
struct Desktop {
  WindowHandle progman = 0;
  WindowHandle defView = 0;
  WindowHandle listView = 0;
  WindowHandle taskbar = 0;
  WindowHandle startButton = 0;
};

class ProgramTest : public ::testing::Test {
 protected:
  sim::SimWindows sim;
  Program program{sim};

  // Windows 10 style: an empty WorkerW, then the WorkerW that holds the DefView with its list view.
  Desktop addWorkerWDesktop() {
    Desktop d;
    d.progman = sim.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
    sim.addWindow(0, text::kWorkerWClass, "");
    const WindowHandle worker = sim.addWindow(0, text::kWorkerWClass, "");
    d.defView = sim.addWindow(worker, text::kDefViewClass, "");
    d.listView = sim.addWindow(d.defView, text::kListViewClass, text::kListViewTitle);
    d.taskbar = sim.addWindow(0, text::kTaskbarClass, "");
    return d;
  }

  // The DefView under Program Manager, as on Windows 7 and on later versions before any WorkerW exists.
  Desktop addProgmanDesktop(bool withStartButton = false) {
    Desktop d;
    d.progman = sim.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
    d.defView = sim.addWindow(d.progman, text::kDefViewClass, "");
    d.listView = sim.addWindow(d.defView, text::kListViewClass, text::kListViewTitle);
    sim.addWindow(0, text::kWorkerWClass, "");
    d.taskbar = sim.addWindow(0, text::kTaskbarClass, "");
    if (withStartButton) {
      d.startButton = sim.addWindow(0, text::kButtonClass, text::kStartButton);
    }
    return d;
  }

  // Runs the whole process until it exits; the code it exited with.
  std::optional<std::uint32_t> runProgram() {
    return sim.runToExit([this] { program.run(); });
  }

  // The program's state as start-up leaves it, without running the start-up itself: the record
  // allocated, the targets found, the host window's entries as declared.
  void prepareHandlers(const Desktop& d) {
    program.guiThreadId = sim.guiThreadId();
    program.lastInputInfo = &lastInput;
    program.shellTargets.desktopListView = d.listView;
    program.shellTargets.taskbarWindow = d.taskbar;
    program.shellTargets.startButtonWindow = d.startButton;
  }

  std::vector<std::string> showCalls() const {
    return sim.calls({"ShowWindow", "ShowSystemCursor", "MagShowSystemCursor"});
  }

  LastInputInfo lastInput;
};

}  // namespace vantorel::test
