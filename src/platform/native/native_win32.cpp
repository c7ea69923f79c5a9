// The real Windows calls behind the seam. With the process start (process_start.cpp) the only code
// that sees <windows.h>.
#include "platform/native/native_win32.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <cstddef>

#include "app/program.h"
#include "platform/constants.h"
#include "platform/native/checked_call.h"

namespace vantorel {

// ---- The program's names for Windows' values, checked against the SDK ----
static_assert(sizeof(void*) == 4, "the executable is 32-bit");

static_assert(kSwHide == SW_HIDE && kSwShowNormal == SW_SHOWNORMAL);
static_assert(kInfinite == INFINITE);
static_assert(kMutexAllAccess == MUTEX_ALL_ACCESS);
static_assert(kLoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

static_assert(kWmNull == WM_NULL && kWmCreate == WM_CREATE && kWmDestroy == WM_DESTROY);
static_assert(kWmClose == WM_CLOSE && kWmQuit == WM_QUIT && kWmSetFont == WM_SETFONT);
static_assert(kWmSetIcon == WM_SETICON && kWmContextMenu == WM_CONTEXTMENU);
static_assert(kWmCommand == WM_COMMAND && kWmTimer == WM_TIMER && kWmMouseMove == WM_MOUSEMOVE);
static_assert(kWmLButtonDown == WM_LBUTTONDOWN && kWmLButtonUp == WM_LBUTTONUP);
static_assert(kWmLButtonDblClk == WM_LBUTTONDBLCLK);
static_assert(kWmRButtonDown == WM_RBUTTONDOWN && kWmRButtonUp == WM_RBUTTONUP);
static_assert(kWmRButtonDblClk == WM_RBUTTONDBLCLK);
static_assert(kWmMButtonDown == WM_MBUTTONDOWN && kWmMButtonUp == WM_MBUTTONUP);
static_assert(kWmApp == WM_APP);
static_assert(kIconSmall == ICON_SMALL && kIconBig == ICON_BIG);

static_assert(kWsOverlapped == WS_OVERLAPPED && kWsCaption == WS_CAPTION && kWsSysMenu == WS_SYSMENU);
static_assert(kWsMinimizeBox == WS_MINIMIZEBOX && kWsClipChildren == WS_CLIPCHILDREN);
static_assert(kWsVisible == WS_VISIBLE);

static_assert(kSmCxScreen == SM_CXSCREEN && kSmCyScreen == SM_CYSCREEN);
static_assert(kColorBtnFace == COLOR_BTNFACE && kDefaultGuiFont == DEFAULT_GUI_FONT);
static_assert(kVkLButton == VK_LBUTTON && kVkRButton == VK_RBUTTON);

static_assert(kMfString == MF_STRING && kMfGrayed == MF_GRAYED && kMfChecked == MF_CHECKED);
static_assert(kMfPopup == MF_POPUP && kTpmRightAlign == TPM_RIGHTALIGN);

static_assert(kMbOk == MB_OK && kMbIconError == MB_ICONERROR);
static_assert(kMbSystemModal == MB_SYSTEMMODAL && kMbTaskModal == MB_TASKMODAL);
static_assert(IDOK == 1 && IDCANCEL == 2 && IDABORT == 3 && IDRETRY == 4 && IDIGNORE == 5 && IDYES == 6 && IDNO == 7);

static_assert(kNimAdd == NIM_ADD && kNimModify == NIM_MODIFY && kNimDelete == NIM_DELETE);
static_assert(kNifMessage == NIF_MESSAGE && kNifIcon == NIF_ICON && kNifTip == NIF_TIP);
static_assert(kNotifyIconRecordSize == NOTIFYICONDATAA_V1_SIZE && NOTIFYICONDATAA_V1_SIZE == 88);
static_assert(sizeof(NotifyIconRecord::szTip) == sizeof(NOTIFYICONDATAA::szTip) - 64);
static_assert(sizeof(NotifyIconRecord::szTip) == 64);

static_assert(kLrDefaultColor == LR_DEFAULTCOLOR);

static_assert(kHostStyle == (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN));
static_assert(kTrayCallbackMessage == WM_APP + 100);

// The seam's records must match the SDK's where their bytes are handed over unchanged.
static_assert(sizeof(LastInputInfo) == sizeof(LASTINPUTINFO));
static_assert(offsetof(LastInputInfo, dwTime) == offsetof(LASTINPUTINFO, dwTime));
static_assert(sizeof(Rect) == sizeof(RECT) && offsetof(Rect, bottom) == offsetof(RECT, bottom));
static_assert(sizeof(Point) == sizeof(POINT) && offsetof(Point, y) == offsetof(POINT, y));

namespace {

// The seam carries handles as integers; these casts are the whole point of the conversion.
template <typename Handle>
Handle toHandle(std::uintptr_t value) {
  return reinterpret_cast<Handle>(value);  // NOLINT(performance-no-int-to-ptr)
}

template <typename Handle>
std::uintptr_t fromHandle(Handle handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

// One 32-bit stack slot per argument, as the stdcall callee reads it.
inline std::uintptr_t toArgument(std::int32_t value) {
  return static_cast<std::uintptr_t>(static_cast<std::uint32_t>(value));
}
// Handles (std::uintptr_t) are the same type as std::uint32_t here.
static_assert(sizeof(std::uintptr_t) == sizeof(std::uint32_t));
inline std::uintptr_t toArgument(std::uint32_t value) { return value; }
inline std::uintptr_t toArgument(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

template <typename... Arguments>
ExternResult callChecked(ProcAddress fn, Arguments... arguments) {
  // One spare slot keeps the array non-empty for calls without arguments.
  const std::uintptr_t list[sizeof...(Arguments) + 1] = {toArgument(arguments)..., 0};
  const CheckedCall call = splitCheckedCall(vantorel_checked_stdcall(fn, list, sizeof...(Arguments)));
  return ExternResult{call.value, call.balanced};
}

// Every message of the program's window class arrives here. The procedure object comes with
// WM_NCCREATE as the creation parameter and lives in the window's user data from then on; the few
// messages before it (WM_GETMINMAXINFO) go to the default procedure.
LRESULT CALLBACK windowProcedureEntry(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the user data holds the procedure's address
  auto* procedure = reinterpret_cast<WindowProcedure*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (procedure == nullptr && message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);  // NOLINT(performance-no-int-to-ptr)
    procedure = static_cast<WindowProcedure*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(procedure));
  }
  if (procedure == nullptr) {
    return DefWindowProcA(window, message, wParam, lParam);
  }
  const LRESULT result = procedure->windowProc(fromHandle(window), message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  }
  return result;
}

DWORD WINAPI threadEntry(LPVOID start) {
  const auto* threadStart = static_cast<const NativeWin32::ThreadStart*>(start);
  return threadStart->body->threadMain(threadStart->parameter);
}

}  // namespace

// ---- Binding by name ----

ModuleHandle NativeWin32::loadLibraryExA(const char* fileName, std::uint32_t flags) {
  return fromHandle(LoadLibraryExA(fileName, nullptr, flags));
}

ProcAddress NativeWin32::getProcAddress(ModuleHandle module, const char* name) {
  return reinterpret_cast<ProcAddress>(GetProcAddress(toHandle<HMODULE>(module), name));
}

bool NativeWin32::freeLibrary(ModuleHandle module) { return FreeLibrary(toHandle<HMODULE>(module)) != 0; }

// ---- Calls through a bound address ----

ExternResult NativeWin32::getLastInputInfo(ProcAddress fn, LastInputInfo* info) {
  return callChecked(fn, static_cast<const void*>(info));
}

ExternResult NativeWin32::showWindow(ProcAddress fn, WindowHandle window, std::int32_t command) {
  return callChecked(fn, window, command);
}

ExternResult NativeWin32::showSystemCursor(ProcAddress fn, std::int32_t show) { return callChecked(fn, show); }

ExternResult NativeWin32::magInitialize(ProcAddress fn) { return callChecked(fn); }

ExternResult NativeWin32::magShowSystemCursor(ProcAddress fn, std::int32_t show) { return callChecked(fn, show); }

ExternResult NativeWin32::waitForSingleObject(ProcAddress fn, KernelHandle handle, std::uint32_t milliseconds) {
  return callChecked(fn, handle, milliseconds);
}

ExternResult NativeWin32::openMutexA(ProcAddress fn, std::uint32_t access, std::int32_t inherit, const char* name) {
  return callChecked(fn, access, inherit, static_cast<const void*>(name));
}

ExternResult NativeWin32::createMutexA(ProcAddress fn, void* security, std::int32_t initialOwner, const char* name) {
  return callChecked(fn, static_cast<const void*>(security), initialOwner, static_cast<const void*>(name));
}

ExternResult NativeWin32::getDesktopWindow(ProcAddress fn) { return callChecked(fn); }

ExternResult NativeWin32::findWindowExA(ProcAddress fn, WindowHandle parent, WindowHandle childAfter,
                                        const char* className, const char* title) {
  return callChecked(fn, parent, childAfter, static_cast<const void*>(className), static_cast<const void*>(title));
}

ExternResult NativeWin32::findWindowA(ProcAddress fn, const char* className, const char* title) {
  return callChecked(fn, static_cast<const void*>(className), static_cast<const void*>(title));
}

ExternResult NativeWin32::getAsyncKeyState(ProcAddress fn, std::int32_t virtualKey) {
  return callChecked(fn, virtualKey);
}

// ---- Process, threads, heap ----

std::uint32_t NativeWin32::getCurrentThreadId() { return GetCurrentThreadId(); }

KernelHandle NativeWin32::createThread(void* security, std::size_t stackSize, ThreadBody* body, void* parameter,
                                       std::uint32_t flags, std::uint32_t* threadId) {
  threadStart_ = ThreadStart{body, parameter};
  DWORD id = 0;
  HANDLE thread =
      CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stackSize, threadEntry, &threadStart_, flags, &id);
  if (threadId != nullptr) {
    *threadId = id;
  }
  return fromHandle(thread);
}

bool NativeWin32::closeHandle(KernelHandle handle) { return CloseHandle(toHandle<HANDLE>(handle)) != 0; }

HeapHandle NativeWin32::getProcessHeap() { return fromHandle(GetProcessHeap()); }

void* NativeWin32::heapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t bytes) {
  return HeapAlloc(toHandle<HANDLE>(heap), flags, bytes);
}

bool NativeWin32::heapFree(HeapHandle heap, std::uint32_t flags, void* memory) {
  return HeapFree(toHandle<HANDLE>(heap), flags, memory) != 0;
}

void NativeWin32::exitProcess(std::uint32_t exitCode) { ExitProcess(exitCode); }

std::uint32_t NativeWin32::getTickCount() { return GetTickCount(); }

std::uintptr_t NativeWin32::processEnvironmentBlock() {
  std::uintptr_t block = 0;
  asm volatile("movl %%fs:0x30, %0" : "=r"(block));
  return block;
}

std::uint32_t NativeWin32::readMemory32(std::uintptr_t address) {
  return *reinterpret_cast<const volatile std::uint32_t*>(address);  // NOLINT(performance-no-int-to-ptr)
}

InstanceHandle NativeWin32::getModuleHandleA(const char* name) { return fromHandle(GetModuleHandleA(name)); }

// ---- Windows and messages ----

bool NativeWin32::registerClassExA(const WindowClass& windowClass) {
  WNDCLASSEXA record = {};
  record.cbSize = sizeof record;
  record.style = windowClass.style;
  record.lpfnWndProc = windowProcedureEntry;
  record.hInstance = toHandle<HINSTANCE>(windowClass.instance);
  record.hIcon = toHandle<HICON>(windowClass.icon);
  record.hIconSm = toHandle<HICON>(windowClass.smallIcon);
  // Without a class cursor the pointer would keep whatever shape it had when it entered the window.
  record.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  record.hbrBackground = toHandle<HBRUSH>(windowClass.background);
  record.lpszClassName = windowClass.className;
  return RegisterClassExA(&record) != 0;
}

WindowHandle NativeWin32::createWindowExA(std::uint32_t exStyle, const char* className, const char* title,
                                          std::uint32_t style, std::int32_t x, std::int32_t y, std::int32_t width,
                                          std::int32_t height, WindowHandle parent, MenuHandle menu,
                                          InstanceHandle instance, WindowProcedure* procedure) {
  return fromHandle(CreateWindowExA(exStyle, className, title, style, x, y, width, height, toHandle<HWND>(parent),
                                    toHandle<HMENU>(menu), toHandle<HINSTANCE>(instance),
                                    static_cast<void*>(procedure)));
}

bool NativeWin32::destroyWindow(WindowHandle window) { return DestroyWindow(toHandle<HWND>(window)) != 0; }

bool NativeWin32::isWindow(WindowHandle window) { return IsWindow(toHandle<HWND>(window)) != 0; }

bool NativeWin32::getWindowRect(WindowHandle window, Rect* rect) {
  RECT area = {};
  if (GetWindowRect(toHandle<HWND>(window), &area) == 0) {
    return false;
  }
  *rect = Rect{area.left, area.top, area.right, area.bottom};
  return true;
}

bool NativeWin32::moveWindow(WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width,
                             std::int32_t height, bool repaint) {
  return MoveWindow(toHandle<HWND>(window), x, y, width, height, repaint ? TRUE : FALSE) != 0;
}

std::int32_t NativeWin32::getSystemMetrics(std::int32_t index) { return GetSystemMetrics(index); }

std::intptr_t NativeWin32::sendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
  return SendMessageA(toHandle<HWND>(window), message, wParam, lParam);
}

bool NativeWin32::postMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  return PostMessageA(toHandle<HWND>(window), message, wParam, lParam) != 0;
}

void NativeWin32::postQuitMessage(std::int32_t exitCode) { PostQuitMessage(exitCode); }

std::int32_t NativeWin32::getMessageA(Message* message, WindowHandle window, std::uint32_t filterMin,
                                      std::uint32_t filterMax) {
  MSG record = {};
  const BOOL got = GetMessageA(&record, toHandle<HWND>(window), filterMin, filterMax);
  *message = Message{fromHandle(record.hwnd), record.message, record.wParam, record.lParam};
  fetched_ = FetchedMessage{*message, record.time, Point{record.pt.x, record.pt.y}, true};
  return got;
}

namespace {

MSG toRecord(const Message& message, std::uint32_t time, Point point) {
  MSG record = {};
  record.hwnd = toHandle<HWND>(message.window);
  record.message = message.message;
  record.wParam = message.wParam;
  record.lParam = message.lParam;
  record.time = time;
  record.pt = POINT{point.x, point.y};
  return record;
}

bool sameMessage(const Message& a, const Message& b) {
  return a.window == b.window && a.message == b.message && a.wParam == b.wParam && a.lParam == b.lParam;
}

}  // namespace

bool NativeWin32::translateMessage(const Message& message) {
  const bool fetched = fetched_.valid && sameMessage(fetched_.message, message);
  const MSG record = toRecord(message, fetched ? fetched_.time : 0, fetched ? fetched_.point : Point{});
  return TranslateMessage(&record) != 0;
}

std::intptr_t NativeWin32::dispatchMessageA(const Message& message) {
  const bool fetched = fetched_.valid && sameMessage(fetched_.message, message);
  const MSG record = toRecord(message, fetched ? fetched_.time : 0, fetched ? fetched_.point : Point{});
  return DispatchMessageA(&record);
}

std::intptr_t NativeWin32::defWindowProcA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                          std::intptr_t lParam) {
  return DefWindowProcA(toHandle<HWND>(window), message, wParam, lParam);
}

std::uintptr_t NativeWin32::setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) {
  return SetTimer(toHandle<HWND>(window), id, elapseMs, nullptr);
}

bool NativeWin32::killTimer(WindowHandle window, std::uintptr_t id) {
  return KillTimer(toHandle<HWND>(window), id) != 0;
}

bool NativeWin32::setForegroundWindow(WindowHandle window) { return SetForegroundWindow(toHandle<HWND>(window)) != 0; }

bool NativeWin32::getCursorPos(Point* point) {
  POINT position = {};
  if (GetCursorPos(&position) == 0) {
    return false;
  }
  *point = Point{position.x, position.y};
  return true;
}

std::int32_t NativeWin32::messageBoxA(WindowHandle owner, const char* text, const char* title, std::uint32_t flags) {
  return MessageBoxA(toHandle<HWND>(owner), text, title, flags);
}

// ---- Resources, icons, fonts ----

IconHandle NativeWin32::loadIconA(InstanceHandle instance, std::uintptr_t resource) {
  return fromHandle(LoadIconA(toHandle<HINSTANCE>(instance), MAKEINTRESOURCEA(resource)));
}

IconHandle NativeWin32::createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                                 std::uint32_t version, std::int32_t cx, std::int32_t cy,
                                                 std::uint32_t flags) {
  // The SDK's parameter is not const, but the call only reads the bytes.
  return fromHandle(
      CreateIconFromResourceEx(const_cast<PBYTE>(bytes), size, icon ? TRUE : FALSE, version, cx, cy, flags));
}

IconHandle NativeWin32::createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                               std::uint32_t version) {
  return fromHandle(CreateIconFromResource(const_cast<PBYTE>(bytes), size, icon ? TRUE : FALSE, version));
}

bool NativeWin32::destroyIcon(IconHandle icon) { return DestroyIcon(toHandle<HICON>(icon)) != 0; }

FontHandle NativeWin32::getStockObject(std::int32_t object) { return fromHandle(GetStockObject(object)); }

// ---- Menus and the notification area ----

MenuHandle NativeWin32::createMenu() { return fromHandle(CreateMenu()); }

MenuHandle NativeWin32::createPopupMenu() { return fromHandle(CreatePopupMenu()); }

bool NativeWin32::appendMenuA(MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) {
  return AppendMenuA(toHandle<HMENU>(menu), flags, item, caption) != 0;
}

bool NativeWin32::setMenu(WindowHandle window, MenuHandle menu) {
  return SetMenu(toHandle<HWND>(window), toHandle<HMENU>(menu)) != 0;
}

bool NativeWin32::destroyMenu(MenuHandle menu) { return DestroyMenu(toHandle<HMENU>(menu)) != 0; }

bool NativeWin32::trackPopupMenu(MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y,
                                 std::int32_t reserved, WindowHandle window, const Rect* rect) {
  RECT area = {};
  if (rect != nullptr) {
    area = RECT{rect->left, rect->top, rect->right, rect->bottom};
  }
  return TrackPopupMenu(toHandle<HMENU>(menu), flags, x, y, reserved, toHandle<HWND>(window),
                        rect != nullptr ? &area : nullptr) != 0;
}

bool NativeWin32::shellNotifyIconA(std::uint32_t message, NotifyIconRecord* record) {
  NOTIFYICONDATAA data = {};
  data.cbSize = record->cbSize;  // as given: the first form's 88 bytes
  data.hWnd = toHandle<HWND>(record->hWnd);
  data.uID = record->uID;
  data.uFlags = record->uFlags;
  data.uCallbackMessage = record->uCallbackMessage;
  data.hIcon = toHandle<HICON>(record->hIcon);
  for (std::size_t i = 0; i < sizeof record->szTip; ++i) {
    data.szTip[i] = record->szTip[i];
  }
  return Shell_NotifyIconA(message, &data) != 0;
}

}  // namespace vantorel
