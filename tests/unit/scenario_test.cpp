// Whole runs on the virtual clock: auto-hide, the tray commands and the ends they lead to.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint64_t kStart = 100000;

class ScenarioTest : public ProgramTest {
 protected:
  void SetUp() override {
    desktop = addWorkerWDesktop();
    sim.setLastInputTime(static_cast<std::uint32_t>(kStart));
  }

  WindowHandle host() const { return program.host.handle; }

  // A right-button release on the tray icon at `time`, choosing `command` (0: none) from the popup.
  void chooseFromTray(std::uint64_t time, std::uint32_t command) {
    sim.at(time, [this, command] {
      pendingChoice = command;
      sim.post(host(), kTrayCallbackMessage, kTrayIconId, kWmRButtonUp);
    });
    sim.onPopup = [this](const sim::PopupRecord&) { return pendingChoice; };
  }

  bool allShown() const { return sim.visible(desktop.listView) && sim.visible(desktop.taskbar) && sim.cursorVisible(); }
  bool allHidden() const {
    return !sim.visible(desktop.listView) && !sim.visible(desktop.taskbar) && !sim.cursorVisible();
  }

  Desktop desktop;
  std::uint32_t pendingChoice = 0;
};

TEST_F(ScenarioTest, IdleHidesEverythingAndInputOrAClickBringsItBack) {
  // Start: the discovery box is dismissed after 400 ms with a click on OK.
  sim.onMessageBox = [&](const sim::MessageBoxRecord&) {
    sim.pumpFor(400);
    sim.input();
    return 1;
  };
  std::vector<std::string> seen;
  const std::uint64_t boxGone = kStart + 400;
  sim.at(boxGone + 3000, [&] { seen.push_back(sim.cursorVisible() ? "pointer shown at 3.0 s" : "hidden too early"); });
  sim.at(boxGone + 3400, [&] {
    seen.push_back(allHidden() ? "all hidden by 3.4 s" : "not hidden");
    sim.input();  // a mouse move
  });
  sim.at(boxGone + 3400 + 300, [&] { seen.push_back(allShown() ? "shown within one idle tick" : "still hidden"); });
  const std::uint64_t moved = boxGone + 3400;
  sim.at(moved + 3400, [&] {
    seen.push_back(allHidden() ? "hidden again" : "not hidden again");
    sim.press(kVkLButton);
  });
  sim.at(moved + 3400 + 50, [&] {
    seen.push_back(allShown() && program.itemsHidden == 0 ? "click shown within one click period" : "click missed");
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_THAT(seen, ElementsAre("pointer shown at 3.0 s", "all hidden by 3.4 s", "shown within one idle tick",
                                "hidden again", "click shown within one click period"));
  // Start-up never touched the pointer; the first hide of it came from the idle watcher.
  const auto cursorCalls = sim.calls({"ShowSystemCursor"});
  ASSERT_FALSE(cursorCalls.empty());
  EXPECT_EQ(cursorCalls[0], call("ShowSystemCursor", 1));  // the first idle tick saw the OK click
}

struct ToggleState {
  std::int32_t suspended;
  const char* caption;
  std::int32_t idlePeriod;
  std::int32_t clickPeriod;
};

TEST_F(ScenarioTest, TheToggleWalksItsStateTableOverSeveralRounds) {
  std::vector<ToggleState> states;
  auto record = [&] {
    states.push_back({program.autoHideSuspended, program.host.menu[kToggleEntry].caption,
                      program.host.idleTimer.periodMs, program.host.clickTimer.periodMs});
  };
  sim.at(kStart + 1, record);
  for (int round = 0; round < 4; ++round) {
    chooseFromTray(kStart + 1000 + 1000 * round, 20001);
    sim.at(kStart + 1500 + 1000 * round, record);
  }
  sim.at(kStart + 6000, [&] { sim.postQuit(0); });
  EXPECT_EQ(runProgram(), 0u);
  ASSERT_EQ(states.size(), 5u);
  const ToggleState expected[] = {{0, text::kSuspendAutoHide, 300, 50},
                                  {1, text::kResumeAutoHide, 0, 0},
                                  {0, text::kSuspendAutoHide, 300, 500},
                                  {1, text::kResumeAutoHide, 0, 0},
                                  {0, text::kSuspendAutoHide, 300, 500}};
  for (std::size_t i = 0; i < states.size(); ++i) {
    EXPECT_EQ(states[i].suspended, expected[i].suspended) << i;
    EXPECT_STREQ(states[i].caption, expected[i].caption) << i;
    EXPECT_EQ(states[i].idlePeriod, expected[i].idlePeriod) << i;
    EXPECT_EQ(states[i].clickPeriod, expected[i].clickPeriod) << i;
  }
  // The next popup after a switch shows the new caption under the same identifier.
  ASSERT_EQ(sim.popups.size(), 4u);
  EXPECT_EQ(sim.popups[1].items[0].caption, text::kResumeAutoHide);
  EXPECT_EQ(sim.popups[1].items[0].item, 20001u);
  EXPECT_EQ(sim.popups[2].items[0].caption, text::kSuspendAutoHide);
}

TEST_F(ScenarioTest, SuspendingWhileHiddenShowsAllButKeepsTheFlagUntilInputClearsIt) {
  chooseFromTray(kStart + 4000, 20001);  // hidden by idle at 3.3 s, then suspended
  std::size_t idleTicksWhenSuspended = 0;
  sim.at(kStart + 4001, [&] {
    EXPECT_TRUE(allShown());
    EXPECT_EQ(program.itemsHidden, 1);
    idleTicksWhenSuspended = sim.calls({"GetLastInputInfo"}).size();
  });
  sim.at(kStart + 9000, [&] {
    EXPECT_TRUE(allShown());  // suspended: 5 s of idle hide nothing, and no tick ran
    EXPECT_EQ(sim.calls({"GetLastInputInfo"}).size(), idleTicksWhenSuspended);
  });
  chooseFromTray(kStart + 9100, 20001);  // resume, still idle: ticks above 3000 ms do not hide
  sim.at(kStart + 10000, [&] {
    EXPECT_TRUE(allShown());
    EXPECT_EQ(program.itemsHidden, 1);
    sim.input();
  });
  sim.at(kStart + 10300, [&] {
    EXPECT_EQ(program.itemsHidden, 0);  // the next tick with input shows and clears the flag
  });
  sim.at(kStart + 13700, [&] {
    EXPECT_TRUE(allHidden());  // and auto-hide works again
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
}

TEST_F(ScenarioTest, AfterResumingTheClickWatcherPollsEvery500Ms) {
  chooseFromTray(kStart + 1000, 20001);
  chooseFromTray(kStart + 2000, 20001);
  sim.at(kStart + 4100, [&] { sim.postQuit(0); });
  EXPECT_EQ(runProgram(), 0u);
  const auto ticks = sim.timerTicks(host(), 2);
  std::vector<std::uint64_t> afterResume;
  for (const std::uint64_t t : ticks) {
    if (t > kStart + 2000) afterResume.push_back(t - kStart);
  }
  EXPECT_THAT(afterResume, ElementsAre(2500, 3000, 3500, 4000));
}

struct ExitCase {
  const char* name;
  bool suspendFirst;
};

class ExitTest : public ScenarioTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitTest, ExitShowsEverythingRemovesTheIconAndEndsWithZero) {
  if (GetParam().suspendFirst) {
    chooseFromTray(kStart + 3500, 20001);
  }
  sim.at(kStart + 3650, [&] {
    sim.clearLog();
    sim.input();  // opening the menu is input, but the next idle tick would come after the exit
  });
  chooseFromTray(kStart + 3651, 20002);
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_TRUE(allShown());
  EXPECT_THAT(showCalls(), ElementsAre(call("ShowWindow", desktop.listView, 1), call("ShowWindow", desktop.taskbar, 1),
                                       call("ShowSystemCursor", 1)));
  EXPECT_THAT(sim.trayIcons, IsEmpty());
  EXPECT_EQ(sim.notifyCalls.back().first, kNimDelete);
  EXPECT_THAT(sim.calls({"HeapFree"}), ::testing::SizeIs(1));
  EXPECT_EQ(sim.liveHeapBlocks(), 0u);
  EXPECT_EQ(sim.liveIcons(), 0u);
  EXPECT_EQ(sim.liveMenus(), 0u);
}

INSTANTIATE_TEST_SUITE_P(States, ExitTest,
                         ::testing::Values(ExitCase{"whileHidden", false}, ExitCase{"whileSuspended", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScenarioTest, AMenuClosedWithoutAChoiceDoesNothing) {
  chooseFromTray(kStart + 500, 0);
  sim.at(kStart + 600, [&] {
    EXPECT_EQ(sim.liveMenus(), 2u);  // the window's menu bar and its popup; the tray popup is gone
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_EQ(sim.popups.size(), 1u);
  EXPECT_EQ(program.autoHideSuspended, 0);
  EXPECT_EQ(sim.liveMenus(), 0u);
}

}  // namespace
}  // namespace vantorel::test
