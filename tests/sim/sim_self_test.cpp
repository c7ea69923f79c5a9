// The simulator's own subtle semantics: timer folding and ties, FindWindowEx rules, GetAsyncKeyState
// bits, the modal pump, threads, and the speed of a long run.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "sim/sim_windows.h"

namespace vantorel::sim {
namespace {

// A window procedure made of a lambda; unhandled messages go to DefWindowProcA.
class Procedure final : public WindowProcedure {
 public:
  explicit Procedure(SimWindows& sim) : sim_(sim) {}
  std::function<bool(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t)> handle;
  std::intptr_t windowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override {
    if (handle && handle(window, message, wParam, lParam)) {
      return 0;
    }
    return sim_.defWindowProcA(window, message, wParam, lParam);
  }

 private:
  SimWindows& sim_;
};

class Body final : public ThreadBody {
 public:
  std::function<std::uint32_t()> run;
  std::uint32_t threadMain(void*) override { return run(); }
};

class SimTest : public ::testing::Test {
 protected:
  SimWindows sim;
  Procedure procedure{sim};

  WindowHandle makeWindow() {
    WindowClass c;
    c.className = "Test";
    sim.registerClassExA(c);
    return sim.createWindowExA(0, "Test", "", 0, 0, 0, 10, 10, 0, 0, kInstance, &procedure);
  }

  ProcAddress bind(const char* library, const char* function) {
    return sim.getProcAddress(sim.loadLibraryExA(library, kLoadLibrarySearchSystem32), function);
  }

  // Runs the loop until WM_QUIT; the times and identifiers of the WM_TIMER met.
  std::vector<std::pair<std::uint64_t, std::uintptr_t>> loop() {
    std::vector<std::pair<std::uint64_t, std::uintptr_t>> ticks;
    Message m;
    while (sim.getMessageA(&m, 0, 0, 0) > 0) {
      if (m.message == kWmTimer) ticks.emplace_back(sim.now64() - kStartTime, m.wParam);
      sim.dispatchMessageA(m);
    }
    return ticks;
  }
};

using Ticks = std::vector<std::pair<std::uint64_t, std::uintptr_t>>;

TEST(Call, FormatsLikeTheLog) {
  EXPECT_EQ(call("ShowWindow", WindowHandle{65537}, 0), "ShowWindow(65537, 0)");
  EXPECT_EQ(call("FindWindowA", "Shell_TrayWnd", nullptr), "FindWindowA(\"Shell_TrayWnd\", null)");
  EXPECT_EQ(call("X", -1, 4294967295u, true, static_cast<const char*>(nullptr), kPtr),
            "X(-1, 4294967295, 1, null, ptr)");
  EXPECT_EQ(call("MagInitialize"), "MagInitialize()");
  EXPECT_EQ(call("T", "\xD0\xC5"), "T(\"\xD0\xC5\")");
}

TEST_F(SimTest, ALateTimerDeliversOneTickAndRestartsFromTheDelivery) {
  const WindowHandle w = makeWindow();
  sim.setTimer(w, 7, 50);
  sim.advance(1000);  // twenty periods pass with nobody pumping
  sim.after(60, [&] { sim.postQuit(0); });
  EXPECT_EQ(loop(), (Ticks{{1000, 7}, {1050, 7}}));
  EXPECT_EQ(sim.timerTicks(w, 7), (std::vector<std::uint64_t>{kStartTime + 1000, kStartTime + 1050}));
}

TEST_F(SimTest, TimersDueTogetherDeliverInTheOrderTheyWereSetAndAResetMovesOneBack) {
  const WindowHandle w = makeWindow();
  sim.setTimer(w, 1, 100);
  sim.setTimer(w, 2, 100);
  sim.at(kStartTime + 150, [&] { sim.setTimer(w, 1, 50); });  // now due at 200 too, but set later
  sim.at(kStartTime + 210, [&] { sim.postQuit(0); });
  EXPECT_EQ(loop(), (Ticks{{100, 1}, {100, 2}, {200, 2}, {200, 1}}));
  sim.killTimer(w, 1);
  EXPECT_FALSE(sim.timerPeriod(w, 1).has_value());
  EXPECT_FALSE(sim.killTimer(w, 1));
}

TEST_F(SimTest, ActionsRunBeforeTheMessagesDueAtTheSameTimeAndPostedMessagesBeatTimers) {
  const WindowHandle w = makeWindow();
  std::vector<std::string> seen;
  procedure.handle = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    seen.push_back(m == kWmTimer ? "timer" : "posted");
    return true;
  };
  sim.setTimer(w, 1, 100);
  sim.at(kStartTime + 100, [&] {
    seen.push_back("action");
    sim.post(w, kWmApp);
  });
  sim.at(kStartTime + 100, [&] { sim.postQuit(0); });
  loop();
  // The quit was posted after the message, before the timer could be delivered.
  EXPECT_EQ(seen, (std::vector<std::string>{"action", "posted"}));
}

TEST_F(SimTest, PostQuitMessageComesAfterThePostedMessagesButBeforeTimers) {
  const WindowHandle w = makeWindow();
  sim.setTimer(w, 1, 10);
  sim.advance(100);
  sim.post(w, kWmApp);
  sim.postQuitMessage(3);
  Message m;
  EXPECT_EQ(sim.getMessageA(&m, 0, 0, 0), 1);
  EXPECT_EQ(m.message, kWmApp);
  EXPECT_EQ(sim.getMessageA(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, kWmQuit);
  EXPECT_EQ(m.wParam, 3u);
}

TEST_F(SimTest, ALoopWithNothingToWaitForOrPastTheClockLimitIsStuck) {
  Message m;
  EXPECT_THROW(sim.getMessageA(&m, 0, 0, 0), SimulationStuck);
  const WindowHandle w = makeWindow();
  sim.setTimer(w, 1, 1000);
  sim.clockLimit = kStartTime + 2500;
  EXPECT_EQ(sim.getMessageA(&m, 0, 0, 0), 1);
  EXPECT_EQ(sim.getMessageA(&m, 0, 0, 0), 1);
  EXPECT_THROW(sim.getMessageA(&m, 0, 0, 0), SimulationStuck);
}

TEST_F(SimTest, FindWindowExFollowsTheParentTheCursorAndTheNameRules) {
  const ProcAddress findEx = bind("user32", "FindWindowExA");
  const ProcAddress find = bind("user32", "FindWindowA");
  auto findIn = [&](WindowHandle parent, WindowHandle after, const char* c, const char* t) {
    return static_cast<WindowHandle>(sim.findWindowExA(findEx, parent, after, c, t).value);
  };
  const WindowHandle a = sim.addWindow(0, "WorkerW", "");
  const WindowHandle b = sim.addWindow(sim.desktop(), "workerw", "Named");
  const WindowHandle c = sim.addWindow(0, "WORKERW", "");
  const WindowHandle child = sim.addWindow(b, "WorkerW", "");
  EXPECT_EQ(findIn(0, 0, "WorkerW", ""), a);
  EXPECT_EQ(findIn(sim.desktop(), a, "WorkerW", ""), c);  // "" matches only empty titles
  EXPECT_EQ(findIn(0, a, "WorkerW", nullptr), b);         // null matches any title
  EXPECT_EQ(findIn(0, 0, "WorkerW", "NAMED"), b);
  EXPECT_EQ(findIn(0, c, "WorkerW", nullptr), 0u);
  EXPECT_EQ(findIn(0, child, "WorkerW", nullptr), 0u);  // the cursor is not a top-level window
  EXPECT_EQ(findIn(b, 0, "WorkerW", nullptr), child);
  EXPECT_EQ(findIn(child, 0, "WorkerW", nullptr), 0u);
  sim.removeWindow(a);
  EXPECT_EQ(findIn(0, 0, "WorkerW", ""), c);   // destroyed windows are skipped
  EXPECT_EQ(findIn(0, a, "WorkerW", ""), 0u);  // and are no cursor
  EXPECT_EQ(sim.findWindowA(find, "workerW", "Named").value, b);
  EXPECT_EQ(sim.log.back(), call("FindWindowA", "workerW", "Named"));
}

TEST_F(SimTest, GetAsyncKeyStateReportsTheHeldAndThePressedBitsAndClearsTheLatter) {
  const ProcAddress key = bind("user32.dll", "GetAsyncKeyState");
  auto state = [&](std::int32_t vk) { return sim.getAsyncKeyState(key, vk).value; };
  sim.setLastInputTime(0);
  sim.hold(kVkLButton, true);
  EXPECT_EQ(sim.lastInputTime(), sim.now());
  EXPECT_EQ(state(kVkLButton), 0x8001u);
  EXPECT_EQ(state(kVkLButton), 0x8000u);
  sim.hold(kVkLButton, false);
  EXPECT_EQ(state(kVkLButton), 0u);
  sim.press(kVkRButton);
  EXPECT_EQ(state(kVkLButton), 0u);
  EXPECT_EQ(state(kVkRButton), 1u);
  EXPECT_EQ(state(kVkRButton), 0u);
  // Through another entry's address, a program bug; an unbalanced entry still does its work.
  EXPECT_THROW(sim.getAsyncKeyState(bind("user32.dll", "ShowWindow"), kVkLButton), std::logic_error);
  sim.unbalance("GetAsyncKeyState");
  sim.press(kVkLButton);
  const ExternResult r = sim.getAsyncKeyState(key, kVkLButton);
  EXPECT_EQ(r.value, 1u);
  EXPECT_FALSE(r.balanced);
}

TEST_F(SimTest, AModalBoxPumpsTheGuiThreadsTimersAndLeavesAQuitForTheOuterLoop) {
  const WindowHandle w = makeWindow();
  int ticks = 0;
  procedure.handle = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    ticks += m == kWmTimer;
    return true;
  };
  sim.setTimer(w, 1, 100);
  bool fullTime = true;
  sim.onMessageBox = [&](const MessageBoxRecord&) {
    fullTime = sim.pumpFor(1000);
    return 2;
  };
  sim.at(kStartTime + 450, [&] { sim.postQuit(5); });
  EXPECT_EQ(sim.messageBoxA(0, "text", "title", kMbTaskModal), 2);
  EXPECT_FALSE(fullTime);
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(sim.now64(), kStartTime + 450);
  Message m;
  EXPECT_EQ(sim.getMessageA(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_EQ(sim.maxOpenMessageBoxes, 1);
  EXPECT_EQ(sim.openMessageBoxes, 0);
}

TEST_F(SimTest, OnTheWorkerABoxOnlyLetsTimePassAndTheGuiThreadComesBackAfterAnExit) {
  const WindowHandle w = makeWindow();
  int ticks = 0;
  procedure.handle = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    ticks += m == kWmTimer;
    return true;
  };
  sim.setTimer(w, 1, 100);
  sim.onMessageBox = [&](const MessageBoxRecord&) {
    EXPECT_TRUE(sim.pumpFor(1000));
    return 1;
  };
  Body body;
  body.run = [&] {
    sim.messageBoxA(0, "from the worker", nullptr, 0);
    return 9u;
  };
  std::uint32_t id = 0;
  const KernelHandle thread = sim.createThread(nullptr, 0, &body, nullptr, 0, &id);
  EXPECT_EQ(id, 2u);
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(sim.messageBoxes.at(0).threadId, 2u);
  EXPECT_EQ(sim.threadExitCode(2), 9u);
  EXPECT_EQ(sim.waitForSingleObject(bind("kernel32", "WaitForSingleObject"), thread, kInfinite).value, 0u);
  EXPECT_TRUE(sim.closeHandle(thread));
  EXPECT_FALSE(sim.closeHandle(thread));
  EXPECT_EQ(sim.currentThreadId(), sim.guiThreadId());
  // The timer fell due on the GUI thread meanwhile: one tick, no more.
  sim.after(1, [&] { sim.postQuit(0); });
  EXPECT_EQ(loop(), (Ticks{{1000, 1}}));

  body.run = [&]() -> std::uint32_t { sim.exitProcess(4); };
  EXPECT_EQ(sim.runToExit([&] { sim.createThread(nullptr, 0, &body, nullptr, 0, &id); }), 4u);
  EXPECT_EQ(sim.currentThreadId(), sim.guiThreadId());
}

TEST_F(SimTest, ADayOfFiftyMillisecondTicksRunsInSeconds) {
  const ProcAddress key = bind("user32.dll", "GetAsyncKeyState");
  const WindowHandle w = makeWindow();
  std::uint64_t queries = 0;
  procedure.handle = [&](WindowHandle, std::uint32_t m, std::uintptr_t, std::intptr_t) {
    if (m == kWmTimer) queries += sim.getAsyncKeyState(key, kVkLButton).value == 0;
    return true;
  };
  sim.clearLog();
  sim.logEnabled = false;
  sim.setTimer(w, 2, 50);
  sim.setTimer(w, 1, 300);
  constexpr std::uint64_t kDay = 24ull * 3600 * 1000;
  sim.at(kStartTime + kDay, [&] { sim.postQuit(0); });
  const auto started = std::chrono::steady_clock::now();
  Message m;
  while (sim.getMessageA(&m, 0, 0, 0) > 0) {
    sim.translateMessage(m);
    sim.dispatchMessageA(m);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  RecordProperty("seconds", std::to_string(seconds));
  // The quit at the day's end comes before the ticks due at that same time.
  EXPECT_EQ(sim.timerTickCount(w, 2), kDay / 50 - 1);
  EXPECT_EQ(sim.timerTickCount(w, 1), kDay / 300 - 1);
  EXPECT_EQ(queries, kDay / 50 + kDay / 300 - 2);
  EXPECT_TRUE(sim.timerTicks(w, 2).empty());
  EXPECT_TRUE(sim.log.empty());
  EXPECT_LT(seconds, 20.0);
}

}  // namespace
}  // namespace vantorel::sim
