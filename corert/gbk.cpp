#include "corert/gbk.h"

#include <cerrno>
#include <iconv.h>

namespace corert {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEuroUtf8 = "\xE2\x82\xAC";         // U+20AC

// One conversion with a private descriptor: descriptors keep shift state, so they are
// not shared between threads. `on_invalid` is called with the unconvertible byte and
// returns what to write in its place; that one byte is then skipped.
template <typename OnInvalid>
std::string convert(const char* to, const char* from, std::string_view input, OnInvalid on_invalid) {
    std::string output;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Without the converter no character can be trusted: keep ASCII, mark the rest.
        for (unsigned char c : input)
            output += c < 0x80 ? std::string(1, char(c)) : on_invalid(c);
        return output;
    }
    output.reserve(input.size() * 3 / 2 + 4);
    char* in = const_cast<char*>(input.data());
    size_t in_left = input.size();
    char buffer[1024];
    while (in_left > 0) {
        char* out = buffer;
        size_t out_left = sizeof buffer;
        size_t done = iconv(cd, &in, &in_left, &out, &out_left);
        output.append(buffer, out - buffer);
        if (done != size_t(-1) || errno == E2BIG)
            continue;
        // EILSEQ (invalid sequence) or EINVAL (a sequence cut off at the end).
        output += on_invalid(static_cast<unsigned char>(*in));
        ++in;
        --in_left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return output;
}

}  // namespace

std::string gbk_to_utf8(std::string_view gbk) {
    return convert("UTF-8", "GB18030", gbk, [](unsigned char c) {
        return std::string(c == 0x80 ? kEuroUtf8 : kReplacementUtf8);
    });
}

std::string utf8_to_gbk(std::string_view utf8) {
    return convert("GB18030", "UTF-8", utf8, [](unsigned char) { return std::string("?"); });
}

std::string gbk_to_lower(std::string_view gbk) {
    std::string lowered(gbk);
    for (size_t i = 0; i < lowered.size(); ++i) {
        auto c = static_cast<unsigned char>(lowered[i]);
        if (is_gbk_lead(c) && i + 1 < lowered.size() && is_gbk_trail(static_cast<unsigned char>(lowered[i + 1])))
            ++i;
        else if (c >= 'A' && c <= 'Z')
            lowered[i] = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

std::string windows_path_to_posix(std::string_view gbk_path) {
    std::string path = gbk_to_utf8(gbk_path);
    // In UTF-8 no byte of a multi-byte character is below 0x80, so every 0x5C left is
    // a real separator.
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

}  // namespace corert
