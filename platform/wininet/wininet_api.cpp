// The eight WinINet functions over the handle table and the request engine.
//
// Handles form a tree: a session (InternetOpenA) holds connections (InternetConnectA),
// which hold requests (HttpOpenRequestA). Closing one closes everything below it. Handle
// numbers count up and are not given out again until the counter wraps, so a stale
// number fails with ERROR_INVALID_HANDLE rather than reaching someone else's handle.
#include "platform/wininet/wininet.h"

#include "platform/wininet/cookies.h"
#include "platform/wininet/request.h"
#include "platform/wininet/text.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nimbra::wininet {

namespace {

thread_local uint32_t t_last_error = 0;

uint32_t failed(uint32_t error)
{
    t_last_error = error;
    return 0;
}

uint32_t succeeded(uint32_t result = 1)
{
    t_last_error = 0;
    return result;
}

enum class Kind { Session, Connection, Request };

struct ConnectionSettings {
    SessionSettings session;
    std::string host;
    uint32_t port = 0;
    std::string user;
    std::string password;
    uint32_t flags = 0;
};

struct Entry {
    Kind kind = Kind::Session;
    uint32_t parent = 0;
    std::vector<uint32_t> children;
    std::shared_ptr<const SessionSettings> session;
    std::shared_ptr<const ConnectionSettings> connection;
    std::shared_ptr<Request> request;
};

class HandleTable {
public:
    // 0 when the parent has gone in the meantime.
    uint32_t add(Entry entry)
    {
        std::lock_guard lock(mutex_);
        if (entry.parent) {
            auto parent = entries_.find(entry.parent);
            if (parent == entries_.end())
                return 0;
            parent->second.children.push_back(0);
        }
        do {
            ++next_;
        } while (next_ == 0 || entries_.count(next_));
        uint32_t handle = next_;
        if (entry.parent)
            entries_[entry.parent].children.back() = handle;
        entries_[handle] = std::move(entry);
        return handle;
    }

    // The entry's shared parts, or the error for a wrong or stale handle.
    std::optional<Entry> find(uint32_t handle, Kind kind, uint32_t& error)
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(handle);
        if (it == entries_.end()) {
            error = kErrorInvalidHandle;
            return std::nullopt;
        }
        if (it->second.kind != kind) {
            error = kErrorIncorrectHandleType;
            return std::nullopt;
        }
        Entry copy;
        copy.kind = it->second.kind;
        copy.session = it->second.session;
        copy.connection = it->second.connection;
        copy.request = it->second.request;
        return copy;
    }

    bool close(uint32_t handle)
    {
        std::vector<std::shared_ptr<Request>> closed;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(handle);
            if (it == entries_.end())
                return false;
            if (it->second.parent) {
                auto parent = entries_.find(it->second.parent);
                if (parent != entries_.end())
                    std::erase(parent->second.children, handle);
            }
            remove_tree(handle, closed);
        }
        // A request still being read on another thread stops there; the last owner frees
        // it, outside the table's lock.
        for (auto& request : closed)
            request->cancel();
        return true;
    }

private:
    void remove_tree(uint32_t handle, std::vector<std::shared_ptr<Request>>& closed)
    {
        auto it = entries_.find(handle);
        if (it == entries_.end())
            return;
        Entry entry = std::move(it->second);
        entries_.erase(it);
        for (uint32_t child : entry.children)
            remove_tree(child, closed);
        if (entry.request)
            closed.push_back(std::move(entry.request));
    }

    std::mutex mutex_;
    std::unordered_map<uint32_t, Entry> entries_;
    uint32_t next_ = 0;
};

// Never destroyed: a thread still inside a call when the process exits must not find
// the table gone.
HandleTable& handles()
{
    static auto* table = new HandleTable;
    return *table;
}

std::string text_or_empty(const char* s) { return s ? std::string(s) : std::string(); }

// WinINet's proxy list: entries separated by blanks or ";", each "scheme=server" or a
// bare server for every scheme; a server may carry "http://" in front.
bool parse_proxy_list(std::string_view list, SessionSettings& settings)
{
    bool any = false;
    while (!list.empty()) {
        size_t end = list.find_first_of("; \t");
        std::string_view item = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        if (item.empty())
            continue;
        std::string_view scheme;
        size_t eq = item.find('=');
        if (eq != std::string_view::npos) {
            scheme = item.substr(0, eq);
            item = item.substr(eq + 1);
        }
        if (istarts_with(item, "http://"))
            item.remove_prefix(7);
        while (item.ends_with('/'))
            item.remove_suffix(1);
        size_t colon = item.ends_with(']') ? std::string_view::npos : item.rfind(':');
        std::string_view host = item.substr(0, colon);
        if (!is_plain_host(host) || (colon != std::string_view::npos && !is_digits(item.substr(colon + 1))))
            continue;
        // WinINet's proxy port, when the list names none, is 80 (libcurl's would be 1080).
        std::string server = colon == std::string_view::npos ? std::string(item) + ":80" : std::string(item);
        if (scheme.empty() || iequals(scheme, "http"))
            settings.http_proxy = server;
        if (scheme.empty() || iequals(scheme, "https"))
            settings.https_proxy = server;
        any = any || scheme.empty() || iequals(scheme, "http") || iequals(scheme, "https");
    }
    return any;
}

std::vector<std::string> parse_bypass_list(std::string_view list)
{
    std::vector<std::string> out;
    while (!list.empty()) {
        size_t end = list.find_first_of("; \t,");
        std::string_view item = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        if (!item.empty())
            out.push_back(lower(item));
    }
    return out;
}

// The timeouts of a new session. NIMBRA_WININET_TIMEOUT_MS sets all three at once, so
// tests of servers that go quiet need not wait the half minute.
Timeouts session_timeouts()
{
    Timeouts timeouts;
    if (const char* text = std::getenv("NIMBRA_WININET_TIMEOUT_MS")) {
        char* end = nullptr;
        long ms = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && ms > 0)
            timeouts.connect = timeouts.receive = timeouts.headers = std::chrono::milliseconds(ms);
    }
    return timeouts;
}

// The object name as it goes on the request line: a leading "/" is made sure of, and
// bytes a request line cannot carry (controls, blanks, anything above ASCII) are
// percent-escaped; everything else stays as the caller wrote it.
std::string request_object(const char* object)
{
    std::string out = "/";
    if (!object || !*object)
        return out;
    if (*object == '/')
        out.clear();
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char* p = object; *p; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += *p;
        }
    }
    return out;
}

void ensure_curl_initialised()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

uint32_t InternetOpenA(const char* agent, uint32_t access_type, const char* proxy, const char* bypass, uint32_t flags)
{
    if (flags & kFlagAsync)
        return failed(kErrorInvalidParameter);  // no callbacks here: every call completes before it returns
    auto settings = std::make_shared<SessionSettings>();
    settings->agent = text_or_empty(agent);
    if (settings->agent.find_first_of("\r\n") != std::string::npos)
        return failed(kErrorInvalidParameter);
    switch (access_type) {
    case kOpenTypeDirect:
    case kOpenTypePreconfig:
    case kOpenTypePreconfigNoAutoproxy: break;
    case kOpenTypeProxy:
        if (!proxy || !parse_proxy_list(proxy, *settings))
            return failed(kErrorInvalidParameter);
        settings->bypass = parse_bypass_list(bypass ? bypass : "");
        break;
    default: return failed(kErrorInvalidParameter);
    }
    settings->timeouts = session_timeouts();
    ensure_curl_initialised();
    Entry entry;
    entry.kind = Kind::Session;
    entry.session = std::move(settings);
    uint32_t handle = handles().add(std::move(entry));
    return handle ? succeeded(handle) : failed(kErrorInternal);
}

// The host may carry ":port" (an address's authority handed over whole); the suffix is
// dropped, as the port travels in its own argument. Port 0 stands for the scheme's
// default, decided when the request knows whether it is secure.
uint32_t InternetConnectA(uint32_t internet, const char* host, uint32_t port, const char* user, const char* password,
                          uint32_t service, uint32_t flags, uint32_t)
{
    uint32_t error = 0;
    auto session = handles().find(internet, Kind::Session, error);
    if (!session)
        return failed(error);
    if (service != kServiceHttp || !host || port > 65535)
        return failed(kErrorInvalidParameter);
    std::string_view name(host);
    if (name.empty())
        return failed(kErrorInvalidParameter);
    size_t colon = name.front() == '[' ? name.find("]:") + 1 : name.rfind(':');
    if (colon != 0 && colon != std::string_view::npos && (name.front() == '[' || name.find(':') == colon)) {
        std::string_view suffix = name.substr(colon + 1);
        if (!suffix.empty() && !is_digits(suffix))
            return failed(kErrorInvalidParameter);
        name = name.substr(0, colon);
    }
    std::string plain(name);
    if (plain.find(':') != std::string::npos && plain.front() != '[')
        plain = "[" + plain + "]";  // a bare IPv6 address
    if (!is_plain_host(plain))
        return failed(kErrorInvalidParameter);
    auto settings = std::make_shared<ConnectionSettings>();
    settings->session = *session->session;
    settings->host = lower(plain.front() == '[' ? plain.substr(1, plain.size() - 2) : plain);
    settings->port = port;
    settings->user = text_or_empty(user);
    settings->password = text_or_empty(password);
    settings->flags = flags;
    Entry entry;
    entry.kind = Kind::Connection;
    entry.parent = internet;
    entry.connection = std::move(settings);
    uint32_t handle = handles().add(std::move(entry));
    return handle ? succeeded(handle) : failed(kErrorInvalidHandle);
}

uint32_t HttpOpenRequestA(uint32_t connect, const char* verb, const char* object, const char* version,
                          const char* referrer, const char** accept_types, uint32_t flags, uint32_t)
{
    uint32_t error = 0;
    auto connection = handles().find(connect, Kind::Connection, error);
    if (!connection)
        return failed(error);
    const ConnectionSettings& c = *connection->connection;
    RequestSettings settings;
    settings.session = c.session;
    settings.host = c.host;
    settings.port = c.port;
    settings.user = c.user;
    settings.password = c.password;
    settings.flags = flags | c.flags;
    settings.verb = verb && *verb ? verb : "GET";
    for (char ch : settings.verb) {
        if (ch <= ' ' || ch >= 0x7F || std::strchr("()<>@,;:\\\"/[]?={}", ch))
            return failed(kErrorInvalidParameter);
    }
    settings.object = request_object(object);
    settings.http10 = version && std::strcmp(version, "HTTP/1.0") == 0;
    settings.referrer = text_or_empty(referrer);
    for (const char** type = accept_types; type && *type; ++type) {
        if (!settings.accept.empty())
            settings.accept += ", ";
        settings.accept += *type;
    }
    if (settings.referrer.find_first_of("\r\n") != std::string::npos ||
        settings.accept.find_first_of("\r\n") != std::string::npos)
        return failed(kErrorInvalidParameter);
    Entry entry;
    entry.kind = Kind::Request;
    entry.parent = connect;
    try {
        entry.request = std::make_shared<Request>(std::move(settings));
    } catch (const std::bad_alloc&) {
        return failed(kErrorNotEnoughMemory);
    }
    uint32_t handle = handles().add(std::move(entry));
    return handle ? succeeded(handle) : failed(kErrorInvalidHandle);
}

// Returns once the final response's headers are in, after any redirects. A response
// with an error status is still a successful send.
uint32_t HttpSendRequestA(uint32_t request, const char* headers, uint32_t headers_length, const void* optional,
                          uint32_t optional_length)
{
    uint32_t error = 0;
    auto entry = handles().find(request, Kind::Request, error);
    if (!entry)
        return failed(error);
    std::string_view header_text;
    if (headers)
        header_text = headers_length == 0xFFFFFFFF ? std::string_view(headers)
                                                   : std::string_view(headers, strnlen(headers, headers_length));
    if (optional_length && !optional)
        return failed(kErrorInvalidParameter);
    std::string_view body =
        optional_length ? std::string_view(static_cast<const char*>(optional), optional_length) : std::string_view();
    try {
        error = entry->request->send(header_text, body);
    } catch (const std::bad_alloc&) {
        error = kErrorNotEnoughMemory;
    }
    return error ? failed(error) : succeeded();
}

// Waits only until some body bytes are there. The end of the body is a success with a
// count of 0; a broken transfer is a failure, also with a count of 0, after the bytes
// that did arrive have been delivered.
uint32_t InternetReadFile(uint32_t request, void* buffer, uint32_t to_read, uint32_t* read)
{
    if (!read)
        return failed(kErrorInvalidParameter);
    *read = 0;
    uint32_t error = 0;
    auto entry = handles().find(request, Kind::Request, error);
    if (!entry)
        return failed(error);
    if (!buffer && to_read)
        return failed(kErrorInvalidParameter);
    uint32_t count = 0;
    try {
        error = entry->request->read(buffer, to_read, count);
    } catch (const std::bad_alloc&) {
        error = kErrorNotEnoughMemory;
    }
    *read = count;
    return error ? failed(error) : succeeded();
}

// Levels: 22, the raw headers with CR LF, and 19, the status code (as text, or as a
// number with HTTP_QUERY_FLAG_NUMBER). `length` is in bytes; on success it counts the
// text without its NUL, and when the buffer is too small the call fails with
// ERROR_INSUFFICIENT_BUFFER and `length` names the bytes needed, NUL included.
uint32_t HttpQueryInfoA(uint32_t request, uint32_t level, void* buffer, uint32_t* length, uint32_t* index)
{
    uint32_t error = 0;
    auto entry = handles().find(request, Kind::Request, error);
    if (!entry)
        return failed(error);
    if (!length)
        return failed(kErrorInvalidParameter);
    if (index && *index != 0)
        return failed(kErrorHeaderNotFound);
    uint32_t info = level & 0xFFFF;
    bool as_number = level & kQueryFlagNumber;
    std::string text;
    if (info == kQueryRawHeadersCrlf && !as_number) {
        error = entry->request->raw_headers(text);
    } else if (info == kQueryStatusCode) {
        uint32_t status = 0;
        error = entry->request->status_code(status);
        if (!error && as_number) {
            if (*length < sizeof status || !buffer) {
                *length = sizeof status;
                return failed(kErrorInsufficientBuffer);
            }
            std::memcpy(buffer, &status, sizeof status);
            *length = sizeof status;
            if (index)
                *index = 1;
            return succeeded();
        }
        text = std::to_string(status);
    } else {
        return failed(kErrorHeaderNotFound);
    }
    if (error)
        return failed(error);
    if (text.size() + 1 > 0xFFFFFFFFu)
        return failed(kErrorInternal);
    uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (!buffer || *length < needed) {
        *length = needed;
        return failed(kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, text.c_str(), needed);
    *length = needed - 1;
    if (index)
        *index = 1;
    return succeeded();
}

uint32_t InternetCloseHandle(uint32_t handle)
{
    return handles().close(handle) ? succeeded() : failed(kErrorInvalidHandle);
}

// `data` is "value; attributes" (path, domain, expires, max-age, secure); with a null
// or empty name it is "name=value; attributes". The address's scheme decides which
// requests the cookie goes out with: https cookies only over TLS.
uint32_t InternetSetCookieA(const char* url, const char* name, const char* data)
{
    if (!url || !data)
        return failed(kErrorInvalidParameter);
    auto address = parse_cookie_url(url);
    if (!address) {
        bool known_scheme = istarts_with(url, "http://") || istarts_with(url, "https://");
        return failed(known_scheme ? kErrorInvalidUrl : kErrorUnrecognizedScheme);
    }
    if (!process_cookie_store().set(*address, name ? name : "", data, std::time(nullptr)))
        return failed(kErrorInvalidParameter);
    return succeeded();
}

}  // namespace nimbra::wininet

extern "C" __attribute__((visibility("default"))) uint32_t nimbra_wininet_last_error()
{
    return nimbra::wininet::t_last_error;
}
