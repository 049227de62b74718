// Writes the window icon as a PNG for the desktop's icon theme:
//   nimbra-icon-png OUTPUT.png
//
// The icon is drawn once, as the Windows icon file the window definition carries (a
// 48 x 48 image with 256 colours and a transparency mask); this turns that same picture
// into RGBA, written as a PNG without compression (platform/png_file.h).
#include "platform/png_file.h"
#include "viewer/icon_art.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The icon's pixels as RGBA rows, top row first.
Bytes icon_rows(const qx::Bytes& ico)
{
    using namespace nimbra;
    const size_t bitmap = kIconDirSize + kIconEntrySize;
    const size_t palette = bitmap + kBitmapHeaderSize;
    const size_t pixels = palette + kPaletteSize;
    const size_t mask = pixels + kXorSize;
    Bytes rows;
    for (int y = 0; y < kIconSize; ++y) {
        int stored = kIconSize - 1 - y;  // bitmaps are stored bottom row first
        for (int x = 0; x < kIconSize; ++x) {
            uint8_t index = ico[pixels + static_cast<size_t>(stored * kIconSize + x)];
            const uint8_t* bgr = &ico[palette + index * 4u];
            uint8_t bits = ico[mask + static_cast<size_t>(stored) * kAndRowSize + static_cast<size_t>(x / 8)];
            bool transparent = bits & (0x80 >> (x % 8));
            rows.insert(rows.end(), {bgr[2], bgr[1], bgr[0], static_cast<uint8_t>(transparent ? 0 : 255)});
        }
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    qx::Bytes ico = nimbra::draw_window_icon();
    if (ico.size() != nimbra::kIconFileSize) {
        std::fprintf(stderr, "nimbra-icon-png: the icon has %zu bytes, not %zu\n", ico.size(), nimbra::kIconFileSize);
        return 1;
    }
    Bytes png = nimbra::platform::rgba_png(nimbra::kIconSize, nimbra::kIconSize, icon_rows(ico));

    std::FILE* f = std::fopen(argv[1], "wb");
    bool ok = f && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
