#include "platform/encoding.h"

#include <cerrno>
#include <iconv.h>

namespace nimbra::encoding {

namespace {

std::optional<std::string> convert(const char* to, const char* from, std::string_view input)
{
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;

    // GBK to UTF-8 grows at most 3/2, UTF-8 to GBK never grows; 2n + 4 covers both.
    std::string output(input.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(input.data());
    size_t in_left = input.size();
    char* out = output.data();
    size_t out_left = output.size();
    size_t result = iconv(converter, &in, &in_left, &out, &out_left);
    // A truncated multibyte sequence at the end only shows up when the state is flushed.
    if (result != static_cast<size_t>(-1))
        result = iconv(converter, nullptr, nullptr, &out, &out_left);
    iconv_close(converter);

    if (result == static_cast<size_t>(-1) || in_left != 0)
        return std::nullopt;
    output.resize(output.size() - out_left);
    return output;
}

}  // namespace

std::optional<std::string> gbk_to_utf8(std::string_view gbk)
{
    return convert("UTF-8", "GBK", gbk);
}

std::optional<std::string> utf8_to_gbk(std::string_view utf8)
{
    return convert("GBK", "UTF-8", utf8);
}

}  // namespace nimbra::encoding
