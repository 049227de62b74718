// The service's one voice on standard error: every message is one line, "nimbra-weatherd: "
// then the message, written with one call so that lines from threads do not interleave.
// Text that came from outside (a request's path, a provider's words, a file name) goes
// through Printable first, so that no client or provider can start a line of its own.
#pragma once

#include <string>
#include <string_view>

namespace weatherd {

// `text` with control bytes (below 0x20, and 0x7F) and backslashes written as \xHH; UTF-8
// and other bytes from 0x80 up stay as they are.
std::string Printable(std::string_view text);

// What every line of the service begins with.
inline constexpr const char kLinePrefix[] = "nimbra-weatherd: ";

// Writes "nimbra-weatherd: MESSAGE\n". Line breaks inside `message` are escaped too, so a
// caller that forgot Printable still writes one line.
void LogLine(std::string_view message);

}  // namespace weatherd
