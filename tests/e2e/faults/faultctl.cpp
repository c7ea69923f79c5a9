// faultctl.exe: small tools for the fault matrix (tests/e2e/fault_matrix.py) that probe.exe has
// no command for. Results on stdout as "key value" lines; exit code 0 on success, 1 when a check
// did not hold, 2 on a usage error or a failed call.
//
//   faultctl desktop                  the thread's desktop: its name, and the process that owns
//                                     its desktop window (the explorer that manages it)
//   faultctl hold <event> <max-ms>    creates the named event, prints "holding", stays on the
//                                     desktop until the event is set (or max-ms pass)
//   faultctl enddesktop <name>        ends the explorer that manages this thread's desktop, which
//                                     must be named <name> (a guard against ending the wrong one)
//   faultctl taskbars                 how many Shell_TrayWnd windows this desktop has
//   faultctl seen <event>             whether a named event exists now ("1" or "0")
//   faultctl loadlib <dll>            LoadLibraryA with the ordinary search order (the folder of
//                                     the executable first): "loaded 1" or "loaded 0 <error>"
//   faultctl modules <pid> <dll>      the modules of a running process: how many, and whether one
//                                     is named <dll> (case-insensitive file name)
#include <windows.h>
#include <psapi.h>

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
  if (n <= 0) return;
  if (n >= static_cast<int>(sizeof buffer)) n = sizeof buffer - 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

int usage() {
  out("error usage: faultctl desktop | hold EVENT MAX-MS | enddesktop NAME | taskbars | seen EVENT | "
      "loadlib DLL | modules PID DLL\n");
  return 2;
}

bool desktop_name(char* buffer, DWORD size) {
  buffer[0] = '\0';
  HDESK desk = GetThreadDesktop(GetCurrentThreadId());
  return desk != nullptr && GetUserObjectInformationA(desk, UOI_NAME, buffer, size, nullptr) != 0;
}

DWORD desktop_owner() {
  DWORD pid = 0;
  GetWindowThreadProcessId(GetDesktopWindow(), &pid);
  return pid;
}

int cmd_desktop() {
  char name[256];
  if (!desktop_name(name, sizeof name)) {
    out("error GetUserObjectInformation %lu\n", GetLastError());
    return 2;
  }
  RECT r{};
  GetWindowRect(GetDesktopWindow(), &r);
  out("name %s\nowner %lu\nrect %ld %ld %ld %ld\n", name, desktop_owner(), r.left, r.top, r.right, r.bottom);
  return 0;
}

int cmd_hold(int argc, char** argv) {
  if (argc < 2) return usage();
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, argv[0]);
  if (event == nullptr) {
    out("error CreateEvent %lu\n", GetLastError());
    return 2;
  }
  // A window of our own, so that this process counts as a user of the desktop.
  HWND window = CreateWindowExA(0, "Static", "fault matrix keeper", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  out("holding %lu\n", GetCurrentProcessId());
  DWORD wait = WaitForSingleObject(event, std::strtoul(argv[1], nullptr, 0));
  if (window != nullptr) DestroyWindow(window);
  CloseHandle(event);
  out("%s\n", wait == WAIT_OBJECT_0 ? "released" : "expired");
  return 0;
}

int cmd_enddesktop(int argc, char** argv) {
  if (argc < 1) return usage();
  char name[256];
  if (!desktop_name(name, sizeof name)) {
    out("error GetUserObjectInformation %lu\n", GetLastError());
    return 2;
  }
  if (lstrcmpiA(name, argv[0]) != 0) {
    out("error this is desktop %s, not %s\n", name, argv[0]);
    return 1;
  }
  DWORD pid = desktop_owner();
  if (pid == 0 || pid == GetCurrentProcessId()) {
    out("error no owner of the desktop window\n");
    return 1;
  }
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    out("error OpenProcess %lu\n", GetLastError());
    return 2;
  }
  TerminateProcess(process, 0);
  DWORD wait = WaitForSingleObject(process, 5000);
  CloseHandle(process);
  out("ended %lu\n", pid);
  return wait == WAIT_OBJECT_0 ? 0 : 1;
}

BOOL CALLBACK count_taskbars(HWND hwnd, LPARAM param) {
  char cls[64];
  if (GetClassNameA(hwnd, cls, sizeof cls) && lstrcmpiA(cls, "Shell_TrayWnd") == 0) {
    ++*reinterpret_cast<int*>(param);
  }
  return TRUE;
}

int cmd_taskbars() {
  int count = 0;
  EnumWindows(count_taskbars, reinterpret_cast<LPARAM>(&count));
  out("taskbars %d\n", count);
  return 0;
}

int cmd_seen(int argc, char** argv) {
  if (argc < 1) return usage();
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, argv[0]);
  out("%d\n", event != nullptr ? 1 : 0);
  if (event != nullptr) CloseHandle(event);
  return 0;
}

int cmd_loadlib(int argc, char** argv) {
  if (argc < 1) return usage();
  HMODULE module = LoadLibraryA(argv[0]);
  if (module == nullptr) {
    out("loaded 0 %lu\n", GetLastError());
    return 1;
  }
  char path[MAX_PATH];
  if (GetModuleFileNameA(module, path, sizeof path) == 0) std::strcpy(path, "?");
  out("loaded 1\npath %s\n", path);
  FreeLibrary(module);
  return 0;
}

const char* file_part(const char* path) {
  const char* last = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') last = p + 1;
  }
  return last;
}

int cmd_modules(int argc, char** argv) {
  if (argc < 2) return usage();
  DWORD pid = std::strtoul(argv[0], nullptr, 0);
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    out("error OpenProcess %lu\n", GetLastError());
    return 2;
  }
  HMODULE modules[512];
  DWORD needed = 0;
  if (!EnumProcessModules(process, modules, sizeof modules, &needed)) {
    out("error EnumProcessModules %lu\n", GetLastError());
    CloseHandle(process);
    return 2;
  }
  DWORD count = needed / sizeof(HMODULE);
  if (count > 512) count = 512;
  int found = 0;
  for (DWORD i = 0; i < count; ++i) {
    char path[MAX_PATH];
    if (GetModuleFileNameExA(process, modules[i], path, sizeof path) == 0) continue;
    if (lstrcmpiA(file_part(path), argv[1]) == 0) {
      ++found;
      out("match %s\n", path);
    }
  }
  CloseHandle(process);
  out("modules %lu\nloaded %d\n", count, found > 0 ? 1 : 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* command = argv[1];
  if (std::strcmp(command, "desktop") == 0) return cmd_desktop();
  if (std::strcmp(command, "hold") == 0) return cmd_hold(argc - 2, argv + 2);
  if (std::strcmp(command, "enddesktop") == 0) return cmd_enddesktop(argc - 2, argv + 2);
  if (std::strcmp(command, "taskbars") == 0) return cmd_taskbars();
  if (std::strcmp(command, "seen") == 0) return cmd_seen(argc - 2, argv + 2);
  if (std::strcmp(command, "loadlib") == 0) return cmd_loadlib(argc - 2, argv + 2);
  if (std::strcmp(command, "modules") == 0) return cmd_modules(argc - 2, argv + 2);
  return usage();
}
