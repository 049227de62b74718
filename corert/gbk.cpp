#include "corert/gbk.h"

namespace corert {

using nimbra::gbk::Charset;
using nimbra::gbk::OnInvalid;

// Under OnInvalid::replace the conversions cannot fail.
std::string gbk_to_utf8(std::string_view gbk)
{
    return *nimbra::gbk::to_utf8(gbk, Charset::gb18030, OnInvalid::replace);
}

std::string utf8_to_gbk(std::string_view utf8)
{
    return *nimbra::gbk::from_utf8(utf8, Charset::gb18030, OnInvalid::replace);
}

std::string gbk_to_lower(std::string_view gbk)
{
    std::string lowered(gbk);
    for (size_t i = 0; i < lowered.size(); i += nimbra::gbk::character_size(lowered, i)) {
        char& c = lowered[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

std::string windows_path_to_posix(std::string_view gbk_path)
{
    std::string path = gbk_to_utf8(gbk_path);
#ifndef _WIN32
    // In UTF-8 no byte of a multi-byte character is below 0x80, so every 0x5C left is
    // a real separator. (Windows takes the path as it is, in UTF-16.)
    for (char& c : path)
        if (c == '\\')
            c = '/';
#endif
    return path;
}

}  // namespace corert
