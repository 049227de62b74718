#include "platform/wininet/cookies.h"

#include "platform/wininet/text.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>

namespace nimbra::wininet {

namespace {

// The directory of the address's path, which is where a cookie without a path
// attribute applies.
std::string default_path(std::string_view path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

bool path_matches(std::string_view request_path, std::string_view cookie_path)
{
    if (!request_path.starts_with(cookie_path))
        return false;
    return request_path.size() == cookie_path.size() || cookie_path.ends_with('/') ||
           request_path[cookie_path.size()] == '/';
}

bool host_matches(std::string_view host, std::string_view domain, bool host_only)
{
    if (host == domain)
        return true;
    return !host_only && host.size() > domain.size() && host.ends_with(domain) &&
           host[host.size() - domain.size() - 1] == '.';
}

bool is_ip_address(std::string_view host)
{
    if (!host.empty() && host.front() == '[')
        return true;
    return std::all_of(host.begin(), host.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Bytes that would break the Cookie header the value ends up in.
bool is_clean_cookie_text(std::string_view s)
{
    return std::none_of(s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0' || c == ';'; });
}

std::optional<long long> parse_integer(std::string_view s)
{
    long long value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<CookieUrl> parse_cookie_url(std::string_view url)
{
    CookieUrl out;
    if (istarts_with(url, "https://")) {
        out.https = true;
        url.remove_prefix(8);
    } else if (istarts_with(url, "http://")) {
        url.remove_prefix(7);
    } else {
        return std::nullopt;
    }
    size_t end = url.find_first_of("/?#");
    std::string_view authority = url.substr(0, end);
    std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
    size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        std::string_view port = authority.substr(colon + 1);
        if (!port.empty() && !is_digits(port))
            return std::nullopt;
        authority = authority.substr(0, colon);
    }
    if (!is_plain_host(authority))
        return std::nullopt;
    out.host = lower(authority);
    size_t query = rest.find_first_of("?#");
    std::string_view path = rest.substr(0, query);
    out.path = path.starts_with('/') ? std::string(path) : "/";
    return out;
}

bool CookieStore::set(const CookieUrl& url, std::string_view name, std::string_view data, time_t now)
{
    std::string_view value_part = data.substr(0, data.find(';'));
    std::string_view attributes =
        value_part.size() < data.size() ? data.substr(value_part.size() + 1) : std::string_view();
    if (name.empty()) {
        size_t eq = value_part.find('=');
        if (eq == std::string_view::npos)
            return false;
        name = value_part.substr(0, eq);
        value_part = value_part.substr(eq + 1);
    }
    name = trim(name);
    std::string_view value = trim(value_part);
    if (name.empty() || name.find('=') != std::string_view::npos || !is_clean_cookie_text(name) ||
        !is_clean_cookie_text(value))
        return false;
    if (name.size() + value.size() > kMaxCookieBytes)
        return false;

    Cookie cookie;
    cookie.https = url.https;
    cookie.domain = url.host;
    cookie.path = default_path(url.path);
    cookie.name = std::string(name);
    cookie.value = std::string(value);
    std::optional<time_t> max_age_expiry;

    while (!attributes.empty()) {
        size_t semi = attributes.find(';');
        std::string_view attribute = trim(attributes.substr(0, semi));
        attributes = semi == std::string_view::npos ? std::string_view() : attributes.substr(semi + 1);
        size_t eq = attribute.find('=');
        std::string_view key = trim(attribute.substr(0, eq));
        std::string_view argument = eq == std::string_view::npos ? std::string_view() : trim(attribute.substr(eq + 1));
        if (iequals(key, "path")) {
            if (argument.starts_with('/') && is_clean_cookie_text(argument))
                cookie.path = std::string(argument);
        } else if (iequals(key, "domain")) {
            std::string domain = lower(argument.starts_with('.') ? argument.substr(1) : argument);
            if (domain.empty())
                continue;
            bool fits = domain == url.host || (!is_ip_address(url.host) && domain.find('.') != std::string::npos &&
                                               host_matches(url.host, domain, false));
            if (!fits)
                return false;
            cookie.domain = domain;
            cookie.host_only = false;
        } else if (iequals(key, "expires")) {
            std::string text(argument);
            time_t when = curl_getdate(text.c_str(), nullptr);
            if (when != -1)
                cookie.expires = when;
        } else if (iequals(key, "max-age")) {
            if (auto seconds = parse_integer(argument))
                max_age_expiry = *seconds <= 0
                                     ? time_t(0)
                                     : now + static_cast<time_t>(std::min<long long>(*seconds, 400LL * 24 * 3600));
        } else if (iequals(key, "secure")) {
            cookie.secure = true;
        }
    }
    if (max_age_expiry)
        cookie.expires = max_age_expiry;

    std::lock_guard lock(mutex_);
    auto same = [&](const Cookie& c) {
        return c.https == cookie.https && c.domain == cookie.domain && c.host_only == cookie.host_only &&
               c.path == cookie.path && c.name == cookie.name;
    };
    auto existing = std::find_if(cookies_.begin(), cookies_.end(), same);
    if (cookie.expires && *cookie.expires <= now) {
        if (existing != cookies_.end())
            cookies_.erase(existing);
        return true;
    }
    if (existing != cookies_.end()) {
        // A replaced cookie keeps its place in the sending order.
        cookie.created = existing->created;
        *existing = std::move(cookie);
        return true;
    }
    drop_expired(now);
    make_room(cookie);
    cookie.created = next_created_++;
    cookies_.push_back(std::move(cookie));
    return true;
}

std::string CookieStore::header_for(const CookieUrl& url, time_t now)
{
    std::lock_guard lock(mutex_);
    drop_expired(now);
    std::vector<const Cookie*> fitting;
    for (const Cookie& c : cookies_) {
        if (c.https != url.https || (c.secure && !url.https))
            continue;
        if (host_matches(url.host, c.domain, c.host_only) && path_matches(url.path, c.path))
            fitting.push_back(&c);
    }
    // Longer paths first, then the older cookie, as browsers order them.
    std::stable_sort(fitting.begin(), fitting.end(), [](const Cookie* a, const Cookie* b) {
        return a->path.size() != b->path.size() ? a->path.size() > b->path.size() : a->created < b->created;
    });
    std::string header;
    for (const Cookie* c : fitting) {
        if (!header.empty())
            header += "; ";
        header += c->name + "=" + c->value;
    }
    return header;
}

size_t CookieStore::size()
{
    std::lock_guard lock(mutex_);
    return cookies_.size();
}

void CookieStore::clear()
{
    std::lock_guard lock(mutex_);
    cookies_.clear();
}

void CookieStore::drop_expired(time_t now)
{
    std::erase_if(cookies_, [now](const Cookie& c) { return c.expires && *c.expires <= now; });
}

// Keeps the store bounded: the oldest cookie of the same host goes first, then the
// oldest of all.
void CookieStore::make_room(const Cookie& incoming)
{
    auto oldest_where = [this](auto&& predicate) {
        auto oldest = cookies_.end();
        for (auto it = cookies_.begin(); it != cookies_.end(); ++it) {
            if (predicate(*it) && (oldest == cookies_.end() || it->created < oldest->created))
                oldest = it;
        }
        return oldest;
    };
    auto same_host = [&](const Cookie& c) { return c.https == incoming.https && c.domain == incoming.domain; };
    size_t on_host = std::count_if(cookies_.begin(), cookies_.end(), same_host);
    if (on_host >= kMaxCookiesPerHost)
        cookies_.erase(oldest_where(same_host));
    if (cookies_.size() >= kMaxCookies)
        cookies_.erase(oldest_where([](const Cookie&) { return true; }));
}

CookieStore& process_cookie_store()
{
    static auto* store = new CookieStore;  // never destroyed, like the handle table
    return *store;
}

}  // namespace nimbra::wininet
