// The program: its whole state and every handler, owned by one object that holds the seam.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/externals.h"
#include "platform/win32.h"

namespace vantorel {

class Program;

using Handler = void (Program::*)();
using WindowsVersionCode = std::int32_t;
inline constexpr WindowsVersionCode kWindows7 = 61;

// The shell windows the program hides and shows; 0 when not found.
struct ShellTargets {
  WindowHandle desktopListView = 0;
  WindowHandle taskbarWindow = 0;
  WindowHandle startButtonWindow = 0;
};

// Working handles of shell window discovery, kept as the searches left them.
struct DiscoveryHandles {
  WindowHandle desktop = 0;
  WindowHandle workerWCursor = 0;
  WindowHandle defViewUnderWorkerW = 0;
  WindowHandle programManager = 0;
  WindowHandle programManagerDefView = 0;
};

struct Timer {
  const char* name;
  std::uintptr_t id;  // the platform timer's identifier on the host window
  std::int32_t periodMs;
  bool running;
  Handler tick;
};

struct MenuEntry {
  std::int32_t level;
  const char* caption;
  std::int32_t shortcutIndex;
  bool hidden;
  bool disabled;
  bool checked;
  Handler handler;  // null for an entry that only holds others
};

// MF_CHECKED (0x8) and MF_GRAYED (0x1) as the entry's flags ask; MF_STRING (0) otherwise.
inline std::uint32_t menuItemFlags(const MenuEntry& entry) {
  return (entry.checked ? 0x0008u : 0u) | (entry.disabled ? 0x0001u : 0u);
}

inline constexpr std::size_t kMenuEntryCount = 3;
inline constexpr std::size_t kRootEntry = 0;
inline constexpr std::size_t kToggleEntry = 1;
inline constexpr std::size_t kExitEntry = 2;

inline constexpr std::int32_t kHostWidth = 380;
inline constexpr std::int32_t kHostHeight = 250;
inline constexpr std::int32_t kDeclaredLeft = 50;
inline constexpr std::int32_t kDeclaredTop = 50;
inline constexpr std::uint32_t kHostStyle = 0x00000000u /*WS_OVERLAPPED*/ | 0x00C00000u /*WS_CAPTION*/ |
                                            0x00080000u /*WS_SYSMENU*/ | 0x00020000u /*WS_MINIMIZEBOX*/ |
                                            0x02000000u /*WS_CLIPCHILDREN*/;

inline constexpr std::int32_t kIdlePeriodMs = 300;
inline constexpr std::int32_t kClickPeriodMs = 50;
inline constexpr std::int32_t kClickPeriodAfterResumeMs = 500;
inline constexpr std::int32_t kHideAfterIdleMs = 3000;
inline constexpr std::int32_t kShowBelowIdleMs = 1000;

inline constexpr std::uint32_t kTrayIconId = 100;
inline constexpr std::uint32_t kTrayCallbackMessage = 0x8000 + 100;  // WM_APP + 100
inline constexpr std::uint32_t kMenuCommandBase = 20000;
inline constexpr std::size_t kTooltipBytes = 62;
inline constexpr std::int32_t kPopupOffset = 5;

enum TrayEventCode : std::int32_t {
  kTrayLeftClick = 1,
  kTrayLeftDoubleClick = 2,
  kTrayRightClick = 3,
};

struct HostWindow {
  WindowHandle handle = 0;
  MenuHandle menuBar = 0;
  IconHandle appIcon = 0;
  IconHandle trayIcon = 0;  // owned: destroyed whenever it is replaced or removed
  Timer idleTimer{};
  Timer clickTimer{};
  std::array<MenuEntry, kMenuEntryCount> menu{};
};

// Where an .ico file's first image lies, with the header fields the icon is made from.
struct IcoImage {
  const std::uint8_t* bytes = nullptr;
  std::uint32_t size = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // the image's own height: biHeight / 2
  std::uint16_t bitCount = 0;
};

// Finds the first image of .ico bytes. False when the bytes are no icon file, or when the image or
// its header do not lie wholly inside `length`.
bool locateIcoImage(const std::uint8_t* bytes, std::size_t length, IcoImage* image);

inline constexpr std::size_t kMaxCleanupRoutines = 4;

class Program final : public WindowProcedure, public ThreadBody, public FatalHandler {
 public:
  explicit Program(Win32& win);
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The whole process: programMain, then the end work of the GUI thread and the exit.
  [[noreturn]] void run();

  // ---- Start-up and lifecycle ----
  std::int32_t programMain();
  std::int32_t startupRoutine();
  void registerCleanup(Handler routine);
  void releaseLastInputInfo();
  void onHostWindowCreated();
  void runStartupWork();
  [[noreturn]] void endProgram(std::int32_t exitCode);
  [[noreturn]] void fatalError(const char* text) override;
  void checkSingleInstance();
  void discoverShellWindows();

  // ---- Auto-hide engine ----
  void hideAll(bool includePointer);
  void showAll();
  WindowsVersionCode probeWindowsVersion();
  void onIdleTick();
  void onClickTick();

  // ---- Host window ----
  void loadHostWindow();
  void setTimerPeriod(Timer& timer, std::int32_t periodMs);
  void setItemCaption(std::size_t entry, const char* text);
  std::intptr_t windowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) override;

  // ---- Tray icon, popup menu and commands ----
  void installTrayIcon();
  void setTrayIcon(const std::uint8_t* bytes, std::size_t length, const char* tooltip);
  IconHandle iconFromIcoBytes(const std::uint8_t* bytes, std::size_t length);
  void applyTrayIcon(IconHandle newIcon, const char* tooltip);
  void onTrayCallback(std::uintptr_t wParam, std::intptr_t lParam);
  void onTrayEvent(std::int32_t code);
  void popUpTrayMenu(std::size_t entry);
  MenuHandle buildPopupMenu(std::size_t entry, std::uint32_t identifier);
  void onMenuCommand(std::uint32_t identifier);
  void onToggleSelected();
  void onExitSelected();

  // The message box of the program's own messages: task-modal, titled "信息：" unless given.
  // Returns 0 for OK, 1 Cancel, 2 Abort, 3 Retry, 4 Ignore, 5 Yes, 6 No.
  std::int32_t showMessage(const char* text, std::uint32_t flags = 0, const char* title = nullptr,
                           WindowHandle owner = 0);

  // ---- State ----
  Win32& win;
  Externals externals;
  std::uint32_t guiThreadId = 0;
  bool eventsSuppressed = false;
  bool messageLoopStarted = false;
  bool inFatalError = false;
  bool idleFailureBoxOpen = false;
  std::int32_t quitCode = 0;
  LastInputInfo* lastInputInfo = nullptr;
  std::int32_t idleMs = 0;
  std::int32_t itemsHidden = 0;
  std::int32_t autoHideSuspended = 0;
  ShellTargets shellTargets;
  DiscoveryHandles discovery;
  HostWindow host;
  std::array<Handler, kMaxCleanupRoutines> cleanupRoutines = {};
  std::size_t cleanupCount = 0;

 private:
  std::uint32_t threadMain(void* parameter) override;
  MenuHandle buildMenuBar();
  void onHostWindowDestroyed();
  void createTimer(Timer& timer);
  void runEndWork();
  [[noreturn]] void exitNow(std::int32_t exitCode);
};

}  // namespace vantorel
