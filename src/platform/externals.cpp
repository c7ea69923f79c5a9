#include "platform/externals.h"

#include "platform/constants.h"

namespace vantorel {

namespace {

constexpr char kUser32[] = "user32.dll";
constexpr char kMagnificationLibrary[] = "Magnification.dll";
constexpr char kMagInitialize[] = "MagInitialize";
constexpr char kMagShowSystemCursor[] = "MagShowSystemCursor";

// Appends `text` to `out` (of `capacity` bytes, always NUL-terminated) and returns the new end.
std::size_t append(char* out, std::size_t capacity, std::size_t at, const char* text) {
  while (*text != '\0' && at + 1 < capacity) {
    out[at++] = *text++;
  }
  out[at] = '\0';
  return at;
}

}  // namespace

const ExternalDeclaration kExternalDeclarations[kExternalCount] = {
    {"User32.dll", "GetLastInputInfo"}, {"user32.dll", "ShowWindow"},
    {"user32.dll", "ShowSystemCursor"}, {"kernel32.dll", "WaitForSingleObject"},
    {"Kernel32", "OpenMutexA"},         {"kernel32.dll", "CreateMutexA"},
    {"user32.dll", "GetDesktopWindow"}, {nullptr, "FindWindowExA"},
    {nullptr, "FindWindowA"},           {nullptr, "FindWindowA"},
    {"user32.dll", "GetAsyncKeyState"},
};

namespace {

const char* libraryOf(const ExternalDeclaration& declaration) {
  return declaration.library != nullptr ? declaration.library : kUser32;
}

}  // namespace

void Externals::fatalFor(const char* what, const char* library, const char* function) {
  std::size_t at = append(fatalText_, sizeof fatalText_, 0, what);
  at = append(fatalText_, sizeof fatalText_, at, library);
  at = append(fatalText_, sizeof fatalText_, at, "!");
  append(fatalText_, sizeof fatalText_, at, function);
  fatal_.fatalError(fatalText_);
  __builtin_unreachable();  // fatalError never returns, which the virtual call does not show
}

ProcAddress Externals::bind(ExternalId id) {
  const auto index = static_cast<std::size_t>(id);
  Binding& binding = bindings_[index];
  if (binding.address != 0) {
    return binding.address;
  }
  const ExternalDeclaration& declaration = kExternalDeclarations[index];
  const char* library = libraryOf(declaration);
  // Only the system directory is searched, so a same-named DLL beside the executable is never loaded.
  if (binding.module == 0) {
    binding.module = win_.loadLibraryExA(library, kLoadLibrarySearchSystem32);
  }
  if (binding.module != 0) {
    binding.address = win_.getProcAddress(binding.module, declaration.function);
  }
  if (binding.address == 0) {
    fatalFor("Windows function not found: ", library, declaration.function);
  }
  return binding.address;
}

std::uint32_t Externals::checked(ExternalId id, ExternResult result) {
  if (!result.balanced) {
    const ExternalDeclaration& declaration = kExternalDeclarations[static_cast<std::size_t>(id)];
    fatalFor("Unbalanced call of ", libraryOf(declaration), declaration.function);
  }
  return result.value;
}

std::uint32_t Externals::checkedMagnification(const char* function, ExternResult result) {
  if (!result.balanced) {
    fatalFor("Unbalanced call of ", kMagnificationLibrary, function);
  }
  return result.value;
}

std::int32_t Externals::getLastInputInfo(LastInputInfo* info) {
  const ProcAddress fn = bind(ExternalId::kGetLastInputInfo);
  return static_cast<std::int32_t>(checked(ExternalId::kGetLastInputInfo, win_.getLastInputInfo(fn, info)));
}

std::int32_t Externals::showWindow(WindowHandle window, std::int32_t command) {
  const ProcAddress fn = bind(ExternalId::kShowWindow);
  return static_cast<std::int32_t>(checked(ExternalId::kShowWindow, win_.showWindow(fn, window, command)));
}

// Some user32 builds lack ShowSystemCursor. Then the magnification library's MagShowSystemCursor
// does the same after one MagInitialize; where that is missing too the pointer is left alone.
void Externals::bindCursorRoute() {
  Binding& binding = bindings_[static_cast<std::size_t>(ExternalId::kShowSystemCursor)];
  const ExternalDeclaration& declaration =
      kExternalDeclarations[static_cast<std::size_t>(ExternalId::kShowSystemCursor)];
  const char* library = libraryOf(declaration);
  if (binding.module == 0) {
    binding.module = win_.loadLibraryExA(library, kLoadLibrarySearchSystem32);
  }
  if (binding.module != 0) {
    binding.address = win_.getProcAddress(binding.module, declaration.function);
  }
  if (binding.address != 0) {
    cursorRoute_ = CursorRoute::kUser32;
    return;
  }
  cursorRoute_ = CursorRoute::kNone;
  magnificationModule_ = win_.loadLibraryExA(kMagnificationLibrary, kLoadLibrarySearchSystem32);
  if (magnificationModule_ == 0) {
    return;
  }
  const ProcAddress initialize = win_.getProcAddress(magnificationModule_, kMagInitialize);
  magShowSystemCursor_ = win_.getProcAddress(magnificationModule_, kMagShowSystemCursor);
  if (initialize == 0 || magShowSystemCursor_ == 0) {
    magShowSystemCursor_ = 0;
    return;
  }
  checkedMagnification(kMagInitialize, win_.magInitialize(initialize));
  cursorRoute_ = CursorRoute::kMagnification;
}

std::int32_t Externals::showSystemCursor(std::int32_t show) {
  if (cursorRoute_ == CursorRoute::kUnbound) {
    bindCursorRoute();
  }
  switch (cursorRoute_) {
    case CursorRoute::kUser32: {
      const ProcAddress fn = bindings_[static_cast<std::size_t>(ExternalId::kShowSystemCursor)].address;
      return static_cast<std::int32_t>(checked(ExternalId::kShowSystemCursor, win_.showSystemCursor(fn, show)));
    }
    case CursorRoute::kMagnification:
      return static_cast<std::int32_t>(
          checkedMagnification(kMagShowSystemCursor, win_.magShowSystemCursor(magShowSystemCursor_, show)));
    case CursorRoute::kUnbound:
    case CursorRoute::kNone:
      break;
  }
  return 0;
}

std::uint32_t Externals::waitForSingleObject(KernelHandle handle, std::uint32_t milliseconds) {
  const ProcAddress fn = bind(ExternalId::kWaitForSingleObject);
  return checked(ExternalId::kWaitForSingleObject, win_.waitForSingleObject(fn, handle, milliseconds));
}

KernelHandle Externals::openMutexA(std::uint32_t access, std::int32_t inherit, const char* name) {
  const ProcAddress fn = bind(ExternalId::kOpenMutexA);
  return checked(ExternalId::kOpenMutexA, win_.openMutexA(fn, access, inherit, name));
}

KernelHandle Externals::createMutexA(void* security, std::int32_t initialOwner, const char* name) {
  const ProcAddress fn = bind(ExternalId::kCreateMutexA);
  return checked(ExternalId::kCreateMutexA, win_.createMutexA(fn, security, initialOwner, name));
}

WindowHandle Externals::getDesktopWindow() {
  const ProcAddress fn = bind(ExternalId::kGetDesktopWindow);
  return checked(ExternalId::kGetDesktopWindow, win_.getDesktopWindow(fn));
}

WindowHandle Externals::findWindowExA(WindowHandle parent, WindowHandle childAfter, const char* className,
                                      const char* title) {
  const ProcAddress fn = bind(ExternalId::kFindWindowExA);
  return checked(ExternalId::kFindWindowExA, win_.findWindowExA(fn, parent, childAfter, className, title));
}

WindowHandle Externals::findWindowA(const char* className, const char* title) {
  const ProcAddress fn = bind(ExternalId::kFindWindowA);
  return checked(ExternalId::kFindWindowA, win_.findWindowA(fn, className, title));
}

WindowHandle Externals::findWindowAnyTitle(const char* className) {
  const ProcAddress fn = bind(ExternalId::kFindWindowAnyTitle);
  return checked(ExternalId::kFindWindowAnyTitle, win_.findWindowA(fn, className, nullptr));
}

std::uint32_t Externals::getAsyncKeyState(std::int32_t virtualKey) {
  const ProcAddress fn = bind(ExternalId::kGetAsyncKeyState);
  return checked(ExternalId::kGetAsyncKeyState, win_.getAsyncKeyState(fn, virtualKey));
}

void Externals::releaseModules() {
  for (Binding& binding : bindings_) {
    if (binding.module != 0) {
      win_.freeLibrary(binding.module);
    }
    binding = Binding{};
  }
  if (magnificationModule_ != 0) {
    win_.freeLibrary(magnificationModule_);
  }
  magnificationModule_ = 0;
  magShowSystemCursor_ = 0;
  cursorRoute_ = CursorRoute::kUnbound;
}

}  // namespace vantorel
