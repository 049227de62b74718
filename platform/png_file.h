// PNG pictures without a compression library: the image data in deflate's stored blocks.
// For pictures the program makes itself (the icon for the desktop's theme, a window's
// screenshot), where a few hundred kilobytes more do not matter.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbra::platform {

// A PNG of 8-bit RGBA pixels, `rgba` holding `height` rows of `width` pixels, top row first.
std::vector<uint8_t> rgba_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba);

}  // namespace nimbra::platform
