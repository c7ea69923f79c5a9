// The program entry: one seam, one program, and a run that ends the process.
#include "app/program.h"
#include "platform/native/native_win32.h"

// Declared here rather than through <windows.h>, which stays inside native_win32.cpp.
extern "C" int __stdcall WinMain(void* /*instance*/, void* /*previous*/, char* /*commandLine*/, int /*show*/) {
  vantorel::NativeWin32 win;
  vantorel::Program program(win);
  program.run();
}
