// Finding the desktop icon view, the taskbar and the Windows 7 start button on each desktop layout.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What discovery should find on one layout; the handles are filled in by the layout builder.
struct Found {
  WindowHandle listView = 0;
  WindowHandle taskbar = 0;
  WindowHandle startButton = 0;
};

struct DiscoveryCase {
  const char* name;
  std::uint32_t major;
  std::uint32_t minor;
  Found (*layout)(sim::SimWindows&);
  std::vector<std::string> messages;
};

Found workerWLayout(sim::SimWindows& s) {
  s.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
  s.addWindow(0, text::kWorkerWClass, "");
  const WindowHandle worker = s.addWindow(0, text::kWorkerWClass, "");
  const WindowHandle defView = s.addWindow(worker, text::kDefViewClass, "");
  return {s.addWindow(defView, text::kListViewClass, text::kListViewTitle), s.addWindow(0, text::kTaskbarClass, "")};
}

Found progmanLayout(sim::SimWindows& s) {
  const WindowHandle progman = s.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
  const WindowHandle defView = s.addWindow(progman, text::kDefViewClass, "");
  const WindowHandle listView = s.addWindow(defView, text::kListViewClass, text::kListViewTitle);
  s.addWindow(0, text::kWorkerWClass, "");
  s.addWindow(0, text::kWorkerWClass, "");
  return {listView, s.addWindow(0, text::kTaskbarClass, "")};
}

Found windows7Layout(sim::SimWindows& s) {
  Found f = progmanLayout(s);
  f.startButton = s.addWindow(0, text::kButtonClass, text::kStartButton);
  return f;
}

Found windows7WithoutListView(sim::SimWindows& s) {
  const WindowHandle progman = s.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
  s.addWindow(progman, text::kDefViewClass, "");
  return {0, s.addWindow(0, text::kTaskbarClass, ""), s.addWindow(0, text::kButtonClass, text::kStartButton)};
}

Found workerWDefViewWithoutListView(sim::SimWindows& s) {
  // A list view under Program Manager too: it must not be looked for once a WorkerW held a DefView.
  const WindowHandle progman = s.addWindow(0, text::kProgmanClass, text::kProgmanTitle);
  const WindowHandle defView = s.addWindow(progman, text::kDefViewClass, "");
  s.addWindow(defView, text::kListViewClass, text::kListViewTitle);
  const WindowHandle worker = s.addWindow(0, text::kWorkerWClass, "");
  s.addWindow(worker, text::kDefViewClass, "");
  return {0, s.addWindow(0, text::kTaskbarClass, "")};
}

Found topLevelDefView(sim::SimWindows& s) {
  // The search with a cursor of 0 after the last WorkerW looks at the top-level windows.
  s.addWindow(0, text::kWorkerWClass, "");
  const WindowHandle defView = s.addWindow(0, text::kDefViewClass, "");
  return {s.addWindow(defView, text::kListViewClass, text::kListViewTitle), s.addWindow(0, text::kTaskbarClass, "")};
}

Found noTaskbar(sim::SimWindows& s) {
  Found f = workerWLayout(s);
  s.removeWindow(f.taskbar);
  f.taskbar = 0;
  return f;
}

Found startButtonOnLaterVersion(sim::SimWindows& s) {
  Found f = workerWLayout(s);
  s.addWindow(0, text::kButtonClass, text::kStartButton);  // only looked for on Windows 7
  return f;
}

Found nothing(sim::SimWindows&) { return {}; }

class DiscoveryTest : public ProgramTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(DiscoveryTest, FindsTheTargetsAndSaysWhatItFound) {
  const DiscoveryCase& c = GetParam();
  sim.setWindowsVersion(c.major, c.minor);
  const Found expected = c.layout(sim);
  program.discoverShellWindows();
  EXPECT_EQ(program.shellTargets.desktopListView, expected.listView);
  EXPECT_EQ(program.shellTargets.taskbarWindow, expected.taskbar);
  EXPECT_EQ(program.shellTargets.startButtonWindow, expected.startButton);
  std::vector<std::string> messages;
  for (const auto& box : sim.messageBoxes) {
    EXPECT_EQ(box.title, text::kMessageTitle);
    EXPECT_EQ(box.flags, kMbTaskModal);
    EXPECT_EQ(box.owner, 0u);
    messages.push_back(box.text);
  }
  EXPECT_EQ(messages, c.messages);
  // The taskbar is asked for by class alone.
  EXPECT_EQ(sim.calls({"FindWindowA"}).back(), call("FindWindowA", text::kTaskbarClass, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DiscoveryTest,
    ::testing::Values(DiscoveryCase{"defViewUnderWorkerW", 10, 0, workerWLayout, {"WIN10 Success!"}},
                      DiscoveryCase{"defViewUnderProgmanOnALaterVersion", 10, 0, progmanLayout, {"Success!"}},
                      DiscoveryCase{"windows7", 6, 1, windows7Layout, {"Success!"}},
                      DiscoveryCase{"windows7WithoutListView", 6, 1, windows7WithoutListView, {}},
                      DiscoveryCase{
                          "workerWDefViewWithoutListView", 10, 0, workerWDefViewWithoutListView, {"WIN10 Success!"}},
                      DiscoveryCase{"topLevelDefView", 6, 2, topLevelDefView, {"WIN10 Success!"}},
                      DiscoveryCase{"noTaskbar", 10, 0, noTaskbar, {"WIN10 Success!"}},
                      DiscoveryCase{"startButtonOnLaterVersion", 6, 3, startButtonOnLaterVersion, {"WIN10 Success!"}},
                      DiscoveryCase{"nothingAtAll", 10, 0, nothing, {}},
                      DiscoveryCase{"nothingAtAllOnWindows7", 6, 1, nothing, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoveryTest, OnALaterVersionEveryWorkerWIsSearchedThenTheTopLevelThenProgramManager) {
  const Found f = progmanLayout(sim);
  const auto workers = sim.windowsOfClass(text::kWorkerWClass);
  ASSERT_EQ(workers.size(), 2u);
  const WindowHandle desk = sim.desktop();
  program.discoverShellWindows();
  const auto progman = sim.windowsOfClass(text::kProgmanClass).at(0);
  const auto defView = sim.windowsOfClass(text::kDefViewClass).at(0);
  EXPECT_THAT(sim.calls({"GetDesktopWindow", "FindWindowExA", "FindWindowA"}),
              ElementsAre(call("GetDesktopWindow"),  //
                          call("FindWindowExA", desk, 0, "WorkerW", ""),
                          call("FindWindowExA", workers[0], 0, "SHELLDLL_DefView", ""),
                          call("FindWindowExA", desk, workers[0], "WorkerW", ""),
                          call("FindWindowExA", workers[1], 0, "SHELLDLL_DefView", ""),
                          call("FindWindowExA", desk, workers[1], "WorkerW", ""),
                          call("FindWindowExA", 0, 0, "SHELLDLL_DefView", ""),  // cursor 0: the top level
                          call("FindWindowA", "Progman", "Program Manager"),
                          call("FindWindowExA", progman, 0, "SHELLDLL_DefView", ""),
                          call("FindWindowExA", defView, 0, "SysListView32", "FolderView"),
                          call("FindWindowA", "Shell_TrayWnd", nullptr)));
  EXPECT_EQ(program.shellTargets.desktopListView, f.listView);
}

TEST_F(DiscoveryTest, OnWindows7ProgramManagerIsLookedUpTwiceAndSuccessShownOnce) {
  sim.setWindowsVersion(6, 1);
  windows7Layout(sim);
  program.discoverShellWindows();
  EXPECT_EQ(sim.calls({"FindWindowA"}),
            (std::vector<std::string>{
                call("FindWindowA", "Progman", "Program Manager"), call("FindWindowA", "Button", text::kStartButton),
                call("FindWindowA", "Progman", "Program Manager"), call("FindWindowA", "Shell_TrayWnd", nullptr)}));
  EXPECT_THAT(sim.calls({"GetDesktopWindow"}), IsEmpty());
  EXPECT_EQ(sim.messageBoxes.size(), 1u);
}

}  // namespace
}  // namespace vantorel::test
