// The visibility controller, the version probe, and the idle and click watchers.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EngineTest : public ProgramTest {
 protected:
  void SetUp() override {
    desktop = addProgmanDesktop(/*withStartButton=*/true);
    prepareHandlers(desktop);
  }
  Desktop desktop;
};

// ---- hideAll / showAll ----

TEST_F(EngineTest, HideAndShowIssueTheirCallsInOrderOnLaterVersions) {
  sim.setWindowsVersion(10, 0);
  program.hideAll(true);
  program.hideAll(false);
  program.showAll();
  EXPECT_THAT(showCalls(), ElementsAre(call("ShowWindow", desktop.listView, 0), call("ShowWindow", desktop.taskbar, 0),
                                       call("ShowSystemCursor", 0),  //
                                       call("ShowWindow", desktop.listView, 0), call("ShowWindow", desktop.taskbar, 0),
                                       call("ShowWindow", desktop.listView, 1), call("ShowWindow", desktop.taskbar, 1),
                                       call("ShowSystemCursor", 1)));
  // The start button is never touched off Windows 7, whatever its handle holds.
  EXPECT_TRUE(sim.visible(desktop.startButton));
}

TEST_F(EngineTest, OnWindows7TheStartButtonFollowsTheOthers) {
  sim.setWindowsVersion(6, 1);
  program.hideAll(false);
  EXPECT_FALSE(sim.visible(desktop.startButton));
  EXPECT_TRUE(sim.cursorVisible());
  program.showAll();
  EXPECT_THAT(showCalls(), ElementsAre(call("ShowWindow", desktop.listView, 0), call("ShowWindow", desktop.taskbar, 0),
                                       call("ShowWindow", desktop.startButton, 0),
                                       call("ShowWindow", desktop.listView, 1), call("ShowWindow", desktop.taskbar, 1),
                                       call("ShowSystemCursor", 1), call("ShowWindow", desktop.startButton, 1)));
  EXPECT_TRUE(sim.visible(desktop.startButton));
}

TEST_F(EngineTest, NothingFoundStillSwitchesThePointerAndCountsNothing) {
  program.shellTargets = {};
  program.hideAll(true);
  EXPECT_FALSE(sim.cursorVisible());
  program.showAll();
  program.showAll();
  EXPECT_THAT(showCalls(),
              ElementsAre(call("ShowWindow", 0, 0), call("ShowWindow", 0, 0), call("ShowSystemCursor", 0),
                          call("ShowWindow", 0, 1), call("ShowWindow", 0, 1), call("ShowSystemCursor", 1),
                          call("ShowWindow", 0, 1), call("ShowWindow", 0, 1), call("ShowSystemCursor", 1)));
  EXPECT_TRUE(sim.cursorVisible());
}

// ---- the version probe ----

struct ProbeCase {
  std::uintptr_t block;
  std::uint32_t major;
  std::uint32_t minor;
  WindowsVersionCode expected;
};

class ProbeTest : public ProgramTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, ReadsTheBlockOnlyInsideItsRegion) {
  const ProbeCase& c = GetParam();
  sim.pebAddress = c.block;
  sim.pebMajor = c.major;
  sim.pebMinor = c.minor;
  EXPECT_EQ(program.probeWindowsVersion(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ProbeTest,
                         ::testing::Values(ProbeCase{0x7FFDE000, 6, 1, 61}, ProbeCase{0x70000000, 6, 1, 61},
                                           ProbeCase{0x7FFFFFFF - 0xFFF, 10, 0, 100}, ProbeCase{0x7FFDE000, 6, 0, 60},
                                           ProbeCase{0x7FFDE000, 6, 2, 62},
                                           ProbeCase{0x6FFFF000, 6, 1, 0},  // below the region
                                           ProbeCase{0x80000000, 6, 1, 0},  // above it
                                           ProbeCase{0x3FFF1000, 6, 1, 0}));

// ---- the idle watcher ----

struct IdleCase {
  const char* name;
  std::int32_t hiddenBefore;
  std::uint32_t lastInput;
  std::uint32_t uptime;
  std::int32_t idleMs;
  std::int32_t hiddenAfter;
  bool pointerHidden;
};

class IdleTest : public EngineTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleTest, DecidesByStrictSignedThresholds) {
  const IdleCase& c = GetParam();
  program.itemsHidden = c.hiddenBefore;
  sim.setLastInputTime(c.lastInput);
  sim.setNow(c.uptime);
  program.onIdleTick();
  EXPECT_EQ(program.idleMs, c.idleMs);
  EXPECT_EQ(program.itemsHidden, c.hiddenAfter);
  EXPECT_EQ(sim.cursorVisible(), !c.pointerHidden);
  EXPECT_EQ(lastInput.cbSize, 8u);
  const bool acted = c.hiddenBefore != c.hiddenAfter;
  EXPECT_EQ(sim.calls({"ShowWindow"}).size(), acted ? 2u : 0u);
  EXPECT_THAT(sim.messageBoxes, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Thresholds, IdleTest,
                         ::testing::Values(IdleCase{"exactly3000", 0, 100000, 103000, 3000, 0, false},
                                           IdleCase{"over3000", 0, 100000, 103001, 3001, 1, true},
                                           IdleCase{"over3000AlreadyHidden", 1, 100000, 109000, 9000, 1, false},
                                           IdleCase{"exactly1000", 1, 100000, 101000, 1000, 1, false},
                                           IdleCase{"under1000", 1, 100000, 100999, 999, 0, false},
                                           IdleCase{"under1000NotHidden", 0, 100000, 100010, 10, 0, false},
                                           IdleCase{"between", 0, 100000, 102000, 2000, 0, false},
                                           IdleCase{"past2pow31", 1, 0x7FFFFFFF, 0x80000005, 6, 0, false},
                                           IdleCase{"wrappedPast2pow32", 0, 0xFFFFF000, 0x00000200, 0x1200, 1, true},
                                           IdleCase{"inputAheadOfUptime", 1, 200000, 100000, -100000, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, FailureBeforeAnySuccessUsesZeroAndReportsEachFailure) {
  sim.lastInputAlwaysFails = true;
  sim.setNow(2500);
  program.onIdleTick();
  EXPECT_EQ(program.idleMs, 2500);
  EXPECT_EQ(program.itemsHidden, 0);
  sim.setNow(3001);
  program.onIdleTick();
  EXPECT_EQ(program.idleMs, 3001);
  EXPECT_EQ(program.itemsHidden, 1);
  ASSERT_EQ(sim.messageBoxes.size(), 2u);
  EXPECT_EQ(sim.messageBoxes[0].text, text::kIdleTimeFailed);
  EXPECT_EQ(sim.messageBoxes[0].title, text::kMessageTitle);
  EXPECT_EQ(sim.messageBoxes[0].flags, kMbTaskModal);
  EXPECT_EQ(sim.messageBoxes[0].owner, 0u);
}

TEST_F(EngineTest, FailureCarriesOnWithTheLastSuccessfulTime) {
  sim.setLastInputTime(100000);
  sim.setNow(100100);
  program.onIdleTick();
  sim.lastInputFailures = 1;
  sim.setLastInputTime(100900);  // not seen: the call fails
  sim.setNow(103200);
  program.onIdleTick();
  EXPECT_EQ(program.idleMs, 3200);
  EXPECT_EQ(program.itemsHidden, 1);
  EXPECT_EQ(sim.messageBoxes.size(), 1u);
}

TEST_F(EngineTest, TicksWhileTheFailureBoxIsOpenOpenNoFurtherBox) {
  // Ticks keep falling due inside the box's modal loop; the program runs for real here.
  sim.lastInputAlwaysFails = true;
  int boxes = 0;
  sim.onMessageBox = [&](const sim::MessageBoxRecord& box) {
    if (box.text == text::kIdleTimeFailed && ++boxes == 1) {
      sim.pumpFor(5000);  // the user leaves the first box open for 5 s
      sim.postQuit(0);
    }
    return 1;
  };
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_EQ(sim.maxOpenMessageBoxes, 1);
  // Ticks ran during the box: the click watcher kept polling while the idle watcher stayed quiet.
  EXPECT_GT(sim.calls({"GetAsyncKeyState"}).size(), 100u);
  EXPECT_EQ(sim.calls({"GetLastInputInfo"}).size(), 1u);
}

// ---- the click watcher ----

struct ClickCase {
  const char* name;
  bool left;
  bool right;
  std::vector<std::string> queries;
  bool shows;
};

class ClickTest : public EngineTest, public ::testing::WithParamInterface<ClickCase> {};

TEST_P(ClickTest, QueriesLeftFirstAndShowsOnAnyPress) {
  const ClickCase& c = GetParam();
  program.itemsHidden = 1;
  if (c.left) sim.hold(kVkLButton, true);
  if (c.right) sim.hold(kVkRButton, true);
  sim.clearLog();
  program.onClickTick();
  EXPECT_EQ(sim.calls({"GetAsyncKeyState"}), c.queries);
  EXPECT_EQ(program.itemsHidden, c.shows ? 0 : 1);
  EXPECT_EQ(showCalls().size(), c.shows ? 3u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, ClickTest,
    ::testing::Values(ClickCase{"left", true, false, {call("GetAsyncKeyState", 1)}, true},
                      ClickCase{"right", false, true, {call("GetAsyncKeyState", 1), call("GetAsyncKeyState", 2)}, true},
                      ClickCase{"both", true, true, {call("GetAsyncKeyState", 1)}, true},
                      ClickCase{
                          "none", false, false, {call("GetAsyncKeyState", 1), call("GetAsyncKeyState", 2)}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, APressSinceTheLastQueryCountsOnceAndShowsEvenWhenNothingIsHidden) {
  program.itemsHidden = 0;
  sim.press(kVkRButton);
  program.onClickTick();
  EXPECT_THAT(showCalls(), ElementsAre(call("ShowWindow", desktop.listView, 1), call("ShowWindow", desktop.taskbar, 1),
                                       call("ShowSystemCursor", 1)));
  sim.clearLog();
  program.onClickTick();  // the bit was cleared by the query
  EXPECT_THAT(showCalls(), IsEmpty());
}

}  // namespace
}  // namespace vantorel::test
