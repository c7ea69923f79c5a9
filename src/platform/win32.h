// The one seam between the program's logic and Windows.
//
// Every Windows call the program makes is one virtual method here, named after the call. The logic
// never includes <windows.h>; it sees only these methods, the small handle types below and the named
// constants in constants.h. Two implementations exist: the native one (src/platform/native/) and the
// simulated Windows of the tests (tests/sim/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantorel {

// Handle values as Windows hands them out; 0 means none.
using WindowHandle = std::uintptr_t;
using MenuHandle = std::uintptr_t;
using IconHandle = std::uintptr_t;
using KernelHandle = std::uintptr_t;  // threads, mutexes
using ModuleHandle = std::uintptr_t;
using HeapHandle = std::uintptr_t;
using FontHandle = std::uintptr_t;
using InstanceHandle = std::uintptr_t;

// The address of a function bound by name through the table of external functions.
using ProcAddress = std::uintptr_t;

struct Point {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};

struct Message {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// LASTINPUTINFO: two 32-bit fields, 8 bytes.
struct LastInputInfo {
  std::uint32_t cbSize = 0;
  std::uint32_t dwTime = 0;
};
static_assert(sizeof(LastInputInfo) == 8);

// NOTIFYICONDATAA in its first form. On 32-bit Windows its fields are 88 bytes; the native seam copies
// them field by field into the SDK's record, so handles may be wider here on a 64-bit host.
struct NotifyIconRecord {
  std::uint32_t cbSize = 0;
  WindowHandle hWnd = 0;
  std::uint32_t uID = 0;
  std::uint32_t uFlags = 0;
  std::uint32_t uCallbackMessage = 0;
  IconHandle hIcon = 0;
  char szTip[64] = {};
};

// What a call through the table of external functions gave back: the function's 32-bit result
// (EAX on i686), and whether the stack pointer was the same after the call as before it.
struct ExternResult {
  std::uint32_t value = 0;
  bool balanced = true;
};

// Receives the messages of the program's windows. The native seam keeps it in the window's user data
// (handed over as the creation parameter), the simulator in its window record.
class WindowProcedure {
 public:
  virtual std::intptr_t windowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) = 0;

 protected:
  ~WindowProcedure() = default;
};

// The body of a thread started with createThread. `parameter` is the thread parameter as passed.
class ThreadBody {
 public:
  virtual std::uint32_t threadMain(void* parameter) = 0;

 protected:
  ~ThreadBody() = default;
};

// The registration of the program's window class (WNDCLASSEXA, reduced to what the program sets).
struct WindowClass {
  std::uint32_t style = 0;
  InstanceHandle instance = 0;
  IconHandle icon = 0;
  IconHandle smallIcon = 0;
  std::uintptr_t background = 0;  // a brush, or a system colour index + 1
  const char* className = nullptr;
};

class Win32 {
 public:
  virtual ~Win32() = default;

  // ---- Binding by name (the table of external functions) ----
  virtual ModuleHandle loadLibraryExA(const char* fileName, std::uint32_t flags) = 0;
  virtual ProcAddress getProcAddress(ModuleHandle module, const char* name) = 0;
  virtual bool freeLibrary(ModuleHandle module) = 0;

  // ---- Functions called through a bound address; each reports the stack check ----
  virtual ExternResult getLastInputInfo(ProcAddress fn, LastInputInfo* info) = 0;
  virtual ExternResult showWindow(ProcAddress fn, WindowHandle window, std::int32_t command) = 0;
  virtual ExternResult showSystemCursor(ProcAddress fn, std::int32_t show) = 0;
  virtual ExternResult magInitialize(ProcAddress fn) = 0;
  virtual ExternResult magShowSystemCursor(ProcAddress fn, std::int32_t show) = 0;
  virtual ExternResult waitForSingleObject(ProcAddress fn, KernelHandle handle, std::uint32_t milliseconds) = 0;
  virtual ExternResult openMutexA(ProcAddress fn, std::uint32_t access, std::int32_t inherit, const char* name) = 0;
  virtual ExternResult createMutexA(ProcAddress fn, void* security, std::int32_t initialOwner, const char* name) = 0;
  virtual ExternResult getDesktopWindow(ProcAddress fn) = 0;
  virtual ExternResult findWindowExA(ProcAddress fn, WindowHandle parent, WindowHandle childAfter,
                                     const char* className, const char* title) = 0;
  // `title` may be null (any title).
  virtual ExternResult findWindowA(ProcAddress fn, const char* className, const char* title) = 0;
  virtual ExternResult getAsyncKeyState(ProcAddress fn, std::int32_t virtualKey) = 0;

  // ---- Process, threads, heap ----
  virtual std::uint32_t getCurrentThreadId() = 0;
  virtual KernelHandle createThread(void* security, std::size_t stackSize, ThreadBody* body, void* parameter,
                                    std::uint32_t flags, std::uint32_t* threadId) = 0;
  virtual bool closeHandle(KernelHandle handle) = 0;
  virtual HeapHandle getProcessHeap() = 0;
  virtual void* heapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t bytes) = 0;
  virtual bool heapFree(HeapHandle heap, std::uint32_t flags, void* memory) = 0;
  [[noreturn]] virtual void exitProcess(std::uint32_t exitCode) = 0;
  virtual std::uint32_t getTickCount() = 0;
  // The address of the process environment block, and a 32-bit read from that memory.
  virtual std::uintptr_t processEnvironmentBlock() = 0;
  virtual std::uint32_t readMemory32(std::uintptr_t address) = 0;
  virtual InstanceHandle getModuleHandleA(const char* name) = 0;

  // ---- Windows and messages ----
  virtual bool registerClassExA(const WindowClass& windowClass) = 0;
  // `procedure` (passed as the lpParam of CreateWindowExA) receives every message of the new window,
  // WM_NCCREATE and WM_CREATE included, from inside this call on.
  virtual WindowHandle createWindowExA(std::uint32_t exStyle, const char* className, const char* title,
                                       std::uint32_t style, std::int32_t x, std::int32_t y, std::int32_t width,
                                       std::int32_t height, WindowHandle parent, MenuHandle menu,
                                       InstanceHandle instance, WindowProcedure* procedure) = 0;
  virtual bool destroyWindow(WindowHandle window) = 0;
  virtual bool isWindow(WindowHandle window) = 0;
  virtual bool getWindowRect(WindowHandle window, Rect* rect) = 0;
  virtual bool moveWindow(WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                          bool repaint) = 0;
  virtual std::int32_t getSystemMetrics(std::int32_t index) = 0;
  virtual std::intptr_t sendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) = 0;
  virtual bool postMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) = 0;
  virtual void postQuitMessage(std::int32_t exitCode) = 0;
  // >0 for a message, 0 for WM_QUIT, -1 on error, as GetMessageA.
  virtual std::int32_t getMessageA(Message* message, WindowHandle window, std::uint32_t filterMin,
                                   std::uint32_t filterMax) = 0;
  virtual bool translateMessage(const Message& message) = 0;
  virtual std::intptr_t dispatchMessageA(const Message& message) = 0;
  virtual std::intptr_t defWindowProcA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam) = 0;
  virtual std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) = 0;
  virtual bool killTimer(WindowHandle window, std::uintptr_t id) = 0;
  virtual bool setForegroundWindow(WindowHandle window) = 0;
  virtual bool getCursorPos(Point* point) = 0;
  // Returns what MessageBoxA returns (IDOK = 1, …).
  virtual std::int32_t messageBoxA(WindowHandle owner, const char* text, const char* title, std::uint32_t flags) = 0;

  // ---- Resources, icons, fonts ----
  // `resource` is an integer resource identifier (MAKEINTRESOURCE).
  virtual IconHandle loadIconA(InstanceHandle instance, std::uintptr_t resource) = 0;
  virtual IconHandle createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                              std::uint32_t version, std::int32_t cx, std::int32_t cy,
                                              std::uint32_t flags) = 0;
  virtual IconHandle createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                            std::uint32_t version) = 0;
  virtual bool destroyIcon(IconHandle icon) = 0;
  virtual FontHandle getStockObject(std::int32_t object) = 0;

  // ---- Menus and the notification area ----
  virtual MenuHandle createMenu() = 0;
  virtual MenuHandle createPopupMenu() = 0;
  // `item` is a command identifier, or a popup menu handle with MF_POPUP.
  virtual bool appendMenuA(MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) = 0;
  virtual bool setMenu(WindowHandle window, MenuHandle menu) = 0;
  virtual bool destroyMenu(MenuHandle menu) = 0;
  virtual bool trackPopupMenu(MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y,
                              std::int32_t reserved, WindowHandle window, const Rect* rect) = 0;
  virtual bool shellNotifyIconA(std::uint32_t message, NotifyIconRecord* record) = 0;
};

}  // namespace vantorel
