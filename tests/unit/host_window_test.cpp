// The hidden host window: its settings, its timers' periods and its menu bar.
#include "fixture.h"

namespace vantorel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class HostWindowTest : public ProgramTest {
 protected:
  // Loads the window as start-up does, with the start-up work itself running on the simulated worker.
  void load() {
    program.guiThreadId = sim.guiThreadId();
    program.lastInputInfo = &lastInput;
    ASSERT_EQ(sim.runToExit([&] { program.loadHostWindow(); }), std::nullopt);
  }

  const sim::MenuRecord& menuBar() const {
    const sim::MenuRecord* bar = sim.menu(program.host.menuBar);
    EXPECT_NE(bar, nullptr);
    return *bar;
  }
};

TEST_F(HostWindowTest, IsCreatedHiddenCentredAndDressedAsDeclared) {
  sim.screenWidth = 1366;
  sim.screenHeight = 769;
  load();
  const sim::WindowInfo* w = sim.window(program.host.handle);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(w->visible);
  EXPECT_EQ(w->style, kWsOverlapped | kWsCaption | kWsSysMenu | kWsMinimizeBox | kWsClipChildren);
  EXPECT_EQ(w->exStyle, 0u);
  EXPECT_EQ(w->parent, 0u);
  EXPECT_EQ(w->title, "");
  EXPECT_EQ(w->x, (1366 - 380) / 2);
  EXPECT_EQ(w->y, (769 - 250) / 2);
  EXPECT_EQ(w->width, 380);
  EXPECT_EQ(w->height, 250);
  EXPECT_EQ(w->menu, program.host.menuBar);
  EXPECT_EQ(w->bigIcon, sim::kAppIcon);
  EXPECT_EQ(w->smallIcon, sim::kAppIcon);
  EXPECT_EQ(w->font, sim::kDefaultGuiFont);
  const WindowClass* c = sim.windowClass(text::kHostWindowClass);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->background, kColorBtnFace + 1);
  EXPECT_EQ(c->icon, sim::kAppIcon);
  // The timers run from load, the idle timer first.
  EXPECT_THAT(sim.calls({"SetTimer"}),
              ElementsAre(call("SetTimer", program.host.handle, 1, 300), call("SetTimer", program.host.handle, 2, 50)));
  EXPECT_TRUE(program.host.idleTimer.running);
  EXPECT_TRUE(program.host.clickTimer.running);
}

TEST_F(HostWindowTest, IsResizedWhenTheSystemGaveItAnotherSize) {
  sim.forceCreatedWidth = 400;
  sim.forceCreatedHeight = 270;
  load();
  const sim::WindowInfo* w = sim.window(program.host.handle);
  EXPECT_EQ(w->width, 380);
  EXPECT_EQ(w->height, 250);
  EXPECT_EQ(w->x, (1024 - 380) / 2);
}

TEST_F(HostWindowTest, MenuBarHoldsOnePopupWithTheTwoItems) {
  load();
  const sim::MenuRecord& bar = menuBar();
  ASSERT_EQ(bar.items.size(), 1u);
  EXPECT_EQ(bar.items[0].flags, kMfPopup);
  EXPECT_EQ(bar.items[0].caption, text::kMenuRoot);
  const sim::MenuRecord* popup = sim.menu(bar.items[0].item);
  ASSERT_NE(popup, nullptr);
  ASSERT_EQ(popup->items.size(), 2u);
  EXPECT_EQ(popup->items[0].caption, text::kSuspendAutoHide);
  EXPECT_EQ(popup->items[0].item, 20001u);
  EXPECT_EQ(popup->items[0].flags, kMfString);
  EXPECT_EQ(popup->items[1].caption, text::kExit);
  EXPECT_EQ(popup->items[1].item, 20002u);
}

TEST_F(HostWindowTest, SetItemCaptionRebuildsTheBarOnlyForANewCaption) {
  load();
  const MenuHandle first = program.host.menuBar;
  sim.clearLog();
  program.setItemCaption(kToggleEntry, text::kSuspendAutoHide);
  EXPECT_THAT(sim.calls({"SetMenu", "CreateMenu", "DestroyMenu"}), IsEmpty());

  program.setItemCaption(kToggleEntry, text::kResumeAutoHide);
  const MenuHandle second = program.host.menuBar;
  EXPECT_NE(second, first);
  EXPECT_THAT(sim.calls({"SetMenu", "DestroyMenu"}),
              ElementsAre(call("SetMenu", program.host.handle, second), call("DestroyMenu", first)));
  EXPECT_EQ(sim.window(program.host.handle)->menu, second);
  const sim::MenuRecord* popup = sim.menu(menuBar().items[0].item);
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->items[0].caption, text::kResumeAutoHide);
  EXPECT_EQ(popup->items[1].caption, text::kExit);
  // The old bar went with its popup.
  EXPECT_EQ(sim.liveMenus(), 2u);
}

struct PeriodCase {
  const char* name;
  std::int32_t before;  // 0: stopped
  std::int32_t asked;
  std::int32_t after;
  std::vector<std::string> calls;  // with H for the host window
};

class SetTimerPeriodTest : public HostWindowTest, public ::testing::WithParamInterface<PeriodCase> {};

TEST_P(SetTimerPeriodTest, FollowsTheStateTable) {
  const PeriodCase& c = GetParam();
  load();
  Timer& timer = program.host.clickTimer;
  program.setTimerPeriod(timer, 0);
  program.setTimerPeriod(timer, c.before);
  sim.clearLog();
  program.setTimerPeriod(timer, c.asked);
  EXPECT_EQ(timer.periodMs, c.after);
  EXPECT_EQ(timer.running, c.after > 0);
  std::vector<std::string> expected;
  for (const std::string& e : c.calls) {
    const std::string h = std::to_string(program.host.handle);
    std::string s = e;
    s.replace(s.find('H'), 1, h);
    expected.push_back(s);
  }
  EXPECT_EQ(sim.calls({"SetTimer", "KillTimer"}), expected);
}

INSTANTIATE_TEST_SUITE_P(
    States, SetTimerPeriodTest,
    ::testing::Values(PeriodCase{"runningSame", 50, 50, 50, {}},
                      PeriodCase{"runningOther", 50, 500, 500, {"KillTimer(H, 2)", "SetTimer(H, 2, 500)"}},
                      PeriodCase{"runningZero", 50, 0, 0, {"KillTimer(H, 2)"}},
                      PeriodCase{"runningNegative", 50, -5, 0, {"KillTimer(H, 2)"}},
                      PeriodCase{"stoppedZero", 0, 0, 0, {}}, PeriodCase{"stoppedNegative", 0, -1, 0, {}},
                      PeriodCase{"stoppedPositive", 0, 500, 500, {"SetTimer(H, 2, 500)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostWindowTest, ARunningTimerAskedForItsOwnPeriodKeepsItsPhase) {
  addProgmanDesktop();
  std::vector<std::uint32_t> clickTicks;
  sim.at(100000 + 120, [&] { program.setTimerPeriod(program.host.clickTimer, 50); });
  sim.at(100000 + 260, [&] {
    for (const auto& t : sim.timerTicks(program.host.handle, 2))
      clickTicks.push_back(static_cast<std::uint32_t>(t - 100000));
    sim.postQuit(0);
  });
  EXPECT_EQ(runProgram(), 0u);
  EXPECT_THAT(clickTicks, ElementsAre(50, 100, 150, 200, 250));
}

}  // namespace
}  // namespace vantorel::test
