#include "app/program.h"
#include "platform/texts.h"

namespace vantorel {

void Program::discoverShellWindows() {
  DiscoveryHandles& d = discovery;
  if (probeWindowsVersion() != kWindows7) {
    d.desktop = externals.getDesktopWindow();
    // Every "WorkerW" is searched, and once more with a cursor of 0 after the last one, which
    // searches the top-level windows themselves.
    do {
      d.workerWCursor = externals.findWindowExA(d.desktop, d.workerWCursor, text::kWorkerWClass, text::kEmpty);
      d.defViewUnderWorkerW = externals.findWindowExA(d.workerWCursor, 0, text::kDefViewClass, text::kEmpty);
      if (d.defViewUnderWorkerW != 0) {
        shellTargets.desktopListView =
            externals.findWindowExA(d.defViewUnderWorkerW, 0, text::kListViewClass, text::kListViewTitle);
        showMessage(text::kWin10Success);
        break;
      }
    } while (d.workerWCursor != 0);
  } else {
    d.programManager = externals.findWindowA(text::kProgmanClass, text::kProgmanTitle);
    d.programManagerDefView = externals.findWindowExA(d.programManager, 0, text::kDefViewClass, text::kEmpty);
    shellTargets.desktopListView =
        externals.findWindowExA(d.programManagerDefView, 0, text::kListViewClass, text::kListViewTitle);
    shellTargets.startButtonWindow = externals.findWindowA(text::kButtonClass, text::kStartButton);
  }

  if (d.defViewUnderWorkerW == 0) {
    d.programManager = externals.findWindowA(text::kProgmanClass, text::kProgmanTitle);
    d.programManagerDefView = externals.findWindowExA(d.programManager, 0, text::kDefViewClass, text::kEmpty);
    shellTargets.desktopListView =
        externals.findWindowExA(d.programManagerDefView, 0, text::kListViewClass, text::kListViewTitle);
    if (shellTargets.desktopListView != 0) {
      showMessage(text::kSuccess);
    }
  }

  shellTargets.taskbarWindow = externals.findWindowAnyTitle(text::kTaskbarClass);
}

}  // namespace vantorel
