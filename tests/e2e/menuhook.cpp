// menuhook.dll: lets the probe read the program's popup menus. Another process cannot read a menu
// (its handle is useless outside the owner), so `probe menu` hooks the program's GUI thread with
// this DLL (WH_CALLWNDPROC). Inside the program it reports, as UTF-8 lines sent with WM_COPYDATA to
// the probe's window of class "VantorelE2EMenuSink":
//   popup <item-count>                                  at WM_INITMENUPOPUP, then for each item
//   item <position> <id> <state-hex> <text-ansi-hex> <text>
//   command <id>                                        a WM_COMMAND from a menu (sent or posted)
//   exitmenu                                            the menu loop ended
#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr char kSinkClass[] = "VantorelE2EMenuSink";

void report(HWND from, const char* format, ...) {
  char line[2048];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n <= 0) return;
  if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
  HWND sink = FindWindowA(kSinkClass, nullptr);
  if (sink == nullptr) return;
  COPYDATASTRUCT data{};
  data.dwData = 0x4D454E55;  // "MENU"
  data.cbData = static_cast<DWORD>(n);
  data.lpData = line;
  DWORD_PTR result = 0;
  SendMessageTimeoutA(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(from), reinterpret_cast<LPARAM>(&data),
                      SMTO_ABORTIFHUNG, 2000, &result);
}

void report_menu(HWND owner, HMENU menu) {
  int count = GetMenuItemCount(menu);
  report(owner, "popup %d", count);
  for (int i = 0; i < count; ++i) {
    wchar_t wide[256];
    wide[0] = L'\0';
    GetMenuStringW(menu, static_cast<UINT>(i), wide, 256, MF_BYPOSITION);
    char utf8[1024];
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0) utf8[0] = '\0';
    char ansi[512];
    ansi[0] = '\0';
    GetMenuStringA(menu, static_cast<UINT>(i), ansi, sizeof ansi, MF_BYPOSITION);
    char ansi_hex[1100];
    int used = 0;
    for (int j = 0; ansi[j] != '\0' && used + 3 < static_cast<int>(sizeof ansi_hex); ++j) {
      used += snprintf(ansi_hex + used, sizeof ansi_hex - static_cast<size_t>(used), "%02X",
                       static_cast<unsigned char>(ansi[j]));
    }
    ansi_hex[used] = '\0';
    UINT state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
    UINT id = GetMenuItemID(menu, i);
    report(owner, "item %d %d %04X %s %s", i, static_cast<int>(id), state, used > 0 ? ansi_hex : "-", utf8);
  }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK MenuHookProc(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION) {
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lparam);
    switch (message->message) {
      case WM_INITMENUPOPUP:
        report_menu(message->hwnd, reinterpret_cast<HMENU>(message->wParam));
        break;
      case WM_COMMAND:
        if (HIWORD(message->wParam) == 0 && message->lParam == 0) {
          report(message->hwnd, "command %u", LOWORD(message->wParam));
        }
        break;
      case WM_EXITMENULOOP:
        report(message->hwnd, "exitmenu");
        break;
      default:
        break;
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

// Posted messages (TrackPopupMenu posts the chosen item's WM_COMMAND) pass WH_GETMESSAGE instead.
extern "C" __declspec(dllexport) LRESULT CALLBACK MessageHookProc(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HC_ACTION && wparam == PM_REMOVE) {
    const auto* message = reinterpret_cast<const MSG*>(lparam);
    if (message->message == WM_COMMAND && HIWORD(message->wParam) == 0 && message->lParam == 0) {
      report(message->hwnd, "command %u", LOWORD(message->wParam));
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
