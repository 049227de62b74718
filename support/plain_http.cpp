#include "support/plain_http.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace nimbra::support {
namespace {

using std::chrono::milliseconds;

// The response head is small; one larger than this is no answer of a web server.
constexpr size_t kLargestHead = 256u << 10;

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// ---- the address ----

struct Address {
    std::string scheme;     // lower case
    std::string authority;  // host[:port] as written, for the Host line
    std::string host;       // without the brackets of an IPv6 literal
    std::string port = "80";
    std::string target;  // path and query, from "/"
};

// Null when the address cannot be an http address at all.
std::optional<Address> parse_address(std::string_view text)
{
    Address a;
    size_t colon_slashes = text.find("://");
    if (colon_slashes == std::string_view::npos) {
        a.scheme = "http";
    } else {
        for (char c : text.substr(0, colon_slashes))
            a.scheme += char(std::tolower(static_cast<unsigned char>(c)));
        text.remove_prefix(colon_slashes + 3);
    }
    size_t end = text.find_first_of("/?#");
    a.authority = std::string(text.substr(0, end));
    std::string_view rest = end == std::string_view::npos ? std::string_view() : text.substr(end);
    rest = rest.substr(0, rest.find('#'));
    a.target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);

    std::string_view authority = a.authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        a.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return std::nullopt;
        port = after.empty() ? after : after.substr(1);
    } else {
        size_t colon = authority.rfind(':');
        a.host = std::string(authority.substr(0, colon));
        port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    }
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        a.port = std::string(port);
    }
    if (a.host.empty())
        return std::nullopt;
    return a;
}

// Where a Location header points, taken against the address that answered.
std::string resolve(const Address& base, std::string_view location)
{
    location = location.substr(0, location.find('#'));
    if (location.find("://") != std::string_view::npos)
        return std::string(location);
    std::string origin = base.scheme + "://";
    if (location.substr(0, 2) == "//")
        return base.scheme + ":" + std::string(location);
    if (!location.empty() && location.front() == '/')
        return origin + base.authority + std::string(location);
    std::string_view path = std::string_view(base.target).substr(0, base.target.find('?'));
    return origin + base.authority + std::string(path.substr(0, path.rfind('/') + 1)) + std::string(location);
}

// ---- the connection ----

class Connection {
public:
    explicit Connection(milliseconds silence) : silence_(silence) {}
    ~Connection()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open(const Address& address, milliseconds connect_timeout)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0)
            return false;
        for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next)
            try_connect(a, connect_timeout);
        freeaddrinfo(found);
        return fd_ >= 0;
    }

    bool send_all(std::string_view bytes)
    {
        while (!bytes.empty()) {
            if (!wait_for(POLLOUT))
                return false;
            ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (sent <= 0)
                return false;
            bytes.remove_prefix(size_t(sent));
        }
        return true;
    }

    // Appends what arrives to `into`; false at the end of the stream, on silence or on an error.
    bool receive(std::string& into)
    {
        char chunk[64 * 1024];
        for (;;) {
            if (!wait_for(POLLIN))
                return false;
            ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0)
                return false;
            into.append(chunk, size_t(got));
            return true;
        }
    }

private:
    void try_connect(const addrinfo* a, milliseconds timeout)
    {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            return;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            close(fd);
            return;
        }
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&p, 1, int(timeout.count())) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            close(fd);
            return;
        }
        fd_ = fd;
    }

    bool wait_for(short events)
    {
        pollfd p{fd_, events, 0};
        int ready;
        do {
            ready = poll(&p, 1, int(silence_.count()));
        } while (ready < 0 && errno == EINTR);
        return ready == 1;
    }

    int fd_ = -1;
    milliseconds silence_;
};

// ---- the response ----

struct Head {
    int status = 0;
    std::optional<size_t> content_length;
    bool chunked = false;
    std::string location;
};

// Reads one head from `buffer` (more is received as needed); what follows it stays in
// `buffer`. False when no complete, sensible head arrives.
bool read_head(Connection& connection, std::string& buffer, Head& head)
{
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kLargestHead || !connection.receive(buffer))
            return false;
    }
    std::string_view text(buffer.data(), end + 2);
    size_t line_end = text.find("\r\n");
    std::string_view status_line = text.substr(0, line_end);
    if (status_line.substr(0, 5) != "HTTP/" || status_line.find(' ') == std::string_view::npos)
        return false;
    std::string_view code = status_line.substr(status_line.find(' ') + 1, 3);
    if (code.size() != 3 || code.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    head = Head{};
    head.status = std::atoi(std::string(code).c_str());
    for (size_t at = line_end + 2; at < text.size();) {
        size_t next = text.find("\r\n", at);
        std::string_view line = text.substr(at, next - at);
        at = next + 2;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, colon), value = trimmed(line.substr(colon + 1));
        if (equal_ignoring_case(name, "Content-Length")) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos || value.size() > 18)
                return false;
            head.content_length = size_t(std::strtoull(std::string(value).c_str(), nullptr, 10));
        } else if (equal_ignoring_case(name, "Transfer-Encoding")) {
            head.chunked = value.size() >= 7 && equal_ignoring_case(value.substr(value.size() - 7), "chunked");
        } else if (equal_ignoring_case(name, "Location")) {
            head.location = std::string(value);
        }
    }
    buffer.erase(0, end + 4);
    return true;
}

// Makes sure `buffer` holds at least `count` bytes.
bool fill(Connection& connection, std::string& buffer, size_t count)
{
    while (buffer.size() < count) {
        if (!connection.receive(buffer))
            return false;
    }
    return true;
}

bool read_chunked(Connection& connection, std::string& buffer, std::string& body, size_t limit)
{
    size_t at = 0;
    for (;;) {
        size_t line_end;
        while ((line_end = buffer.find("\r\n", at)) == std::string::npos) {
            if (buffer.size() - at > 1024 || !connection.receive(buffer))
                return false;
        }
        std::string size_text(buffer, at, line_end - at);
        char* after = nullptr;
        errno = 0;
        unsigned long long size = std::strtoull(size_text.c_str(), &after, 16);
        if (after == size_text.c_str() || errno != 0 || size > limit)
            return false;
        at = line_end + 2;
        if (size == 0)
            return true;  // trailers, if any, are not needed
        if (body.size() + size > limit || !fill(connection, buffer, at + size + 2))
            return false;
        body.append(buffer, at, size);
        at += size + 2;
        if (at > (1u << 20)) {
            buffer.erase(0, at);
            at = 0;
        }
    }
}

bool read_body(Connection& connection, std::string& buffer, const Head& head, std::string& body, size_t limit)
{
    if (head.status == 204 || head.status == 304)
        return true;
    if (head.chunked)
        return read_chunked(connection, buffer, body, limit);
    if (head.content_length) {
        if (*head.content_length > limit || !fill(connection, buffer, *head.content_length))
            return false;
        body.assign(buffer, 0, *head.content_length);
        return true;
    }
    // Neither: the body ends where the connection does.
    while (connection.receive(buffer)) {
        if (buffer.size() > limit)
            return false;
    }
    body = std::move(buffer);
    return true;
}

// Blanks, control bytes and bytes beyond ASCII are libcurl's to judge (it refuses or
// encodes them); none may reach a request line written here.
bool is_plain_ascii(std::string_view address)
{
    for (char c : address) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f)
            return false;
    }
    return true;
}

bool is_redirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool environment_names_http_proxy()
{
    for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

PlainHttpOutcome plain_http_get(std::string& address, std::string& body, const PlainHttpLimits& limits)
{
    for (int redirects = 0;; ++redirects) {
        std::optional<Address> a = parse_address(address);
        if (a && a->scheme == "https")
            return PlainHttpOutcome::needs_libcurl;
        if (!a || a->scheme != "http")
            return PlainHttpOutcome::failed;
        if (a->authority.find('@') != std::string::npos || !is_plain_ascii(address) || environment_names_http_proxy())
            return PlainHttpOutcome::needs_libcurl;

        Connection connection(limits.silence);
        if (!connection.open(*a, limits.connect))
            return PlainHttpOutcome::failed;
        std::string request =
            "GET " + a->target + " HTTP/1.1\r\nHost: " + a->authority + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
        if (!connection.send_all(request))
            return PlainHttpOutcome::failed;

        std::string buffer;
        Head head;
        do {
            if (!read_head(connection, buffer, head))
                return PlainHttpOutcome::failed;
        } while (head.status >= 100 && head.status < 200);  // interim answers

        if (is_redirect(head.status) && !head.location.empty()) {
            if (redirects == limits.redirects)
                return PlainHttpOutcome::failed;
            address = resolve(*a, head.location);
            continue;
        }
        if (head.status >= 400)
            return PlainHttpOutcome::failed;
        body.clear();
        return read_body(connection, buffer, head, body, limits.body) ? PlainHttpOutcome::fetched
                                                                      : PlainHttpOutcome::failed;
    }
}

}  // namespace nimbra::support
