// The window icon, drawn in code so the image carries a picture of our own.
#pragma once

#include "image/byte_io.h"

namespace nimbra {

// Layout of the icon file draw_window_icon() produces.
inline constexpr int kIconSize = 48;          // width and height in pixels
inline constexpr size_t kIconDirSize = 6;     // ICONDIR
inline constexpr size_t kIconEntrySize = 16;  // one ICONDIRENTRY
inline constexpr size_t kBitmapHeaderSize = 40;
inline constexpr size_t kPaletteSize = 256 * 4;
inline constexpr size_t kXorSize = kIconSize * kIconSize;  // 8 bits a pixel, rows already 4-aligned
inline constexpr size_t kAndRowSize = 8;                   // 48 bits padded to 4 bytes
inline constexpr size_t kAndSize = kAndRowSize * kIconSize;
inline constexpr size_t kIconImageSize = kBitmapHeaderSize + kPaletteSize + kXorSize + kAndSize;  // 3,752
inline constexpr size_t kIconFileSize = kIconDirSize + kIconEntrySize + kIconImageSize;           // 3,774

// A Windows icon file with one 48 x 48, 256-colour image: a sun with rays at the upper
// right behind a light cloud at the lower left, on a transparent background.
qx::Bytes draw_window_icon();

}  // namespace nimbra
