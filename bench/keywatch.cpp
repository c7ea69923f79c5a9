// keywatch.exe: the tool's click watcher alone, with a log, for finding out where click latency
// comes from under Wine (tests/e2e/bench_wine.py --click-floor).
//
//   keywatch <duration-ms> <period-ms> <stop-event>
//
// A hidden window with one timer of the period; on each WM_TIMER the click watcher's calls:
// GetAsyncKeyState(VK_LBUTTON), then GetAsyncKeyState(VK_RBUTTON) only when the left gave 0. Every
// tick prints "tick <ms> <GetTickCount> <left> <right>" (ms: the performance counter, as
// stopwatch.exe prints it). Ends after the duration or when the named event (created here) is set.
//
// It reads the "pressed since the last query" bits that the tool reads too: never run it while the
// tool runs.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void out(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return;
  if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

double now_ms() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double g_end = 0;
HANDLE g_stop = nullptr;

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER && wparam == 1) {
    double at = now_ms();
    DWORD tick = GetTickCount();
    unsigned left = static_cast<unsigned short>(GetAsyncKeyState(VK_LBUTTON));
    unsigned right = left == 0 ? static_cast<unsigned short>(GetAsyncKeyState(VK_RBUTTON)) : 0;
    out("tick %.3f %lu %04X %04X\n", at, tick, left, right);
    if (at >= g_end || WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    out("error usage: keywatch <duration-ms> <period-ms> <stop-event>\n");
    return 2;
  }
  g_stop = CreateEventA(nullptr, TRUE, FALSE, argv[3]);
  if (g_stop == nullptr) {
    out("error CreateEvent %lu\n", GetLastError());
    return 2;
  }
  WNDCLASSA wc{};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "VantorelBenchKeyWatch";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                              wc.hInstance, nullptr);
  if (hwnd == nullptr) {
    out("error CreateWindow %lu\n", GetLastError());
    return 2;
  }
  g_end = now_ms() + static_cast<double>(std::strtoul(argv[1], nullptr, 0));
  SetTimer(hwnd, 1, std::strtoul(argv[2], nullptr, 0), nullptr);
  out("ready %.3f\n", now_ms());
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  DestroyWindow(hwnd);
  CloseHandle(g_stop);
  out("end %.3f\n", now_ms());
  return 0;
}
