// buttons.exe: the desktop's asynchronous state of the two mouse buttons, as GetAsyncKeyState gives
// it, on one line:
//
//   left <hex> right <hex>     0x8000: down now; 0x0001: pressed since the last query
//
// Reading the state clears the "pressed since the last query" bits, which Wine keeps once for the
// whole desktop: run it only while the program under test is not running, to start a case with no
// press left over from an earlier one (the end-to-end probe never calls GetAsyncKeyState).
#include <windows.h>

#include <cstdio>

int main() {
  const unsigned left = static_cast<unsigned short>(GetAsyncKeyState(VK_LBUTTON));
  const unsigned right = static_cast<unsigned short>(GetAsyncKeyState(VK_RBUTTON));
  char line[64];
  const int n = snprintf(line, sizeof line, "left %04X right %04X\n", left, right);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
  return 0;
}
