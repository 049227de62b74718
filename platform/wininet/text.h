// Small byte-text helpers shared by the stand-in's pieces. Header names, schemes and
// host names compare without regard to ASCII case; other bytes pass untouched.
#pragma once

#include <string>
#include <string_view>

namespace nimbra::wininet {

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = ascii_lower(c);
    return out;
}

inline bool iequals(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

inline bool istarts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

inline std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

inline bool is_digits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// A host name or address as it may stand in a URL: letters, digits, "-", "." and "_",
// or an IPv6 literal in brackets. Anything else could change what the URL means.
inline bool is_plain_host(std::string_view host)
{
    if (host.empty())
        return false;
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        for (char c : host.substr(1, host.size() - 2)) {
            bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.')
                return false;
        }
        return true;
    }
    for (char c : host) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
                  c == '_';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace nimbra::wininet
