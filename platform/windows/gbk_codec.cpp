// GBK <-> UTF-8 for the Windows build (platform/gbk_codec.h), on tables of our own.
//
// The system's converters are not used: its ANSI code page is GBK on few machines, and
// the program's texts are GBK on all of them. The tables (gbk_tables.inc) are written at
// build time by platform/tools/gbk_tables.cpp from the converter the Linux runtime uses,
// so both runtimes turn every byte into the same character; what counts as a bad byte,
// and what each policy makes of it, follows platform/gbk_codec.cpp.
#include "platform/gbk_codec.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace nimbra::gbk {

namespace {

struct FourByteRange {
    uint32_t linear;
    uint32_t code_point;
    uint32_t length;
};

#include "gbk_tables.inc"

constexpr unsigned kLeadFirst = 0x81, kTrailFirst = 0x40, kTrailCount = 0xFE - 0x40 + 1;
constexpr uint32_t kEuroSign = 0x20AC;
// The first four-byte sequence of the planes above the BMP, 90 30 81 30, by number.
constexpr uint32_t kSupplementaryLinear = ((0x90 - 0x81) * 10 * 126) * 10;

enum class Direction { decode, encode };

const uint16_t* pairs(Charset charset) { return charset == Charset::gbk ? kGbkPairs : kGb18030Pairs; }

// Code point -> double-byte character (lead << 8 | trail), 0 where the table has none;
// the first pair a code point has wins.
const std::vector<uint16_t>& reverse_pairs(Charset charset)
{
    static std::once_flag once[2];
    static std::vector<uint16_t> tables[2];
    int which = charset == Charset::gbk ? 0 : 1;
    std::call_once(once[which], [&] {
        std::vector<uint16_t>& table = tables[which];
        table.assign(0x10000, 0);
        const uint16_t* forward = pairs(charset);
        for (unsigned i = 0; i < sizeof kGbkPairs / sizeof kGbkPairs[0]; ++i) {
            uint16_t cp = forward[i];
            if (cp != 0 && table[cp] == 0)
                table[cp] = uint16_t(((kLeadFirst + i / kTrailCount) << 8) | (kTrailFirst + i % kTrailCount));
        }
    });
    return tables[which];
}

void append_utf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Writes what stands for one byte that did not convert; false when the policy refuses.
bool append_invalid(std::string& out, unsigned char byte, Direction direction, OnInvalid policy)
{
    switch (policy) {
    case OnInvalid::refuse: return false;
    case OnInvalid::replace: out += direction == Direction::decode ? "\xEF\xBF\xBD" : "?"; return true;
    case OnInvalid::escape: {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
        return true;
    }
    }
    return false;
}

// The code point of the GB18030 four-byte sequence at `s`, or 0.
uint32_t four_byte_code_point(const unsigned char* s)
{
    if (s[0] < 0x81 || s[0] > 0xFE || s[1] < 0x30 || s[1] > 0x39 || s[2] < 0x81 || s[2] > 0xFE || s[3] < 0x30 ||
        s[3] > 0x39)
        return 0;
    uint32_t linear = (((s[0] - 0x81u) * 10 + (s[1] - 0x30u)) * 126 + (s[2] - 0x81u)) * 10 + (s[3] - 0x30u);
    if (linear >= kSupplementaryLinear) {
        uint32_t cp = 0x10000 + (linear - kSupplementaryLinear);
        return cp <= 0x10FFFF ? cp : 0;
    }
    for (const FourByteRange& r : kGb18030Ranges) {
        if (linear >= r.linear && linear < r.linear + r.length)
            return r.code_point + (linear - r.linear);
    }
    return 0;
}

std::optional<std::string> decode(std::string_view input, Charset charset, OnInvalid policy)
{
    std::string out;
    out.reserve(input.size() + input.size() / 2);
    const auto* s = reinterpret_cast<const unsigned char*>(input.data());
    size_t n = input.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out += char(b);
            ++i;
            continue;
        }
        // GBK texts use the single byte 0x80 for the euro sign.
        if (b == 0x80) {
            append_utf8(out, kEuroSign);
            ++i;
            continue;
        }
        if (b != 0xFF && i + 1 < n && is_trail_byte(s[i + 1])) {
            uint16_t cp = pairs(charset)[(b - kLeadFirst) * kTrailCount + (s[i + 1] - kTrailFirst)];
            if (cp != 0) {
                append_utf8(out, cp);
                i += 2;
                continue;
            }
        }
        if (charset == Charset::gb18030 && i + 3 < n) {
            if (uint32_t cp = four_byte_code_point(s + i)) {
                append_utf8(out, cp);
                i += 4;
                continue;
            }
        }
        if (!append_invalid(out, b, Direction::decode, policy))
            return std::nullopt;
        ++i;
    }
    return out;
}

// The code point of the UTF-8 sequence at s[i] and its length; length 0 when invalid.
uint32_t next_code_point(const unsigned char* s, size_t n, size_t i, size_t& length)
{
    unsigned char b = s[i];
    uint32_t cp;
    size_t need;
    if (b < 0x80) {
        length = 1;
        return b;
    } else if (b >= 0xC2 && b <= 0xDF) {
        cp = b & 0x1F, need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        cp = b & 0x0F, need = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
        cp = b & 0x07, need = 3;
    } else {
        length = 0;
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
            length = 0;
            return 0;
        }
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        length = 0;
        return 0;
    }
    length = need + 1;
    return cp;
}

void append_four_bytes(std::string& out, uint32_t linear)
{
    char bytes[4];
    bytes[3] = char(0x30 + linear % 10), linear /= 10;
    bytes[2] = char(0x81 + linear % 126), linear /= 126;
    bytes[1] = char(0x30 + linear % 10), linear /= 10;
    bytes[0] = char(0x81 + linear);
    out.append(bytes, 4);
}

// GB18030's four-byte sequence for a character without a double-byte one; false for none.
bool append_gb18030_four_bytes(std::string& out, uint32_t cp)
{
    if (cp >= 0x10000) {
        append_four_bytes(out, kSupplementaryLinear + (cp - 0x10000));
        return true;
    }
    for (const FourByteRange& r : kGb18030Ranges) {
        if (cp >= r.code_point && cp < r.code_point + r.length) {
            append_four_bytes(out, r.linear + (cp - r.code_point));
            return true;
        }
    }
    return false;
}

std::optional<std::string> encode(std::string_view input, Charset charset, OnInvalid policy)
{
    std::string out;
    out.reserve(input.size());
    const auto* s = reinterpret_cast<const unsigned char*>(input.data());
    size_t n = input.size();
    const std::vector<uint16_t>& reverse = reverse_pairs(charset);
    for (size_t i = 0; i < n;) {
        size_t length = 0;
        uint32_t cp = next_code_point(s, n, i, length);
        if (length == 0) {
            if (!append_invalid(out, s[i], Direction::encode, policy))
                return std::nullopt;
            ++i;
            continue;
        }
        bool done = false;
        if (cp < 0x80) {
            out += char(cp);
            done = true;
        } else if (cp < 0x10000 && reverse[cp] != 0) {
            out += char(reverse[cp] >> 8);
            out += char(reverse[cp] & 0xFF);
            done = true;
        } else if (charset == Charset::gb18030) {
            done = append_gb18030_four_bytes(out, cp);
        }
        if (!done) {
            for (size_t k = 0; k < length; ++k) {
                if (!append_invalid(out, s[i + k], Direction::encode, policy))
                    return std::nullopt;
            }
        }
        i += length;
    }
    return out;
}

}  // namespace

std::optional<std::string> to_utf8(std::string_view bytes, Charset charset, OnInvalid policy)
{
    return decode(bytes, charset, policy);
}

std::optional<std::string> from_utf8(std::string_view utf8, Charset charset, OnInvalid policy)
{
    return encode(utf8, charset, policy);
}

}  // namespace nimbra::gbk
