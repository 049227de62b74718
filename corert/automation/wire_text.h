// How texts and bytes travel on the automation socket.
//
// Texts are UTF-8 in double quotes; a backslash escapes '"', '\' and the control
// characters (\n, \r, \t, other bytes below 0x20 as \xHH). Raw bytes, such as the
// content a browser control read, travel as base64 in `data` lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corert::wire {

std::string quote(std::string_view utf8);
// The text of a quoted value; nullopt when `quoted` is not one.
std::optional<std::string> unquote(std::string_view quoted);

std::string base64_encode(std::string_view bytes);
// nullopt on a character outside the alphabet or a broken length.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace corert::wire
