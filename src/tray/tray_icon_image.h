// The tray icon picture: the bytes of tray_icon.ico, embedded at build time.
#pragma once

#include <cstddef>

namespace vantorel {

extern const unsigned char kTrayIconImage[];
extern const std::size_t kTrayIconImage_size;

inline constexpr std::size_t kTrayIconImageBytes = 16958;

}  // namespace vantorel
