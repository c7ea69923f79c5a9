// trayholder.exe: keeps one notification icon for the whole test session, so the notification area
// already has an icon when the program under test adds its own (as on a real Windows desktop, where
// the shell's own icons are always there). Its icon is a plain square of a colour no other icon has,
// so screenshots can tell it apart. Ends on WM_CLOSE to its window or WM_QUIT to its thread; prints
// "ready <pid>" once the icon is in.
#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr UINT kIconId = 1;
constexpr UINT kCallback = WM_APP + 1;
UINT g_taskbar_created = 0;
HICON g_icon = nullptr;

void out(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

// A 16 x 16 square: a dark green border around a light green face.
HICON make_icon() {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = 16;
  bi.bmiHeader.biHeight = 16;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (colour == nullptr || bits == nullptr) return LoadIconA(nullptr, IDI_APPLICATION);
  auto* pixels = static_cast<DWORD*>(bits);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      bool border = x == 0 || y == 0 || x == 15 || y == 15;
      pixels[y * 16 + x] = border ? 0xFF006000u : 0xFF40E040u;
    }
  }
  BYTE mask_bits[32] = {};  // all zero: every pixel opaque
  HBITMAP mask = CreateBitmap(16, 16, 1, 1, mask_bits);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = mask;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(colour);
  DeleteObject(mask);
  return icon != nullptr ? icon : LoadIconA(nullptr, IDI_APPLICATION);
}

bool add_icon(HWND hwnd) {
  NOTIFYICONDATAA nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hwnd;
  nid.uID = kIconId;
  nid.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  nid.uCallbackMessage = kCallback;
  nid.hIcon = g_icon;
  lstrcpynA(nid.szTip, "e2e tray holder", sizeof nid.szTip);
  return Shell_NotifyIconA(NIM_ADD, &nid) != 0;
}

void remove_icon(HWND hwnd) {
  NOTIFYICONDATAA nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = hwnd;
  nid.uID = kIconId;
  Shell_NotifyIconA(NIM_DELETE, &nid);
}

LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (message == WM_DESTROY) {
    remove_icon(hwnd);
    PostQuitMessage(0);
    return 0;
  }
  if (g_taskbar_created != 0 && message == g_taskbar_created) {
    add_icon(hwnd);  // the shell came back: put the icon in again
    return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace

int main() {
  g_taskbar_created = RegisterWindowMessageA("TaskbarCreated");
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "VantorelE2ETrayHolder";
  if (RegisterClassA(&wc) == 0) return 2;
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "e2e tray holder", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, nullptr);
  if (hwnd == nullptr) return 2;
  g_icon = make_icon();
  // The shell may still be starting: try for a while.
  bool added = false;
  for (int attempt = 0; attempt < 100 && !added; ++attempt) {
    added = add_icon(hwnd);
    if (!added) Sleep(100);
  }
  if (!added) {
    out("error Shell_NotifyIcon\n");
    return 2;
  }
  out("ready %lu\n", GetCurrentProcessId());
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (IsWindow(hwnd)) remove_icon(hwnd);
  out("bye\n");
  return static_cast<int>(msg.wParam);
}
