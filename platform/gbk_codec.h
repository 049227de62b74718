// GBK <-> UTF-8, the one place the system converts its texts (docs/architecture.md,
// "Texts"): every text inside is GBK bytes, and only what meets the file system, the
// terminal or the desktop becomes UTF-8.
//
// Each caller says what a bad byte means to it. A file name that does not decode must not
// be opened under some other name (refuse); a text shown in a window loses nothing by a
// replacement mark (replace); an inspector printing a damaged image must show every
// byte it was given (escape).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::gbk {

// The code page on the byte side.
enum class Charset {
    // The double-byte code page of the program's texts.
    gbk,
    // Its superset: every Unicode character has a sequence (those outside GBK take four
    // bytes), so any UTF-8 text survives a round trip.
    gb18030,
};
// Both read the single byte 0x80 as the euro sign, as GBK texts use it.

// What becomes of a byte where no valid sequence starts, or where one is cut off by the
// end of the input, or (encoding to GBK) of each byte of a character GBK cannot hold.
enum class OnInvalid {
    refuse,   // the conversion fails as a whole
    replace,  // U+FFFD for each such byte when decoding, '?' when encoding
    escape,   // the four characters \xNN (lower-case hex) for each such byte
};

// Return nullopt only under OnInvalid::refuse. Without a converter on the machine (no
// gconv modules) ASCII still passes and every other byte counts as invalid.
std::optional<std::string> to_utf8(std::string_view bytes, Charset charset, OnInvalid policy);
std::optional<std::string> from_utf8(std::string_view utf8, Charset charset, OnInvalid policy);

// Character boundaries. A double-byte character is a lead byte and a trail byte; a trail
// byte can be an ASCII letter or 0x5C ('\'), so bytewise code must step by characters.
constexpr bool is_lead_byte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }
constexpr bool is_trail_byte(unsigned char byte) { return byte >= 0x40 && byte <= 0xFE && byte != 0x7F; }

// Bytes of the character that starts at text[at]: 2 for a lead byte followed by a trail
// byte, otherwise 1 (a lone or cut-off lead byte is a character of its own).
inline size_t character_size(std::string_view text, size_t at)
{
    return at + 1 < text.size() && is_lead_byte(static_cast<unsigned char>(text[at])) &&
                   is_trail_byte(static_cast<unsigned char>(text[at + 1]))
               ? 2
               : 1;
}

}  // namespace nimbra::gbk
