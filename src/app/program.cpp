// Start-up, the worker thread, the message loop and every way the process ends.
#include "app/program.h"

#include <new>

#include "platform/constants.h"
#include "platform/texts.h"

namespace vantorel {

Program::Program(Win32& windows)
    : win(windows),
      externals(windows, *this),
      host{.handle = 0,
           .menuBar = 0,
           .appIcon = 0,
           .trayIcon = 0,
           .idleTimer = {text::kIdleTimerName, 1, kIdlePeriodMs, false, &Program::onIdleTick},
           .clickTimer = {text::kClickTimerName, 2, kClickPeriodMs, false, &Program::onClickTick},
           .menu = {{
               {0, text::kMenuRoot, 0, false, false, false, nullptr},
               {1, text::kSuspendAutoHide, 0, false, false, false, &Program::onToggleSelected},
               {1, text::kExit, 0, false, false, false, &Program::onExitSelected},
           }}} {}

void Program::run() {
  programMain();
  // The loop has ended (or never ran): finish on the GUI thread and leave with the quit code.
  runEndWork();
  exitNow(quitCode);
}

std::int32_t Program::programMain() {
  guiThreadId = win.getCurrentThreadId();

  void* memory = win.heapAlloc(win.getProcessHeap(), 0, sizeof(LastInputInfo));
  if (memory == nullptr) {
    fatalError(text::kOutOfMemory);
  }
  lastInputInfo = new (memory) LastInputInfo{};  // both fields 0

  registerCleanup(&Program::releaseLastInputInfo);
  static_cast<void>(startupRoutine());
  loadHostWindow();

  if (win.isWindow(host.handle)) {
    messageLoopStarted = true;
    Message message;
    for (;;) {
      const std::int32_t got = win.getMessageA(&message, 0, 0, 0);
      if (got == 0) {
        quitCode = static_cast<std::int32_t>(message.wParam);
        break;
      }
      if (got < 0) {
        break;
      }
      win.translateMessage(message);
      win.dispatchMessageA(message);
    }
  }
  return 0;
}

std::int32_t Program::startupRoutine() { return 0; }

void Program::registerCleanup(Handler routine) {
  if (cleanupCount < cleanupRoutines.size()) {
    cleanupRoutines[cleanupCount++] = routine;
  }
}

void Program::releaseLastInputInfo() {
  if (lastInputInfo != nullptr) {
    win.heapFree(win.getProcessHeap(), 0, lastInputInfo);
    lastInputInfo = nullptr;
  }
}

void Program::onHostWindowCreated() {
  std::uint32_t threadId = 0;
  const KernelHandle worker = win.createThread(nullptr, 0, this, nullptr, 0, &threadId);
  // A thread that could not be started gives a null handle: both calls then fail, which is ignored.
  static_cast<void>(externals.waitForSingleObject(worker, kInfinite));
  static_cast<void>(win.closeHandle(worker));

  hideAll(false);
  itemsHidden = 1;
  autoHideSuspended = 0;
}

std::uint32_t Program::threadMain(void* /*parameter*/) {
  runStartupWork();
  return 0;
}

void Program::runStartupWork() {
  checkSingleInstance();
  discoverShellWindows();
  installTrayIcon();
}

void Program::runEndWork() {
  eventsSuppressed = true;
  if (host.handle != 0 && win.isWindow(host.handle)) {
    win.destroyWindow(host.handle);
  }
  for (std::size_t i = 0; i < cleanupCount; ++i) {
    (this->*cleanupRoutines[i])();
  }
  cleanupCount = 0;
  externals.releaseModules();
}

void Program::endProgram(std::int32_t exitCode) {
  // Off the GUI thread (the start-up worker) the GUI thread is blocked waiting for this very thread,
  // so nothing can be handed over to it: leave at once.
  if (win.getCurrentThreadId() != guiThreadId) {
    exitNow(exitCode);
  }
  runEndWork();
  exitNow(exitCode);
}

void Program::exitNow(std::int32_t exitCode) {
  win.exitProcess(static_cast<std::uint32_t>(exitCode));
  // The compiler cannot see through the virtual call that ExitProcess never returns.
  __builtin_unreachable();
}

void Program::fatalError(const char* text) {
  if (inFatalError) {
    // A second fatal error while the first is being reported: nothing more can be trusted.
    exitNow(-1);
  }
  inFatalError = true;
  eventsSuppressed = true;
  showMessage(text, kMbIconError);
  cleanupCount = 0;
  endProgram(-1);
}

std::int32_t Program::showMessage(const char* text, std::uint32_t flags, const char* title, WindowHandle owner) {
  if ((flags & kMbSystemModal) == 0) {
    flags |= kMbTaskModal;
  }
  const std::int32_t pressed = win.messageBoxA(owner, text, title != nullptr ? title : text::kMessageTitle, flags);
  // IDOK = 1 … IDNO = 7 become 0 … 6.
  return pressed >= 1 && pressed <= 7 ? pressed - 1 : -1;
}

}  // namespace vantorel
