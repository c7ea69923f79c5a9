// The system's own texts, as the code page 936 (GBK) bytes the ANSI calls receive.
#pragma once

namespace vantorel::text {

inline constexpr char kMessageTitle[] = "\xD0\xC5\xCF\xA2\xA3\xBA";                             // 信息：
inline constexpr char kMenuRoot[] = "\xB2\xCB\xB5\xA5";                                         // 菜单
inline constexpr char kSuspendAutoHide[] = "\xB9\xD8\xB1\xD5\xD7\xD4\xB6\xAF\xD2\xFE\xB2\xD8";  // 关闭自动隐藏
inline constexpr char kResumeAutoHide[] = "\xBF\xAA\xC6\xF4\xD7\xD4\xB6\xAF\xD2\xFE\xB2\xD8";   // 开启自动隐藏
inline constexpr char kExit[] = "\xCD\xCB\xB3\xF6";                                             // 退出
inline constexpr char kSecondInstance[] = "\xB1\xBE\xB9\xA4\xBE\xDF\xBD\xFB\xD6\xB9\xB6\xE0\xBF\xAA";  // 本工具禁止多开
inline constexpr char kIdleTimeFailed[] =
    "\xC8\xA1\xCF\xB5\xCD\xB3\xBF\xD5\xCF\xD0\xCA\xB1\xBC\xE4\xCA\xA7\xB0\xDC";  // 取系统空闲时间失败
inline constexpr char kStartButton[] = "\xBF\xAA\xCA\xBC";                       // 开始
inline constexpr char kIdleTimerName[] =
    "\xCA\xB1\xD6\xD3"
    "1";  // 时钟1
inline constexpr char kClickTimerName[] =
    "\xCA\xB1\xD6\xD3"
    "2";  // 时钟2

inline constexpr char kTooltip[] = "Vantorel";
inline constexpr char kWin10Success[] = "WIN10 Success!";
inline constexpr char kSuccess[] = "Success!";
inline constexpr char kMutexName[] = "Lumeko";

// Fatal error boxes.
inline constexpr char kOutOfMemory[] = "Not enough memory to start.";
inline constexpr char kNoHostWindow[] = "The program's window could not be created.";

// Window classes and titles of the shell's windows.
inline constexpr char kProgmanClass[] = "Progman";
inline constexpr char kProgmanTitle[] = "Program Manager";
inline constexpr char kWorkerWClass[] = "WorkerW";
inline constexpr char kDefViewClass[] = "SHELLDLL_DefView";
inline constexpr char kListViewClass[] = "SysListView32";
inline constexpr char kListViewTitle[] = "FolderView";
inline constexpr char kTaskbarClass[] = "Shell_TrayWnd";
inline constexpr char kButtonClass[] = "Button";
inline constexpr char kEmpty[] = "";

// The program's own window class.
inline constexpr char kHostWindowClass[] = "VantorelHostWindow";

}  // namespace vantorel::text
