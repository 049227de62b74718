#include "image/gbk_text.h"

#include "platform/gbk_codec.h"

#include <cstdio>

namespace qx {

std::string gbk_to_utf8(std::string_view gbk)
{
    using nimbra::gbk::Charset;
    using nimbra::gbk::OnInvalid;
    // Escaping cannot fail.
    return *nimbra::gbk::to_utf8(gbk, Charset::gbk, OnInvalid::escape);
}

std::string show_controls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace qx
