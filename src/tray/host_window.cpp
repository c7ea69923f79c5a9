// The hidden host window: its creation, its timers, its menu bar and the routing of its messages.
#include <cstring>

#include "app/program.h"
#include "platform/constants.h"
#include "platform/texts.h"

namespace vantorel {

// One popup on the bar for every top-level entry, holding the entries nested under it.
MenuHandle Program::buildMenuBar() {
  const MenuHandle bar = win.createMenu();
  if (bar == 0) {
    return 0;
  }
  const auto& entries = host.menu;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const MenuEntry& top = entries[i];
    if (top.level != 0) {
      continue;
    }
    std::size_t last = i + 1;
    while (last < entries.size() && entries[last].level > top.level) {
      ++last;
    }
    if (top.hidden) {
      continue;
    }
    if (last == i + 1) {
      win.appendMenuA(bar, menuItemFlags(top), kMenuCommandBase + i, top.caption);
      continue;
    }
    const MenuHandle popup = win.createPopupMenu();
    if (popup == 0) {
      continue;
    }
    for (std::size_t j = i + 1; j < last; ++j) {
      if (!entries[j].hidden) {
        win.appendMenuA(popup, menuItemFlags(entries[j]), kMenuCommandBase + j, entries[j].caption);
      }
    }
    win.appendMenuA(bar, menuItemFlags(top) | kMfPopup, popup, top.caption);
  }
  return bar;
}

void Program::createTimer(Timer& timer) {
  timer.running = false;
  if (timer.periodMs > 0) {
    win.setTimer(host.handle, timer.id, static_cast<std::uint32_t>(timer.periodMs));
    timer.running = true;
  }
}

void Program::loadHostWindow() {
  host.menuBar = buildMenuBar();

  const InstanceHandle instance = win.getModuleHandleA(nullptr);
  host.appIcon = win.loadIconA(instance, kAppIconResource);
  WindowClass windowClass;
  windowClass.instance = instance;
  windowClass.icon = host.appIcon;
  windowClass.smallIcon = host.appIcon;
  windowClass.background = kColorBtnFace + 1;
  windowClass.className = text::kHostWindowClass;
  win.registerClassExA(windowClass);

  // Centred on the primary screen; the declared left and top are not used.
  const std::int32_t left = (win.getSystemMetrics(kSmCxScreen) - kHostWidth) / 2;
  const std::int32_t top = (win.getSystemMetrics(kSmCyScreen) - kHostHeight) / 2;
  host.handle = win.createWindowExA(0, text::kHostWindowClass, text::kEmpty, kHostStyle, left, top, kHostWidth,
                                    kHostHeight, 0, host.menuBar, instance, this);
  if (host.handle == 0) {
    fatalError(text::kNoHostWindow);
  }
  Rect rect;
  if (win.getWindowRect(host.handle, &rect) &&
      (rect.right - rect.left != kHostWidth || rect.bottom - rect.top != kHostHeight)) {
    win.moveWindow(host.handle, left, top, kHostWidth, kHostHeight, true);
  }
  win.sendMessageA(host.handle, kWmSetIcon, kIconBig, static_cast<std::intptr_t>(host.appIcon));
  win.sendMessageA(host.handle, kWmSetIcon, kIconSmall, static_cast<std::intptr_t>(host.appIcon));
  win.sendMessageA(host.handle, kWmSetFont, win.getStockObject(kDefaultGuiFont), 0);

  createTimer(host.idleTimer);
  createTimer(host.clickTimer);

  onHostWindowCreated();
}

void Program::setTimerPeriod(Timer& timer, std::int32_t periodMs) {
  if (periodMs < 0) {
    periodMs = 0;
  }
  if (periodMs == timer.periodMs) {
    return;  // a running timer keeps its phase
  }
  timer.periodMs = periodMs;
  if (timer.running) {
    win.killTimer(host.handle, timer.id);
  }
  if (periodMs > 0) {
    win.setTimer(host.handle, timer.id, static_cast<std::uint32_t>(periodMs));
    timer.running = true;
  } else {
    timer.running = false;
  }
}

void Program::setItemCaption(std::size_t entry, const char* text) {
  MenuEntry& target = host.menu[entry];
  if (std::strcmp(target.caption, text) == 0) {
    return;
  }
  target.caption = text;
  const MenuHandle old = host.menuBar;
  host.menuBar = buildMenuBar();
  win.setMenu(host.handle, host.menuBar);
  if (old != 0) {
    win.destroyMenu(old);
  }
}

void Program::onHostWindowDestroyed() {
  win.setMenu(host.handle, 0);
  if (host.menuBar != 0) {
    win.destroyMenu(host.menuBar);
    host.menuBar = 0;
  }
  applyTrayIcon(0, nullptr);
  // The host window is the program's last window: once the loop runs, its end ends the loop.
  if (messageLoopStarted) {
    win.postQuitMessage(0);
  }
}

std::intptr_t Program::windowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam) {
  if (window != host.handle && host.handle != 0) {
    return win.defWindowProcA(window, message, wParam, lParam);
  }
  switch (message) {
    case kWmTimer:
      if (!eventsSuppressed) {
        if (wParam == host.idleTimer.id && host.idleTimer.running) {
          (this->*host.idleTimer.tick)();
        } else if (wParam == host.clickTimer.id && host.clickTimer.running) {
          (this->*host.clickTimer.tick)();
        }
      }
      return 0;
    case kTrayCallbackMessage:
      if (!eventsSuppressed) {
        onTrayCallback(wParam, lParam);
      }
      return 0;
    case kWmCommand: {
      const std::uint32_t identifier = static_cast<std::uint32_t>(wParam & 0xFFFF);
      if (identifier >= kMenuCommandBase) {
        if (!eventsSuppressed) {
          onMenuCommand(identifier);
        }
        return 0;
      }
      break;
    }
    case kWmDestroy: {
      const std::intptr_t result = win.defWindowProcA(window, message, wParam, lParam);
      onHostWindowDestroyed();
      return result;
    }
    default:
      break;
  }
  return win.defWindowProcA(window, message, wParam, lParam);
}

}  // namespace vantorel
