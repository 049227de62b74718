// Writes the window icon as a PNG for the desktop's icon theme:
//   nimbra-icon-png OUTPUT.png
//
// The icon is drawn once, as the Windows icon file the window definition carries (a
// 48 x 48 image with 256 colours and a transparency mask); this turns that same picture
// into RGBA. The PNG's image data is stored uncompressed (deflate's stored blocks), so
// the tool needs no compression library for a 9 KB file.
#include "viewer/icon_art.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

void put32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void chunk(Bytes& png, const char* type, const Bytes& data)
{
    put32(png, static_cast<uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    put32(png, crc32(body.data(), body.size()));
}

// A zlib stream of stored blocks (each at most 65535 bytes).
Bytes zlib_stored(const Bytes& raw)
{
    Bytes out = {0x78, 0x01};
    size_t at = 0;
    do {
        size_t size = std::min<size_t>(raw.size() - at, 65535);
        bool last = at + size == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(size));
        out.push_back(static_cast<uint8_t>(size >> 8));
        out.push_back(static_cast<uint8_t>(~size));
        out.push_back(static_cast<uint8_t>(~size >> 8));
        out.insert(out.end(), raw.begin() + static_cast<long>(at), raw.begin() + static_cast<long>(at + size));
        at += size;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put32(out, b << 16 | a);
    return out;
}

// The icon's pixels as RGBA rows, top row first, each led by PNG's filter byte 0.
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
        rows.push_back(0);
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
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes header;
    put32(header, nimbra::kIconSize);
    put32(header, nimbra::kIconSize);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter choice, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", zlib_stored(icon_rows(ico)));
    chunk(png, "IEND", {});

    std::FILE* f = std::fopen(argv[1], "wb");
    bool ok = f && std::fwrite(png.data(), 1, png.size(), f) == png.size();
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
