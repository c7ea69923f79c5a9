// The simulated Windows of the tests: a deterministic, single-process model of everything the program
// reaches through the seam (platform/win32.h). No real threads, no real time.
//
// ---- The call log ----
// Every seam call appends one entry `Name(arg, arg, ...)` with the real Windows function name, before
// the call does its work (so calls it makes in turn, e.g. the window procedure's, come after it).
// Arguments: integers and handles in decimal (signed ones signed), bools 0/1, strings in double quotes
// with their raw bytes, a null string or null pointer as `null`, any other pointer as `ptr` (never the
// address). Separator ", ". The formats, per call:
//   LoadLibraryExA("name as passed", flags)          GetProcAddress("user32.dll", "Name")
//   FreeLibrary("user32.dll")                         (an unknown module handle is printed as a number)
//   GetLastInputInfo(ptr)  ShowWindow(h, cmd)  ShowSystemCursor(show)  MagInitialize()
//   MagShowSystemCursor(show)  WaitForSingleObject(handle, ms)  OpenMutexA(access, inherit, "name")
//   CreateMutexA(security, owner, "name")  GetDesktopWindow()  FindWindowExA(parent, after, "class", "title")
//   FindWindowA("class", "title")  GetAsyncKeyState(vk)
//   GetCurrentThreadId()  CreateThread(security, stackSize, parameter, flags)  CloseHandle(h)
//   GetProcessHeap()  HeapAlloc(heap, flags, bytes)  HeapFree(heap, flags, ptr)  ExitProcess(code)
//   GetTickCount()  ProcessEnvironmentBlock()  ReadMemory32(address)  GetModuleHandleA(null)
//   RegisterClassExA("class")
//   CreateWindowExA(exStyle, "class", "title", style, x, y, w, h, parent, menu, instance)
//   DestroyWindow(h)  IsWindow(h)  GetWindowRect(h, ptr)  MoveWindow(h, x, y, w, h, repaint)
//   GetSystemMetrics(index)  SendMessageA(h, msg, wParam, lParam)  PostMessageA(h, msg, wParam, lParam)
//   PostQuitMessage(code)  GetMessageA(ptr, h, min, max)  TranslateMessage(h, msg, wParam, lParam)
//   DispatchMessageA(h, msg, wParam, lParam)  DefWindowProcA(h, msg, wParam, lParam)
//   SetTimer(h, id, ms)  KillTimer(h, id)  SetForegroundWindow(h)  GetCursorPos(ptr)
//   MessageBoxA(owner, "text", "title", flags)
//   LoadIconA(instance, resource)  CreateIconFromResourceEx(size, icon, version, cx, cy, flags)
//   CreateIconFromResource(size, icon, version)  DestroyIcon(h)  GetStockObject(index)
//   CreateMenu()  CreatePopupMenu()  AppendMenuA(menu, flags, item, "caption")  SetMenu(h, menu)
//   DestroyMenu(menu)  TrackPopupMenu(menu, flags, x, y, reserved, h, rect)
//   Shell_NotifyIconA(message, cbSize, hWnd, uID, uFlags, uCallbackMessage, hIcon, "tip")
//     (or Shell_NotifyIconA(message, null) for a null record)
// The icon bytes are not printed. Calls the simulated system makes on its own (the modal loop of a box
// dispatching, DestroyWindow destroying the attached menu) are not logged, with one exception:
// DefWindowProcA(WM_CLOSE) logs the DestroyWindow it makes. The test helpers (send, post, input, …) are
// not seam calls and are not logged. `logThreads` and `logTimes` run parallel to `log`.
//
// ---- Handle values ----
// Distinct ranges per kind, never reused: windows from 65536 (the desktop is 65536), menus from 131072,
// icons 196608 (the application icon) and up, stock objects 262144 + index, kernel handles (threads,
// mutexes) 256, 260, 264, …; the constants below name the fixed ones.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace vantorel::sim {

inline constexpr WindowHandle kDesktopWindow = 0x10000;
inline constexpr InstanceHandle kInstance = 0x00400000;
inline constexpr HeapHandle kProcessHeap = 0x00150000;
inline constexpr IconHandle kAppIcon = 0x00030000;
inline constexpr FontHandle kStockObjectBase = 0x00040000;
inline constexpr FontHandle kDefaultGuiFont = kStockObjectBase + 17;
inline constexpr std::uint64_t kStartTime = 100000;
inline constexpr std::uint64_t kDefaultClockSpan = 48ull * 60 * 60 * 1000;  // 48 h

// exitProcess unwinds to the test with this; deliberately not a std::exception.
struct ProcessExit {
  std::uint32_t code;
};

// The simulation can never make progress (a loop would wait forever), or the clock would pass
// clockLimit, or a call would deadlock.
class SimulationStuck : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Formats as `ptr` in call(): stands for any non-null pointer argument.
struct PointerTag {};
inline constexpr PointerTag kPtr{};

namespace detail {

template <class>
inline constexpr bool kUnsupported = false;

template <class T>
void appendArg(std::string& out, const T& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, std::nullptr_t>) {
    out += "null";
  } else if constexpr (std::is_same_v<D, PointerTag>) {
    out += "ptr";
  } else if constexpr (std::is_same_v<D, bool>) {
    out += value ? '1' : '0';
  } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
    const char* s = value;
    if (s == nullptr) {
      out += "null";
    } else {
      out += '"';
      out += s;
      out += '"';
    }
  } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
    out += '"';
    out += value;
    out += '"';
  } else if constexpr (std::is_enum_v<D>) {
    appendArg(out, static_cast<std::underlying_type_t<D>>(value));
  } else if constexpr (std::is_integral_v<D>) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
  } else if constexpr (std::is_pointer_v<D>) {
    out += value != nullptr ? "ptr" : "null";
  } else {
    static_assert(kUnsupported<D>, "call(): unsupported argument type");
  }
}

}  // namespace detail

// One log entry as the simulator writes it: call("ShowWindow", h, 0) == "ShowWindow(65537, 0)".
template <class... Args>
std::string call(std::string_view name, const Args&... args) {
  std::string out(name);
  out += '(';
  [[maybe_unused]] bool first = true;
  ((out += first ? "" : ", ", first = false, detail::appendArg(out, args)), ...);
  out += ')';
  return out;
}

struct WindowInfo {
  std::string className;
  std::string title;
  WindowHandle parent = 0;  // 0 for a top-level window
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  MenuHandle menu = 0;
  bool visible = false;
  bool destroyed = false;
  std::uint32_t threadId = 0;  // 0: a window of another process (made by addWindow)
  WindowProcedure* procedure = nullptr;
  IconHandle bigIcon = 0;
  IconHandle smallIcon = 0;
  FontHandle font = 0;
  InstanceHandle instance = 0;
  std::vector<WindowHandle> children;  // in creation order, destroyed ones included
  bool destroying = false;
};

struct MenuItem {
  std::uint32_t flags = 0;
  std::uintptr_t item = 0;  // command identifier, or the submenu's handle with MF_POPUP
  std::string caption;
};

struct MenuRecord {
  bool popup = false;
  std::vector<MenuItem> items;
  bool destroyed = false;
};

struct PopupRecord {
  MenuHandle menu = 0;
  std::uint32_t flags = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  WindowHandle window = 0;
  WindowHandle foreground = 0;  // the foreground window when the popup opened
  std::vector<MenuItem> items;
  std::uint64_t time = 0;
};

struct MessageBoxRecord {
  WindowHandle owner = 0;
  std::string text;
  std::string title;
  std::uint32_t flags = 0;
  std::uint32_t threadId = 0;
  std::uint64_t time = 0;
};

struct TrayIcon {
  WindowHandle window = 0;
  std::uint32_t id = 0;
  std::uint32_t callbackMessage = 0;
  IconHandle icon = 0;
  std::string tip;
};

struct IconRecord {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool destroyed = false;
};

class SimWindows final : public Win32 {
 public:
  SimWindows();
  ~SimWindows() override;
  SimWindows(const SimWindows&) = delete;
  SimWindows& operator=(const SimWindows&) = delete;

  // ==== The call log ====
  bool logEnabled = true;  // off: nothing is logged and no timer tick times are kept (fast runs)
  std::vector<std::string> log;
  std::vector<std::uint32_t> logThreads;  // the calling thread of each entry
  std::vector<std::uint64_t> logTimes;    // the virtual time of each entry
  // The entries whose function name is one of `names`, in order.
  std::vector<std::string> calls(std::initializer_list<std::string_view> names) const;
  void clearLog();

  // ==== Clock, scheduled actions, loops ====
  std::uint32_t now() const { return static_cast<std::uint32_t>(clock_); }
  std::uint64_t now64() const { return clock_; }
  // Sets the clock (its high 32 bits become 0). A clockLimit still at its default follows along.
  void setNow(std::uint32_t time);
  // Moves the clock on by `ms`, running the actions that fall due on the way in time order. No
  // message is dispatched: timers just become due.
  void advance(std::uint32_t ms);
  // Runs `action` once the clock reaches `time` (from a loop or advance), before the messages due at
  // that same time. A time already past runs at the next opportunity. Same times run in order given.
  void at(std::uint64_t time, std::function<void()> action);
  void after(std::uint32_t delay, std::function<void()> action) { at(clock_ + delay, std::move(action)); }
  std::uint64_t clockLimit = kStartTime + kDefaultClockSpan;
  // A WM_QUIT posted to the GUI thread from outside (PostThreadMessage(WM_QUIT)), in FIFO order.
  void postQuit(std::int32_t code);
  // A nested modal loop, as a message box runs it: for `ms` of virtual time, runs due actions and
  // dispatches the posted messages and due timers of the current thread's windows (all that is due up
  // to and including the end time). A WM_QUIT met stops it at once and stays queued for the outer loop
  // (then returns false). On a thread without windows it just advances the clock.
  bool pumpFor(std::uint32_t ms);
  // Delivers to a window "from outside": send calls the procedure now (0 for windows without one);
  // post queues (false for a window that is not live). closeWindow posts WM_CLOSE.
  std::intptr_t send(WindowHandle window, std::uint32_t message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
  bool post(WindowHandle window, std::uint32_t message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);
  void closeWindow(WindowHandle window);
  // The delivery times of WM_TIMER (window, id), across kills and resets (kept while logEnabled).
  std::vector<std::uint64_t> timerTicks(WindowHandle window, std::uintptr_t id) const;
  // How many WM_TIMER (window, id) were delivered (always counted).
  std::size_t timerTickCount(WindowHandle window, std::uintptr_t id) const;
  // The running timer's period and next due time; nullopt when it does not run.
  std::optional<std::uint32_t> timerPeriod(WindowHandle window, std::uintptr_t id) const;
  std::optional<std::uint64_t> timerDue(WindowHandle window, std::uintptr_t id) const;
  // Posted messages not yet retrieved, of all threads.
  std::size_t pendingMessages() const { return posted_.size(); }

  // ==== Windows ====
  WindowHandle desktop() const { return kDesktopWindow; }
  // A window of another process (no procedure, thread 0). Parent 0 or desktop(): top-level.
  WindowHandle addWindow(WindowHandle parent, const char* className, const char* title, bool visible = true);
  // Destroys a window (and its children) at once without any message, as when its process ends.
  void removeWindow(WindowHandle window);
  void setVisible(WindowHandle window, bool visible);
  bool visible(WindowHandle window) const;
  const WindowInfo* window(WindowHandle window) const;
  std::vector<WindowHandle> windowsOfClass(const char* className) const;  // live ones
  const WindowClass* windowClass(const char* name) const;
  bool failWindowCreation = false;
  std::int32_t forceCreatedWidth = 0;
  std::int32_t forceCreatedHeight = 0;
  std::int32_t screenWidth = 1024;
  std::int32_t screenHeight = 768;
  WindowHandle foreground = 0;
  Point cursor{512, 384};

  // ==== Input ====
  void input() { lastInput_ = now(); }
  void setLastInputTime(std::uint32_t time) { lastInput_ = time; }
  std::uint32_t lastInputTime() const { return lastInput_; }
  int lastInputFailures = 0;
  bool lastInputAlwaysFails = false;
  // A full click: the "pressed since the last query" bit, and input.
  void press(std::int32_t virtualKey);
  // The button held down or released; both are input, going down also sets the pressed bit.
  void hold(std::int32_t virtualKey, bool down);
  // When set and returning a value, that value is what GetAsyncKeyState gives (the pressed bit is
  // still cleared).
  std::function<std::optional<std::uint32_t>(std::int32_t)> onAsyncKeyState;
  bool cursorVisible() const { return cursorVisible_; }
  bool magnificationInitialized() const { return magInitialized_; }
  int cursorShowCalls = 0;  // calls that switched the pointer on / off, either route
  int cursorHideCalls = 0;

  // ==== Binding by name ====
  std::vector<std::pair<std::string, std::uint32_t>> loads;  // name as passed, flags; failed ones too
  void removeLibrary(const char* name);
  void removeExport(const char* library, const char* function);
  void unbalance(const char* function);
  int moduleReferences(const char* name) const;
  ModuleHandle moduleHandle(const char* name) const;  // the handle a load gives, 0 for unknown

  // ==== Threads, heap, process ====
  std::uint32_t guiThreadId() const { return 1; }
  std::uint32_t currentThreadId() const { return current_; }
  bool failThreadCreation = false;
  std::optional<std::uint32_t> threadExitCode(std::uint32_t threadId) const;
  std::size_t threadsCreated() const { return threads_.size() - 1; }
  int heapFailures = 0;
  std::size_t heapAllocations = 0;
  std::size_t liveHeapBlocks() const { return heapBlocks_.size(); }
  std::optional<std::uint32_t> exitCode;
  std::optional<std::uint32_t> runToExit(const std::function<void()>& body);
  std::uintptr_t pebAddress = 0x7FFDE000;
  std::uint32_t pebMajor = 10;
  std::uint32_t pebMinor = 0;
  void setWindowsVersion(std::uint32_t major, std::uint32_t minor) {
    pebMajor = major;
    pebMinor = minor;
  }
  // Everything the ended process owned goes: its mutex handles, window classes, windows (without
  // messages), timers and queued messages; the current thread is the GUI thread again. Tray icons,
  // heap blocks and module counts stay for the test to read.
  void endProcess();

  // ==== Mutexes ====
  void createNamedMutex(const char* name);  // by another process
  void removeNamedMutex(const char* name);  // that process let it go
  bool mutexExists(const char* name) const;
  void releaseMutexesOfProcess();  // closes every mutex handle the program holds
  bool failMutexCreation = false;

  // ==== Message boxes ====
  std::vector<MessageBoxRecord> messageBoxes;
  // The scripted dismissal, called while the box is open; returns what MessageBoxA returns. Unset:
  // IDOK (1) at once.
  std::function<std::int32_t(const MessageBoxRecord&)> onMessageBox;
  int openMessageBoxes = 0;
  int maxOpenMessageBoxes = 0;

  // ==== Notification area, icons, menus ====
  std::vector<std::pair<std::uint32_t, NotifyIconRecord>> notifyCalls;
  std::vector<TrayIcon> trayIcons;
  bool failNotify = false;
  // The user acts on a tray icon: posts its callback message (wParam = id, lParam = mouseMessage).
  // False when there is no such icon or it has no callback message.
  bool clickTrayIcon(WindowHandle window, std::uint32_t id, std::intptr_t mouseMessage);
  bool failIconFromResourceEx = false;
  bool failIconFromResource = false;
  std::size_t liveIcons() const { return iconsCreated_ - iconsDestroyed_; }
  const IconRecord* icon(IconHandle icon) const;
  bool failMenuCreation = false;
  const MenuRecord* menu(MenuHandle menu) const;
  std::size_t liveMenus() const;
  std::vector<PopupRecord> popups;
  // The scripted choice while the popup is open: the command identifier, 0 for none. Unset: 0.
  std::function<std::uint32_t(const PopupRecord&)> onPopup;

  // ==== The seam ====
  ModuleHandle loadLibraryExA(const char* fileName, std::uint32_t flags) override;
  ProcAddress getProcAddress(ModuleHandle module, const char* name) override;
  bool freeLibrary(ModuleHandle module) override;

  ExternResult getLastInputInfo(ProcAddress fn, LastInputInfo* info) override;
  ExternResult showWindow(ProcAddress fn, WindowHandle window, std::int32_t command) override;
  ExternResult showSystemCursor(ProcAddress fn, std::int32_t show) override;
  ExternResult magInitialize(ProcAddress fn) override;
  ExternResult magShowSystemCursor(ProcAddress fn, std::int32_t show) override;
  ExternResult waitForSingleObject(ProcAddress fn, KernelHandle handle, std::uint32_t milliseconds) override;
  ExternResult openMutexA(ProcAddress fn, std::uint32_t access, std::int32_t inherit, const char* name) override;
  ExternResult createMutexA(ProcAddress fn, void* security, std::int32_t initialOwner, const char* name) override;
  ExternResult getDesktopWindow(ProcAddress fn) override;
  ExternResult findWindowExA(ProcAddress fn, WindowHandle parent, WindowHandle childAfter, const char* className,
                             const char* title) override;
  ExternResult findWindowA(ProcAddress fn, const char* className, const char* title) override;
  ExternResult getAsyncKeyState(ProcAddress fn, std::int32_t virtualKey) override;

  std::uint32_t getCurrentThreadId() override;
  KernelHandle createThread(void* security, std::size_t stackSize, ThreadBody* body, void* parameter,
                            std::uint32_t flags, std::uint32_t* threadId) override;
  bool closeHandle(KernelHandle handle) override;
  HeapHandle getProcessHeap() override;
  void* heapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t bytes) override;
  bool heapFree(HeapHandle heap, std::uint32_t flags, void* memory) override;
  [[noreturn]] void exitProcess(std::uint32_t exitCode) override;
  std::uint32_t getTickCount() override;
  std::uintptr_t processEnvironmentBlock() override;
  std::uint32_t readMemory32(std::uintptr_t address) override;
  InstanceHandle getModuleHandleA(const char* name) override;

  bool registerClassExA(const WindowClass& windowClass) override;
  WindowHandle createWindowExA(std::uint32_t exStyle, const char* className, const char* title, std::uint32_t style,
                               std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                               WindowHandle parent, MenuHandle menu, InstanceHandle instance,
                               WindowProcedure* procedure) override;
  bool destroyWindow(WindowHandle window) override;
  bool isWindow(WindowHandle window) override;
  bool getWindowRect(WindowHandle window, Rect* rect) override;
  bool moveWindow(WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  bool repaint) override;
  std::int32_t getSystemMetrics(std::int32_t index) override;
  std::intptr_t sendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;
  bool postMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void postQuitMessage(std::int32_t exitCode) override;
  std::int32_t getMessageA(Message* message, WindowHandle window, std::uint32_t filterMin,
                           std::uint32_t filterMax) override;
  bool translateMessage(const Message& message) override;
  std::intptr_t dispatchMessageA(const Message& message) override;
  std::intptr_t defWindowProcA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) override;
  std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) override;
  bool killTimer(WindowHandle window, std::uintptr_t id) override;
  bool setForegroundWindow(WindowHandle window) override;
  bool getCursorPos(Point* point) override;
  std::int32_t messageBoxA(WindowHandle owner, const char* text, const char* title, std::uint32_t flags) override;

  IconHandle loadIconA(InstanceHandle instance, std::uintptr_t resource) override;
  IconHandle createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon, std::uint32_t version,
                                      std::int32_t cx, std::int32_t cy, std::uint32_t flags) override;
  IconHandle createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                    std::uint32_t version) override;
  bool destroyIcon(IconHandle icon) override;
  FontHandle getStockObject(std::int32_t object) override;

  MenuHandle createMenu() override;
  MenuHandle createPopupMenu() override;
  bool appendMenuA(MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) override;
  bool setMenu(WindowHandle window, MenuHandle menu) override;
  bool destroyMenu(MenuHandle menu) override;
  bool trackPopupMenu(MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y, std::int32_t reserved,
                      WindowHandle window, const Rect* rect) override;
  bool shellNotifyIconA(std::uint32_t message, NotifyIconRecord* record) override;

 private:
  enum class Export : std::uint8_t;
  struct ExportRecord {
    std::size_t library;
    const char* name;
    ProcAddress address;
    bool removed;
    bool unbalanced;
  };
  struct LibraryRecord {
    const char* name;  // normalised
    ModuleHandle handle;
    int references;
    bool removed;
  };
  struct ClassRecord {
    std::string name;
    WindowClass record;
  };
  struct ThreadRecord {
    std::uint32_t id = 0;
    KernelHandle handle = 0;
    bool ended = false;
    std::optional<std::uint32_t> exitCode;
    bool quitPending = false;  // PostQuitMessage's flag
    std::int32_t quitCode = 0;
  };
  struct MutexRecord {
    std::string name;  // "" for an unnamed one
    bool external = false;
    int handles = 0;
    bool gone = false;
  };
  struct KernelObject {
    enum class Kind : std::uint8_t { kThread, kMutex } kind;
    std::size_t index;  // thread id or mutex index
    bool open;
  };
  struct PostedMessage {
    std::uint32_t thread = 0;
    Message message;
  };
  struct TickHistory;
  struct TimerRecord {
    WindowHandle window;
    std::uintptr_t id;
    std::uint32_t period;
    std::uint64_t due;
    std::uint64_t sequence;  // of the (re)set: the tie-break
    std::uint32_t thread;
    TickHistory* history;
  };
  struct TickHistory {
    std::size_t count = 0;
    std::vector<std::uint64_t> times;
  };
  struct KeyState {
    bool down = false;
    bool pressed = false;
  };
  class ThreadSwitch;
  class BoxDepth;

  template <class... Args>
  void note(std::string_view name, const Args&... args) {
    if (logEnabled) {
      log.push_back(call(name, args...));
      logThreads.push_back(current_);
      logTimes.push_back(clock_);
    }
  }
  std::string moduleArg(ModuleHandle module) const;

  // Binding
  void checkEntry(ProcAddress fn, Export entry) const;
  ExternResult result(Export entry, std::uint32_t value) const;
  LibraryRecord* libraryByName(std::string_view normalised);
  const LibraryRecord* libraryByName(std::string_view normalised) const;
  LibraryRecord* libraryByHandle(ModuleHandle module);
  const LibraryRecord* libraryByHandle(ModuleHandle module) const;

  // Windows
  WindowInfo* find(WindowHandle window);
  const WindowInfo* find(WindowHandle window) const;
  WindowInfo* live(WindowHandle window);
  const WindowInfo* live(WindowHandle window) const;
  WindowHandle newWindow(WindowHandle parent, WindowInfo info);
  std::intptr_t callProcedure(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  std::intptr_t deliverSent(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  void destroyTree(WindowHandle window, bool sendMessages);
  WindowHandle findChild(WindowHandle parent, WindowHandle after, const char* className, const char* title) const;
  std::uint32_t queueThreadOf(const WindowInfo& window) const;
  bool queueMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

  // Loop machinery
  void runDueActions();
  std::optional<std::uint64_t> nextActionTime() const;
  std::optional<std::uint64_t> nextTimerDue(std::uint32_t thread) const;
  void checkLimit(std::uint64_t time, const char* what) const;
  void moveClockTo(std::uint64_t time, const char* what);
  bool takePosted(std::uint32_t thread, WindowHandle filter, std::uint32_t min, std::uint32_t max, Message& out,
                  bool leaveQuit);
  TimerRecord* dueTimer(std::uint32_t thread, WindowHandle filter, std::uint32_t min, std::uint32_t max);
  void deliverTimer(TimerRecord& timer, Message& out);
  void killTimersOf(WindowHandle window);
  void endThread(std::uint32_t thread);
  ThreadRecord& threadRecord(std::uint32_t id);

  // Kernel objects
  KernelHandle newKernelHandle(KernelObject object);
  KernelObject* openObject(KernelHandle handle);
  void closeMutexHandle(std::size_t mutex);
  MutexRecord* mutexByName(const char* name);
  const MutexRecord* mutexByName(const char* name) const;

  // Menus and icons
  MenuRecord* liveMenu(MenuHandle menu);
  void destroyMenuTree(MenuHandle menu);
  IconHandle newIcon(std::int32_t width, std::int32_t height);

  // ---- state ----
  std::uint64_t clock_ = kStartTime;
  std::uint64_t autoClockLimit_ = kStartTime + kDefaultClockSpan;
  std::uint64_t actionSequence_ = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> actions_;

  std::deque<WindowInfo> windows_;  // index = handle - kDesktopWindow
  std::deque<ClassRecord> classes_;
  std::deque<PostedMessage> posted_;
  std::vector<TimerRecord> timers_;
  std::uint64_t timerSequence_ = 0;
  std::uintptr_t nextThreadTimerId_ = 0x7FF0;
  std::map<std::pair<WindowHandle, std::uintptr_t>, TickHistory> tickHistory_;

  std::uint32_t lastInput_ = static_cast<std::uint32_t>(kStartTime);
  KeyState keys_[256] = {};
  bool cursorVisible_ = true;
  bool magInitialized_ = false;

  std::vector<LibraryRecord> libraries_;
  std::vector<ExportRecord> exports_;

  std::vector<ThreadRecord> threads_;  // index = id - 1
  std::uint32_t current_ = 1;
  std::unordered_map<KernelHandle, KernelObject> kernelObjects_;
  KernelHandle nextKernelHandle_ = 0x100;
  std::vector<MutexRecord> mutexes_;
  std::unordered_map<void*, std::size_t> heapBlocks_;

  std::deque<MenuRecord> menus_;  // index = handle - kFirstMenu
  std::size_t liveMenus_ = 0;
  std::deque<IconRecord> icons_;  // index = handle - kFirstIcon
  std::size_t iconsCreated_ = 0;
  std::size_t iconsDestroyed_ = 0;
};

}  // namespace vantorel::sim
