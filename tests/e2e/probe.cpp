// probe.exe: the end-to-end tests' eyes and hands inside the Wine desktop.
//
// One command per run, results on stdout as "key value" lines (UTF-8), exit code 0 on success,
// 1 when a wait timed out or a check did not hold, 2 on a usage error or a failed call.
//
//   probe [--pid N] [--top] COMMAND ARGS...
//     --pid N   only windows of the process with Windows PID N count
//     --top     only top-level windows count (default: top-level windows and all their descendants)
//
// A window matches a <class> and a <title> ("-" for any title). A state is one of
//   1       some matching window has WS_VISIBLE in its own style
//   0       matching windows exist, none of them has WS_VISIBLE
//   hidden  no matching window has WS_VISIBLE (also true when none exists)
//   exists  some matching window exists
//   gone    no matching window exists
//
// The probe never calls GetAsyncKeyState: its "pressed since the last query" bit is shared with the
// program under test.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD g_pid_filter = 0;
bool g_top_only = false;

void out(const char* format, ...) {
  char buffer[4096];
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
  out("error usage: probe [--pid N] [--top] COMMAND ARGS (see probe.cpp)\n");
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
long parse_long(const char* text) { return std::strtol(text, nullptr, 0); }

// UTF-16 to UTF-8 for printing.
void to_utf8(const wchar_t* text, char* buffer, int size) {
  buffer[0] = '\0';
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, size, nullptr, nullptr);
  if (n <= 0) buffer[0] = '\0';
}

// Printable form of a text: backslashes, newlines and control characters escaped.
void escape(const char* text, char* buffer, size_t size) {
  size_t j = 0;
  for (size_t i = 0; text[i] != '\0' && j + 5 < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      buffer[j++] = '\\';
      buffer[j++] = '\\';
    } else if (c == '\n') {
      buffer[j++] = '\\';
      buffer[j++] = 'n';
    } else if (c == '\r') {
      buffer[j++] = '\\';
      buffer[j++] = 'r';
    } else if (c < 0x20) {
      j += static_cast<size_t>(snprintf(buffer + j, size - j, "\\x%02x", c));
    } else {
      buffer[j++] = static_cast<char>(c);
    }
  }
  buffer[j] = '\0';
}

void hex(const char* bytes, char* buffer, size_t size) {
  size_t j = 0;
  for (size_t i = 0; bytes[i] != '\0' && j + 3 < size; ++i) {
    j += static_cast<size_t>(snprintf(buffer + j, size - j, "%02X", static_cast<unsigned char>(bytes[i])));
  }
  buffer[j] = '\0';
}

// The window's text as the system holds it (wide), read without sending a message first and with
// WM_GETTEXT (bounded) when that finds nothing, as for controls of another process.
void window_text_w(HWND hwnd, wchar_t* buffer, int size) {
  buffer[0] = L'\0';
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG | SMTO_BLOCK, 1000, &result) ||
      buffer[0] == L'\0') {
    InternalGetWindowText(hwnd, buffer, size);
  }
}

void window_text_utf8(HWND hwnd, char* buffer, int size) {
  wchar_t wide[2048];
  window_text_w(hwnd, wide, 2048);
  char utf8[8192];
  to_utf8(wide, utf8, sizeof utf8);
  escape(utf8, buffer, static_cast<size_t>(size));
}

// The window's text in this process's ANSI code page (936 under LC_ALL=zh_CN.UTF-8), as hex bytes.
void window_text_ansi_hex(HWND hwnd, char* buffer, int size) {
  wchar_t wide[2048];
  window_text_w(hwnd, wide, 2048);
  char ansi[4096];
  int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
  if (n <= 0) ansi[0] = '\0';
  hex(ansi, buffer, static_cast<size_t>(size));
}

bool own_style_visible(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE) != 0; }

// --- Finding windows ----------------------------------------------------------------------------

struct Query {
  const char* cls;
  const char* title;  // nullptr: any
  HWND found[256];
  int count;
};

bool matches(HWND hwnd, const Query& q) {
  if (g_pid_filter != 0) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != g_pid_filter) return false;
  }
  char cls[256];
  if (GetClassNameA(hwnd, cls, sizeof cls) == 0) return false;
  if (lstrcmpiA(cls, q.cls) != 0) return false;
  if (q.title == nullptr) return true;
  char title[1024];
  title[0] = '\0';
  GetWindowTextA(hwnd, title, sizeof title);
  return lstrcmpA(title, q.title) == 0;
}

BOOL CALLBACK collect_child(HWND hwnd, LPARAM lparam) {
  Query& q = *reinterpret_cast<Query*>(lparam);
  if (q.count < 256 && matches(hwnd, q)) q.found[q.count++] = hwnd;
  return TRUE;
}

BOOL CALLBACK collect_top(HWND hwnd, LPARAM lparam) {
  Query& q = *reinterpret_cast<Query*>(lparam);
  if (q.count < 256 && matches(hwnd, q)) q.found[q.count++] = hwnd;
  if (!g_top_only) EnumChildWindows(hwnd, collect_child, lparam);
  return TRUE;
}

void find_windows(Query& q) {
  q.count = 0;
  EnumWindows(collect_top, reinterpret_cast<LPARAM>(&q));
}

Query make_query(const char* cls, const char* title) {
  Query q{};
  q.cls = cls;
  q.title = (title == nullptr || std::strcmp(title, "-") == 0) ? nullptr : title;
  return q;
}

HWND find_first(const char* cls, const char* title) {
  Query q = make_query(cls, title);
  find_windows(q);
  return q.count > 0 ? q.found[0] : nullptr;
}

enum class State { kVisible, kNotVisible, kHidden, kExists, kGone, kInvalid };

State parse_state(const char* text) {
  if (std::strcmp(text, "1") == 0) return State::kVisible;
  if (std::strcmp(text, "0") == 0) return State::kNotVisible;
  if (std::strcmp(text, "hidden") == 0) return State::kHidden;
  if (std::strcmp(text, "exists") == 0) return State::kExists;
  if (std::strcmp(text, "gone") == 0) return State::kGone;
  return State::kInvalid;
}

// "1", "0" or "none": what the matching windows look like now.
const char* current(Query& q) {
  find_windows(q);
  if (q.count == 0) return "none";
  for (int i = 0; i < q.count; ++i) {
    if (own_style_visible(q.found[i])) return "1";
  }
  return "0";
}

bool holds(State state, const char* now) {
  switch (state) {
    case State::kVisible: return std::strcmp(now, "1") == 0;
    case State::kNotVisible: return std::strcmp(now, "0") == 0;
    case State::kHidden: return std::strcmp(now, "1") != 0;
    case State::kExists: return std::strcmp(now, "none") != 0;
    case State::kGone: return std::strcmp(now, "none") == 0;
    case State::kInvalid: return false;
  }
  return false;
}

// --- Commands -----------------------------------------------------------------------------------

int cmd_acp() {
  out("acp %u\noemcp %u\n", GetACP(), GetOEMCP());
  return 0;
}

void describe(HWND hwnd, int depth) {
  char cls[256];
  GetClassNameA(hwnd, cls, sizeof cls);
  char title[2048];
  window_text_utf8(hwnd, title, sizeof title);
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(hwnd, &pid);
  RECT r{};
  GetWindowRect(hwnd, &r);
  out("%*s%p class=%s title=\"%s\" visible=%d pid=%lu tid=%lu rect=%ld,%ld,%ld,%ld\n", depth * 2, "",
      static_cast<void*>(hwnd), cls, title, own_style_visible(hwnd) ? 1 : 0, pid, tid, r.left, r.top,
      r.right, r.bottom);
}

void list_tree(HWND parent, int depth) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    describe(child, depth);
    list_tree(child, depth + 1);
  }
}

BOOL CALLBACK list_top(HWND hwnd, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (g_pid_filter != 0 && pid != g_pid_filter) return TRUE;
  describe(hwnd, 0);
  if (!g_top_only) list_tree(hwnd, 1);
  return TRUE;
}

int cmd_list() {
  EnumWindows(list_top, 0);
  return 0;
}

int cmd_visible(int argc, char** argv) {
  if (argc < 1) return usage();
  Query q = make_query(argv[0], argc > 1 ? argv[1] : nullptr);
  out("%s\n", current(q));
  return 0;
}

int cmd_count(int argc, char** argv) {
  if (argc < 1) return usage();
  Query q = make_query(argv[0], argc > 1 ? argv[1] : nullptr);
  find_windows(q);
  int visible = 0;
  for (int i = 0; i < q.count; ++i) visible += own_style_visible(q.found[i]) ? 1 : 0;
  out("count %d\nvisible %d\n", q.count, visible);
  return 0;
}

// wait <class> <title|-> <state> <timeout-ms>: polls until the state holds.
int cmd_wait(int argc, char** argv) {
  if (argc < 4) return usage();
  State state = parse_state(argv[2]);
  if (state == State::kInvalid) return usage();
  double timeout = static_cast<double>(parse_ulong(argv[3]));
  Query q = make_query(argv[0], argv[1]);
  double start = now_ms();
  for (;;) {
    const char* now = current(q);
    double elapsed = now_ms() - start;
    if (holds(state, now)) {
      out("waited %.1f\n", elapsed);
      return 0;
    }
    if (elapsed >= timeout) {
      out("timeout %.1f state %s\n", elapsed, now);
      return 1;
    }
    Sleep(5);
  }
}

// steady <class> <title|-> <state> <duration-ms>: the state holds at every sample for the duration.
int cmd_steady(int argc, char** argv) {
  if (argc < 4) return usage();
  State state = parse_state(argv[2]);
  if (state == State::kInvalid) return usage();
  double duration = static_cast<double>(parse_ulong(argv[3]));
  Query q = make_query(argv[0], argv[1]);
  double start = now_ms();
  long samples = 0;
  for (;;) {
    const char* now = current(q);
    double elapsed = now_ms() - start;
    ++samples;
    if (!holds(state, now)) {
      out("broke %.1f state %s samples %ld\n", elapsed, now, samples);
      return 1;
    }
    if (elapsed >= duration) {
      out("held %.1f samples %ld\n", elapsed, samples);
      return 0;
    }
    Sleep(5);
  }
}

// Samples the visibility of a window every <interval> ms for <duration> ms and prints each change
// as "at <ms> <state>", for measuring when the program under test hides and shows things.
int cmd_trace(int argc, char** argv) {
  if (argc < 4) return usage();
  Query q = make_query(argv[0], argv[1]);
  DWORD duration = parse_ulong(argv[2]);
  DWORD interval = parse_ulong(argv[3]);
  double start = now_ms();
  const char* last = nullptr;
  for (;;) {
    const char* now = current(q);
    double elapsed = now_ms() - start;
    if (last == nullptr || std::strcmp(now, last) != 0) out("at %.1f %s\n", elapsed, now);
    last = now;
    if (elapsed >= duration) break;
    Sleep(interval);
  }
  out("end %.1f %s\n", now_ms() - start, last);
  return 0;
}

// The first visible message box (of --pid's process when given).
HWND find_message_box() {
  Query q = make_query("#32770", nullptr);
  bool top = g_top_only;
  g_top_only = true;
  find_windows(q);
  g_top_only = top;
  for (int i = 0; i < q.count; ++i) {
    if (own_style_visible(q.found[i])) return q.found[i];
  }
  return nullptr;
}

HWND wait_message_box(double timeout, double* waited) {
  double start = now_ms();
  for (;;) {
    HWND box = find_message_box();
    *waited = now_ms() - start;
    if (box != nullptr || *waited >= timeout) return box;
    Sleep(5);
  }
}

struct BoxParts {
  HWND text;
  HWND buttons[8];
  int button_count;
};

BOOL CALLBACK collect_box_parts(HWND hwnd, LPARAM lparam) {
  BoxParts& parts = *reinterpret_cast<BoxParts*>(lparam);
  char cls[64];
  GetClassNameA(hwnd, cls, sizeof cls);
  if (lstrcmpiA(cls, "Button") == 0) {
    if (parts.button_count < 8) parts.buttons[parts.button_count++] = hwnd;
  } else if (lstrcmpiA(cls, "Static") == 0) {
    // The message text is the static control with text (the icon is a static without).
    wchar_t text[16];
    window_text_w(hwnd, text, 16);
    if (parts.text == nullptr && text[0] != L'\0') parts.text = hwnd;
  }
  return TRUE;
}

void print_box(HWND box, double waited) {
  char buffer[8192];
  DWORD pid = 0;
  GetWindowThreadProcessId(box, &pid);
  out("waited %.1f\npid %lu\n", waited, pid);
  window_text_utf8(box, buffer, sizeof buffer);
  out("title %s\n", buffer);
  window_text_ansi_hex(box, buffer, sizeof buffer);
  out("title_ansi %s\n", buffer);
  BoxParts parts{};
  EnumChildWindows(box, collect_box_parts, reinterpret_cast<LPARAM>(&parts));
  if (parts.text != nullptr) {
    window_text_utf8(parts.text, buffer, sizeof buffer);
    out("text %s\n", buffer);
    window_text_ansi_hex(parts.text, buffer, sizeof buffer);
    out("text_ansi %s\n", buffer);
  } else {
    out("text \ntext_ansi \n");
  }
  for (int i = 0; i < parts.button_count; ++i) {
    window_text_utf8(parts.buttons[i], buffer, sizeof buffer);
    out("button %d %s\n", GetDlgCtrlID(parts.buttons[i]), buffer);
  }
  long style = GetWindowLongA(box, GWL_STYLE);
  long exstyle = GetWindowLongA(box, GWL_EXSTYLE);
  out("style 0x%08lX\nexstyle 0x%08lX\n", style, exstyle);
}

// msgbox <timeout-ms>: waits for a visible message box and describes it.
int cmd_msgbox(int argc, char** argv) {
  if (argc < 1) return usage();
  double waited = 0;
  HWND box = wait_message_box(static_cast<double>(parse_ulong(argv[0])), &waited);
  if (box == nullptr) {
    out("timeout %.1f\n", waited);
    return 1;
  }
  print_box(box, waited);
  return 0;
}

// dismiss <timeout-ms> [click|command]: waits for a visible message box, presses its OK button
// (BM_CLICK by default, WM_COMMAND IDOK with "command") and waits until the box is gone.
int cmd_dismiss(int argc, char** argv) {
  if (argc < 1) return usage();
  double timeout = static_cast<double>(parse_ulong(argv[0]));
  bool by_command = argc > 1 && std::strcmp(argv[1], "command") == 0;
  double waited = 0;
  HWND box = wait_message_box(timeout, &waited);
  if (box == nullptr) {
    out("timeout %.1f\n", waited);
    return 1;
  }
  print_box(box, waited);
  BoxParts parts{};
  EnumChildWindows(box, collect_box_parts, reinterpret_cast<LPARAM>(&parts));
  HWND ok = GetDlgItem(box, IDOK);
  if (ok == nullptr && parts.button_count > 0) ok = parts.buttons[0];
  double start = now_ms();
  if (by_command || ok == nullptr) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  } else {
    PostMessageA(ok, BM_CLICK, 0, 0);
  }
  for (;;) {
    if (!IsWindow(box) || !own_style_visible(box)) {
      out("dismissed %.1f\n", now_ms() - start);
      return 0;
    }
    if (now_ms() - start >= timeout) {
      out("stuck %.1f\n", now_ms() - start);
      return 1;
    }
    Sleep(5);
  }
}

// quit <class> <code>: posts WM_QUIT with the code to the thread of the first matching window.
int cmd_quit(int argc, char** argv) {
  if (argc < 2) return usage();
  HWND hwnd = find_first(argv[0], nullptr);
  if (hwnd == nullptr) {
    out("error no window\n");
    return 1;
  }
  DWORD tid = GetWindowThreadProcessId(hwnd, nullptr);
  if (!PostThreadMessageA(tid, WM_QUIT, static_cast<WPARAM>(parse_ulong(argv[1])), 0)) {
    out("error PostThreadMessage %lu\n", GetLastError());
    return 2;
  }
  out("tid %lu\n", tid);
  return 0;
}

// post <class> <title|-> <message> <wparam> <lparam>
int cmd_post(int argc, char** argv) {
  if (argc < 5) return usage();
  HWND hwnd = find_first(argv[0], argv[1]);
  if (hwnd == nullptr) {
    out("error no window\n");
    return 1;
  }
  if (!PostMessageA(hwnd, static_cast<UINT>(parse_ulong(argv[2])), static_cast<WPARAM>(parse_ulong(argv[3])),
                    static_cast<LPARAM>(parse_long(argv[4])))) {
    out("error PostMessage %lu\n", GetLastError());
    return 2;
  }
  out("posted %p\n", static_cast<void*>(hwnd));
  return 0;
}

int cmd_close(int argc, char** argv) {
  if (argc < 1) return usage();
  char message[16];
  snprintf(message, sizeof message, "%u", WM_CLOSE);
  char zero[] = "0";
  char* args[] = {argv[0], argc > 1 ? argv[1] : const_cast<char*>("-"), message, zero, zero};
  return cmd_post(5, args);
}

// show|hide <class> [title]: ShowWindow on every matching window.
int cmd_showhide(int argc, char** argv, int how) {
  if (argc < 1) return usage();
  Query q = make_query(argv[0], argc > 1 ? argv[1] : nullptr);
  find_windows(q);
  for (int i = 0; i < q.count; ++i) ShowWindow(q.found[i], how);
  out("count %d\n", q.count);
  return q.count > 0 ? 0 : 1;
}

int cmd_rect(int argc, char** argv) {
  if (argc < 1) return usage();
  HWND hwnd = find_first(argv[0], argc > 1 ? argv[1] : nullptr);
  if (hwnd == nullptr) {
    out("none\n");
    return 1;
  }
  RECT r{};
  GetWindowRect(hwnd, &r);
  out("rect %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
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

void print_exit(HANDLE process) {
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  out("exit %lu\nexit_hex 0x%08lX\nexit_signed %ld\n", code, code, static_cast<long>(code));
}

// run <timeout-ms> <exe> [args...]: starts the program, waits for it, prints its full exit code.
int cmd_run(int argc, char** argv) {
  if (argc < 2) return usage();
  DWORD timeout = parse_ulong(argv[0]);
  PROCESS_INFORMATION pi{};
  if (!create_child(argc - 1, argv + 1, &pi)) {
    out("error CreateProcess %lu\n", GetLastError());
    return 2;
  }
  out("pid %lu\n", pi.dwProcessId);
  double start = now_ms();
  DWORD wait = WaitForSingleObject(pi.hProcess, timeout);
  if (wait != WAIT_OBJECT_0) {
    out("timeout %.1f\n", now_ms() - start);
    TerminateProcess(pi.hProcess, 0xDEAD);
    return 1;
  }
  out("ran %.1f\n", now_ms() - start);
  print_exit(pi.hProcess);
  return 0;
}

// start <exe> [args...]: starts the program and prints its PID at once, then stays until the
// program ends and prints its full exit code. Run it in the background with stdout to a file.
int cmd_start(int argc, char** argv) {
  if (argc < 1) return usage();
  PROCESS_INFORMATION pi{};
  if (!create_child(argc, argv, &pi)) {
    out("error CreateProcess %lu\n", GetLastError());
    return 2;
  }
  out("pid %lu\n", pi.dwProcessId);
  double start = now_ms();
  WaitForSingleObject(pi.hProcess, INFINITE);
  out("ran %.1f\n", now_ms() - start);
  print_exit(pi.hProcess);
  return 0;
}

// exitcode <pid> <timeout-ms>: waits for a running process and prints its exit code.
int cmd_exitcode(int argc, char** argv) {
  if (argc < 2) return usage();
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, parse_ulong(argv[0]));
  if (process == nullptr) {
    out("error OpenProcess %lu\n", GetLastError());
    return 2;
  }
  if (WaitForSingleObject(process, parse_ulong(argv[1])) != WAIT_OBJECT_0) {
    out("timeout\n");
    CloseHandle(process);
    return 1;
  }
  print_exit(process);
  CloseHandle(process);
  return 0;
}

int terminate_pid(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    out("error OpenProcess %lu\n", GetLastError());
    return 2;
  }
  TerminateProcess(process, 0xDEAD);
  DWORD wait = WaitForSingleObject(process, 5000);
  CloseHandle(process);
  out("killed %lu\n", pid);
  return wait == WAIT_OBJECT_0 ? 0 : 1;
}

int cmd_kill(int argc, char** argv) {
  if (argc < 1) return usage();
  return terminate_pid(parse_ulong(argv[0]));
}

// killclass <class>: ends every process that owns a window of the class.
int cmd_killclass(int argc, char** argv) {
  if (argc < 1) return usage();
  Query q = make_query(argv[0], nullptr);
  find_windows(q);
  DWORD done[256];
  int done_count = 0;
  int rc = 0;
  for (int i = 0; i < q.count; ++i) {
    DWORD pid = 0;
    GetWindowThreadProcessId(q.found[i], &pid);
    bool seen = false;
    for (int j = 0; j < done_count; ++j) seen = seen || done[j] == pid;
    if (seen || pid == GetCurrentProcessId()) continue;
    done[done_count++] = pid;
    rc |= terminate_pid(pid);
  }
  out("processes %d\n", done_count);
  return rc;
}

// mutex <name> <hold-ms>: creates the named mutex, reports whether it existed, holds it.
int cmd_mutex(int argc, char** argv) {
  if (argc < 2) return usage();
  HANDLE mutex = CreateMutexA(nullptr, TRUE, argv[0]);
  DWORD error = GetLastError();
  if (mutex == nullptr) {
    out("error CreateMutex %lu\n", error);
    return 2;
  }
  out("%s\n", error == ERROR_ALREADY_EXISTS ? "existed" : "created");
  Sleep(parse_ulong(argv[1]));
  CloseHandle(mutex);
  out("released\n");
  return 0;
}

// hasmutex <name>: whether a mutex of that name exists now.
int cmd_hasmutex(int argc, char** argv) {
  if (argc < 1) return usage();
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, argv[0]);
  out("%d\n", mutex != nullptr ? 1 : 0);
  if (mutex != nullptr) CloseHandle(mutex);
  return 0;
}

// idle: milliseconds since the last input event on this desktop.
int cmd_idle() {
  LASTINPUTINFO info{};
  info.cbSize = sizeof info;
  if (!GetLastInputInfo(&info)) {
    out("error GetLastInputInfo %lu\n", GetLastError());
    return 2;
  }
  out("idle %lu\n", GetTickCount() - info.dwTime);
  return 0;
}

// cursor: the pointer as GetCursorInfo reports it.
int cmd_cursor() {
  CURSORINFO info{};
  info.cbSize = sizeof info;
  if (!GetCursorInfo(&info)) {
    out("error GetCursorInfo %lu\n", GetLastError());
    return 2;
  }
  out("showing %d\nhandle %p\npos %ld %ld\n", (info.flags & CURSOR_SHOWING) ? 1 : 0,
      static_cast<void*>(info.hCursor), info.ptScreenPos.x, info.ptScreenPos.y);
  return 0;
}

// pixel <x> <y>: the colour of a screen pixel as RRGGBB.
int cmd_pixel(int argc, char** argv) {
  if (argc < 2) return usage();
  HDC dc = GetDC(nullptr);
  COLORREF c = GetPixel(dc, static_cast<int>(parse_long(argv[0])), static_cast<int>(parse_long(argv[1])));
  ReleaseDC(nullptr, dc);
  out("pixel %02X%02X%02X\n", GetRValue(c), GetGValue(c), GetBValue(c));
  return 0;
}

// The screen's pixels in a rectangle, as 0x00RRGGBB values (row by row); false on failure.
bool grab(int x, int y, int w, int h, DWORD* pixels) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr && bits != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    ok = BitBlt(memory, 0, 0, w, h, screen, x, y, SRCCOPY) != 0;
    SelectObject(memory, old);
    if (ok) {
      const DWORD* source = static_cast<const DWORD*>(bits);
      for (int i = 0; i < w * h; ++i) pixels[i] = source[i] & 0x00FFFFFFu;
    }
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

constexpr int kMaxGrab = 1024 * 64;
DWORD g_pixels[kMaxGrab];

bool parse_rect(char** argv, int* x, int* y, int* w, int* h) {
  *x = static_cast<int>(parse_long(argv[0]));
  *y = static_cast<int>(parse_long(argv[1]));
  *w = static_cast<int>(parse_long(argv[2]));
  *h = static_cast<int>(parse_long(argv[3]));
  return *w > 0 && *h > 0 && *w * *h <= kMaxGrab;
}

// region <x> <y> <w> <h> <RRGGBB>: how many pixels of the rectangle differ from the colour, and
// how many distinct colours it has (counted up to 64).
int cmd_region(int argc, char** argv) {
  if (argc < 5) return usage();
  int x, y, w, h;
  if (!parse_rect(argv, &x, &y, &w, &h)) return usage();
  DWORD colour = std::strtoul(argv[4], nullptr, 16) & 0x00FFFFFFu;
  if (!grab(x, y, w, h, g_pixels)) {
    out("error BitBlt %lu\n", GetLastError());
    return 2;
  }
  DWORD distinct[64];
  int distinct_count = 0;
  int differ = 0;
  for (int i = 0; i < w * h; ++i) {
    if (g_pixels[i] != colour) ++differ;
    bool seen = false;
    for (int j = 0; j < distinct_count && !seen; ++j) seen = distinct[j] == g_pixels[i];
    if (!seen && distinct_count < 64) distinct[distinct_count++] = g_pixels[i];
  }
  out("differ %d\ntotal %d\ncolors %d\n", differ, w * h, distinct_count);
  return 0;
}

// find <RRGGBB> <x> <y> <w> <h>: the bounding box of the pixels of that colour in the rectangle.
int cmd_find(int argc, char** argv) {
  if (argc < 5) return usage();
  DWORD colour = std::strtoul(argv[0], nullptr, 16) & 0x00FFFFFFu;
  int x, y, w, h;
  if (!parse_rect(argv + 1, &x, &y, &w, &h)) return usage();
  if (!grab(x, y, w, h, g_pixels)) {
    out("error BitBlt %lu\n", GetLastError());
    return 2;
  }
  int left = w, top = h, right = -1, bottom = -1, count = 0;
  for (int row = 0; row < h; ++row) {
    for (int col = 0; col < w; ++col) {
      if (g_pixels[row * w + col] != colour) continue;
      ++count;
      if (col < left) left = col;
      if (col > right) right = col;
      if (row < top) top = row;
      if (row > bottom) bottom = row;
    }
  }
  if (count == 0) {
    out("none\n");
    return 1;
  }
  out("box %d %d %d %d\ncount %d\n", x + left, y + top, x + right + 1, y + bottom + 1, count);
  return 0;
}

// setevent <name>: signals a named event (the fixture's stop event).
int cmd_setevent(int argc, char** argv) {
  if (argc < 1) return usage();
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[0]);
  if (event == nullptr) {
    out("error OpenEvent %lu\n", GetLastError());
    return 1;
  }
  SetEvent(event);
  CloseHandle(event);
  out("set\n");
  return 0;
}

// menu <class> <timeout-ms> [popup|command|exitmenu]: hooks the GUI thread of the first window of
// the class with menuhook.dll (next to probe.exe), prints "hooked", then prints what the hook
// reports (see menuhook.cpp) until the event given (default: a popup's last item) or the timeout.
struct MenuSink {
  const char* until;
  int items_left;
  bool done;
};
MenuSink g_sink{};

LRESULT CALLBACK sink_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    if (data->dwData == 0x4D454E55 && data->cbData < 4096) {
      char line[4097];
      std::memcpy(line, data->lpData, data->cbData);
      line[data->cbData] = '\0';
      out("%s\n", line);
      if (std::strncmp(line, "popup ", 6) == 0) {
        g_sink.items_left = static_cast<int>(parse_long(line + 6));
        if (std::strcmp(g_sink.until, "popup") == 0 && g_sink.items_left <= 0) g_sink.done = true;
      } else if (std::strncmp(line, "item ", 5) == 0) {
        if (--g_sink.items_left <= 0 && std::strcmp(g_sink.until, "popup") == 0) g_sink.done = true;
      } else if (std::strncmp(line, g_sink.until, std::strlen(g_sink.until)) == 0) {
        g_sink.done = true;
      }
    }
    return TRUE;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

int cmd_menu(int argc, char** argv) {
  if (argc < 2) return usage();
  g_sink.until = argc > 2 ? argv[2] : "popup";
  HWND target = find_first(argv[0], nullptr);
  if (target == nullptr) {
    out("error no window\n");
    return 1;
  }
  DWORD tid = GetWindowThreadProcessId(target, nullptr);
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/') --length;
  path[length] = '\0';
  lstrcatA(path, "menuhook.dll");
  HMODULE hook_module = LoadLibraryA(path);
  if (hook_module == nullptr) {
    out("error LoadLibrary %s %lu\n", path, GetLastError());
    return 2;
  }
  auto* call_proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hook_module, "MenuHookProc")));
  auto* get_proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hook_module, "MessageHookProc")));
  if (call_proc == nullptr || get_proc == nullptr) {
    out("error GetProcAddress\n");
    return 2;
  }
  WNDCLASSA wc{};
  wc.lpfnWndProc = sink_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "VantorelE2EMenuSink";
  RegisterClassA(&wc);
  HWND sink = CreateWindowExA(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  if (sink == nullptr) {
    out("error CreateWindow %lu\n", GetLastError());
    return 2;
  }
  HHOOK call_hook = SetWindowsHookExA(WH_CALLWNDPROC, call_proc, hook_module, tid);
  HHOOK get_hook = SetWindowsHookExA(WH_GETMESSAGE, get_proc, hook_module, tid);
  if (call_hook == nullptr || get_hook == nullptr) {
    out("error SetWindowsHookEx %lu\n", GetLastError());
    return 2;
  }
  out("hooked %lu\n", tid);
  double start = now_ms();
  double timeout = static_cast<double>(parse_ulong(argv[1]));
  while (!g_sink.done) {
    double left = timeout - (now_ms() - start);
    if (left <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  UnhookWindowsHookEx(call_hook);
  UnhookWindowsHookEx(get_hook);
  DestroyWindow(sink);
  if (!g_sink.done) {
    out("timeout %.1f\n", now_ms() - start);
    return 1;
  }
  out("waited %.1f\n", now_ms() - start);
  return 0;
}

int cmd_screen() {
  out("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  while (i < argc && argv[i][0] == '-' && argv[i][1] == '-') {
    if (std::strcmp(argv[i], "--pid") == 0 && i + 1 < argc) {
      g_pid_filter = parse_ulong(argv[i + 1]);
      i += 2;
    } else if (std::strcmp(argv[i], "--top") == 0) {
      g_top_only = true;
      i += 1;
    } else {
      return usage();
    }
  }
  if (i >= argc) return usage();
  const char* command = argv[i];
  int n = argc - i - 1;
  char** args = argv + i + 1;
  if (std::strcmp(command, "acp") == 0) return cmd_acp();
  if (std::strcmp(command, "list") == 0) return cmd_list();
  if (std::strcmp(command, "visible") == 0) return cmd_visible(n, args);
  if (std::strcmp(command, "count") == 0) return cmd_count(n, args);
  if (std::strcmp(command, "wait") == 0) return cmd_wait(n, args);
  if (std::strcmp(command, "steady") == 0) return cmd_steady(n, args);
  if (std::strcmp(command, "trace") == 0) return cmd_trace(n, args);
  if (std::strcmp(command, "msgbox") == 0) return cmd_msgbox(n, args);
  if (std::strcmp(command, "dismiss") == 0) return cmd_dismiss(n, args);
  if (std::strcmp(command, "quit") == 0) return cmd_quit(n, args);
  if (std::strcmp(command, "post") == 0) return cmd_post(n, args);
  if (std::strcmp(command, "close") == 0) return cmd_close(n, args);
  if (std::strcmp(command, "show") == 0) return cmd_showhide(n, args, SW_SHOW);
  if (std::strcmp(command, "hide") == 0) return cmd_showhide(n, args, SW_HIDE);
  if (std::strcmp(command, "rect") == 0) return cmd_rect(n, args);
  if (std::strcmp(command, "run") == 0) return cmd_run(n, args);
  if (std::strcmp(command, "start") == 0) return cmd_start(n, args);
  if (std::strcmp(command, "exitcode") == 0) return cmd_exitcode(n, args);
  if (std::strcmp(command, "kill") == 0) return cmd_kill(n, args);
  if (std::strcmp(command, "killclass") == 0) return cmd_killclass(n, args);
  if (std::strcmp(command, "mutex") == 0) return cmd_mutex(n, args);
  if (std::strcmp(command, "hasmutex") == 0) return cmd_hasmutex(n, args);
  if (std::strcmp(command, "idle") == 0) return cmd_idle();
  if (std::strcmp(command, "cursor") == 0) return cmd_cursor();
  if (std::strcmp(command, "pixel") == 0) return cmd_pixel(n, args);
  if (std::strcmp(command, "screen") == 0) return cmd_screen();
  if (std::strcmp(command, "region") == 0) return cmd_region(n, args);
  if (std::strcmp(command, "find") == 0) return cmd_find(n, args);
  if (std::strcmp(command, "setevent") == 0) return cmd_setevent(n, args);
  if (std::strcmp(command, "menu") == 0) return cmd_menu(n, args);
  return usage();
}
