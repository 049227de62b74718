#include "platform/png_file.h"

#include <algorithm>
#include <array>

namespace nimbra::platform {

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t crc32(const uint8_t* data, size_t size)
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
    uint32_t crc = ~0u;
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

}  // namespace

std::vector<uint8_t> rgba_png(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba)
{
    // Each row led by PNG's filter byte 0 (none).
    Bytes rows;
    rows.reserve(size_t(height) * (size_t(width) * 4 + 1));
    for (uint32_t y = 0; y < height; ++y) {
        rows.push_back(0);
        auto row = rgba.begin() + static_cast<long>(size_t(y) * width * 4);
        rows.insert(rows.end(), row, row + static_cast<long>(size_t(width) * 4));
    }
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes header;
    put32(header, width);
    put32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter choice, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", zlib_stored(rows));
    chunk(png, "IEND", {});
    return png;
}

}  // namespace nimbra::platform
