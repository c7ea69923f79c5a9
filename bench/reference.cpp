// reference.exe: the floor that vantorel.exe's CPU use at idle is held against.
//
// The same two timers on a hidden window (300 ms and 50 ms, WM_TIMER through a window procedure and
// a GetMessage loop, as the tool has them), and on each tick the same Windows calls the tool makes
// while nothing happens on the desktop, with no logic around them:
//   300 ms: GetLastInputInfo, GetTickCount
//   50 ms:  GetAsyncKeyState(VK_LBUTTON), GetAsyncKeyState(VK_RBUTTON)
// Whatever the tool spends above this is its own work. Ends on WM_CLOSE or when it is terminated.
#include <windows.h>

namespace {

constexpr UINT_PTR kIdleTimer = 1;
constexpr UINT_PTR kClickTimer = 2;

LASTINPUTINFO g_last_input;

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kIdleTimer) {
        g_last_input.cbSize = sizeof g_last_input;
        GetLastInputInfo(&g_last_input);
        GetTickCount();
      } else if (wparam == kClickTimer) {
        GetAsyncKeyState(VK_LBUTTON);
        GetAsyncKeyState(VK_RBUTTON);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  wc.lpszClassName = "VantorelBenchReference";
  if (RegisterClassA(&wc) == 0) return 1;
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                              CW_USEDEFAULT, 200, 100, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) return 1;
  SetTimer(hwnd, kIdleTimer, 300, nullptr);
  SetTimer(hwnd, kClickTimer, 50, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
