// table_test.exe: the native seam and the table of external functions against the real Windows
// (or Wine) they run on.
//
// How to run it (the end-to-end runner calls it this way):
//
//   wine table_test.exe [case ...]
//
// It needs a display (Xvfb is enough) because some cases create windows. Each case prints one line,
// `ok <case>` or `FAIL <case>: <why>`; lines starting with `# ` are notes (for instance the route the
// system pointer took). Without arguments every non-fatal case runs.
//
//   non-fatal cases: binding, find-window, mutex, thread, window-procedure, trampoline-balanced,
//                    trampoline-unbalanced, cursor-route, peb, heap, fatal-entries
//   fatal cases (one per process, never run by default):
//     unbalanced-entry  a table entry whose bound function leaves the stack unbalanced; prints
//                       `FATAL: <text naming kernel32.dll!WaitForSingleObject>` and exits 3
//     missing-entry     a table entry whose function cannot be found; prints
//                       `FATAL: <text naming user32.dll!GetDesktopWindow>` and exits 3
//   (fatal-entries runs both fatal cases as child processes and checks their output and exit code.)
//
// Exit codes: 0 every selected case passed, 1 at least one failed, 2 an unknown case name,
// 3 a fatal error was reported (expected only for the fatal cases).
#include <windows.h>
#include <winternl.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/constants.h"
#include "platform/externals.h"
#include "platform/native/checked_call.h"
#include "platform/native/native_win32.h"

using vantorel::CursorRoute;
using vantorel::Externals;
using vantorel::NativeWin32;

// ---- Callees for the checked call, with known conventions ----

extern "C" {
// Loads sentinels into EBX, ESI and EDI, calls `fn` with no arguments through the checked call and
// returns 1 when the sentinels are still there afterwards.
int vantorel_test_registers_survive(std::uintptr_t fn);
// A stdcall function without arguments that overwrites EBX, ESI and EDI and returns 0x5A5A.
void __stdcall vantorel_test_trash_registers();
}

asm(R"(
    .text
    .globl _vantorel_test_registers_survive
_vantorel_test_registers_survive:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  $0x11111111, %ebx
    movl  $0x22222222, %esi
    movl  $0x33333333, %edi
    pushl $0
    pushl $0
    pushl 8(%ebp)
    call  _vantorel_checked_stdcall
    addl  $12, %esp
    xorl  %eax, %eax
    cmpl  $0x11111111, %ebx
    jne   1f
    cmpl  $0x22222222, %esi
    jne   1f
    cmpl  $0x33333333, %edi
    jne   1f
    movl  $1, %eax
1:
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret

    .globl _vantorel_test_trash_registers@0
_vantorel_test_trash_registers@0:
    movl  $0xDEAD0001, %ebx
    movl  $0xDEAD0002, %esi
    movl  $0xDEAD0003, %edi
    movl  $0x5A5A, %eax
    ret
)");

namespace {

// Weights show that every argument arrived in its place.
std::uint32_t __stdcall weighEight(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t e,
                                   std::uint32_t f, std::uint32_t g, std::uint32_t h) {
  return a * 1 + b * 10 + c * 100 + d * 1000 + e * 10000 + f * 100000 + g * 1000000 + h * 10000000;
}

std::uint32_t __stdcall allOnes() { return 0xFFFFFFFFu; }

// Leaves its arguments on the stack: called as stdcall, the stack is unbalanced by 8 bytes.
std::uint32_t __cdecl addCdecl(std::uint32_t a, std::uint32_t b) { return a + b; }

// Pops two arguments: called with one, it takes 4 bytes too many.
std::uint32_t __stdcall firstOfTwo(std::uint32_t a, std::uint32_t /*b*/) { return a; }

// ---- Output ----

void say(const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length <= 0) {
    return;
  }
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(length) < sizeof line ? static_cast<DWORD>(length) : sizeof line - 1;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, size, &written, nullptr);
}

class PrintingFatalHandler final : public vantorel::FatalHandler {
 public:
  [[noreturn]] void fatalError(const char* text) override {
    say("FATAL: %s\n", text);
    ExitProcess(3);
  }
};

// The first failed check of a case, with its reason.
struct Outcome {
  bool failed = false;
  char why[256] = {};

  void fail(const char* format, ...) {
    if (failed) {
      return;
    }
    failed = true;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(why, sizeof why, format, arguments);
    va_end(arguments);
  }
};

#define CHECK(outcome, condition)                           \
  do {                                                      \
    if (!(condition)) {                                     \
      (outcome).fail("%s (line %d)", #condition, __LINE__); \
      return;                                               \
    }                                                       \
  } while (false)

#define CHECK_EQ(outcome, actual, expected)                                                                       \
  do {                                                                                                            \
    const unsigned long long actualValue_ = static_cast<unsigned long long>(actual);                              \
    const unsigned long long expectedValue_ = static_cast<unsigned long long>(expected);                          \
    if (actualValue_ != expectedValue_) {                                                                         \
      (outcome).fail("%s is 0x%llx, expected 0x%llx (line %d)", #actual, actualValue_, expectedValue_, __LINE__); \
      return;                                                                                                     \
    }                                                                                                             \
  } while (false)

// The seam's integer handles as the SDK's types, for the direct calls that check the seam's results.
HWND asWindow(vantorel::WindowHandle window) {
  return reinterpret_cast<HWND>(window);  // NOLINT(performance-no-int-to-ptr)
}
HANDLE asHandle(vantorel::KernelHandle handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

std::uintptr_t procIn(const char* module, const char* name) {
  return reinterpret_cast<std::uintptr_t>(GetProcAddress(GetModuleHandleA(module), name));
}

// A name no other process uses: the process id and the tick count.
void uniqueName(char* out, std::size_t size, const char* what) {
  std::snprintf(out, size, "VantorelTableTest-%s-%lu-%lu", what, GetCurrentProcessId(), GetTickCount());
}

// ---- A window of the tests' own class, with a procedure that records what reaches it ----

constexpr char kTestClass[] = "VantorelTableTestWindow";
constexpr std::uint32_t kProbeMessage = vantorel::kWmApp + 7;
constexpr std::uint32_t kPostedMessage = vantorel::kWmApp + 8;
constexpr std::intptr_t kProbeAnswer = 0x1234;

class RecordingProcedure final : public vantorel::WindowProcedure {
 public:
  explicit RecordingProcedure(vantorel::Win32& win) : win_(win) {}

  std::intptr_t windowProc(vantorel::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override {
    if (count == 0) {
      firstMessage = message;
      firstWindow = window;
    }
    ++count;
    switch (message) {
      case WM_CREATE:
        sawCreate = true;
        break;
      case WM_DESTROY:
        sawDestroy = true;
        break;
      case WM_NCDESTROY:
        sawNcDestroy = true;
        break;
      case kProbeMessage:
        probeWParam = wParam;
        probeLParam = lParam;
        return kProbeAnswer;
      case kPostedMessage:
        postedSeen = true;
        postedWParam = wParam;
        return 0;
      default:
        break;
    }
    return win_.defWindowProcA(window, message, wParam, lParam);
  }

  std::uint32_t firstMessage = 0;
  vantorel::WindowHandle firstWindow = 0;
  unsigned count = 0;
  bool sawCreate = false;
  bool sawDestroy = false;
  bool sawNcDestroy = false;
  std::uintptr_t probeWParam = 0;
  std::intptr_t probeLParam = 0;
  bool postedSeen = false;
  std::uintptr_t postedWParam = 0;

 private:
  vantorel::Win32& win_;
};

bool registerTestClass(NativeWin32& win) {
  WNDCLASSEXA existing = {};
  if (GetClassInfoExA(GetModuleHandleA(nullptr), kTestClass, &existing) != 0) {
    return true;
  }
  vantorel::WindowClass windowClass;
  windowClass.instance = win.getModuleHandleA(nullptr);
  windowClass.background = vantorel::kColorBtnFace + 1;
  windowClass.className = kTestClass;
  return win.registerClassExA(windowClass);
}

vantorel::WindowHandle createTestWindow(NativeWin32& win, const char* title, vantorel::WindowProcedure* procedure) {
  return win.createWindowExA(0, kTestClass, title, vantorel::kWsOverlapped | vantorel::kWsCaption, 10, 10, 200, 100, 0,
                             0, win.getModuleHandleA(nullptr), procedure);
}

// ---- Cases ----

void caseBinding(Outcome& outcome) {
  NativeWin32 win;
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);

  const vantorel::WindowHandle desktop = externals.getDesktopWindow();
  CHECK(outcome, desktop != 0);
  CHECK_EQ(outcome, desktop, reinterpret_cast<std::uintptr_t>(GetDesktopWindow()));

  vantorel::LastInputInfo info;
  info.cbSize = sizeof info;
  CHECK(outcome, externals.getLastInputInfo(&info) != 0);
  CHECK(outcome, info.dwTime <= GetTickCount());

  // Only the state bits (down now, pressed since the last call) may be set.
  const std::uint32_t left = externals.getAsyncKeyState(vantorel::kVkLButton);
  CHECK_EQ(outcome, left & 0x7FFEu, 0);
  const std::uint32_t right = externals.getAsyncKeyState(vantorel::kVkRButton);
  CHECK_EQ(outcome, right & 0x7FFEu, 0);

  // A second call uses the cached binding and gives the same answer.
  CHECK_EQ(outcome, externals.getDesktopWindow(), desktop);

  // After the modules are released, the next call binds again.
  externals.releaseModules();
  CHECK_EQ(outcome, externals.getDesktopWindow(), desktop);
  externals.releaseModules();
}

void caseFindWindow(Outcome& outcome) {
  NativeWin32 win;
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  CHECK(outcome, registerTestClass(win));
  char title[96];
  uniqueName(title, sizeof title, "find");
  RecordingProcedure procedure(win);
  const vantorel::WindowHandle window = createTestWindow(win, title, &procedure);
  if (window == 0) {
    outcome.fail("CreateWindowExA failed (error %lu; is there a display?)", GetLastError());
    return;
  }

  CHECK_EQ(outcome, externals.findWindowA(kTestClass, title), window);
  CHECK_EQ(outcome, externals.findWindowAnyTitle(kTestClass), window);
  CHECK_EQ(outcome, externals.findWindowExA(0, 0, kTestClass, title), window);
  CHECK_EQ(outcome, externals.findWindowExA(0, window, kTestClass, title), 0);
  CHECK_EQ(outcome, externals.findWindowExA(window, 0, nullptr, nullptr), 0);  // it has no children
  CHECK_EQ(outcome, externals.findWindowA("VantorelTableTestNoSuchClass", nullptr), 0);
  CHECK_EQ(outcome, externals.findWindowA(kTestClass, "no window has this title"), 0);

  // ShowWindow answers whether the window was visible before.
  CHECK_EQ(outcome, externals.showWindow(window, vantorel::kSwShowNormal), 0);
  CHECK(outcome, IsWindowVisible(asWindow(window)) != 0);
  CHECK(outcome, externals.showWindow(window, vantorel::kSwHide) != 0);
  CHECK(outcome, IsWindowVisible(asWindow(window)) == 0);

  CHECK(outcome, win.destroyWindow(window));
  CHECK_EQ(outcome, externals.findWindowA(kTestClass, title), 0);
  externals.releaseModules();
}

void caseMutex(Outcome& outcome) {
  NativeWin32 win;
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  char name[96];
  uniqueName(name, sizeof name, "mutex");

  SetLastError(0);
  CHECK_EQ(outcome, externals.openMutexA(vantorel::kMutexAllAccess, 0, name), 0);
  // The checked call leaves the thread's last error as the callee set it.
  CHECK_EQ(outcome, GetLastError(), ERROR_FILE_NOT_FOUND);

  const vantorel::KernelHandle created = externals.createMutexA(nullptr, 0, name);
  CHECK(outcome, created != 0);
  CHECK(outcome, GetLastError() != ERROR_ALREADY_EXISTS);
  const vantorel::KernelHandle opened = externals.openMutexA(vantorel::kMutexAllAccess, 0, name);
  CHECK(outcome, opened != 0);
  CHECK(outcome, opened != created);
  const vantorel::KernelHandle again = externals.createMutexA(nullptr, 0, name);
  CHECK(outcome, again != 0);
  CHECK_EQ(outcome, GetLastError(), ERROR_ALREADY_EXISTS);

  CHECK(outcome, win.closeHandle(again));
  CHECK(outcome, win.closeHandle(opened));
  CHECK(outcome, win.closeHandle(created));
  CHECK_EQ(outcome, externals.openMutexA(vantorel::kMutexAllAccess, 0, name), 0);
  externals.releaseModules();
}

class RecordingThread final : public vantorel::ThreadBody {
 public:
  std::uint32_t threadMain(void* parameter) override {
    seenParameter = parameter;
    threadId = GetCurrentThreadId();
    return 42;
  }

  void* seenParameter = nullptr;
  DWORD threadId = 0;
};

void caseThread(Outcome& outcome) {
  NativeWin32 win;
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  RecordingThread body;
  int token = 0;
  std::uint32_t threadId = 0;
  const vantorel::KernelHandle thread = win.createThread(nullptr, 0, &body, &token, 0, &threadId);
  CHECK(outcome, thread != 0);
  CHECK(outcome, threadId != 0);
  CHECK_EQ(outcome, externals.waitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  CHECK(outcome, body.seenParameter == &token);
  CHECK_EQ(outcome, body.threadId, threadId);
  CHECK(outcome, threadId != win.getCurrentThreadId());
  DWORD exitCode = 0;
  CHECK(outcome, GetExitCodeThread(asHandle(thread), &exitCode) != 0);
  CHECK_EQ(outcome, exitCode, 42);
  // A finished thread stays signalled.
  CHECK_EQ(outcome, externals.waitForSingleObject(thread, 0), WAIT_OBJECT_0);
  CHECK(outcome, win.closeHandle(thread));
  // The handle is gone: the wait fails at once.
  CHECK_EQ(outcome, externals.waitForSingleObject(thread, 0), WAIT_FAILED);
  externals.releaseModules();
}

void caseWindowProcedure(Outcome& outcome) {
  NativeWin32 win;
  CHECK(outcome, registerTestClass(win));
  char title[96];
  uniqueName(title, sizeof title, "procedure");
  RecordingProcedure procedure(win);
  const vantorel::WindowHandle window = createTestWindow(win, title, &procedure);
  if (window == 0) {
    outcome.fail("CreateWindowExA failed (error %lu; is there a display?)", GetLastError());
    return;
  }

  // WM_NCCREATE is the first message the procedure sees; earlier ones went to the default procedure.
  CHECK_EQ(outcome, procedure.firstMessage, WM_NCCREATE);
  CHECK_EQ(outcome, procedure.firstWindow, window);
  CHECK(outcome, procedure.sawCreate);
  CHECK(outcome, GetWindowLongPtrA(asWindow(window), GWLP_USERDATA) ==
                     reinterpret_cast<LONG_PTR>(static_cast<vantorel::WindowProcedure*>(&procedure)));

  CHECK_EQ(outcome, win.sendMessageA(window, kProbeMessage, 11, -22), kProbeAnswer);
  CHECK_EQ(outcome, procedure.probeWParam, 11);
  CHECK_EQ(outcome, procedure.probeLParam, -22);

  CHECK(outcome, win.postMessageA(window, kPostedMessage, 33, 0));
  vantorel::Message message;
  // The message is already queued, so GetMessageA returns at once.
  CHECK(outcome, win.getMessageA(&message, window, kPostedMessage, kPostedMessage) > 0);
  CHECK_EQ(outcome, message.window, window);
  CHECK_EQ(outcome, message.message, kPostedMessage);
  win.translateMessage(message);
  win.dispatchMessageA(message);
  CHECK(outcome, procedure.postedSeen);
  CHECK_EQ(outcome, procedure.postedWParam, 33);

  vantorel::Rect rect;
  CHECK(outcome, win.getWindowRect(window, &rect));
  CHECK_EQ(outcome, rect.right - rect.left, 200);
  CHECK(outcome, win.moveWindow(window, 20, 30, 240, 120, false));
  CHECK(outcome, win.getWindowRect(window, &rect));
  CHECK_EQ(outcome, rect.right - rect.left, 240);
  CHECK_EQ(outcome, rect.bottom - rect.top, 120);

  CHECK(outcome, win.destroyWindow(window));
  CHECK(outcome, procedure.sawDestroy);
  CHECK(outcome, procedure.sawNcDestroy);
  CHECK(outcome, !win.isWindow(window));

  // Without a procedure every message goes to the default procedure and the window still exists.
  const vantorel::WindowHandle plain = createTestWindow(win, title, nullptr);
  CHECK(outcome, plain != 0);
  CHECK_EQ(outcome, GetWindowLongPtrA(asWindow(plain), GWLP_USERDATA), 0);
  CHECK(outcome, win.destroyWindow(plain));
}

void caseTrampolineBalanced(Outcome& outcome) {
  const std::uintptr_t getTickCount = procIn("kernel32.dll", "GetTickCount");
  const std::uintptr_t lstrlen = procIn("kernel32.dll", "lstrlenA");
  const std::uintptr_t mulDiv = procIn("kernel32.dll", "MulDiv");
  CHECK(outcome, getTickCount != 0 && lstrlen != 0 && mulDiv != 0);

  const DWORD before = GetTickCount();
  vantorel::CheckedCall call = vantorel::splitCheckedCall(vantorel_checked_stdcall(getTickCount, nullptr, 0));
  const DWORD after = GetTickCount();
  CHECK(outcome, call.balanced);
  CHECK(outcome, call.value - before <= after - before);

  const char* text = "vantorel";
  const std::uintptr_t one[] = {reinterpret_cast<std::uintptr_t>(text)};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(lstrlen, one, 1));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, call.value, 8);

  const std::uintptr_t three[] = {6, 7, 2};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(mulDiv, three, 3));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, call.value, 21);

  const std::uintptr_t eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(reinterpret_cast<std::uintptr_t>(&weighEight), eight, 8));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, call.value, 87654321);

  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(reinterpret_cast<std::uintptr_t>(&allOnes), nullptr, 0));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, call.value, 0xFFFFFFFFu);

  // The caller's EBX, ESI and EDI survive even a callee that does not keep them.
  CHECK_EQ(outcome, vantorel_test_registers_survive(reinterpret_cast<std::uintptr_t>(&vantorel_test_trash_registers)),
           1);
  call = vantorel::splitCheckedCall(
      vantorel_checked_stdcall(reinterpret_cast<std::uintptr_t>(&vantorel_test_trash_registers), nullptr, 0));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, call.value, 0x5A5A);
}

void caseTrampolineUnbalanced(Outcome& outcome) {
  const std::uintptr_t getTickCount = procIn("kernel32.dll", "GetTickCount");
  const std::uintptr_t waitForSingleObject = procIn("kernel32.dll", "WaitForSingleObject");
  CHECK(outcome, getTickCount != 0 && waitForSingleObject != 0);

  // One argument too many: GetTickCount pops nothing, 4 bytes stay behind.
  const DWORD before = GetTickCount();
  const std::uintptr_t extra[] = {0x5EED};
  vantorel::CheckedCall call = vantorel::splitCheckedCall(vantorel_checked_stdcall(getTickCount, extra, 1));
  const DWORD after = GetTickCount();
  CHECK(outcome, !call.balanced);
  CHECK(outcome, call.value - before <= after - before);

  // A cdecl function leaves both its arguments behind; its result still comes back.
  const std::uintptr_t two[] = {3, 4};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(reinterpret_cast<std::uintptr_t>(&addCdecl), two, 2));
  CHECK(outcome, !call.balanced);
  CHECK_EQ(outcome, call.value, 7);

  // A callee that pops more than it was given takes from the slack below the saved registers.
  const std::uintptr_t single[] = {99};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(reinterpret_cast<std::uintptr_t>(&firstOfTwo), single, 1));
  CHECK(outcome, !call.balanced);
  CHECK_EQ(outcome, call.value, 99);

  // A real Windows function with one argument too many still does its work.
  const HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  CHECK(outcome, event != nullptr);
  const std::uintptr_t waitArguments[] = {reinterpret_cast<std::uintptr_t>(event), 0, 0};
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(waitForSingleObject, waitArguments, 3));
  CloseHandle(event);
  CHECK(outcome, !call.balanced);
  CHECK_EQ(outcome, call.value, WAIT_OBJECT_0);

  // The process carries on: balanced calls still come out balanced, registers intact.
  call = vantorel::splitCheckedCall(vantorel_checked_stdcall(getTickCount, nullptr, 0));
  CHECK(outcome, call.balanced);
  CHECK_EQ(outcome, vantorel_test_registers_survive(reinterpret_cast<std::uintptr_t>(&addCdecl)), 1);
}

const char* routeName(CursorRoute route) {
  switch (route) {
    case CursorRoute::kUnbound:
      return "Unbound";
    case CursorRoute::kUser32:
      return "User32";
    case CursorRoute::kMagnification:
      return "Magnification";
    case CursorRoute::kNone:
      return "None";
  }
  return "?";
}

// The route the table must find, worked out here without it.
CursorRoute expectedCursorRoute() {
  HMODULE user32 = LoadLibraryExA("user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const bool own = user32 != nullptr && GetProcAddress(user32, "ShowSystemCursor") != nullptr;
  if (user32 != nullptr) {
    FreeLibrary(user32);
  }
  if (own) {
    return CursorRoute::kUser32;
  }
  HMODULE magnification = LoadLibraryExA("Magnification.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (magnification == nullptr) {
    return CursorRoute::kNone;
  }
  const bool both = GetProcAddress(magnification, "MagInitialize") != nullptr &&
                    GetProcAddress(magnification, "MagShowSystemCursor") != nullptr;
  FreeLibrary(magnification);
  return both ? CursorRoute::kMagnification : CursorRoute::kNone;
}

void caseCursorRoute(Outcome& outcome) {
  NativeWin32 win;
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  const CursorRoute expected = expectedCursorRoute();
  CHECK(outcome, externals.cursorRoute() == CursorRoute::kUnbound);
  externals.showSystemCursor(1);
  say("# cursor-route: %s\n", routeName(externals.cursorRoute()));
  if (externals.cursorRoute() != expected) {
    outcome.fail("route %s, expected %s", routeName(externals.cursorRoute()), routeName(expected));
    return;
  }
  // The route is found once; a second call keeps it.
  externals.showSystemCursor(1);
  CHECK(outcome, externals.cursorRoute() == expected);
  externals.releaseModules();
  CHECK(outcome, externals.cursorRoute() == CursorRoute::kUnbound);
}

void casePeb(Outcome& outcome) {
  NativeWin32 win;
  using QueryProcess = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  // NOLINTBEGIN(performance-no-int-to-ptr): addresses bound by name
  const auto query = reinterpret_cast<QueryProcess>(procIn("ntdll.dll", "NtQueryInformationProcess"));
  const auto getVersion = reinterpret_cast<GetVersion>(procIn("ntdll.dll", "RtlGetVersion"));
  // NOLINTEND(performance-no-int-to-ptr)
  CHECK(outcome, query != nullptr && getVersion != nullptr);

  PROCESS_BASIC_INFORMATION basic = {};
  ULONG length = 0;
  CHECK_EQ(outcome, query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, &length), 0);
  const std::uintptr_t block = win.processEnvironmentBlock();
  CHECK(outcome, block != 0);
  CHECK_EQ(outcome, block, reinterpret_cast<std::uintptr_t>(basic.PebBaseAddress));

  // OSMajorVersion and OSMinorVersion of the block, as the version probe reads them.
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  CHECK_EQ(outcome, getVersion(&version), 0);
  CHECK_EQ(outcome, win.readMemory32(block + 0xA4), version.dwMajorVersion);
  CHECK_EQ(outcome, win.readMemory32(block + 0xA8), version.dwMinorVersion);
  say("# peb: Windows %lu.%lu\n", version.dwMajorVersion, version.dwMinorVersion);

  const std::uint32_t local = 0xC0FFEE11u;
  CHECK_EQ(outcome, win.readMemory32(reinterpret_cast<std::uintptr_t>(&local)), 0xC0FFEE11u);
}

void caseHeap(Outcome& outcome) {
  NativeWin32 win;
  const vantorel::HeapHandle heap = win.getProcessHeap();
  CHECK_EQ(outcome, heap, reinterpret_cast<std::uintptr_t>(GetProcessHeap()));
  auto* memory = static_cast<unsigned char*>(win.heapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(vantorel::LastInputInfo)));
  CHECK(outcome, memory != nullptr);
  for (std::size_t i = 0; i < sizeof(vantorel::LastInputInfo); ++i) {
    CHECK_EQ(outcome, memory[i], 0);
  }
  CHECK(outcome, win.heapFree(heap, 0, memory));
}

// ---- The fatal cases, each in a process of its own ----

// Forwards every call to the native seam; the fatal cases replace what getProcAddress gives for one
// function.
class ForwardingWin32 final : public vantorel::Win32 {
 public:
  ForwardingWin32(const char* replacedFunction, vantorel::ProcAddress replacement)
      : replacedFunction_(replacedFunction), replacement_(replacement) {}

  vantorel::ModuleHandle loadLibraryExA(const char* fileName, std::uint32_t flags) override {
    return native_.loadLibraryExA(fileName, flags);
  }
  vantorel::ProcAddress getProcAddress(vantorel::ModuleHandle module, const char* name) override {
    if (std::strcmp(name, replacedFunction_) == 0) {
      return replacement_;
    }
    return native_.getProcAddress(module, name);
  }
  bool freeLibrary(vantorel::ModuleHandle module) override { return native_.freeLibrary(module); }

  vantorel::ExternResult getLastInputInfo(vantorel::ProcAddress fn, vantorel::LastInputInfo* info) override {
    return native_.getLastInputInfo(fn, info);
  }
  vantorel::ExternResult showWindow(vantorel::ProcAddress fn, vantorel::WindowHandle window,
                                    std::int32_t command) override {
    return native_.showWindow(fn, window, command);
  }
  vantorel::ExternResult showSystemCursor(vantorel::ProcAddress fn, std::int32_t show) override {
    return native_.showSystemCursor(fn, show);
  }
  vantorel::ExternResult magInitialize(vantorel::ProcAddress fn) override { return native_.magInitialize(fn); }
  vantorel::ExternResult magShowSystemCursor(vantorel::ProcAddress fn, std::int32_t show) override {
    return native_.magShowSystemCursor(fn, show);
  }
  vantorel::ExternResult waitForSingleObject(vantorel::ProcAddress fn, vantorel::KernelHandle handle,
                                             std::uint32_t milliseconds) override {
    return native_.waitForSingleObject(fn, handle, milliseconds);
  }
  vantorel::ExternResult openMutexA(vantorel::ProcAddress fn, std::uint32_t access, std::int32_t inherit,
                                    const char* name) override {
    return native_.openMutexA(fn, access, inherit, name);
  }
  vantorel::ExternResult createMutexA(vantorel::ProcAddress fn, void* security, std::int32_t initialOwner,
                                      const char* name) override {
    return native_.createMutexA(fn, security, initialOwner, name);
  }
  vantorel::ExternResult getDesktopWindow(vantorel::ProcAddress fn) override { return native_.getDesktopWindow(fn); }
  vantorel::ExternResult findWindowExA(vantorel::ProcAddress fn, vantorel::WindowHandle parent,
                                       vantorel::WindowHandle childAfter, const char* className,
                                       const char* title) override {
    return native_.findWindowExA(fn, parent, childAfter, className, title);
  }
  vantorel::ExternResult findWindowA(vantorel::ProcAddress fn, const char* className, const char* title) override {
    return native_.findWindowA(fn, className, title);
  }
  vantorel::ExternResult getAsyncKeyState(vantorel::ProcAddress fn, std::int32_t virtualKey) override {
    return native_.getAsyncKeyState(fn, virtualKey);
  }

  std::uint32_t getCurrentThreadId() override { return native_.getCurrentThreadId(); }
  vantorel::KernelHandle createThread(void* security, std::size_t stackSize, vantorel::ThreadBody* body,
                                      void* parameter, std::uint32_t flags, std::uint32_t* threadId) override {
    return native_.createThread(security, stackSize, body, parameter, flags, threadId);
  }
  bool closeHandle(vantorel::KernelHandle handle) override { return native_.closeHandle(handle); }
  vantorel::HeapHandle getProcessHeap() override { return native_.getProcessHeap(); }
  void* heapAlloc(vantorel::HeapHandle heap, std::uint32_t flags, std::size_t bytes) override {
    return native_.heapAlloc(heap, flags, bytes);
  }
  bool heapFree(vantorel::HeapHandle heap, std::uint32_t flags, void* memory) override {
    return native_.heapFree(heap, flags, memory);
  }
  [[noreturn]] void exitProcess(std::uint32_t exitCode) override { native_.exitProcess(exitCode); }
  std::uint32_t getTickCount() override { return native_.getTickCount(); }
  std::uintptr_t processEnvironmentBlock() override { return native_.processEnvironmentBlock(); }
  std::uint32_t readMemory32(std::uintptr_t address) override { return native_.readMemory32(address); }
  vantorel::InstanceHandle getModuleHandleA(const char* name) override { return native_.getModuleHandleA(name); }

  bool registerClassExA(const vantorel::WindowClass& windowClass) override {
    return native_.registerClassExA(windowClass);
  }
  vantorel::WindowHandle createWindowExA(std::uint32_t exStyle, const char* className, const char* title,
                                         std::uint32_t style, std::int32_t x, std::int32_t y, std::int32_t width,
                                         std::int32_t height, vantorel::WindowHandle parent, vantorel::MenuHandle menu,
                                         vantorel::InstanceHandle instance,
                                         vantorel::WindowProcedure* procedure) override {
    return native_.createWindowExA(exStyle, className, title, style, x, y, width, height, parent, menu, instance,
                                   procedure);
  }
  bool destroyWindow(vantorel::WindowHandle window) override { return native_.destroyWindow(window); }
  bool isWindow(vantorel::WindowHandle window) override { return native_.isWindow(window); }
  bool getWindowRect(vantorel::WindowHandle window, vantorel::Rect* rect) override {
    return native_.getWindowRect(window, rect);
  }
  bool moveWindow(vantorel::WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width,
                  std::int32_t height, bool repaint) override {
    return native_.moveWindow(window, x, y, width, height, repaint);
  }
  std::int32_t getSystemMetrics(std::int32_t index) override { return native_.getSystemMetrics(index); }
  std::intptr_t sendMessageA(vantorel::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
    return native_.sendMessageA(window, message, wParam, lParam);
  }
  bool postMessageA(vantorel::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                    std::intptr_t lParam) override {
    return native_.postMessageA(window, message, wParam, lParam);
  }
  void postQuitMessage(std::int32_t exitCode) override { native_.postQuitMessage(exitCode); }
  std::int32_t getMessageA(vantorel::Message* message, vantorel::WindowHandle window, std::uint32_t filterMin,
                           std::uint32_t filterMax) override {
    return native_.getMessageA(message, window, filterMin, filterMax);
  }
  bool translateMessage(const vantorel::Message& message) override { return native_.translateMessage(message); }
  std::intptr_t dispatchMessageA(const vantorel::Message& message) override {
    return native_.dispatchMessageA(message);
  }
  std::intptr_t defWindowProcA(vantorel::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) override {
    return native_.defWindowProcA(window, message, wParam, lParam);
  }
  std::uintptr_t setTimer(vantorel::WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) override {
    return native_.setTimer(window, id, elapseMs);
  }
  bool killTimer(vantorel::WindowHandle window, std::uintptr_t id) override { return native_.killTimer(window, id); }
  bool setForegroundWindow(vantorel::WindowHandle window) override { return native_.setForegroundWindow(window); }
  bool getCursorPos(vantorel::Point* point) override { return native_.getCursorPos(point); }
  std::int32_t messageBoxA(vantorel::WindowHandle owner, const char* text, const char* title,
                           std::uint32_t flags) override {
    return native_.messageBoxA(owner, text, title, flags);
  }

  vantorel::IconHandle loadIconA(vantorel::InstanceHandle instance, std::uintptr_t resource) override {
    return native_.loadIconA(instance, resource);
  }
  vantorel::IconHandle createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                                std::uint32_t version, std::int32_t cx, std::int32_t cy,
                                                std::uint32_t flags) override {
    return native_.createIconFromResourceEx(bytes, size, icon, version, cx, cy, flags);
  }
  vantorel::IconHandle createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                              std::uint32_t version) override {
    return native_.createIconFromResource(bytes, size, icon, version);
  }
  bool destroyIcon(vantorel::IconHandle icon) override { return native_.destroyIcon(icon); }
  vantorel::FontHandle getStockObject(std::int32_t object) override { return native_.getStockObject(object); }

  vantorel::MenuHandle createMenu() override { return native_.createMenu(); }
  vantorel::MenuHandle createPopupMenu() override { return native_.createPopupMenu(); }
  bool appendMenuA(vantorel::MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) override {
    return native_.appendMenuA(menu, flags, item, caption);
  }
  bool setMenu(vantorel::WindowHandle window, vantorel::MenuHandle menu) override {
    return native_.setMenu(window, menu);
  }
  bool destroyMenu(vantorel::MenuHandle menu) override { return native_.destroyMenu(menu); }
  bool trackPopupMenu(vantorel::MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y,
                      std::int32_t reserved, vantorel::WindowHandle window, const vantorel::Rect* rect) override {
    return native_.trackPopupMenu(menu, flags, x, y, reserved, window, rect);
  }
  bool shellNotifyIconA(std::uint32_t message, vantorel::NotifyIconRecord* record) override {
    return native_.shellNotifyIconA(message, record);
  }

 private:
  NativeWin32 native_;
  const char* replacedFunction_;
  vantorel::ProcAddress replacement_;
};

// Returns only when the table did not report the unbalanced call.
void caseUnbalancedEntry(Outcome& outcome) {
  // WaitForSingleObject bound to a cdecl function of two arguments: 8 bytes stay on the stack.
  ForwardingWin32 win("WaitForSingleObject", reinterpret_cast<vantorel::ProcAddress>(&addCdecl));
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  externals.waitForSingleObject(0, 0);
  outcome.fail("the unbalanced call was not reported");
}

// Returns only when the table did not report the missing function.
void caseMissingEntry(Outcome& outcome) {
  ForwardingWin32 win("GetDesktopWindow", 0);
  PrintingFatalHandler fatal;
  Externals externals(win, fatal);
  externals.getDesktopWindow();
  outcome.fail("the missing function was not reported");
}

// Runs this program with one fatal case and collects its output and exit code.
bool runChild(const char* caseName, char* output, std::size_t capacity, DWORD* exitCode, Outcome& outcome) {
  char self[MAX_PATH];
  if (GetModuleFileNameA(nullptr, self, sizeof self) == 0) {
    outcome.fail("GetModuleFileNameA failed");
    return false;
  }
  char commandLine[MAX_PATH + 64];
  std::snprintf(commandLine, sizeof commandLine, "\"%s\" %s", self, caseName);

  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (CreatePipe(&readEnd, &writeEnd, &inheritable, 0) == 0) {
    outcome.fail("CreatePipe failed");
    return false;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process = {};
  const BOOL started =
      CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (started == 0) {
    CloseHandle(readEnd);
    outcome.fail("CreateProcessA failed (%lu)", GetLastError());
    return false;
  }
  CloseHandle(process.hThread);

  // The child's output is small; read until it closes its end, then wait for its exit, both bounded.
  std::size_t used = 0;
  const DWORD deadline = GetTickCount() + 30000;
  for (;;) {
    DWORD available = 0;
    if (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) == 0) {
      break;  // the child has closed its end
    }
    if (available > 0 && used + 1 < capacity) {
      DWORD got = 0;
      const DWORD room = static_cast<DWORD>(capacity - 1 - used);
      if (ReadFile(readEnd, output + used, available < room ? available : room, &got, nullptr) == 0) {
        break;
      }
      used += got;
      continue;
    }
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
      break;
    }
    WaitForSingleObject(process.hProcess, 10);
  }
  output[used] = '\0';
  CloseHandle(readEnd);

  const DWORD remaining = static_cast<LONG>(deadline - GetTickCount()) > 0 ? deadline - GetTickCount() : 0;
  if (WaitForSingleObject(process.hProcess, remaining) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    outcome.fail("%s did not end within 30 s", caseName);
    return false;
  }
  GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hProcess);
  return true;
}

void expectFatalChild(Outcome& outcome, const char* caseName, const char* library, const char* function) {
  char output[1024];
  DWORD exitCode = 0;
  if (!runChild(caseName, output, sizeof output, &exitCode, outcome)) {
    return;
  }
  const char* line = std::strstr(output, "FATAL: ");
  if (exitCode != 3 || line == nullptr || std::strstr(line, library) == nullptr ||
      std::strstr(line, function) == nullptr) {
    outcome.fail("%s: exit %lu, output \"%s\"", caseName, exitCode, output);
  }
}

void caseFatalEntries(Outcome& outcome) {
  expectFatalChild(outcome, "unbalanced-entry", "kernel32.dll", "!WaitForSingleObject");
  expectFatalChild(outcome, "missing-entry", "user32.dll", "!GetDesktopWindow");
}

struct Case {
  const char* name;
  void (*run)(Outcome&);
  bool fatal;  // ends the process when it passes: only run when named
};

constexpr Case kCases[] = {
    {"binding", caseBinding, false},
    {"find-window", caseFindWindow, false},
    {"mutex", caseMutex, false},
    {"thread", caseThread, false},
    {"window-procedure", caseWindowProcedure, false},
    {"trampoline-balanced", caseTrampolineBalanced, false},
    {"trampoline-unbalanced", caseTrampolineUnbalanced, false},
    {"cursor-route", caseCursorRoute, false},
    {"peb", casePeb, false},
    {"heap", caseHeap, false},
    {"fatal-entries", caseFatalEntries, false},
    {"unbalanced-entry", caseUnbalancedEntry, true},
    {"missing-entry", caseMissingEntry, true},
};

bool runCase(const Case& test) {
  Outcome outcome;
  test.run(outcome);
  if (outcome.failed) {
    say("FAIL %s: %s\n", test.name, outcome.why);
    return false;
  }
  say("ok %s\n", test.name);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool allPassed = true;
  if (argc < 2) {
    for (const Case& test : kCases) {
      if (!test.fatal) {
        allPassed = runCase(test) && allPassed;
      }
    }
    return allPassed ? 0 : 1;
  }
  for (int i = 1; i < argc; ++i) {
    const Case* found = nullptr;
    for (const Case& test : kCases) {
      if (std::strcmp(test.name, argv[i]) == 0) {
        found = &test;
      }
    }
    if (found == nullptr) {
      say("FAIL %s: unknown case\n", argv[i]);
      return 2;
    }
    allPassed = runCase(*found) && allPassed;
  }
  return allPassed ? 0 : 1;
}
