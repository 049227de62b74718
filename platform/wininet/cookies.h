// The process-wide cookie store behind InternetSetCookieA.
//
// Cookies are kept per scheme: one recorded through an "https://" address goes out only
// over TLS, one recorded through "http://" only over plain HTTP. Within a scheme they
// follow the usual host, domain and path rules. Nothing here stores what a server sends
// by itself; the caller records cookies explicitly.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::wininet {

// The parts of an address that cookies care about. The port is dropped: cookies are
// not bound to one.
struct CookieUrl {
    bool https = false;
    std::string host;  // lower case
    std::string path;  // begins with "/", without query or fragment
};

// "http://host[:port][/path]" or the same with "https://"; nullopt for anything else.
std::optional<CookieUrl> parse_cookie_url(std::string_view url);

inline constexpr size_t kMaxCookieBytes = 4096;  // name + value
inline constexpr size_t kMaxCookiesPerHost = 50;
inline constexpr size_t kMaxCookies = 1000;

class CookieStore {
public:
    // Records `name` with `data` ("value; attribute; ..."). With an empty name, data
    // carries "name=value; ...". An expiry in the past removes the cookie. False when
    // the cookie is malformed or names a domain the address does not belong to.
    bool set(const CookieUrl& url, std::string_view name, std::string_view data, time_t now);

    // The Cookie header value for a request to `url` ("a=1; b=2"), empty when none fit.
    std::string header_for(const CookieUrl& url, time_t now);

    size_t size();
    void clear();

private:
    struct Cookie {
        bool https = false;
        std::string domain;  // the host, or the domain attribute without its dot
        bool host_only = true;
        std::string path;
        std::string name;
        std::string value;
        bool secure = false;
        std::optional<time_t> expires;
        uint64_t created = 0;
    };

    void drop_expired(time_t now);
    void make_room(const Cookie& incoming);

    std::mutex mutex_;
    std::vector<Cookie> cookies_;
    uint64_t next_created_ = 0;
};

// The one store of this process.
CookieStore& process_cookie_store();

}  // namespace nimbra::wininet
