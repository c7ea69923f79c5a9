// timeline.exe: records, on one clock, when the desktop last had input and when windows change their
// visibility, so that a test can tell how long the program under test took to react to an input (or
// to the lack of it).
//
//   timeline <duration-ms> <class> <title|-> [<class> <title|-> ...]
//
// The clock is GetTickCount: the clock that GetLastInputInfo's dwTime is on, and the one the program
// under test measures idle time with. Each named window is looked up among the top-level windows and
// all their descendants (the first match), and looked up again while it is missing or destroyed (at
// most every 10 ms: a full search is slow, and would slow down the sampling of the other windows).
// "<class>@<root-class>" takes only a window whose top-level ancestor has the class <root-class>
// (e.g. SysListView32@WorkerW when the desktop has more than one list view).
// Output, one line per event, in time order:
//   start <tick>                   the windows have been looked up once; sampling begins
//   input <tick>                   the last input time: once at the start, then at every change
//   at <tick> <index> <state>      window <index> (0-based): 1 visible, 0 hidden, none missing;
//                                  once at the start, then at every change
//   end <tick> <samples>
//
// Like the probe, it never calls GetAsyncKeyState (its "pressed since the last query" bit is shared
// with the program under test).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void out(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return;
  if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

struct Target {
  char cls[128];
  const char* root;   // nullptr: any top-level ancestor
  const char* title;  // nullptr: any
  HWND hwnd;
  const char* state;
  DWORD next_lookup;
};

constexpr DWORD kLookupPeriodMs = 10;

constexpr int kMaxTargets = 8;

bool matches(HWND hwnd, const Target& t) {
  char cls[256];
  if (GetClassNameA(hwnd, cls, sizeof cls) == 0 || lstrcmpiA(cls, t.cls) != 0) return false;
  if (t.root != nullptr) {
    char root[256];
    HWND top = GetAncestor(hwnd, GA_ROOT);
    if (top == nullptr || GetClassNameA(top, root, sizeof root) == 0 || lstrcmpiA(root, t.root) != 0) return false;
  }
  if (t.title == nullptr) return true;
  char title[512];
  title[0] = '\0';
  GetWindowTextA(hwnd, title, sizeof title);
  return lstrcmpA(title, t.title) == 0;
}

BOOL CALLBACK find_child(HWND hwnd, LPARAM lparam) {
  Target& t = *reinterpret_cast<Target*>(lparam);
  if (matches(hwnd, t)) {
    t.hwnd = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK find_top(HWND hwnd, LPARAM lparam) {
  Target& t = *reinterpret_cast<Target*>(lparam);
  if (matches(hwnd, t)) {
    t.hwnd = hwnd;
    return FALSE;
  }
  EnumChildWindows(hwnd, find_child, lparam);
  return t.hwnd == nullptr;
}

const char* sample(Target& t) {
  if (t.hwnd != nullptr && !IsWindow(t.hwnd)) t.hwnd = nullptr;
  if (t.hwnd == nullptr) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(now - t.next_lookup) < 0) return "none";
    EnumWindows(find_top, reinterpret_cast<LPARAM>(&t));
    t.next_lookup = now + kLookupPeriodMs;
  }
  if (t.hwnd == nullptr) return "none";
  return (GetWindowLongA(t.hwnd, GWL_STYLE) & WS_VISIBLE) != 0 ? "1" : "0";
}

DWORD last_input() {
  LASTINPUTINFO info{};
  info.cbSize = sizeof info;
  return GetLastInputInfo(&info) ? info.dwTime : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 2) % 2 != 0 || (argc - 2) / 2 > kMaxTargets) {
    out("error usage: timeline <duration-ms> <class> <title|-> [<class> <title|-> ...]\n");
    return 2;
  }
  const DWORD duration = std::strtoul(argv[1], nullptr, 0);
  Target targets[kMaxTargets]{};
  const int count = (argc - 2) / 2;
  for (int i = 0; i < count; ++i) {
    lstrcpynA(targets[i].cls, argv[2 + 2 * i], sizeof targets[i].cls);
    char* at = std::strchr(targets[i].cls, '@');
    if (at != nullptr) {
      *at = '\0';
      targets[i].root = argv[2 + 2 * i] + (at - targets[i].cls) + 1;
    }
    const char* title = argv[3 + 2 * i];
    targets[i].title = std::strcmp(title, "-") == 0 ? nullptr : title;
    targets[i].next_lookup = GetTickCount();
    targets[i].state = sample(targets[i]);
  }
  const DWORD start = GetTickCount();
  DWORD input = last_input();
  out("start %lu\ninput %lu\n", start, input);
  for (int i = 0; i < count; ++i) out("at %lu %d %s\n", start, i, targets[i].state);
  long samples = 0;
  for (;;) {
    const DWORD now = GetTickCount();
    const DWORD seen = last_input();
    if (seen != input) {
      input = seen;
      out("input %lu\n", input);
    }
    for (int i = 0; i < count; ++i) {
      const char* state = sample(targets[i]);
      if (std::strcmp(state, targets[i].state) != 0) {
        targets[i].state = state;
        out("at %lu %d %s\n", now, i, state);
      }
    }
    ++samples;
    if (now - start >= duration) break;
    Sleep(1);
  }
  out("end %lu %ld\n", GetTickCount(), samples);
  return 0;
}
