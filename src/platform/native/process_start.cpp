// Where vantorel.exe starts: here rather than in the C runtime's start-up, which would bring stdio,
// the command-line parser and its own exception handling for nothing the program uses. What of it
// matters is done below: static constructors, should the logic ever have any, and WinMain's
// arguments. Part of the executable only; the native tests keep the ordinary start-up.
#include <windows.h>

#include <cstddef>

extern "C" {
using StaticConstructor = void (*)();
// Laid out by the linker: a count (or -1), the constructors, then a null entry.
extern StaticConstructor __CTOR_LIST__[];  // NOLINT(bugprone-reserved-identifier): the linker's name
}

namespace {

void runStaticConstructors() {
  std::size_t count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) {
    ++count;
  }
  // In reverse, as the runtime's start-up runs them.
  for (std::size_t i = count; i > 0; --i) {
    __CTOR_LIST__[i]();
  }
}

// The command line after the program's own name, as WinMain receives it.
char* argumentsAfterProgramName(char* line) {
  if (*line == '"') {
    ++line;
    while (*line != '\0' && *line != '"') {
      ++line;
    }
    if (*line == '"') {
      ++line;
    }
  } else {
    while (*line != '\0' && *line != ' ' && *line != '\t') {
      ++line;
    }
  }
  while (*line == ' ' || *line == '\t') {
    ++line;
  }
  return line;
}

}  // namespace

extern "C" [[noreturn]] void __stdcall vantorel_start() {
  runStaticConstructors();
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(static_cast<UINT>(
      WinMain(GetModuleHandleA(nullptr), nullptr, argumentsAfterProgramName(GetCommandLineA()), show)));
}
