// The table of external functions: binding by name, fatal ends, and the pointer's fallback route.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ExternalsTest : public ProgramTest {
 protected:
  Externals& externals = program.externals;

  void callEveryEntryButThePointer() {
    LastInputInfo info{8, 0};
    externals.getLastInputInfo(&info);
    externals.showWindow(0, kSwHide);
    externals.waitForSingleObject(0, 0);
    externals.openMutexA(kMutexAllAccess, 1, "x");
    externals.createMutexA(nullptr, 0, "x");
    externals.getDesktopWindow();
    externals.findWindowExA(0, 0, "a", "");
    externals.findWindowA("a", "b");
    externals.findWindowAnyTitle("a");
    externals.getAsyncKeyState(kVkLButton);
  }
};

TEST_F(ExternalsTest, EachEntryIsBoundOnceFromTheSystemDirectoryByItsDeclaredLibrary) {
  callEveryEntryButThePointer();
  callEveryEntryButThePointer();
  EXPECT_THAT(
      sim.calls({"LoadLibraryExA", "GetProcAddress"}),
      ElementsAre(
          call("LoadLibraryExA", "User32.dll", 2048), call("GetProcAddress", "user32.dll", "GetLastInputInfo"),
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "ShowWindow"),
          call("LoadLibraryExA", "kernel32.dll", 2048), call("GetProcAddress", "kernel32.dll", "WaitForSingleObject"),
          call("LoadLibraryExA", "Kernel32", 2048), call("GetProcAddress", "kernel32.dll", "OpenMutexA"),
          call("LoadLibraryExA", "kernel32.dll", 2048), call("GetProcAddress", "kernel32.dll", "CreateMutexA"),
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "GetDesktopWindow"),
          // The entries declared without a library bind in user32.dll; the two
          // FindWindowA entries each bind on their own.
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "FindWindowExA"),
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "FindWindowA"),
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "FindWindowA"),
          call("LoadLibraryExA", "user32.dll", 2048), call("GetProcAddress", "user32.dll", "GetAsyncKeyState")));
  EXPECT_EQ(sim.calls({"FindWindowA"}),
            (std::vector<std::string>{call("FindWindowA", "a", "b"), call("FindWindowA", "a", nullptr),
                                      call("FindWindowA", "a", "b"), call("FindWindowA", "a", nullptr)}));
  externals.releaseModules();
  EXPECT_EQ(sim.moduleReferences("user32.dll"), 0);
  EXPECT_EQ(sim.moduleReferences("kernel32.dll"), 0);
}

struct CursorCase {
  const char* name;
  bool user32Export;
  bool magnification;
  CursorRoute route;
  std::vector<std::string> calls;
  bool pointerHidden;
};

class CursorRouteTest : public ExternalsTest, public ::testing::WithParamInterface<CursorCase> {};

TEST_P(CursorRouteTest, ThePointerTakesTheRouteThatExistsAndNeverEndsTheProgram) {
  const CursorCase& c = GetParam();
  if (!c.user32Export) sim.removeExport("user32.dll", "ShowSystemCursor");
  if (!c.magnification) sim.removeLibrary("magnification.dll");
  EXPECT_EQ(sim.runToExit([&] {
    externals.showSystemCursor(1);
    externals.showSystemCursor(0);
  }),
            std::nullopt);
  EXPECT_EQ(externals.cursorRoute(), c.route);
  EXPECT_EQ(sim.calls({"LoadLibraryExA", "GetProcAddress", "ShowSystemCursor", "MagInitialize", "MagShowSystemCursor"}),
            c.calls);
  EXPECT_EQ(sim.cursorVisible(), !c.pointerHidden);
  EXPECT_THAT(sim.messageBoxes, IsEmpty());
  externals.releaseModules();
  EXPECT_EQ(sim.moduleReferences("user32.dll"), 0);
  EXPECT_EQ(sim.moduleReferences("magnification.dll"), 0);
}

INSTANTIATE_TEST_SUITE_P(Routes, CursorRouteTest,
                         ::testing::Values(CursorCase{"user32",
                                                      true,
                                                      true,
                                                      CursorRoute::kUser32,
                                                      {call("LoadLibraryExA", "user32.dll", 2048),
                                                       call("GetProcAddress", "user32.dll", "ShowSystemCursor"),
                                                       call("ShowSystemCursor", 1), call("ShowSystemCursor", 0)},
                                                      true},
                                           CursorCase{
                                               "magnification",
                                               false,
                                               true,
                                               CursorRoute::kMagnification,
                                               {call("LoadLibraryExA", "user32.dll", 2048),
                                                call("GetProcAddress", "user32.dll", "ShowSystemCursor"),
                                                call("LoadLibraryExA", "Magnification.dll", 2048),
                                                call("GetProcAddress", "magnification.dll", "MagInitialize"),
                                                call("GetProcAddress", "magnification.dll", "MagShowSystemCursor"),
                                                call("MagInitialize"), call("MagShowSystemCursor", 1),
                                                call("MagShowSystemCursor", 0)},
                                               true},
                                           CursorCase{"none",
                                                      false,
                                                      false,
                                                      CursorRoute::kNone,
                                                      {call("LoadLibraryExA", "user32.dll", 2048),
                                                       call("GetProcAddress", "user32.dll", "ShowSystemCursor"),
                                                       call("LoadLibraryExA", "Magnification.dll", 2048)},
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A whole run whose click watcher meets a function the system lacks.
TEST_F(ExternalsTest, AMissingFunctionEndsWithAnErrorBoxThatNamesItAndMinusOne) {
  addProgmanDesktop();
  sim.removeExport("user32.dll", "GetAsyncKeyState");
  std::size_t idleTicksBeforeBox = 0;
  std::size_t idleTicksAfterBox = 0;
  sim.onMessageBox = [&](const sim::MessageBoxRecord& box) {
    if ((box.flags & kMbIconError) != 0) {
      idleTicksBeforeBox = sim.calls({"GetLastInputInfo"}).size();
      sim.pumpFor(2000);  // ticks fall due while the box is open; none may reach a watcher
      idleTicksAfterBox = sim.calls({"GetLastInputInfo"}).size();
    }
    return 1;
  };
  EXPECT_EQ(runProgram(), 0xFFFFFFFFu);
  ASSERT_EQ(sim.messageBoxes.size(), 2u);  // "Success!" from discovery, then the error
  const sim::MessageBoxRecord& box = sim.messageBoxes[1];
  EXPECT_THAT(box.text, HasSubstr("user32.dll"));
  EXPECT_THAT(box.text, HasSubstr("GetAsyncKeyState"));
  EXPECT_EQ(box.title, text::kMessageTitle);
  EXPECT_EQ(box.flags, kMbIconError | kMbTaskModal);
  EXPECT_EQ(box.threadId, sim.guiThreadId());
  EXPECT_EQ(idleTicksAfterBox, idleTicksBeforeBox);
  // The clean-up list is dropped unrun; the window still goes, with its tray icon.
  EXPECT_THAT(sim.calls({"HeapFree"}), IsEmpty());
  EXPECT_THAT(sim.trayIcons, IsEmpty());
  EXPECT_EQ(sim.liveIcons(), 0u);
}

TEST_F(ExternalsTest, AMissingLibraryOnTheWorkerEndsAtOnceThere) {
  addProgmanDesktop();
  sim.removeLibrary("kernel32.dll");
  EXPECT_EQ(runProgram(), 0xFFFFFFFFu);
  ASSERT_EQ(sim.messageBoxes.size(), 1u);
  EXPECT_THAT(sim.messageBoxes[0].text, HasSubstr("Kernel32"));
  EXPECT_THAT(sim.messageBoxes[0].text, HasSubstr("OpenMutexA"));
  EXPECT_NE(sim.messageBoxes[0].threadId, sim.guiThreadId());
  // Nothing else runs on that end: the window is not destroyed, nothing is freed or hidden.
  EXPECT_THAT(sim.calls({"DestroyWindow", "HeapFree", "ShowWindow", "FreeLibrary"}), IsEmpty());
}

TEST_F(ExternalsTest, AnUnbalancedCallIsFatal) {
  const Desktop d = addProgmanDesktop();
  sim.unbalance("ShowWindow");
  EXPECT_EQ(runProgram(), 0xFFFFFFFFu);
  ASSERT_EQ(sim.messageBoxes.size(), 2u);
  EXPECT_THAT(sim.messageBoxes[1].text, HasSubstr("ShowWindow"));
  // The start-up hide's first call was made and found unbalanced; nothing after it.
  EXPECT_THAT(sim.calls({"ShowWindow"}), ElementsAre(call("ShowWindow", d.listView, 0)));
  EXPECT_THAT(sim.calls({"HeapFree"}), IsEmpty());
}

}  // namespace
}  // namespace vantorel::test
