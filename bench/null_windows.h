// A Windows seam whose every call returns at once, for measuring the logic alone.
#pragma once

#include <cstdlib>

#include "platform/win32.h"

namespace vantorel::bench {

// Handles are 1, calls succeed, no mouse button is pressed, the heap has nothing; nothing is recorded.
class NullWindows final : public Win32 {
 public:
  ModuleHandle loadLibraryExA(const char*, std::uint32_t) override { return 1; }
  ProcAddress getProcAddress(ModuleHandle, const char*) override { return 1; }
  bool freeLibrary(ModuleHandle) override { return true; }
  ExternResult getLastInputInfo(ProcAddress, LastInputInfo*) override { return ExternResult{1, true}; }
  ExternResult showWindow(ProcAddress, WindowHandle, std::int32_t) override { return ExternResult{1, true}; }
  ExternResult showSystemCursor(ProcAddress, std::int32_t) override { return ExternResult{1, true}; }
  ExternResult magInitialize(ProcAddress) override { return ExternResult{1, true}; }
  ExternResult magShowSystemCursor(ProcAddress, std::int32_t) override { return ExternResult{1, true}; }
  ExternResult waitForSingleObject(ProcAddress, KernelHandle, std::uint32_t) override { return ExternResult{1, true}; }
  ExternResult openMutexA(ProcAddress, std::uint32_t, std::int32_t, const char*) override {
    return ExternResult{1, true};
  }
  ExternResult createMutexA(ProcAddress, void*, std::int32_t, const char*) override { return ExternResult{1, true}; }
  ExternResult getDesktopWindow(ProcAddress) override { return ExternResult{1, true}; }
  ExternResult findWindowExA(ProcAddress, WindowHandle, WindowHandle, const char*, const char*) override {
    return ExternResult{1, true};
  }
  ExternResult findWindowA(ProcAddress, const char*, const char*) override { return ExternResult{1, true}; }
  ExternResult getAsyncKeyState(ProcAddress, std::int32_t) override { return ExternResult{0, true}; }  // no button
  std::uint32_t getCurrentThreadId() override { return 1; }
  KernelHandle createThread(void*, std::size_t, ThreadBody*, void*, std::uint32_t, std::uint32_t*) override {
    return 1;
  }
  bool closeHandle(KernelHandle) override { return true; }
  HeapHandle getProcessHeap() override { return 1; }
  void* heapAlloc(HeapHandle, std::uint32_t, std::size_t) override { return nullptr; }
  bool heapFree(HeapHandle, std::uint32_t, void*) override { return true; }
  [[noreturn]] void exitProcess(std::uint32_t) override { std::abort(); }
  std::uint32_t getTickCount() override { return 1; }
  std::uintptr_t processEnvironmentBlock() override { return 1; }
  std::uint32_t readMemory32(std::uintptr_t) override { return 1; }
  InstanceHandle getModuleHandleA(const char*) override { return 1; }
  bool registerClassExA(const WindowClass&) override { return true; }
  WindowHandle createWindowExA(std::uint32_t, const char*, const char*, std::uint32_t, std::int32_t, std::int32_t,
                               std::int32_t, std::int32_t, WindowHandle, MenuHandle, InstanceHandle,
                               WindowProcedure*) override {
    return 1;
  }
  bool destroyWindow(WindowHandle) override { return true; }
  bool isWindow(WindowHandle) override { return true; }
  bool getWindowRect(WindowHandle, Rect*) override { return true; }
  bool moveWindow(WindowHandle, std::int32_t, std::int32_t, std::int32_t, std::int32_t, bool) override { return true; }
  std::int32_t getSystemMetrics(std::int32_t) override { return 1; }
  std::intptr_t sendMessageA(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override { return 1; }
  bool postMessageA(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override { return true; }
  void postQuitMessage(std::int32_t) override {}
  std::int32_t getMessageA(Message*, WindowHandle, std::uint32_t, std::uint32_t) override { return 1; }
  bool translateMessage(const Message&) override { return true; }
  std::intptr_t dispatchMessageA(const Message&) override { return 1; }
  std::intptr_t defWindowProcA(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) override { return 1; }
  std::uintptr_t setTimer(WindowHandle, std::uintptr_t, std::uint32_t) override { return 1; }
  bool killTimer(WindowHandle, std::uintptr_t) override { return true; }
  bool setForegroundWindow(WindowHandle) override { return true; }
  bool getCursorPos(Point*) override { return true; }
  std::int32_t messageBoxA(WindowHandle, const char*, const char*, std::uint32_t) override { return 1; }
  IconHandle loadIconA(InstanceHandle, std::uintptr_t) override { return 1; }
  IconHandle createIconFromResourceEx(const std::uint8_t*, std::uint32_t, bool, std::uint32_t, std::int32_t,
                                      std::int32_t, std::uint32_t) override {
    return 1;
  }
  IconHandle createIconFromResource(const std::uint8_t*, std::uint32_t, bool, std::uint32_t) override { return 1; }
  bool destroyIcon(IconHandle) override { return true; }
  FontHandle getStockObject(std::int32_t) override { return 1; }
  MenuHandle createMenu() override { return 1; }
  MenuHandle createPopupMenu() override { return 1; }
  bool appendMenuA(MenuHandle, std::uint32_t, std::uintptr_t, const char*) override { return true; }
  bool setMenu(WindowHandle, MenuHandle) override { return true; }
  bool destroyMenu(MenuHandle) override { return true; }
  bool trackPopupMenu(MenuHandle, std::uint32_t, std::int32_t, std::int32_t, std::int32_t, WindowHandle,
                      const Rect*) override {
    return true;
  }
  bool shellNotifyIconA(std::uint32_t, NotifyIconRecord*) override { return true; }
};

}  // namespace vantorel::bench
