#include "corert/automation/wire_text.h"

#include <cstdio>

namespace corert::wire {

std::string quote(std::string_view utf8)
{
    std::string out = "\"";
    for (char c : utf8) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7f) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> unquote(std::string_view quoted)
{
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        return std::nullopt;
    std::string out;
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '"')
            return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i + 1 >= quoted.size())
            return std::nullopt;
        switch (quoted[i]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (i + 3 >= quoted.size())
                return std::nullopt;
            int high = hex_digit(quoted[i + 1]), low = hex_digit(quoted[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<uint8_t>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        uint32_t group = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            int value = 0;
            if (c == '=' && last && k >= 2) {
                ++padding;
            } else if (padding > 0 || (value = base64_value(c)) < 0) {
                return std::nullopt;
            }
            group = group << 6 | static_cast<uint32_t>(value);
        }
        out += static_cast<char>(group >> 16);
        if (padding < 2)
            out += static_cast<char>((group >> 8) & 0xff);
        if (padding < 1)
            out += static_cast<char>(group & 0xff);
    }
    return out;
}

}  // namespace corert::wire
