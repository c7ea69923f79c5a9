// Windows' values that the program uses, under the program's own names. The native seam checks each
// against the SDK's definition (static_assert), so the logic never needs <windows.h>.
#pragma once

#include <cstdint>

namespace vantorel {

// ShowWindow
inline constexpr std::int32_t kSwHide = 0;
inline constexpr std::int32_t kSwShowNormal = 1;

// Kernel objects and waits
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kMutexAllAccess = 0x1F0001u;
inline constexpr std::uint32_t kLoadLibrarySearchSystem32 = 0x00000800u;

// Window messages
inline constexpr std::uint32_t kWmNull = 0x0000;
inline constexpr std::uint32_t kWmCreate = 0x0001;
inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmClose = 0x0010;
inline constexpr std::uint32_t kWmQuit = 0x0012;
inline constexpr std::uint32_t kWmSetFont = 0x0030;
inline constexpr std::uint32_t kWmSetIcon = 0x0080;
inline constexpr std::uint32_t kWmContextMenu = 0x007B;
inline constexpr std::uint32_t kWmCommand = 0x0111;
inline constexpr std::uint32_t kWmTimer = 0x0113;
inline constexpr std::uint32_t kWmMouseMove = 0x0200;
inline constexpr std::uint32_t kWmLButtonDown = 0x0201;
inline constexpr std::uint32_t kWmLButtonUp = 0x0202;
inline constexpr std::uint32_t kWmLButtonDblClk = 0x0203;
inline constexpr std::uint32_t kWmRButtonDown = 0x0204;
inline constexpr std::uint32_t kWmRButtonUp = 0x0205;
inline constexpr std::uint32_t kWmRButtonDblClk = 0x0206;
inline constexpr std::uint32_t kWmMButtonDown = 0x0207;
inline constexpr std::uint32_t kWmMButtonUp = 0x0208;
inline constexpr std::uint32_t kWmApp = 0x8000;

// WM_SETICON
inline constexpr std::uintptr_t kIconSmall = 0;
inline constexpr std::uintptr_t kIconBig = 1;

// Window styles
inline constexpr std::uint32_t kWsOverlapped = 0x00000000u;
inline constexpr std::uint32_t kWsCaption = 0x00C00000u;
inline constexpr std::uint32_t kWsSysMenu = 0x00080000u;
inline constexpr std::uint32_t kWsMinimizeBox = 0x00020000u;
inline constexpr std::uint32_t kWsClipChildren = 0x02000000u;
inline constexpr std::uint32_t kWsVisible = 0x10000000u;

// GetSystemMetrics
inline constexpr std::int32_t kSmCxScreen = 0;
inline constexpr std::int32_t kSmCyScreen = 1;

// System colours and stock objects
inline constexpr std::uintptr_t kColorBtnFace = 15;
inline constexpr std::int32_t kDefaultGuiFont = 17;

// Virtual keys
inline constexpr std::int32_t kVkLButton = 1;
inline constexpr std::int32_t kVkRButton = 2;

// Menus
inline constexpr std::uint32_t kMfString = 0x0000;
inline constexpr std::uint32_t kMfGrayed = 0x0001;
inline constexpr std::uint32_t kMfChecked = 0x0008;
inline constexpr std::uint32_t kMfPopup = 0x0010;
inline constexpr std::uint32_t kTpmRightAlign = 0x0008;

// Message boxes
inline constexpr std::uint32_t kMbOk = 0x0000;
inline constexpr std::uint32_t kMbIconError = 0x0010;
inline constexpr std::uint32_t kMbSystemModal = 0x1000;
inline constexpr std::uint32_t kMbTaskModal = 0x2000;

// Notification area
inline constexpr std::uint32_t kNimAdd = 0;
inline constexpr std::uint32_t kNimModify = 1;
inline constexpr std::uint32_t kNimDelete = 2;
inline constexpr std::uint32_t kNifMessage = 0x1;
inline constexpr std::uint32_t kNifIcon = 0x2;
inline constexpr std::uint32_t kNifTip = 0x4;
inline constexpr std::uint32_t kNotifyIconRecordSize = 88;

// Icons
inline constexpr std::uint32_t kIconResourceVersion = 0x00030000u;
inline constexpr std::uint32_t kLrDefaultColor = 0x0000;

// Resources of the executable
inline constexpr std::uintptr_t kAppIconResource = 1;

}  // namespace vantorel
