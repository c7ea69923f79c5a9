// The notification-area icon, its callback and the popup menu.
#include "app/program.h"
#include "platform/constants.h"
#include "platform/texts.h"
#include "tray/tray_icon_image.h"

namespace vantorel {

namespace {

constexpr std::size_t kIcoHeaderBytes = 6;
constexpr std::size_t kIcoEntryBytes = 16;
constexpr std::size_t kBitmapInfoHeaderBytes = 40;
constexpr std::uint16_t kIcoTypeIcon = 1;
constexpr std::uint16_t kHighColourBits = 16;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t read32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

// The offset and size come from the file's own directory; they are checked against `length` (and
// against the header the image must hold) before anything past the directory is read.
bool locateIcoImage(const std::uint8_t* bytes, std::size_t length, IcoImage* image) {
  if (bytes == nullptr || length < kIcoHeaderBytes + kIcoEntryBytes) {
    return false;
  }
  if (read16(bytes) != 0 || read16(bytes + 2) != kIcoTypeIcon || read16(bytes + 4) == 0) {
    return false;
  }
  const std::uint8_t* entry = bytes + kIcoHeaderBytes;
  const std::uint32_t size = read32(entry + 8);
  const std::uint32_t offset = read32(entry + 12);
  if (offset > length || size > length - offset || size < kBitmapInfoHeaderBytes) {
    return false;
  }
  const std::uint8_t* header = bytes + offset;
  image->bytes = header;
  image->size = size;
  image->width = static_cast<std::int32_t>(read32(header + 4));
  image->height = static_cast<std::int32_t>(read32(header + 8)) / 2;
  image->bitCount = read16(header + 14);
  return true;
}

void Program::installTrayIcon() { setTrayIcon(kTrayIconImage, kTrayIconImage_size, text::kTooltip); }

void Program::setTrayIcon(const std::uint8_t* bytes, std::size_t length, const char* tooltip) {
  IconHandle icon = 0;
  if (bytes != nullptr && length > 0) {
    icon = iconFromIcoBytes(bytes, length);
  }
  applyTrayIcon(icon, tooltip);
}

IconHandle Program::iconFromIcoBytes(const std::uint8_t* bytes, std::size_t length) {
  IcoImage image;
  if (!locateIcoImage(bytes, length, &image)) {
    return 0;
  }
  // Made at the picture's own size, not at a system icon size.
  IconHandle icon = win.createIconFromResourceEx(image.bytes, image.size, true, kIconResourceVersion, image.width,
                                                 image.height, kLrDefaultColor);
  if (icon == 0 && image.bitCount != kHighColourBits) {
    icon = win.createIconFromResource(image.bytes, image.size, true, kIconResourceVersion);
  }
  return icon;
}

void Program::applyTrayIcon(IconHandle newIcon, const char* tooltip) {
  NotifyIconRecord record;
  record.cbSize = kNotifyIconRecordSize;
  record.hWnd = host.handle;
  record.uID = kTrayIconId;
  if (tooltip != nullptr) {
    for (std::size_t i = 0; i < kTooltipBytes && tooltip[i] != '\0'; ++i) {
      record.szTip[i] = tooltip[i];
    }
  }
  if (newIcon != 0) {
    record.uFlags = kNifMessage | kNifIcon | kNifTip;
    record.uCallbackMessage = kTrayCallbackMessage;
    record.hIcon = newIcon;
  }
  if (host.trayIcon != 0) {
    win.shellNotifyIconA(newIcon == 0 ? kNimDelete : kNimModify, &record);
    win.destroyIcon(host.trayIcon);
  } else if (newIcon != 0) {
    win.shellNotifyIconA(kNimAdd, &record);
  }
  host.trayIcon = newIcon;
}

void Program::onTrayCallback(std::uintptr_t /*wParam*/, std::intptr_t lParam) {
  std::int32_t code = 0;
  switch (lParam) {
    case kWmLButtonUp:
      code = kTrayLeftClick;
      break;
    case kWmLButtonDblClk:
      code = kTrayLeftDoubleClick;
      break;
    case kWmRButtonUp:
    case kWmContextMenu:
      code = kTrayRightClick;
      break;
    default:
      return;
  }
  onTrayEvent(code);
}

void Program::onTrayEvent(std::int32_t code) {
  if (code == kTrayRightClick) {
    popUpTrayMenu(kRootEntry);
  }
}

void Program::popUpTrayMenu(std::size_t entry) {
  const auto& entries = host.menu;
  if (entry + 1 >= entries.size() || entries[entry + 1].level <= entries[entry].level) {
    return;
  }
  const MenuHandle menu = buildPopupMenu(entry, kMenuCommandBase + static_cast<std::uint32_t>(entry));
  if (menu == 0) {
    return;
  }
  Point point;
  win.getCursorPos(&point);
  // The window must be in the foreground, or the menu would not close when the user clicks elsewhere;
  // the null message afterwards lets the next popup open at the first click.
  win.setForegroundWindow(host.handle);
  win.trackPopupMenu(menu, kTpmRightAlign, point.x - kPopupOffset, point.y - kPopupOffset, 0, host.handle, nullptr);
  win.postMessageA(host.handle, kWmNull, 0, 0);
  win.destroyMenu(menu);
}

MenuHandle Program::buildPopupMenu(std::size_t entry, std::uint32_t identifier) {
  const MenuHandle menu = win.createPopupMenu();
  if (menu == 0) {
    return 0;
  }
  const auto& entries = host.menu;
  for (std::size_t i = entry + 1; i < entries.size() && entries[i].level > entries[entry].level; ++i) {
    const std::uint32_t itemIdentifier = identifier + static_cast<std::uint32_t>(i - entry);
    if (entries[i].hidden) {
      continue;
    }
    win.appendMenuA(menu, menuItemFlags(entries[i]), itemIdentifier, entries[i].caption);
  }
  return menu;
}

void Program::onMenuCommand(std::uint32_t identifier) {
  const std::uint32_t k = identifier - kMenuCommandBase;
  if (k >= host.menu.size()) {
    return;
  }
  const Handler handler = host.menu[k].handler;
  if (handler != nullptr) {
    (this->*handler)();
  }
}

}  // namespace vantorel
