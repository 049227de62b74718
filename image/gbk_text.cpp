#include "image/gbk_text.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

namespace qx {

static void append_escape(std::string& out, unsigned char byte)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", byte);
    out += buf;
}

namespace {

// One conversion descriptor per call keeps the function reentrant; opening one is cheap
// next to the output the inspector writes.
class GbkDecoder {
public:
    GbkDecoder() : cd_(iconv_open("UTF-8", "GBK")) {}
    ~GbkDecoder()
    {
        if (usable())
            iconv_close(cd_);
    }
    GbkDecoder(const GbkDecoder&) = delete;
    GbkDecoder& operator=(const GbkDecoder&) = delete;

    bool usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much of [in, in + left) as is valid. On return `in` and `left` point at
    // the first byte that could not be converted (left == 0 when all went through).
    void convert(const char*& in, size_t& left, std::string& out)
    {
        char buffer[256];
        while (left > 0) {
            char* src = const_cast<char*>(in);  // iconv's signature predates const
            char* dst = buffer;
            size_t room = sizeof buffer;
            size_t rc = iconv(cd_, &src, &left, &dst, &room);
            out.append(buffer, dst);
            in = src;
            if (rc != static_cast<size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: the caller escapes one byte and calls again.
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            return;
        }
    }

private:
    iconv_t cd_;
};

}  // namespace

std::string gbk_to_utf8(std::string_view gbk)
{
    std::string out;
    out.reserve(gbk.size() + gbk.size() / 2);
    GbkDecoder decoder;
    const char* in = gbk.data();
    size_t left = gbk.size();
    while (left > 0) {
        unsigned char byte = static_cast<unsigned char>(*in);
        if (byte < 0x80) {
            // ASCII never needs the decoder, and without one (no gconv modules on the
            // machine) the text still prints with its non-ASCII bytes escaped.
            out += static_cast<char>(byte);
            ++in;
            --left;
            continue;
        }
        if (decoder.usable()) {
            size_t before = left;
            decoder.convert(in, left, out);
            if (left == 0)
                break;
            if (left < before)
                continue;  // stopped on a later byte; look at it afresh
        }
        append_escape(out, static_cast<unsigned char>(*in));
        ++in;
        --left;
    }
    return out;
}

std::string show_controls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte == 0x7f)
            append_escape(out, byte);
        else
            out += c;
    }
    return out;
}

}  // namespace qx
