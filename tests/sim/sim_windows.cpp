#include "sim/sim_windows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/constants.h"

namespace vantorel::sim {

namespace {

constexpr std::uint32_t kWmNcCreate = 0x0081;
constexpr std::uint32_t kWmNcDestroy = 0x0082;
constexpr std::uint32_t kWsChild = 0x40000000u;
constexpr std::uint32_t kTpmReturnCmd = 0x0100;
constexpr std::uint32_t kMfBitmap = 0x0004;
constexpr std::uint32_t kMfOwnerDraw = 0x0100;
constexpr std::uint32_t kMfSeparator = 0x0800;
constexpr std::uint32_t kLrDefaultSize = 0x0040;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 0x102;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr std::uint32_t kUserTimerMinimum = 10;
constexpr std::uint32_t kUserTimerMaximum = 0x7FFFFFFF;
constexpr std::int32_t kIdOk = 1;
constexpr std::int32_t kSystemIconSize = 32;

constexpr MenuHandle kFirstMenu = 0x20000;
constexpr IconHandle kFirstIcon = kAppIcon + 1;
constexpr std::int32_t kStockObjectCount = 20;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

// ASCII lowercase, the directory dropped, ".dll" appended when the name has no extension.
std::string normaliseLibrary(const char* name) {
  std::string_view view(name);
  const std::size_t slash = view.find_last_of("\\/");
  if (slash != std::string_view::npos) {
    view.remove_prefix(slash + 1);
  }
  std::string out;
  out.reserve(view.size() + 4);
  for (const char c : view) {
    out += lower(c);
  }
  if (out.find('.') == std::string::npos) {
    out += ".dll";
  }
  return out;
}

// "Local\" names the session namespace the simulator has only one of.
std::string_view mutexKey(const char* name) {
  std::string_view view(name);
  constexpr std::string_view kLocal = "Local\\";
  if (view.substr(0, kLocal.size()) == kLocal) {
    view.remove_prefix(kLocal.size());
  }
  return view;
}

std::uint32_t read32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool inRange(std::uint32_t message, std::uint32_t min, std::uint32_t max) {
  return (min == 0 && max == 0) || (message >= min && message <= max);
}

}  // namespace

enum class SimWindows::Export : std::uint8_t {
  kGetLastInputInfo,
  kShowWindow,
  kShowSystemCursor,
  kGetDesktopWindow,
  kFindWindowExA,
  kFindWindowA,
  kGetAsyncKeyState,
  kWaitForSingleObject,
  kOpenMutexA,
  kCreateMutexA,
  kGetTickCount,
  kMagInitialize,
  kMagUninitialize,
  kMagShowSystemCursor,
};

// Makes a thread current for a scope; the previous one is current again however the scope is left.
class SimWindows::ThreadSwitch {
 public:
  ThreadSwitch(SimWindows& sim, std::uint32_t thread) : sim_(sim), previous_(sim.current_) { sim.current_ = thread; }
  ~ThreadSwitch() { sim_.current_ = previous_; }
  ThreadSwitch(const ThreadSwitch&) = delete;
  ThreadSwitch& operator=(const ThreadSwitch&) = delete;

 private:
  SimWindows& sim_;
  std::uint32_t previous_;
};

// Counts an open message box for a scope.
class SimWindows::BoxDepth {
 public:
  explicit BoxDepth(SimWindows& sim) : sim_(sim) {
    ++sim.openMessageBoxes;
    sim.maxOpenMessageBoxes = std::max(sim.maxOpenMessageBoxes, sim.openMessageBoxes);
  }
  ~BoxDepth() { --sim_.openMessageBoxes; }
  BoxDepth(const BoxDepth&) = delete;
  BoxDepth& operator=(const BoxDepth&) = delete;

 private:
  SimWindows& sim_;
};

// ======================================================================================= set-up

SimWindows::SimWindows() {
  libraries_ = {{"user32.dll", 0x75A00000u, 0, false},
                {"kernel32.dll", 0x76B00000u, 0, false},
                {"magnification.dll", 0x6E400000u, 0, false}};
  const std::pair<std::size_t, const char*> exports[] = {
      {0, "GetLastInputInfo"}, {0, "ShowWindow"},         {0, "ShowSystemCursor"}, {0, "GetDesktopWindow"},
      {0, "FindWindowExA"},    {0, "FindWindowA"},        {0, "GetAsyncKeyState"}, {1, "WaitForSingleObject"},
      {1, "OpenMutexA"},       {1, "CreateMutexA"},       {1, "GetTickCount"},     {2, "MagInitialize"},
      {2, "MagUninitialize"},  {2, "MagShowSystemCursor"}};
  std::size_t perLibrary[3] = {0, 0, 0};
  for (const auto& [library, name] : exports) {
    const ProcAddress address = libraries_[library].handle + 0x1000 + 0x10 * perLibrary[library]++;
    exports_.push_back({library, name, address, false, false});
  }

  WindowInfo desktopInfo;
  desktopInfo.className = "#32769";
  desktopInfo.visible = true;
  desktopInfo.width = screenWidth;
  desktopInfo.height = screenHeight;
  windows_.push_back(std::move(desktopInfo));

  ThreadRecord gui;
  gui.id = 1;
  threads_.push_back(gui);
}

SimWindows::~SimWindows() {
  for (const auto& [block, size] : heapBlocks_) {
    std::free(block);
  }
}

// ======================================================================================= the log

std::vector<std::string> SimWindows::calls(std::initializer_list<std::string_view> names) const {
  std::vector<std::string> out;
  for (const std::string& entry : log) {
    const std::string_view name = std::string_view(entry).substr(0, entry.find('('));
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      out.push_back(entry);
    }
  }
  return out;
}

void SimWindows::clearLog() {
  log.clear();
  logThreads.clear();
  logTimes.clear();
}

std::string SimWindows::moduleArg(ModuleHandle module) const {
  const LibraryRecord* library = libraryByHandle(module);
  if (library != nullptr) {
    return library->name;
  }
  return std::to_string(module);
}

// ======================================================================================= clock and loops

void SimWindows::setNow(std::uint32_t time) {
  clock_ = time;
  if (clockLimit == autoClockLimit_) {
    clockLimit = clock_ + kDefaultClockSpan;
    autoClockLimit_ = clockLimit;
  }
}

void SimWindows::checkLimit(std::uint64_t time, const char* what) const {
  if (time > clockLimit) {
    throw SimulationStuck(std::string(what) + ": the virtual clock would pass clockLimit (" +
                          std::to_string(clockLimit) + " ms) going to " + std::to_string(time) + " ms");
  }
}

void SimWindows::moveClockTo(std::uint64_t time, const char* what) {
  checkLimit(time, what);
  clock_ = std::max(clock_, time);
}

void SimWindows::advance(std::uint32_t ms) {
  const std::uint64_t target = clock_ + ms;
  checkLimit(target, "advance");
  while (!actions_.empty() && actions_.begin()->first.first <= target) {
    auto node = actions_.extract(actions_.begin());
    clock_ = std::max(clock_, node.key().first);
    node.mapped()();
  }
  clock_ = std::max(clock_, target);
}

void SimWindows::at(std::uint64_t time, std::function<void()> action) {
  actions_.emplace(std::make_pair(time, actionSequence_++), std::move(action));
}

void SimWindows::runDueActions() {
  while (!actions_.empty() && actions_.begin()->first.first <= clock_) {
    auto node = actions_.extract(actions_.begin());
    node.mapped()();
  }
}

std::optional<std::uint64_t> SimWindows::nextActionTime() const {
  if (actions_.empty()) {
    return std::nullopt;
  }
  return actions_.begin()->first.first;
}

std::optional<std::uint64_t> SimWindows::nextTimerDue(std::uint32_t thread) const {
  std::optional<std::uint64_t> next;
  for (const TimerRecord& timer : timers_) {
    if (timer.thread == thread && (!next || timer.due < *next)) {
      next = timer.due;
    }
  }
  return next;
}

void SimWindows::postQuit(std::int32_t code) {
  posted_.push_back({guiThreadId(), Message{0, kWmQuit, static_cast<std::uintptr_t>(code), 0}});
}

bool SimWindows::takePosted(std::uint32_t thread, WindowHandle filter, std::uint32_t min, std::uint32_t max,
                            Message& out, bool leaveQuit) {
  for (auto it = posted_.begin(); it != posted_.end(); ++it) {
    if (it->thread != thread) {
      continue;
    }
    const Message& m = it->message;
    const bool quit = m.message == kWmQuit;
    if (!quit && ((filter != 0 && m.window != filter) || !inRange(m.message, min, max))) {
      continue;
    }
    out = m;
    if (!(quit && leaveQuit)) {
      posted_.erase(it);
    }
    return true;
  }
  return false;
}

SimWindows::TimerRecord* SimWindows::dueTimer(std::uint32_t thread, WindowHandle filter, std::uint32_t min,
                                              std::uint32_t max) {
  if (!inRange(kWmTimer, min, max)) {
    return nullptr;
  }
  TimerRecord* best = nullptr;
  for (TimerRecord& timer : timers_) {
    if (timer.thread != thread || timer.due > clock_ || (filter != 0 && timer.window != filter)) {
      continue;
    }
    if (best == nullptr || timer.due < best->due || (timer.due == best->due && timer.sequence < best->sequence)) {
      best = &timer;
    }
  }
  return best;
}

void SimWindows::deliverTimer(TimerRecord& timer, Message& out) {
  out = Message{timer.window, kWmTimer, timer.id, 0};
  // However many periods went by, one tick; the next falls one period after this delivery.
  timer.due = clock_ + timer.period;
  ++timer.history->count;
  if (logEnabled) {
    timer.history->times.push_back(clock_);
  }
}

std::int32_t SimWindows::getMessageA(Message* message, WindowHandle window, std::uint32_t filterMin,
                                     std::uint32_t filterMax) {
  note("GetMessageA", message, window, filterMin, filterMax);
  if (message == nullptr || (window != 0 && live(window) == nullptr)) {
    return -1;
  }
  const std::uint32_t thread = current_;
  for (;;) {
    runDueActions();
    if (takePosted(thread, window, filterMin, filterMax, *message, false)) {
      return message->message == kWmQuit ? 0 : 1;
    }
    ThreadRecord& record = threadRecord(thread);
    if (record.quitPending) {
      record.quitPending = false;
      *message = Message{0, kWmQuit, static_cast<std::uintptr_t>(record.quitCode), 0};
      return 0;
    }
    if (TimerRecord* timer = dueTimer(thread, window, filterMin, filterMax)) {
      deliverTimer(*timer, *message);
      return 1;
    }
    const std::optional<std::uint64_t> timerDue = nextTimerDue(thread);
    const std::optional<std::uint64_t> actionDue = nextActionTime();
    if (!timerDue && !actionDue) {
      throw SimulationStuck("GetMessageA on thread " + std::to_string(thread) + " at " + std::to_string(clock_) +
                            " ms would wait forever: no posted message, no timer, no scheduled action");
    }
    moveClockTo(std::min(timerDue.value_or(UINT64_MAX), actionDue.value_or(UINT64_MAX)), "GetMessageA");
  }
}

bool SimWindows::pumpFor(std::uint32_t ms) {
  const std::uint64_t end = clock_ + ms;
  checkLimit(end, "pumpFor");
  const std::uint32_t thread = current_;
  for (;;) {
    runDueActions();
    Message m;
    if (takePosted(thread, 0, 0, 0, m, true)) {
      if (m.message == kWmQuit) {
        return false;  // the box ends; the quit stays for the outer loop
      }
      callProcedure(m.window, m.message, m.wParam, m.lParam);
      continue;
    }
    if (threadRecord(thread).quitPending) {
      return false;
    }
    if (TimerRecord* timer = dueTimer(thread, 0, 0, 0)) {
      deliverTimer(*timer, m);
      callProcedure(m.window, m.message, m.wParam, m.lParam);
      continue;
    }
    const std::uint64_t next =
        std::min(nextTimerDue(thread).value_or(UINT64_MAX), nextActionTime().value_or(UINT64_MAX));
    if (next > end) {
      clock_ = std::max(clock_, end);
      return true;
    }
    clock_ = std::max(clock_, next);
  }
}

bool SimWindows::translateMessage(const Message& message) {
  note("TranslateMessage", message.window, message.message, message.wParam, message.lParam);
  return false;
}

std::intptr_t SimWindows::dispatchMessageA(const Message& message) {
  note("DispatchMessageA", message.window, message.message, message.wParam, message.lParam);
  return callProcedure(message.window, message.message, message.wParam, message.lParam);
}

std::intptr_t SimWindows::send(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  return deliverSent(window, message, wParam, lParam);
}

bool SimWindows::post(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return queueMessage(window, message, wParam, lParam);
}

void SimWindows::closeWindow(WindowHandle window) { queueMessage(window, kWmClose, 0, 0); }

std::vector<std::uint64_t> SimWindows::timerTicks(WindowHandle window, std::uintptr_t id) const {
  const auto it = tickHistory_.find({window, id});
  return it == tickHistory_.end() ? std::vector<std::uint64_t>{} : it->second.times;
}

std::size_t SimWindows::timerTickCount(WindowHandle window, std::uintptr_t id) const {
  const auto it = tickHistory_.find({window, id});
  return it == tickHistory_.end() ? 0 : it->second.count;
}

std::optional<std::uint32_t> SimWindows::timerPeriod(WindowHandle window, std::uintptr_t id) const {
  for (const TimerRecord& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      return timer.period;
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> SimWindows::timerDue(WindowHandle window, std::uintptr_t id) const {
  for (const TimerRecord& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      return timer.due;
    }
  }
  return std::nullopt;
}

std::uintptr_t SimWindows::setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) {
  note("SetTimer", window, id, elapseMs);
  const std::uint32_t period = std::clamp(elapseMs, kUserTimerMinimum, kUserTimerMaximum);
  std::uint32_t thread = current_;
  if (window != 0) {
    const WindowInfo* w = live(window);
    if (w == nullptr) {
      return 0;
    }
    thread = queueThreadOf(*w);
  } else {
    id = nextThreadTimerId_++;  // a thread timer gets an identifier of its own
  }
  const std::uintptr_t result = id != 0 ? id : 1;
  for (TimerRecord& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      timer.period = period;
      timer.due = clock_ + period;
      timer.sequence = timerSequence_++;
      return result;
    }
  }
  TickHistory* history = &tickHistory_[{window, id}];
  timers_.push_back({window, id, period, clock_ + period, timerSequence_++, thread, history});
  return result;
}

bool SimWindows::killTimer(WindowHandle window, std::uintptr_t id) {
  note("KillTimer", window, id);
  const auto it = std::find_if(timers_.begin(), timers_.end(),
                               [&](const TimerRecord& t) { return t.window == window && t.id == id; });
  if (it == timers_.end()) {
    return false;
  }
  timers_.erase(it);
  return true;
}

void SimWindows::killTimersOf(WindowHandle window) {
  std::erase_if(timers_, [&](const TimerRecord& t) { return t.window == window; });
}

// ======================================================================================= windows

WindowInfo* SimWindows::find(WindowHandle window) {
  if (window < kDesktopWindow || window - kDesktopWindow >= windows_.size()) {
    return nullptr;
  }
  return &windows_[window - kDesktopWindow];
}

const WindowInfo* SimWindows::find(WindowHandle window) const { return const_cast<SimWindows*>(this)->find(window); }

WindowInfo* SimWindows::live(WindowHandle window) {
  WindowInfo* w = find(window);
  return w != nullptr && !w->destroyed ? w : nullptr;
}

const WindowInfo* SimWindows::live(WindowHandle window) const { return const_cast<SimWindows*>(this)->live(window); }

WindowHandle SimWindows::newWindow(WindowHandle parent, WindowInfo info) {
  const WindowHandle handle = kDesktopWindow + windows_.size();
  info.parent = parent == kDesktopWindow ? 0 : parent;
  windows_.push_back(std::move(info));
  find(parent == 0 ? kDesktopWindow : parent)->children.push_back(handle);
  return handle;
}

WindowHandle SimWindows::addWindow(WindowHandle parent, const char* className, const char* title, bool visible) {
  if (parent != 0 && live(parent) == nullptr) {
    throw std::invalid_argument("addWindow: the parent is not a live window");
  }
  WindowInfo info;
  info.className = className != nullptr ? className : "";
  info.title = title != nullptr ? title : "";
  info.visible = visible;
  return newWindow(parent, std::move(info));
}

void SimWindows::removeWindow(WindowHandle window) {
  if (live(window) != nullptr && window != kDesktopWindow) {
    destroyTree(window, false);
  }
}

void SimWindows::setVisible(WindowHandle window, bool visible) {
  if (WindowInfo* w = live(window)) {
    w->visible = visible;
  }
}

bool SimWindows::visible(WindowHandle window) const {
  const WindowInfo* w = live(window);
  return w != nullptr && w->visible;
}

const WindowInfo* SimWindows::window(WindowHandle window) const { return find(window); }

std::vector<WindowHandle> SimWindows::windowsOfClass(const char* className) const {
  std::vector<WindowHandle> out;
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    if (!windows_[i].destroyed && equalNoCase(windows_[i].className, className)) {
      out.push_back(kDesktopWindow + i);
    }
  }
  return out;
}

const WindowClass* SimWindows::windowClass(const char* name) const {
  for (const ClassRecord& c : classes_) {
    if (equalNoCase(c.name, name)) {
      return &c.record;
    }
  }
  return nullptr;
}

std::uint32_t SimWindows::queueThreadOf(const WindowInfo& window) const {
  // A window of another process stands in for a program window in some tests: its messages and
  // timers go to the GUI thread.
  return window.threadId != 0 ? window.threadId : guiThreadId();
}

bool SimWindows::queueMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  const WindowInfo* w = live(window);
  if (w == nullptr) {
    return false;
  }
  posted_.push_back({queueThreadOf(*w), Message{window, message, wParam, lParam}});
  return true;
}

std::intptr_t SimWindows::callProcedure(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
  const WindowInfo* w = live(window);
  if (w == nullptr || w->threadId == 0) {
    return 0;
  }
  WindowProcedure* procedure = w->procedure;
  if (procedure == nullptr) {
    // A program window made without a procedure behaves as DefWindowProc would, unlogged.
    if (message == kWmNcCreate) {
      return 1;
    }
    if (message == kWmClose) {
      destroyWindow(window);
    }
    return 0;
  }
  return procedure->windowProc(window, message, wParam, lParam);
}

std::intptr_t SimWindows::deliverSent(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                      std::intptr_t lParam) {
  WindowInfo* w = live(window);
  if (w == nullptr || w->threadId == 0) {
    return 0;
  }
  const std::intptr_t result = callProcedure(window, message, wParam, lParam);
  if (WindowInfo* still = live(window)) {
    if (message == kWmSetIcon) {
      (wParam == kIconBig ? still->bigIcon : still->smallIcon) = static_cast<IconHandle>(lParam);
    } else if (message == kWmSetFont) {
      still->font = static_cast<FontHandle>(wParam);
    }
  }
  return result;
}

void SimWindows::destroyTree(WindowHandle window, bool sendMessages) {
  WindowInfo* w = find(window);
  w->destroying = true;
  if (sendMessages) {
    callProcedure(window, kWmDestroy, 0, 0);
  }
  const std::vector<WindowHandle> children = find(window)->children;
  for (const WindowHandle child : children) {
    if (live(child) != nullptr && !find(child)->destroying) {
      destroyTree(child, sendMessages);
    }
  }
  if (sendMessages) {
    callProcedure(window, kWmNcDestroy, 0, 0);
  }
  w = find(window);
  w->destroyed = true;
  w->destroying = false;
  w->visible = false;
  killTimersOf(window);
  std::erase_if(posted_, [&](const PostedMessage& p) { return p.message.window == window; });
  if (w->menu != 0 && (w->style & kWsChild) == 0) {
    if (liveMenu(w->menu) != nullptr) {
      destroyMenuTree(w->menu);
    }
    find(window)->menu = 0;
  }
  if (foreground == window) {
    foreground = 0;
  }
}

WindowHandle SimWindows::findChild(WindowHandle parent, WindowHandle after, const char* className,
                                   const char* title) const {
  if (parent == 0) {
    parent = kDesktopWindow;
  }
  const WindowInfo* p = live(parent);
  if (p == nullptr) {
    return 0;
  }
  const std::vector<WindowHandle>& children = p->children;
  std::size_t start = 0;
  if (after != 0) {
    const auto it = std::find(children.begin(), children.end(), after);
    if (it == children.end() || live(after) == nullptr) {
      return 0;
    }
    start = static_cast<std::size_t>(it - children.begin()) + 1;
  }
  for (std::size_t i = start; i < children.size(); ++i) {
    const WindowInfo* c = live(children[i]);
    if (c == nullptr) {
      continue;
    }
    if (className != nullptr && !equalNoCase(c->className, className)) {
      continue;
    }
    if (title != nullptr && !equalNoCase(c->title, title)) {
      continue;
    }
    return children[i];
  }
  return 0;
}

bool SimWindows::registerClassExA(const WindowClass& windowClass) {
  note("RegisterClassExA", windowClass.className);
  if (windowClass.className == nullptr || this->windowClass(windowClass.className) != nullptr) {
    return false;  // as Windows: a class of that name already exists
  }
  classes_.push_back({windowClass.className, windowClass});
  classes_.back().record.className = classes_.back().name.c_str();
  return true;
}

WindowHandle SimWindows::createWindowExA(std::uint32_t exStyle, const char* className, const char* title,
                                         std::uint32_t style, std::int32_t x, std::int32_t y, std::int32_t width,
                                         std::int32_t height, WindowHandle parent, MenuHandle menu,
                                         InstanceHandle instance, WindowProcedure* procedure) {
  note("CreateWindowExA", exStyle, className, title, style, x, y, width, height, parent, menu, instance);
  if (failWindowCreation || className == nullptr || windowClass(className) == nullptr) {
    return 0;
  }
  if (parent != 0 && live(parent) == nullptr) {
    return 0;
  }
  const bool child = (style & kWsChild) != 0;
  if (!child && menu != 0 && liveMenu(menu) == nullptr) {
    return 0;
  }
  WindowInfo info;
  info.className = windowClass(className)->className;
  info.title = title != nullptr ? title : "";
  info.style = style;
  info.exStyle = exStyle;
  info.x = x;
  info.y = y;
  info.width = forceCreatedWidth != 0 ? forceCreatedWidth : width;
  info.height = forceCreatedHeight != 0 ? forceCreatedHeight : height;
  info.menu = menu;
  info.visible = (style & kWsVisible) != 0;
  info.threadId = current_;
  info.procedure = procedure;
  info.instance = instance;
  const WindowHandle handle = newWindow(parent, std::move(info));
  if (callProcedure(handle, kWmNcCreate, 0, 0) == 0) {
    callProcedure(handle, kWmNcDestroy, 0, 0);
    destroyTree(handle, false);
    return 0;
  }
  if (callProcedure(handle, kWmCreate, 0, 0) == -1) {
    destroyTree(handle, true);
    return 0;
  }
  return handle;
}

bool SimWindows::destroyWindow(WindowHandle window) {
  note("DestroyWindow", window);
  WindowInfo* w = live(window);
  // Only the thread that made a window can destroy it; the other processes' windows are not ours.
  if (w == nullptr || w->destroying || w->threadId != current_) {
    return false;
  }
  destroyTree(window, true);
  return true;
}

bool SimWindows::isWindow(WindowHandle window) {
  note("IsWindow", window);
  return live(window) != nullptr;
}

bool SimWindows::getWindowRect(WindowHandle window, Rect* rect) {
  note("GetWindowRect", window, rect);
  const WindowInfo* w = live(window);
  if (w == nullptr || rect == nullptr) {
    return false;
  }
  *rect = Rect{w->x, w->y, w->x + w->width, w->y + w->height};
  return true;
}

bool SimWindows::moveWindow(WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width,
                            std::int32_t height, bool repaint) {
  note("MoveWindow", window, x, y, width, height, repaint);
  WindowInfo* w = live(window);
  if (w == nullptr) {
    return false;
  }
  w->x = x;
  w->y = y;
  w->width = width;
  w->height = height;
  return true;
}

std::int32_t SimWindows::getSystemMetrics(std::int32_t index) {
  note("GetSystemMetrics", index);
  if (index == kSmCxScreen) {
    return screenWidth;
  }
  if (index == kSmCyScreen) {
    return screenHeight;
  }
  return 0;
}

std::intptr_t SimWindows::sendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
  note("SendMessageA", window, message, wParam, lParam);
  const WindowInfo* w = live(window);
  if (w != nullptr && w->threadId != 0 && w->threadId != current_) {
    // The window's thread is blocked (threads run inline while their creator waits): a real
    // SendMessage would never return.
    throw SimulationStuck("SendMessageA from thread " + std::to_string(current_) + " to a window of thread " +
                          std::to_string(w->threadId) + " would deadlock");
  }
  return deliverSent(window, message, wParam, lParam);
}

bool SimWindows::postMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  note("PostMessageA", window, message, wParam, lParam);
  return queueMessage(window, message, wParam, lParam);
}

void SimWindows::postQuitMessage(std::int32_t exitCode) {
  note("PostQuitMessage", exitCode);
  ThreadRecord& record = threadRecord(current_);
  record.quitPending = true;
  record.quitCode = exitCode;
}

std::intptr_t SimWindows::defWindowProcA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
  note("DefWindowProcA", window, message, wParam, lParam);
  if (message == kWmNcCreate) {
    return 1;
  }
  if (message == kWmClose) {
    destroyWindow(window);
  }
  return 0;
}

bool SimWindows::setForegroundWindow(WindowHandle window) {
  note("SetForegroundWindow", window);
  if (live(window) == nullptr) {
    return false;
  }
  foreground = window;
  return true;
}

bool SimWindows::getCursorPos(Point* point) {
  note("GetCursorPos", point);
  if (point == nullptr) {
    return false;
  }
  *point = cursor;
  return true;
}

// ======================================================================================= input

void SimWindows::press(std::int32_t virtualKey) {
  if (virtualKey < 0 || virtualKey > 255) {
    throw std::invalid_argument("press: not a virtual key");
  }
  keys_[virtualKey].pressed = true;
  input();
}

void SimWindows::hold(std::int32_t virtualKey, bool down) {
  if (virtualKey < 0 || virtualKey > 255) {
    throw std::invalid_argument("hold: not a virtual key");
  }
  if (down && !keys_[virtualKey].down) {
    keys_[virtualKey].pressed = true;
  }
  keys_[virtualKey].down = down;
  input();
}

// ======================================================================================= binding by name

SimWindows::LibraryRecord* SimWindows::libraryByName(std::string_view normalised) {
  for (LibraryRecord& library : libraries_) {
    if (normalised == library.name) {
      return &library;
    }
  }
  return nullptr;
}

const SimWindows::LibraryRecord* SimWindows::libraryByName(std::string_view normalised) const {
  return const_cast<SimWindows*>(this)->libraryByName(normalised);
}

SimWindows::LibraryRecord* SimWindows::libraryByHandle(ModuleHandle module) {
  for (LibraryRecord& library : libraries_) {
    if (module == library.handle) {
      return &library;
    }
  }
  return nullptr;
}

const SimWindows::LibraryRecord* SimWindows::libraryByHandle(ModuleHandle module) const {
  return const_cast<SimWindows*>(this)->libraryByHandle(module);
}

void SimWindows::removeLibrary(const char* name) {
  if (LibraryRecord* library = libraryByName(normaliseLibrary(name))) {
    library->removed = true;
  }
}

void SimWindows::removeExport(const char* library, const char* function) {
  const LibraryRecord* lib = libraryByName(normaliseLibrary(library));
  for (ExportRecord& e : exports_) {
    if (lib != nullptr && &libraries_[e.library] == lib && std::strcmp(e.name, function) == 0) {
      e.removed = true;
    }
  }
}

void SimWindows::unbalance(const char* function) {
  for (ExportRecord& e : exports_) {
    if (std::strcmp(e.name, function) == 0) {
      e.unbalanced = true;
    }
  }
}

int SimWindows::moduleReferences(const char* name) const {
  const LibraryRecord* library = libraryByName(normaliseLibrary(name));
  return library != nullptr ? library->references : 0;
}

ModuleHandle SimWindows::moduleHandle(const char* name) const {
  const LibraryRecord* library = libraryByName(normaliseLibrary(name));
  return library != nullptr ? library->handle : 0;
}

ModuleHandle SimWindows::loadLibraryExA(const char* fileName, std::uint32_t flags) {
  note("LoadLibraryExA", fileName, flags);
  loads.emplace_back(fileName != nullptr ? fileName : "", flags);
  if (fileName == nullptr) {
    return 0;
  }
  LibraryRecord* library = libraryByName(normaliseLibrary(fileName));
  if (library == nullptr || library->removed) {
    return 0;
  }
  ++library->references;
  return library->handle;
}

ProcAddress SimWindows::getProcAddress(ModuleHandle module, const char* name) {
  if (name == nullptr) {
    note("GetProcAddress", moduleArg(module), name);
    return 0;
  }
  note("GetProcAddress", moduleArg(module), std::string_view(name));
  const LibraryRecord* library = libraryByHandle(module);
  if (library == nullptr || library->references == 0) {
    return 0;
  }
  for (const ExportRecord& e : exports_) {
    if (&libraries_[e.library] == library && std::strcmp(e.name, name) == 0) {
      return e.removed ? 0 : e.address;
    }
  }
  return 0;
}

bool SimWindows::freeLibrary(ModuleHandle module) {
  note("FreeLibrary", moduleArg(module));
  LibraryRecord* library = libraryByHandle(module);
  if (library == nullptr || library->references == 0) {
    return false;
  }
  --library->references;
  return true;
}

void SimWindows::checkEntry(ProcAddress fn, Export entry) const {
  const ExportRecord& e = exports_[static_cast<std::size_t>(entry)];
  if (fn != e.address) {
    throw std::logic_error(std::string(e.name) + " called through address " + std::to_string(fn) +
                           ", which GetProcAddress does not give for it (" + std::to_string(e.address) + ")");
  }
}

ExternResult SimWindows::result(Export entry, std::uint32_t value) const {
  return ExternResult{value, !exports_[static_cast<std::size_t>(entry)].unbalanced};
}

ExternResult SimWindows::getLastInputInfo(ProcAddress fn, LastInputInfo* info) {
  note("GetLastInputInfo", info);
  checkEntry(fn, Export::kGetLastInputInfo);
  bool fails = lastInputAlwaysFails;
  if (lastInputFailures > 0) {
    --lastInputFailures;
    fails = true;
  }
  if (fails || info == nullptr || info->cbSize != sizeof(LastInputInfo)) {
    return result(Export::kGetLastInputInfo, 0);
  }
  info->dwTime = lastInput_;
  return result(Export::kGetLastInputInfo, 1);
}

ExternResult SimWindows::showWindow(ProcAddress fn, WindowHandle window, std::int32_t command) {
  note("ShowWindow", window, command);
  checkEntry(fn, Export::kShowWindow);
  WindowInfo* w = live(window);
  if (w == nullptr) {
    return result(Export::kShowWindow, 0);
  }
  const bool before = w->visible;
  w->visible = command != kSwHide;
  return result(Export::kShowWindow, before ? 1 : 0);
}

ExternResult SimWindows::showSystemCursor(ProcAddress fn, std::int32_t show) {
  note("ShowSystemCursor", show);
  checkEntry(fn, Export::kShowSystemCursor);
  cursorVisible_ = show != 0;
  ++(show != 0 ? cursorShowCalls : cursorHideCalls);
  return result(Export::kShowSystemCursor, 1);
}

ExternResult SimWindows::magInitialize(ProcAddress fn) {
  note("MagInitialize");
  checkEntry(fn, Export::kMagInitialize);
  magInitialized_ = true;
  return result(Export::kMagInitialize, 1);
}

ExternResult SimWindows::magShowSystemCursor(ProcAddress fn, std::int32_t show) {
  note("MagShowSystemCursor", show);
  checkEntry(fn, Export::kMagShowSystemCursor);
  if (!magInitialized_) {
    return result(Export::kMagShowSystemCursor, 0);
  }
  cursorVisible_ = show != 0;
  ++(show != 0 ? cursorShowCalls : cursorHideCalls);
  return result(Export::kMagShowSystemCursor, 1);
}

ExternResult SimWindows::waitForSingleObject(ProcAddress fn, KernelHandle handle, std::uint32_t milliseconds) {
  note("WaitForSingleObject", handle, milliseconds);
  checkEntry(fn, Export::kWaitForSingleObject);
  const KernelObject* object = openObject(handle);
  if (object == nullptr) {
    return result(Export::kWaitForSingleObject, kWaitFailed);
  }
  if (object->kind == KernelObject::Kind::kMutex || threadRecord(static_cast<std::uint32_t>(object->index)).ended) {
    return result(Export::kWaitForSingleObject, kWaitObject0);
  }
  // A thread that is still running here is one of the callers up the inline stack: it cannot end.
  if (milliseconds == kInfinite) {
    throw SimulationStuck("WaitForSingleObject on thread " + std::to_string(current_) +
                          " waits forever for a thread that cannot end");
  }
  advance(milliseconds);
  return result(Export::kWaitForSingleObject, kWaitTimeout);
}

ExternResult SimWindows::openMutexA(ProcAddress fn, std::uint32_t access, std::int32_t inherit, const char* name) {
  note("OpenMutexA", access, inherit, name);
  checkEntry(fn, Export::kOpenMutexA);
  if (name == nullptr) {
    return result(Export::kOpenMutexA, 0);
  }
  MutexRecord* mutex = mutexByName(name);
  if (mutex == nullptr) {
    return result(Export::kOpenMutexA, 0);
  }
  ++mutex->handles;
  const auto index = static_cast<std::size_t>(mutex - mutexes_.data());
  return result(Export::kOpenMutexA,
                static_cast<std::uint32_t>(newKernelHandle({KernelObject::Kind::kMutex, index, true})));
}

ExternResult SimWindows::createMutexA(ProcAddress fn, void* security, std::int32_t initialOwner, const char* name) {
  note("CreateMutexA", security, initialOwner, name);
  checkEntry(fn, Export::kCreateMutexA);
  if (failMutexCreation) {
    return result(Export::kCreateMutexA, 0);
  }
  MutexRecord* mutex = name != nullptr ? mutexByName(name) : nullptr;
  if (mutex == nullptr) {
    mutexes_.push_back({name != nullptr ? std::string(mutexKey(name)) : std::string(), false, 0, false});
    mutex = &mutexes_.back();
  }
  ++mutex->handles;
  const auto index = static_cast<std::size_t>(mutex - mutexes_.data());
  return result(Export::kCreateMutexA,
                static_cast<std::uint32_t>(newKernelHandle({KernelObject::Kind::kMutex, index, true})));
}

ExternResult SimWindows::getDesktopWindow(ProcAddress fn) {
  note("GetDesktopWindow");
  checkEntry(fn, Export::kGetDesktopWindow);
  return result(Export::kGetDesktopWindow, static_cast<std::uint32_t>(kDesktopWindow));
}

ExternResult SimWindows::findWindowExA(ProcAddress fn, WindowHandle parent, WindowHandle childAfter,
                                       const char* className, const char* title) {
  note("FindWindowExA", parent, childAfter, className, title);
  checkEntry(fn, Export::kFindWindowExA);
  return result(Export::kFindWindowExA, static_cast<std::uint32_t>(findChild(parent, childAfter, className, title)));
}

ExternResult SimWindows::findWindowA(ProcAddress fn, const char* className, const char* title) {
  note("FindWindowA", className, title);
  checkEntry(fn, Export::kFindWindowA);
  return result(Export::kFindWindowA, static_cast<std::uint32_t>(findChild(0, 0, className, title)));
}

ExternResult SimWindows::getAsyncKeyState(ProcAddress fn, std::int32_t virtualKey) {
  note("GetAsyncKeyState", virtualKey);
  checkEntry(fn, Export::kGetAsyncKeyState);
  if (virtualKey < 0 || virtualKey > 255) {
    return result(Export::kGetAsyncKeyState, 0);
  }
  KeyState& key = keys_[virtualKey];
  std::uint32_t value = (key.down ? 0x8000u : 0u) | (key.pressed ? 1u : 0u);
  key.pressed = false;
  if (onAsyncKeyState) {
    if (const std::optional<std::uint32_t> forced = onAsyncKeyState(virtualKey)) {
      value = *forced;
    }
  }
  return result(Export::kGetAsyncKeyState, value);
}

// ======================================================================================= threads, heap, process

SimWindows::ThreadRecord& SimWindows::threadRecord(std::uint32_t id) { return threads_.at(id - 1); }

std::uint32_t SimWindows::getCurrentThreadId() {
  note("GetCurrentThreadId");
  return current_;
}

KernelHandle SimWindows::newKernelHandle(KernelObject object) {
  const KernelHandle handle = nextKernelHandle_;
  nextKernelHandle_ += 4;
  kernelObjects_.emplace(handle, object);
  return handle;
}

SimWindows::KernelObject* SimWindows::openObject(KernelHandle handle) {
  const auto it = kernelObjects_.find(handle);
  return it != kernelObjects_.end() && it->second.open ? &it->second : nullptr;
}

KernelHandle SimWindows::createThread(void* security, std::size_t stackSize, ThreadBody* body, void* parameter,
                                      std::uint32_t flags, std::uint32_t* threadId) {
  note("CreateThread", security, stackSize, parameter, flags);
  if (failThreadCreation) {
    return 0;
  }
  if (body == nullptr) {
    throw std::logic_error("CreateThread without a thread body");
  }
  ThreadRecord record;
  record.id = static_cast<std::uint32_t>(threads_.size() + 1);
  record.handle = newKernelHandle({KernelObject::Kind::kThread, record.id, true});
  threads_.push_back(record);
  const std::uint32_t id = record.id;
  const KernelHandle handle = record.handle;
  if (threadId != nullptr) {
    *threadId = id;
  }
  {
    // The creator is blocked until the new thread has run to its end.
    ThreadSwitch running(*this, id);
    const std::uint32_t code = body->threadMain(parameter);
    threadRecord(id).exitCode = code;
  }
  endThread(id);
  return handle;
}

void SimWindows::endThread(std::uint32_t thread) {
  threadRecord(thread).ended = true;
  // The system destroys the windows a thread leaves behind, without messages to the dead thread.
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    if (windows_[i].threadId == thread && !windows_[i].destroyed) {
      destroyTree(kDesktopWindow + i, false);
    }
  }
  std::erase_if(timers_, [&](const TimerRecord& t) { return t.thread == thread; });
  std::erase_if(posted_, [&](const PostedMessage& p) { return p.thread == thread; });
}

std::optional<std::uint32_t> SimWindows::threadExitCode(std::uint32_t threadId) const {
  if (threadId == 0 || threadId > threads_.size()) {
    return std::nullopt;
  }
  return threads_[threadId - 1].exitCode;
}

bool SimWindows::closeHandle(KernelHandle handle) {
  note("CloseHandle", handle);
  KernelObject* object = openObject(handle);
  if (object == nullptr) {
    return false;
  }
  object->open = false;
  if (object->kind == KernelObject::Kind::kMutex) {
    closeMutexHandle(object->index);
  }
  return true;
}

HeapHandle SimWindows::getProcessHeap() {
  note("GetProcessHeap");
  return kProcessHeap;
}

void* SimWindows::heapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t bytes) {
  note("HeapAlloc", heap, flags, bytes);
  if (heap != kProcessHeap) {
    throw std::logic_error("HeapAlloc on a heap that is not the process heap");
  }
  if (heapFailures > 0) {
    --heapFailures;
    return nullptr;
  }
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block == nullptr) {
    return nullptr;
  }
  heapBlocks_.emplace(block, bytes);
  ++heapAllocations;
  return block;
}

bool SimWindows::heapFree(HeapHandle heap, std::uint32_t flags, void* memory) {
  note("HeapFree", heap, flags, memory);
  if (heap != kProcessHeap) {
    throw std::logic_error("HeapFree on a heap that is not the process heap");
  }
  if (memory == nullptr) {
    return true;  // as Windows
  }
  const auto it = heapBlocks_.find(memory);
  if (it == heapBlocks_.end()) {
    return false;
  }
  std::free(it->first);
  heapBlocks_.erase(it);
  return true;
}

void SimWindows::exitProcess(std::uint32_t code) {
  note("ExitProcess", code);
  exitCode = code;
  throw ProcessExit{code};
}

std::optional<std::uint32_t> SimWindows::runToExit(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit.code;
  }
  return std::nullopt;
}

std::uint32_t SimWindows::getTickCount() {
  note("GetTickCount");
  return now();
}

std::uintptr_t SimWindows::processEnvironmentBlock() {
  note("ProcessEnvironmentBlock");
  return pebAddress;
}

std::uint32_t SimWindows::readMemory32(std::uintptr_t address) {
  note("ReadMemory32", address);
  if (address == pebAddress + 0xA4) {
    return pebMajor;
  }
  if (address == pebAddress + 0xA8) {
    return pebMinor;
  }
  throw std::logic_error("ReadMemory32 of " + std::to_string(address) +
                         ": not the version fields of the process environment block");
}

InstanceHandle SimWindows::getModuleHandleA(const char* name) {
  note("GetModuleHandleA", name);
  if (name == nullptr) {
    return kInstance;
  }
  const LibraryRecord* library = libraryByName(normaliseLibrary(name));
  return library != nullptr && !library->removed ? library->handle : 0;
}

void SimWindows::endProcess() {
  releaseMutexesOfProcess();
  classes_.clear();
  for (std::size_t i = 1; i < windows_.size(); ++i) {
    if (windows_[i].threadId != 0 && !windows_[i].destroyed) {
      destroyTree(kDesktopWindow + i, false);
    }
  }
  timers_.clear();
  posted_.clear();
  for (ThreadRecord& thread : threads_) {
    thread.quitPending = false;
  }
  current_ = guiThreadId();
  foreground = 0;
  magInitialized_ = false;
  openMessageBoxes = 0;
}

// ======================================================================================= mutexes

SimWindows::MutexRecord* SimWindows::mutexByName(const char* name) {
  const std::string_view key = mutexKey(name);
  if (key.empty()) {
    return nullptr;
  }
  for (MutexRecord& mutex : mutexes_) {
    if (!mutex.gone && mutex.name == key) {
      return &mutex;
    }
  }
  return nullptr;
}

const SimWindows::MutexRecord* SimWindows::mutexByName(const char* name) const {
  return const_cast<SimWindows*>(this)->mutexByName(name);
}

void SimWindows::closeMutexHandle(std::size_t index) {
  MutexRecord& mutex = mutexes_[index];
  --mutex.handles;
  if (mutex.handles <= 0 && !mutex.external) {
    mutex.gone = true;
  }
}

void SimWindows::createNamedMutex(const char* name) {
  if (MutexRecord* mutex = mutexByName(name)) {
    mutex->external = true;
    return;
  }
  mutexes_.push_back({std::string(mutexKey(name)), true, 0, false});
}

void SimWindows::removeNamedMutex(const char* name) {
  if (MutexRecord* mutex = mutexByName(name)) {
    mutex->external = false;
    if (mutex->handles <= 0) {
      mutex->gone = true;
    }
  }
}

bool SimWindows::mutexExists(const char* name) const { return mutexByName(name) != nullptr; }

void SimWindows::releaseMutexesOfProcess() {
  for (auto& [handle, object] : kernelObjects_) {
    if (object.open && object.kind == KernelObject::Kind::kMutex) {
      object.open = false;
      closeMutexHandle(object.index);
    }
  }
}

// ======================================================================================= message boxes

std::int32_t SimWindows::messageBoxA(WindowHandle owner, const char* text, const char* title, std::uint32_t flags) {
  note("MessageBoxA", owner, text, title, flags);
  if (owner != 0 && live(owner) == nullptr) {
    return 0;  // as Windows: an invalid owner fails the call
  }
  const MessageBoxRecord record{owner, text != nullptr ? text : "", title != nullptr ? title : "", flags, current_,
                                clock_};
  messageBoxes.push_back(record);
  BoxDepth open(*this);
  return onMessageBox ? onMessageBox(record) : kIdOk;
}

// ======================================================================================= icons

IconHandle SimWindows::newIcon(std::int32_t width, std::int32_t height) {
  icons_.push_back({width, height, false});
  ++iconsCreated_;
  return kFirstIcon + icons_.size() - 1;
}

const IconRecord* SimWindows::icon(IconHandle icon) const {
  if (icon < kFirstIcon || icon - kFirstIcon >= icons_.size()) {
    return nullptr;
  }
  return &icons_[icon - kFirstIcon];
}

IconHandle SimWindows::loadIconA(InstanceHandle instance, std::uintptr_t resource) {
  note("LoadIconA", instance, resource);
  return instance == kInstance && resource == kAppIconResource ? kAppIcon : 0;
}

namespace {

// The image's header: a BITMAPINFOHEADER (biSize 40) right at the start of an icon's bytes, after the
// hotspot of a cursor's.
const std::uint8_t* iconHeader(const std::uint8_t* bytes, std::uint32_t size, bool icon, std::uint32_t version) {
  const std::uint32_t offset = icon ? 0 : 4;
  if (bytes == nullptr || size < offset + 40 || read32(bytes + offset) != 40 || version < 0x00020000u ||
      version > 0x00030000u) {
    return nullptr;
  }
  return bytes + offset;
}

}  // namespace

IconHandle SimWindows::createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                                std::uint32_t version, std::int32_t cx, std::int32_t cy,
                                                std::uint32_t flags) {
  note("CreateIconFromResourceEx", size, icon, version, cx, cy, flags);
  const std::uint8_t* header = iconHeader(bytes, size, icon, version);
  if (failIconFromResourceEx || header == nullptr) {
    return 0;
  }
  const bool systemSize = (flags & kLrDefaultSize) != 0;
  const auto ownWidth = static_cast<std::int32_t>(read32(header + 4));
  const auto ownHeight = static_cast<std::int32_t>(read32(header + 8)) / 2;
  const std::int32_t width = cx != 0 ? cx : (systemSize ? kSystemIconSize : ownWidth);
  const std::int32_t height = cy != 0 ? cy : (systemSize ? kSystemIconSize : ownHeight);
  return newIcon(width, height);
}

IconHandle SimWindows::createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                              std::uint32_t version) {
  note("CreateIconFromResource", size, icon, version);
  if (failIconFromResource || iconHeader(bytes, size, icon, version) == nullptr) {
    return 0;
  }
  return newIcon(kSystemIconSize, kSystemIconSize);  // made at the system's icon size
}

bool SimWindows::destroyIcon(IconHandle handle) {
  note("DestroyIcon", handle);
  if (handle < kFirstIcon || handle - kFirstIcon >= icons_.size()) {
    return false;  // unknown, or the shared application icon
  }
  IconRecord& record = icons_[handle - kFirstIcon];
  if (record.destroyed) {
    return false;
  }
  record.destroyed = true;
  ++iconsDestroyed_;
  return true;
}

FontHandle SimWindows::getStockObject(std::int32_t object) {
  note("GetStockObject", object);
  if (object < 0 || object >= kStockObjectCount) {
    return 0;
  }
  return kStockObjectBase + static_cast<FontHandle>(object);
}

// ======================================================================================= menus

MenuRecord* SimWindows::liveMenu(MenuHandle menu) {
  if (menu < kFirstMenu || menu - kFirstMenu >= menus_.size()) {
    return nullptr;
  }
  MenuRecord& record = menus_[menu - kFirstMenu];
  return record.destroyed ? nullptr : &record;
}

const MenuRecord* SimWindows::menu(MenuHandle menu) const {
  if (menu < kFirstMenu || menu - kFirstMenu >= menus_.size()) {
    return nullptr;
  }
  return &menus_[menu - kFirstMenu];
}

std::size_t SimWindows::liveMenus() const { return liveMenus_; }

MenuHandle SimWindows::createMenu() {
  note("CreateMenu");
  if (failMenuCreation) {
    return 0;
  }
  menus_.push_back({false, {}, false});
  ++liveMenus_;
  return kFirstMenu + menus_.size() - 1;
}

MenuHandle SimWindows::createPopupMenu() {
  note("CreatePopupMenu");
  if (failMenuCreation) {
    return 0;
  }
  menus_.push_back({true, {}, false});
  ++liveMenus_;
  return kFirstMenu + menus_.size() - 1;
}

bool SimWindows::appendMenuA(MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) {
  const bool stringItem = (flags & (kMfBitmap | kMfOwnerDraw | kMfSeparator)) == 0;
  if (stringItem) {
    note("AppendMenuA", menu, flags, item, caption);
  } else {
    note("AppendMenuA", menu, flags, item, static_cast<const void*>(caption));
  }
  MenuRecord* record = liveMenu(menu);
  if (record == nullptr) {
    return false;
  }
  if ((flags & kMfPopup) != 0 && (item == menu || liveMenu(item) == nullptr)) {
    return false;
  }
  record = liveMenu(menu);
  record->items.push_back({flags, item, stringItem && caption != nullptr ? std::string(caption) : std::string()});
  return true;
}

bool SimWindows::setMenu(WindowHandle window, MenuHandle menu) {
  note("SetMenu", window, menu);
  WindowInfo* w = live(window);
  if (w == nullptr || (w->style & kWsChild) != 0 || (menu != 0 && liveMenu(menu) == nullptr)) {
    return false;
  }
  w->menu = menu;
  return true;
}

void SimWindows::destroyMenuTree(MenuHandle menu) {
  MenuRecord* record = liveMenu(menu);
  if (record == nullptr) {
    return;
  }
  record->destroyed = true;
  --liveMenus_;
  const std::vector<MenuItem> items = record->items;
  for (const MenuItem& item : items) {
    if ((item.flags & kMfPopup) != 0) {
      destroyMenuTree(item.item);
    }
  }
}

bool SimWindows::destroyMenu(MenuHandle menu) {
  note("DestroyMenu", menu);
  if (liveMenu(menu) == nullptr) {
    return false;
  }
  destroyMenuTree(menu);
  return true;
}

bool SimWindows::trackPopupMenu(MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y,
                                std::int32_t reserved, WindowHandle window, const Rect* rect) {
  note("TrackPopupMenu", menu, flags, x, y, reserved, window, rect);
  const MenuRecord* record = liveMenu(menu);
  if (record == nullptr || live(window) == nullptr) {
    return false;
  }
  const PopupRecord popup{menu, flags, x, y, window, foreground, record->items, clock_};
  popups.push_back(popup);
  const std::uint32_t choice = onPopup ? onPopup(popup) : 0;
  if ((flags & kTpmReturnCmd) != 0) {
    return choice != 0;
  }
  if (choice != 0) {
    queueMessage(window, kWmCommand, choice, 0);
  }
  return true;
}

// ======================================================================================= notification area

bool SimWindows::shellNotifyIconA(std::uint32_t message, NotifyIconRecord* record) {
  if (record == nullptr) {
    note("Shell_NotifyIconA", message, nullptr);
    return false;
  }
  const std::string tip(record->szTip, strnlen(record->szTip, sizeof record->szTip));
  note("Shell_NotifyIconA", message, record->cbSize, record->hWnd, record->uID, record->uFlags,
       record->uCallbackMessage, record->hIcon, tip);
  notifyCalls.emplace_back(message, *record);
  if (failNotify || record->cbSize != kNotifyIconRecordSize) {
    return false;
  }
  const auto it = std::find_if(trayIcons.begin(), trayIcons.end(), [&](const TrayIcon& icon) {
    return icon.window == record->hWnd && icon.id == record->uID;
  });
  auto apply = [&](TrayIcon& icon) {
    if ((record->uFlags & kNifMessage) != 0) {
      icon.callbackMessage = record->uCallbackMessage;
    }
    if ((record->uFlags & kNifIcon) != 0) {
      icon.icon = record->hIcon;
    }
    if ((record->uFlags & kNifTip) != 0) {
      icon.tip = tip;
    }
  };
  switch (message) {
    case kNimAdd: {
      if (it != trayIcons.end()) {
        return false;
      }
      TrayIcon icon;
      icon.window = record->hWnd;
      icon.id = record->uID;
      apply(icon);
      trayIcons.push_back(std::move(icon));
      return true;
    }
    case kNimModify:
      if (it == trayIcons.end()) {
        return false;
      }
      apply(*it);
      return true;
    case kNimDelete:
      if (it == trayIcons.end()) {
        return false;
      }
      trayIcons.erase(it);
      return true;
    default:
      return false;
  }
}

bool SimWindows::clickTrayIcon(WindowHandle window, std::uint32_t id, std::intptr_t mouseMessage) {
  for (const TrayIcon& icon : trayIcons) {
    if (icon.window == window && icon.id == id) {
      return icon.callbackMessage != 0 && queueMessage(window, icon.callbackMessage, id, mouseMessage);
    }
  }
  return false;
}

}  // namespace vantorel::sim
