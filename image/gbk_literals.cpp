// gbk_literals IN OUT: writes the C++ source IN (UTF-8) to OUT with every non-ASCII
// character of its narrow string and character literals spelt as the octal escapes of
// its GBK bytes. Comments and everything else are copied as they are.
//
// The routines' texts are GBK in the image. GCC turns UTF-8 literals into GBK itself
// (-fexec-charset=GBK); a compiler that cannot (clang) compiles this tool's output
// instead. Escapes rather than raw GBK bytes: a GBK trail byte may be 0x5C, which the
// compiler would read as the start of an escape. Three-digit octal escapes end where
// they must; a hex escape would run on into a following digit or letter.
//
// A non-ASCII character GBK does not hold, or one in a raw or prefixed (u8, L, u, U)
// literal, is an error naming the file and line: its bytes would not be what GCC writes.
#include "platform/gbk_codec.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

// Every message is one line in the tool's name; only the usage text is not.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::fputs("gbk_literals: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool is_identifier_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

struct Source {
    const std::string& text;
    std::string name;
    size_t at = 0;
    int line = 1;

    std::runtime_error error(const std::string& what) const
    {
        return std::runtime_error(name + ":" + std::to_string(line) + ": " + what);
    }
};

std::string octal_escapes(std::string_view gbk)
{
    std::string out;
    for (unsigned char byte : gbk) {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\%03o", byte);
        out += escape;
    }
    return out;
}

// Copies the literal that starts at the quote `src.at`, through its closing quote.
void copy_literal(Source& src, std::string& out, bool transcode)
{
    const std::string& t = src.text;
    char quote = t[src.at];
    out += t[src.at++];
    while (src.at < t.size() && t[src.at] != quote) {
        if (t[src.at] == '\n')
            throw src.error("a literal runs past the end of its line");
        if (t[src.at] == '\\' && src.at + 1 < t.size()) {
            out.append(t, src.at, 2);
            src.at += 2;
            continue;
        }
        if (static_cast<unsigned char>(t[src.at]) < 0x80) {
            out += t[src.at++];
            continue;
        }
        size_t end = src.at;
        while (end < t.size() && static_cast<unsigned char>(t[end]) >= 0x80)
            ++end;
        if (!transcode)
            throw src.error("non-ASCII text in a prefixed literal");
        auto gbk = nimbra::gbk::from_utf8(std::string_view(t).substr(src.at, end - src.at), nimbra::gbk::Charset::gbk,
                                          nimbra::gbk::OnInvalid::refuse);
        if (!gbk)
            throw src.error("a character GBK does not hold");
        out += octal_escapes(*gbk);
        src.at = end;
    }
    if (src.at >= t.size())
        throw src.error("a literal is not closed");
    out += t[src.at++];
}

std::string transcode(const std::string& text, const std::string& name)
{
    Source src{text, name};
    std::string out = "#line 1 \"" + name + "\"\n";
    while (src.at < text.size()) {
        char c = text[src.at];
        if (c == '\n')
            ++src.line;
        if (text.compare(src.at, 2, "//") == 0) {
            size_t end = text.find('\n', src.at);
            end = end == std::string::npos ? text.size() : end;
            out.append(text, src.at, end - src.at);
            src.at = end;
        } else if (text.compare(src.at, 2, "/*") == 0) {
            size_t end = text.find("*/", src.at + 2);
            if (end == std::string::npos)
                throw src.error("a comment is not closed");
            for (size_t i = src.at; i < end; ++i)
                src.line += text[i] == '\n';
            out.append(text, src.at, end + 2 - src.at);
            src.at = end + 2;
        } else if (c == '"' || c == '\'') {
            // A quote right after a number is a digit separator (1'000), not a literal.
            bool after_identifier = src.at > 0 && is_identifier_char(text[src.at - 1]);
            if (c == '\'' && after_identifier) {
                out += text[src.at++];
                continue;
            }
            if (c == '"' && after_identifier && text[src.at - 1] == 'R')
                throw src.error("raw string literals are not transcoded");
            copy_literal(src, out, !after_identifier);
        } else {
            out += text[src.at++];
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: gbk_literals IN OUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        say("%s: cannot be read", argv[1]);
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), {});
    try {
        std::string out = transcode(text, argv[1]);
        std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
        if (!(file << out) || !file.flush()) {
            say("%s: cannot be written", argv[2]);
            return 1;
        }
    } catch (const std::exception& e) {
        say("%s", e.what());
        return 1;
    }
    return 0;
}
