// GBK texts at the runtime's edges.
//
// Inside the system every text is GBK bytes; only file names and what the window
// toolkit shows are UTF-8. The conversions never fail:
//  - decoding accepts all of GB18030 (a superset of GBK; its four-byte sequences
//    decode too) and the single byte 0x80 as the euro sign, as GBK texts use it; any
//    other byte that does not start a valid sequence becomes U+FFFD, one per byte;
//  - encoding writes GB18030, so every valid UTF-8 character survives a round trip
//    (characters outside GBK take four bytes); a byte that is not valid UTF-8
//    becomes '?'.
#pragma once

#include "platform/gbk_codec.h"

#include <string>
#include <string_view>

namespace corert {

std::string gbk_to_utf8(std::string_view gbk);
std::string utf8_to_gbk(std::string_view utf8);

// True when `lead` starts a double-byte character and `trail` can complete it.
inline bool is_gbk_lead(unsigned char lead) { return nimbra::gbk::is_lead_byte(lead); }
inline bool is_gbk_trail(unsigned char trail) { return nimbra::gbk::is_trail_byte(trail); }

// Lower-cases the ASCII letters of single-byte characters. The bytes of a double-byte
// character are copied as they are, even when the trail byte is an ASCII letter.
// The result has the same length, so byte positions stay valid.
std::string gbk_to_lower(std::string_view gbk);

// A Windows-style path in GBK, such as "<dir>\显示页.htm", as a POSIX path in UTF-8.
// Backslashes become '/' only after decoding: a GBK trail byte can be 0x5C. On Windows
// the path stays a Windows path, in UTF-8.
std::string windows_path_to_posix(std::string_view gbk_path);

}  // namespace corert
