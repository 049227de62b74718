// Texts as the Windows system takes them: UTF-16. The runtime keeps paths in UTF-8 and
// the program keeps its texts in GBK; these are the only doors between them and the
// system's …W calls, so no text ever passes through the ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace nimbra::platform {

std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);

// GBK through our own converter (platform/gbk_codec.h); a bad byte becomes U+FFFD.
std::wstring gbk_to_wide(std::string_view gbk);
// A character GBK cannot hold becomes '?'.
std::string wide_to_gbk(std::wstring_view wide);

// The system's message for an error number, in UTF-8, without its line end.
std::string system_error_text(unsigned long error);

}  // namespace nimbra::platform
