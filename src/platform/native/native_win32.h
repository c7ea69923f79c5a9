// The Windows seam on Windows itself: every method is the real call.
//
// <windows.h> stays inside native_win32.cpp; this header and the rest of the program see only the
// seam's own types.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace vantorel {

class NativeWin32 final : public Win32 {
 public:
  NativeWin32() = default;
  NativeWin32(const NativeWin32&) = delete;
  NativeWin32& operator=(const NativeWin32&) = delete;

  // What a thread started by createThread receives as its real parameter.
  struct ThreadStart {
    ThreadBody* body = nullptr;
    void* parameter = nullptr;
  };

  ModuleHandle loadLibraryExA(const char* fileName, std::uint32_t flags) override;
  ProcAddress getProcAddress(ModuleHandle module, const char* name) override;
  bool freeLibrary(ModuleHandle module) override;

  ExternResult getLastInputInfo(ProcAddress fn, LastInputInfo* info) override;
  ExternResult showWindow(ProcAddress fn, WindowHandle window, std::int32_t command) override;
  ExternResult showSystemCursor(ProcAddress fn, std::int32_t show) override;
  ExternResult magInitialize(ProcAddress fn) override;
  ExternResult magShowSystemCursor(ProcAddress fn, std::int32_t show) override;
  ExternResult waitForSingleObject(ProcAddress fn, KernelHandle handle, std::uint32_t milliseconds) override;
  ExternResult openMutexA(ProcAddress fn, std::uint32_t access, std::int32_t inherit, const char* name) override;
  ExternResult createMutexA(ProcAddress fn, void* security, std::int32_t initialOwner, const char* name) override;
  ExternResult getDesktopWindow(ProcAddress fn) override;
  ExternResult findWindowExA(ProcAddress fn, WindowHandle parent, WindowHandle childAfter, const char* className,
                             const char* title) override;
  ExternResult findWindowA(ProcAddress fn, const char* className, const char* title) override;
  ExternResult getAsyncKeyState(ProcAddress fn, std::int32_t virtualKey) override;

  std::uint32_t getCurrentThreadId() override;
  KernelHandle createThread(void* security, std::size_t stackSize, ThreadBody* body, void* parameter,
                            std::uint32_t flags, std::uint32_t* threadId) override;
  bool closeHandle(KernelHandle handle) override;
  HeapHandle getProcessHeap() override;
  void* heapAlloc(HeapHandle heap, std::uint32_t flags, std::size_t bytes) override;
  bool heapFree(HeapHandle heap, std::uint32_t flags, void* memory) override;
  [[noreturn]] void exitProcess(std::uint32_t exitCode) override;
  std::uint32_t getTickCount() override;
  std::uintptr_t processEnvironmentBlock() override;
  std::uint32_t readMemory32(std::uintptr_t address) override;
  InstanceHandle getModuleHandleA(const char* name) override;

  bool registerClassExA(const WindowClass& windowClass) override;
  WindowHandle createWindowExA(std::uint32_t exStyle, const char* className, const char* title, std::uint32_t style,
                               std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                               WindowHandle parent, MenuHandle menu, InstanceHandle instance,
                               WindowProcedure* procedure) override;
  bool destroyWindow(WindowHandle window) override;
  bool isWindow(WindowHandle window) override;
  bool getWindowRect(WindowHandle window, Rect* rect) override;
  bool moveWindow(WindowHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  bool repaint) override;
  std::int32_t getSystemMetrics(std::int32_t index) override;
  std::intptr_t sendMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override;
  bool postMessageA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void postQuitMessage(std::int32_t exitCode) override;
  std::int32_t getMessageA(Message* message, WindowHandle window, std::uint32_t filterMin,
                           std::uint32_t filterMax) override;
  bool translateMessage(const Message& message) override;
  std::intptr_t dispatchMessageA(const Message& message) override;
  std::intptr_t defWindowProcA(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) override;
  std::uintptr_t setTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) override;
  bool killTimer(WindowHandle window, std::uintptr_t id) override;
  bool setForegroundWindow(WindowHandle window) override;
  bool getCursorPos(Point* point) override;
  std::int32_t messageBoxA(WindowHandle owner, const char* text, const char* title, std::uint32_t flags) override;

  IconHandle loadIconA(InstanceHandle instance, std::uintptr_t resource) override;
  IconHandle createIconFromResourceEx(const std::uint8_t* bytes, std::uint32_t size, bool icon, std::uint32_t version,
                                      std::int32_t cx, std::int32_t cy, std::uint32_t flags) override;
  IconHandle createIconFromResource(const std::uint8_t* bytes, std::uint32_t size, bool icon,
                                    std::uint32_t version) override;
  bool destroyIcon(IconHandle icon) override;
  FontHandle getStockObject(std::int32_t object) override;

  MenuHandle createMenu() override;
  MenuHandle createPopupMenu() override;
  bool appendMenuA(MenuHandle menu, std::uint32_t flags, std::uintptr_t item, const char* caption) override;
  bool setMenu(WindowHandle window, MenuHandle menu) override;
  bool destroyMenu(MenuHandle menu) override;
  bool trackPopupMenu(MenuHandle menu, std::uint32_t flags, std::int32_t x, std::int32_t y, std::int32_t reserved,
                      WindowHandle window, const Rect* rect) override;
  bool shellNotifyIconA(std::uint32_t message, NotifyIconRecord* record) override;

 private:
  // The seam's Message has no time or pointer position; the last message fetched keeps them, so
  // that translating and dispatching that same message hands Windows the whole record.
  struct FetchedMessage {
    Message message;
    std::uint32_t time = 0;
    Point point;
    bool valid = false;
  };

  // Read by the new thread before it runs its body; the program starts one thread and waits for it.
  ThreadStart threadStart_;
  FetchedMessage fetched_;
};

}  // namespace vantorel
