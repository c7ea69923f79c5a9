// Magnification.dll (built from magmarker.cpp): the marker the fault matrix plants beside
// vantorel.exe.
//
// The moment any process loads it, it leaves two marks:
//   - a file "Magnification.loaded" in the DLL's own folder, one line per load and per call
//     ("load <pid> <exe>", "MagInitialize <pid>", "MagShowSystemCursor <pid> <show>"), which stays;
//   - a named event "VantorelFaultsMagnificationLoaded", open for as long as that process lives.
// It exports MagInitialize, MagUninitialize and MagShowSystemCursor (all succeed), so a program
// that loaded it would really use it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

HMODULE g_self = nullptr;
HANDLE g_event = nullptr;

void mark(const char* format, DWORD a, const char* b) {
  WCHAR path[MAX_PATH + 32];
  DWORD n = GetModuleFileNameW(g_self, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  WCHAR* slash = std::wcsrchr(path, L'\\');
  if (slash == nullptr) return;
  std::wcscpy(slash + 1, L"Magnification.loaded");
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[MAX_PATH + 64];
  int len = std::snprintf(line, sizeof line, format, static_cast<unsigned long>(a), b);
  if (len > 0) {
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(len), &written, nullptr);
  }
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  static_cast<void>(reserved);
  if (reason == DLL_PROCESS_ATTACH) {
    char exe[MAX_PATH];
    g_self = instance;
    if (GetModuleFileNameA(nullptr, exe, sizeof exe) == 0) std::strcpy(exe, "?");
    g_event = CreateEventA(nullptr, TRUE, TRUE, "VantorelFaultsMagnificationLoaded");
    mark("load %lu %s\r\n", GetCurrentProcessId(), exe);
  }
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI MagInitialize() {
  mark("MagInitialize %lu%s\r\n", GetCurrentProcessId(), "");
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI MagUninitialize() {
  mark("MagUninitialize %lu%s\r\n", GetCurrentProcessId(), "");
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI MagShowSystemCursor(BOOL show) {
  mark("MagShowSystemCursor %lu %s\r\n", GetCurrentProcessId(), show ? "1" : "0");
  return TRUE;
}
