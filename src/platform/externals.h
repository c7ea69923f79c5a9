// The table of external functions: Windows functions the logic calls by library and name, each bound
// at its first call and cached. Every call goes through the seam's checked call, which reports whether
// the stack pointer came back balanced.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace vantorel {

// Ends the process after a fatal error; never returns.
class FatalHandler {
 public:
  [[noreturn]] virtual void fatalError(const char* text) = 0;

 protected:
  ~FatalHandler() = default;
};

enum class ExternalId : std::uint8_t {
  kGetLastInputInfo = 0,
  kShowWindow = 1,
  kShowSystemCursor = 2,
  kWaitForSingleObject = 3,
  kOpenMutexA = 4,
  kCreateMutexA = 5,
  kGetDesktopWindow = 6,
  kFindWindowExA = 7,
  kFindWindowA = 8,
  kFindWindowAnyTitle = 9,  // FindWindowA with an integer title, bound on its own
  kGetAsyncKeyState = 10,
};
inline constexpr std::size_t kExternalCount = 11;

struct ExternalDeclaration {
  const char* library;  // as declared; null binds in user32.dll
  const char* function;
};

// The declarations, in declaration order.
extern const ExternalDeclaration kExternalDeclarations[kExternalCount];

// How the system pointer is switched, found out when entry 2 is first bound.
enum class CursorRoute : std::uint8_t {
  kUnbound,
  kUser32,         // user32's own export
  kMagnification,  // the magnification library's export, after one MagInitialize
  kNone,           // neither exists: the pointer is left as it is
};

class Externals {
 public:
  Externals(Win32& win, FatalHandler& fatal) : win_(win), fatal_(fatal) {}
  Externals(const Externals&) = delete;
  Externals& operator=(const Externals&) = delete;

  std::int32_t getLastInputInfo(LastInputInfo* info);
  std::int32_t showWindow(WindowHandle window, std::int32_t command);
  std::int32_t showSystemCursor(std::int32_t show);
  std::uint32_t waitForSingleObject(KernelHandle handle, std::uint32_t milliseconds);
  KernelHandle openMutexA(std::uint32_t access, std::int32_t inherit, const char* name);
  KernelHandle createMutexA(void* security, std::int32_t initialOwner, const char* name);
  WindowHandle getDesktopWindow();
  WindowHandle findWindowExA(WindowHandle parent, WindowHandle childAfter, const char* className, const char* title);
  WindowHandle findWindowA(const char* className, const char* title);
  WindowHandle findWindowAnyTitle(const char* className);
  std::uint32_t getAsyncKeyState(std::int32_t virtualKey);

  // Frees every module loaded for the table; later calls bind again.
  void releaseModules();

  CursorRoute cursorRoute() const { return cursorRoute_; }

 private:
  struct Binding {
    ModuleHandle module = 0;
    ProcAddress address = 0;
  };

  // The bound address of an entry; a function that cannot be found is fatal.
  ProcAddress bind(ExternalId id);
  std::uint32_t checked(ExternalId id, ExternResult result);
  std::uint32_t checkedMagnification(const char* function, ExternResult result);
  void bindCursorRoute();
  [[noreturn]] void fatalFor(const char* what, const char* library, const char* function);

  Win32& win_;
  FatalHandler& fatal_;
  Binding bindings_[kExternalCount] = {};
  CursorRoute cursorRoute_ = CursorRoute::kUnbound;
  ModuleHandle magnificationModule_ = 0;
  ProcAddress magShowSystemCursor_ = 0;
  char fatalText_[160] = {};
};

}  // namespace vantorel
