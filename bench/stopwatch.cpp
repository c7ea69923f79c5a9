// stopwatch.exe: the Wine benchmarks' clock inside the desktop (run by tests/e2e/bench_wine.py).
//
// One command per run, results on stdout as "key value" lines. Every time printed is the
// performance counter in milliseconds (QueryPerformanceCounter, which Wine takes from the host's
// monotonic clock), so that the host side can put its own events on the same time line.
//
//   stopwatch clock <count> <interval-ms>
//       prints "t <ms>" count times, one every interval: the host reads them as they come to learn
//       the offset between this clock and its own.
//   stopwatch launch <timeout-ms> <class> <own-class|-> <exe> [args...]
//       with the top-level window of the class visible, starts the program and polls the window
//       about every millisecond until it is hidden; prints "pid", "created" (how long
//       CreateProcess took), "seen" (when a top-level window of own-class, the program's own,
//       first existed) and "hidden", all from just before CreateProcess, or "timeout". With "-"
//       for the class it waits only for own-class. The program is left running: end it by its PID.
//   stopwatch watch <class> <duration-ms> <stop-event>
//       polls the top-level window of the class about every millisecond and prints "at <ms>
//       <state> <previous-ms>" (1 visible, 0 hidden, none) at the start and on every change, and
//       "input <ms> <tick> <previous-ms>" whenever GetLastInputInfo reports a newer input (the
//       server took a press, a release or a move), until the duration is over or the named event
//       (created here) is set; then "end" with the number of polls and the longest gap between two
//       of them. <previous-ms> is the poll before, which had not seen the change yet: the change
//       happened between the two times.
//   stopwatch timers <duration-ms>
//       a hidden window with a 300 ms and a 50 ms timer (as the tool sets them) that only notes
//       when each WM_TIMER arrives; prints the periods seen, and how GetTickCount steps.
//
// Like probe.exe it never calls GetAsyncKeyState: its "pressed since the last query" bit is shared
// with the program under test.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void out(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

int usage() {
  out("error usage: stopwatch clock|launch|watch|timers ARGS (see stopwatch.cpp)\n");
  return 2;
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

unsigned long parse_ulong(const char* text) { return std::strtoul(text, nullptr, 0); }

// "1", "0" or "none" for a window handle found earlier; finds it again when it is gone.
const char* state_of(const char* cls, HWND* window) {
  if (*window == nullptr || !IsWindow(*window)) *window = FindWindowA(cls, nullptr);
  if (*window == nullptr) return "none";
  return (GetWindowLongA(*window, GWL_STYLE) & WS_VISIBLE) != 0 ? "1" : "0";
}

int cmd_clock(int argc, char** argv) {
  if (argc < 2) return usage();
  unsigned long count = parse_ulong(argv[0]);
  DWORD interval = parse_ulong(argv[1]);
  for (unsigned long i = 0; i < count; ++i) {
    out("t %.3f\n", now_ms());
    Sleep(interval);
  }
  return 0;
}

bool create_child(int argc, char** argv, PROCESS_INFORMATION* pi) {
  char command_line[4096];
  size_t used = 0;
  command_line[0] = '\0';
  for (int i = 0; i < argc; ++i) {
    int n = snprintf(command_line + used, sizeof command_line - used, "%s\"%s\"", i > 0 ? " " : "", argv[i]);
    if (n < 0 || used + static_cast<size_t>(n) >= sizeof command_line) return false;
    used += static_cast<size_t>(n);
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  return CreateProcessA(argv[0], command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi) != 0;
}

int cmd_launch(int argc, char** argv) {
  if (argc < 4) return usage();
  double timeout = static_cast<double>(parse_ulong(argv[0]));
  const char* cls = argv[1];
  const char* own_class = std::strcmp(argv[2], "-") == 0 ? nullptr : argv[2];
  bool watch_class = std::strcmp(cls, "-") != 0;
  if (!watch_class && own_class == nullptr) return usage();
  HWND window = nullptr;
  const char* before = watch_class ? state_of(cls, &window) : "1";
  if (std::strcmp(before, "1") != 0) {
    out("error the window is %s before the start\n", before);
    return 2;
  }
  PROCESS_INFORMATION pi{};
  double start = now_ms();
  if (!create_child(argc - 3, argv + 3, &pi)) {
    out("error CreateProcess %lu\n", GetLastError());
    return 2;
  }
  double created = now_ms() - start;
  out("pid %lu\n", pi.dwProcessId);
  out("created %.3f\n", created);
  CloseHandle(pi.hThread);
  long polls = 0;
  bool seen = own_class == nullptr;
  for (;;) {
    const char* now = watch_class ? state_of(cls, &window) : "1";
    if (!seen && FindWindowA(own_class, nullptr) != nullptr) {
      seen = true;
      out("seen %.3f\n", now_ms() - start);
    }
    double elapsed = now_ms() - start;
    ++polls;
    if (!watch_class && seen) {
      out("polls %ld\n", polls);
      CloseHandle(pi.hProcess);
      return 0;
    }
    if (std::strcmp(now, "0") == 0) {
      out("hidden %.3f\npolls %ld\n", elapsed, polls);
      CloseHandle(pi.hProcess);
      return 0;
    }
    if (elapsed >= timeout) {
      out("timeout %.3f state %s polls %ld\n", elapsed, now, polls);
      CloseHandle(pi.hProcess);
      return 1;
    }
    Sleep(1);
  }
}

int cmd_watch(int argc, char** argv) {
  if (argc < 3) return usage();
  const char* cls = argv[0];
  double duration = static_cast<double>(parse_ulong(argv[1]));
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
  if (stop == nullptr) {
    out("error CreateEvent %lu\n", GetLastError());
    return 2;
  }
  HWND window = nullptr;
  double start = now_ms();
  double last_poll = start;
  double max_gap = 0;
  long polls = 0;
  const char* last = nullptr;
  LASTINPUTINFO input{};
  input.cbSize = sizeof input;
  DWORD last_input = 0;
  bool have_input = false;
  for (;;) {
    const char* now = state_of(cls, &window);
    BOOL got_input = GetLastInputInfo(&input);
    double t = now_ms();
    ++polls;
    if (t - last_poll > max_gap) max_gap = t - last_poll;
    if (last == nullptr || std::strcmp(now, last) != 0) out("at %.3f %s %.3f\n", t, now, last_poll);
    last = now;
    if (got_input && (!have_input || input.dwTime != last_input)) {
      // The first reading is the input before the watch started, not one seen arriving.
      if (have_input) out("input %.3f %lu %.3f\n", t, input.dwTime, last_poll);
      last_input = input.dwTime;
      have_input = true;
    }
    last_poll = t;
    // The stop event costs a call to the server: looked at only every 50 polls.
    if (t - start >= duration || (polls % 50 == 0 && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)) break;
    Sleep(1);
  }
  out("end %.3f polls %ld maxgap %.3f\n", now_ms(), polls, max_gap);
  CloseHandle(stop);
  return 0;
}

// --- timers ---------------------------------------------------------------------------------------

constexpr int kMaxTicks = 20000;
struct TickLog {
  double at[kMaxTicks];
  int count;
};
TickLog g_ticks[2];
double g_timers_end = 0;

LRESULT CALLBACK timers_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_TIMER && (wparam == 1 || wparam == 2)) {
    TickLog& log = g_ticks[wparam - 1];
    if (log.count < kMaxTicks) log.at[log.count++] = now_ms();
    if (now_ms() >= g_timers_end) PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

double g_sorted[kMaxTicks];

void print_periods(const char* name, const TickLog& log) {
  int n = log.count - 1;
  if (n < 1) {
    out("%s ticks %d\n", name, log.count);
    return;
  }
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    g_sorted[i] = log.at[i + 1] - log.at[i];
    sum += g_sorted[i];
  }
  std::sort(g_sorted, g_sorted + n);
  out("%s ticks %d mean %.3f min %.3f p5 %.3f p50 %.3f p95 %.3f max %.3f\n", name, log.count, sum / n, g_sorted[0],
      g_sorted[n * 5 / 100], g_sorted[n / 2], g_sorted[n * 95 / 100], g_sorted[n - 1]);
}

int cmd_timers(int argc, char** argv) {
  if (argc < 1) return usage();
  double duration = static_cast<double>(parse_ulong(argv[0]));
  WNDCLASSA wc{};
  wc.lpfnWndProc = timers_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "VantorelBenchTimers";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                              wc.hInstance, nullptr);
  if (hwnd == nullptr) {
    out("error CreateWindow %lu\n", GetLastError());
    return 2;
  }
  double start = now_ms();
  g_timers_end = start + duration;
  SetTimer(hwnd, 1, 300, nullptr);
  SetTimer(hwnd, 2, 50, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  print_periods("idle-timer", g_ticks[0]);
  print_periods("click-timer", g_ticks[1]);
  if (g_ticks[0].count > 0 && g_ticks[1].count > 0) {
    out("first-ticks %.3f %.3f\n", g_ticks[0].at[0] - start, g_ticks[1].at[0] - start);
  }
  // How GetTickCount moves: the smallest and largest steps seen over 200 ms of reading it.
  DWORD previous = GetTickCount();
  DWORD smallest = 0xFFFFFFFFu, largest = 0;
  long steps = 0;
  double until = now_ms() + 200;
  while (now_ms() < until) {
    DWORD tick = GetTickCount();
    if (tick != previous) {
      DWORD step = tick - previous;
      smallest = std::min(smallest, step);
      largest = std::max(largest, step);
      ++steps;
      previous = tick;
    }
  }
  out("tickcount steps %ld smallest %lu largest %lu\n", steps, steps > 0 ? smallest : 0, largest);
  DestroyWindow(hwnd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* command = argv[1];
  int n = argc - 2;
  char** args = argv + 2;
  if (std::strcmp(command, "clock") == 0) return cmd_clock(n, args);
  if (std::strcmp(command, "launch") == 0) return cmd_launch(n, args);
  if (std::strcmp(command, "watch") == 0) return cmd_watch(n, args);
  if (std::strcmp(command, "timers") == 0) return cmd_timers(n, args);
  return usage();
}
