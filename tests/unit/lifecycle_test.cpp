// Start-up order, the worker thread, and every way the process ends with its exit code.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LifecycleTest : public ProgramTest {
 protected:
  WindowHandle hostWindow() const {
    const auto windows = sim.windowsOfClass(text::kHostWindowClass);
    return windows.empty() ? 0 : windows.front();
  }
};

TEST_F(LifecycleTest, StartUpRunsTheWorkerToItsEndBeforeTheHideAndTheLoop) {
  const Desktop d = addWorkerWDesktop();
  sim.after(1, [&] {
    // The first thing after start-up: the flags are set, the pointer is still shown.
    EXPECT_EQ(program.itemsHidden, 1);
    EXPECT_EQ(program.autoHideSuspended, 0);
    EXPECT_TRUE(sim.cursorVisible());
    EXPECT_FALSE(sim.visible(d.listView));
    EXPECT_FALSE(sim.visible(d.taskbar));
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_THAT(sim.calls({"HeapAlloc", "CreateWindowExA", "SetTimer", "CreateThread", "OpenMutexA", "CreateMutexA",
                         "MessageBoxA", "Shell_NotifyIconA", "WaitForSingleObject", "CloseHandle", "ShowWindow"}),
              ElementsAre(call("HeapAlloc", sim::kProcessHeap, 0, 8), ::testing::StartsWith("CreateWindowExA("),
                          call("SetTimer", program.host.handle, 1, 300), call("SetTimer", program.host.handle, 2, 50),
                          call("CreateThread", nullptr, 0, nullptr, 0),
                          call("OpenMutexA", kMutexAllAccess, 1, "Lumeko"), call("CreateMutexA", nullptr, 0, "Lumeko"),
                          call("MessageBoxA", 0, "WIN10 Success!", text::kMessageTitle, kMbTaskModal),
                          ::testing::StartsWith("Shell_NotifyIconA(0, 88, "),
                          ::testing::StartsWith("WaitForSingleObject("), ::testing::StartsWith("CloseHandle("),
                          call("ShowWindow", d.listView, 0), call("ShowWindow", d.taskbar, 0),
                          // the end, with the window's destruction
                          call("Shell_NotifyIconA", kNimDelete, 88, program.host.handle, 100, 0, 0, 0, "")));
  // The worker thread's handle is waited on without end and closed.
  const auto waits = sim.calls({"WaitForSingleObject"});
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_THAT(waits[0], ::testing::EndsWith(", 4294967295)"));
  EXPECT_THAT(sim.calls({"CloseHandle"}), ::testing::SizeIs(1));
}

TEST_F(LifecycleTest, NoTickRunsDuringStartUpAndEachTimerDeliversOneTickAfterALongOne) {
  addWorkerWDesktop();
  std::uint64_t started = 0;
  sim.onMessageBox = [&](const sim::MessageBoxRecord&) {
    started = sim.now();
    sim.pumpFor(5000);  // the user reads the discovery message for 5 s
    sim.input();        // and presses OK
    return 1;
  };
  sim.at(100000 + 5001, [&] {
    // At 5001 ms both timers are long overdue; each has ticked exactly once since start-up.
    EXPECT_EQ(sim.calls({"GetLastInputInfo"}).size(), 1u);
    EXPECT_EQ(sim.calls({"GetAsyncKeyState"}).size(), 2u);  // one click tick: left, then right
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_EQ(started, 100000u);
  // The box was dismissed less than a second before the first idle tick, which shows all again.
  EXPECT_EQ(program.itemsHidden, 0);
}

TEST_F(LifecycleTest, AQuitMessageFromOutsideEndsWithItsCodeAndLeavesThingsHidden) {
  const Desktop d = addWorkerWDesktop();
  sim.setLastInputTime(100000);
  sim.at(100000 + 4000, [&] { sim.postQuit(7); });
  EXPECT_EQ(runProgram(), 7u);
  EXPECT_FALSE(sim.visible(d.listView));
  EXPECT_FALSE(sim.visible(d.taskbar));
  EXPECT_FALSE(sim.cursorVisible());  // hidden by the idle watcher at 3.3 s
  EXPECT_THAT(sim.trayIcons, IsEmpty());
  EXPECT_EQ(sim.liveHeapBlocks(), 0u);
  EXPECT_EQ(sim.liveIcons(), 0u);
  EXPECT_EQ(sim.liveMenus(), 0u);
  EXPECT_EQ(sim.moduleReferences("user32.dll"), 0);
  EXPECT_EQ(sim.moduleReferences("kernel32.dll"), 0);
  EXPECT_THAT(sim.calls({"HeapFree"}), ElementsAre(call("HeapFree", sim::kProcessHeap, 0, sim::kPtr)));
}

TEST_F(LifecycleTest, TheHostWindowClosedFromOutsideEndsWithZero) {
  const Desktop d = addWorkerWDesktop();
  sim.at(100000 + 200, [&] { sim.closeWindow(hostWindow()); });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_THAT(sim.trayIcons, IsEmpty());
  EXPECT_EQ(sim.liveHeapBlocks(), 0u);
  EXPECT_FALSE(sim.visible(d.taskbar));  // not shown again
  EXPECT_EQ(sim.calls({"DestroyWindow"}).size(), 1u);
}

TEST_F(LifecycleTest, NoMemoryForTheInputRecordIsFatalBeforeAnyWindow) {
  sim.heapFailures = 1;
  EXPECT_EQ(runProgram(), 0xFFFFFFFFu);
  ASSERT_EQ(sim.messageBoxes.size(), 1u);
  EXPECT_EQ(sim.messageBoxes[0].flags, kMbIconError | kMbTaskModal);
  EXPECT_THAT(sim.calls({"CreateWindowExA", "HeapFree", "CreateThread"}), IsEmpty());
}

TEST_F(LifecycleTest, NoHostWindowIsFatalAndRunsNoHandler) {
  addWorkerWDesktop();
  sim.failWindowCreation = true;
  EXPECT_EQ(runProgram(), 0xFFFFFFFFu);
  ASSERT_EQ(sim.messageBoxes.size(), 1u);
  EXPECT_EQ(sim.messageBoxes[0].text, text::kNoHostWindow);
  EXPECT_THAT(sim.calls({"SetTimer", "CreateThread", "HeapFree", "ShowWindow"}), IsEmpty());
}

TEST_F(LifecycleTest, AWorkerThatCannotStartLeavesEverythingButThePointerAlone) {
  const Desktop d = addWorkerWDesktop();
  sim.failThreadCreation = true;
  sim.setLastInputTime(100000);
  sim.at(100000 + 3500, [&] { sim.postQuit(3); });
  EXPECT_EQ(runProgram(), 3u);
  EXPECT_THAT(sim.calls({"OpenMutexA", "FindWindowExA", "Shell_NotifyIconA", "MessageBoxA"}), IsEmpty());
  EXPECT_THAT(sim.calls({"WaitForSingleObject", "CloseHandle"}),
              ElementsAre(call("WaitForSingleObject", 0, 4294967295u), call("CloseHandle", 0)));
  EXPECT_TRUE(sim.visible(d.taskbar));
  EXPECT_TRUE(sim.visible(d.listView));
  EXPECT_FALSE(sim.cursorVisible());  // the idle hide still reaches the pointer
}

TEST_F(LifecycleTest, ASecondInstanceIsRefusedOnTheWorkerWithZeroAndTouchesNothing) {
  const Desktop d = addWorkerWDesktop();
  sim.createNamedMutex("Lumeko");  // made by the running instance, or by anyone else
  EXPECT_EQ(runProgram(), 0u);
  ASSERT_EQ(sim.messageBoxes.size(), 1u);
  EXPECT_EQ(sim.messageBoxes[0].text, text::kSecondInstance);
  EXPECT_EQ(sim.messageBoxes[0].title, text::kMessageTitle);
  EXPECT_NE(sim.messageBoxes[0].threadId, sim.guiThreadId());
  EXPECT_THAT(
      sim.calls({"CreateMutexA", "ShowWindow", "Shell_NotifyIconA", "FindWindowExA", "DestroyWindow", "HeapFree"}),
      IsEmpty());
  EXPECT_TRUE(sim.visible(d.taskbar));
}

TEST_F(LifecycleTest, AfterTheFirstInstanceEndsANewOneStarts) {
  addWorkerWDesktop();
  sim.after(10, [&] { sim.postQuit(0); });
  EXPECT_EQ(runProgram(), 0u);
  sim.releaseMutexesOfProcess();  // the first process is gone, and its mutex with it
  Program second{sim};
  sim.messageBoxes.clear();
  sim.after(10, [&] { sim.postQuit(0); });
  EXPECT_EQ(sim.runToExit([&] { second.run(); }), 0u);
  ASSERT_EQ(sim.messageBoxes.size(), 1u);
  EXPECT_EQ(sim.messageBoxes[0].text, text::kWin10Success);
}

}  // namespace
}  // namespace vantorel::test
