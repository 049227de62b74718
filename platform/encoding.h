// Strict conversions between the GBK bytes the program keeps and the UTF-8 used by the
// file system and the desktop.
//
// Unlike a display helper these refuse bad input: a path that is not valid GBK cannot be
// turned into the file name it was meant to be, so the caller must be told.
#pragma once

#include "platform/gbk_codec.h"

#include <optional>
#include <string>
#include <string_view>

namespace nimbra::encoding {

// Empty optional when the input holds a byte sequence that is not valid in the source
// encoding or has no counterpart in the target one.
inline std::optional<std::string> gbk_to_utf8(std::string_view gbk)
{
    return nimbra::gbk::to_utf8(gbk, nimbra::gbk::Charset::gbk, nimbra::gbk::OnInvalid::refuse);
}

inline std::optional<std::string> utf8_to_gbk(std::string_view utf8)
{
    return nimbra::gbk::from_utf8(utf8, nimbra::gbk::Charset::gbk, nimbra::gbk::OnInvalid::refuse);
}

}  // namespace nimbra::encoding
