// ondesk.exe: runs a program on another desktop of this window station and hands back its
// standard streams and its full exit code.
//
//   ondesk <desktop-name> <exe> [args...]
//
// The program's STARTUPINFO names the desktop, so every window it makes (and every window it
// enumerates) is on that desktop. Its standard output and error are this process's own. The exit
// code of ondesk is the program's; 0xFA11ED when the program could not be started.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ondesk <desktop-name> <exe> [args...]\n");
    return 2;
  }
  char command_line[8192];
  size_t used = 0;
  command_line[0] = '\0';
  for (int i = 2; i < argc; ++i) {
    int n = std::snprintf(command_line + used, sizeof command_line - used, "%s\"%s\"", i > 2 ? " " : "",
                          argv[i]);
    if (n < 0 || used + static_cast<size_t>(n) >= sizeof command_line) {
      std::fprintf(stderr, "ondesk: command line too long\n");
      return 2;
    }
    used += static_cast<size_t>(n);
  }
  char desktop[256];
  std::snprintf(desktop, sizeof desktop, "%s", argv[1]);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.lpDesktop = desktop;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(argv[2], command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "ondesk: CreateProcess %lu\n", GetLastError());
    return 0xFA11ED;
  }
  CloseHandle(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
