// Turning the image's GBK texts into something a terminal can show.
//
// Both functions accept any bytes and never fail: an inspector must be able to print a
// damaged image, so bytes that are not GBK come out as \xNN escapes instead of errors.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// GBK bytes to UTF-8. A byte that does not start a valid GBK character (or a lead byte
// cut off at the end) is written as \xNN and conversion resumes at the next byte.
std::string gbk_to_utf8(std::string_view gbk);

// Makes control characters visible so that one text stays on one line: CR, LF and TAB
// as \r, \n, \t, every other C0 control and DEL as \xNN. Other bytes pass unchanged.
std::string show_controls(std::string_view text);

// Both of the above: how the inspector prints any stored text.
inline std::string printable_gbk(std::string_view gbk) { return show_controls(gbk_to_utf8(gbk)); }

}  // namespace qx
