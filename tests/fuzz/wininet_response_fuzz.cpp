// The WinINet stand-in's response handling: a loopback server answers the request with
// the fuzz bytes as they are and closes the connection, and the client goes through
// HttpSendRequestA, HttpQueryInfoA and InternetReadFile as the request engine does.
//
// The first byte chooses how the client asks (bit 0: follow redirects, which then get an
// empty 204 from the same server; bit 1: HEAD; bit 2: one-byte reads); the rest is the
// response. Checked: the raw head, when there is one, is measured and delivered as
// promised and ends in an empty line; the body is never longer than what was sent; once
// a read gives nothing, every later read gives nothing with the same result.
#include "platform/wininet/wininet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace nimbra::wininet;

namespace {

[[noreturn]] void fail(const char* what, uint32_t value)
{
    std::fprintf(stderr, "wininet: %s (%u)\n", what, value);
    std::abort();
}

class LoopbackServer {
public:
    LoopbackServer()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 16) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            fail("cannot listen on loopback", 0);
        port_ = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();
    }

    uint16_t port() const { return port_; }

    // The first connection from now on gets `response`, later ones an empty 204.
    void answer_with(std::string response)
    {
        std::lock_guard lock(mutex_);
        response_ = std::move(response);
        fresh_ = true;
    }

private:
    void serve()
    {
        for (;;) {
            int connection = accept(listener_, nullptr, nullptr);
            if (connection < 0)
                continue;
            timeval wait{.tv_sec = 2, .tv_usec = 0};
            setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            // The request head, so that closing leaves nothing unread (which would reset).
            std::string request;
            char chunk[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = recv(connection, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                request.append(chunk, size_t(n));
            }
            std::string response;
            {
                std::lock_guard lock(mutex_);
                response = fresh_ ? response_ : "HTTP/1.1 204 No Content\r\n\r\n";
                fresh_ = false;
            }
            for (size_t sent = 0; sent < response.size();) {
                ssize_t n = send(connection, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += size_t(n);
            }
            shutdown(connection, SHUT_WR);
            close(connection);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::string response_;
    bool fresh_ = false;
};

LoopbackServer* server = nullptr;

void check_raw_head(uint32_t request)
{
    uint32_t needed = 0;
    if (HttpQueryInfoA(request, kQueryRawHeadersCrlf, nullptr, &needed, nullptr) ||
        nimbra_wininet_last_error() != kErrorInsufficientBuffer || needed < 3)
        fail("raw head not measured after a successful send", nimbra_wininet_last_error());
    std::vector<char> head(needed);
    uint32_t length = needed;
    if (!HttpQueryInfoA(request, kQueryRawHeadersCrlf, head.data(), &length, nullptr) || length != needed - 1 ||
        head[length] != 0)
        fail("raw head not delivered as measured", length);
    if (std::string_view(head.data(), length).ends_with("\r\n\r\n") == false)
        fail("raw head does not end in an empty line", length);
    uint32_t status = 0;
    length = sizeof status;
    if (!HttpQueryInfoA(request, kQueryStatusCode | kQueryFlagNumber, &status, &length, nullptr))
        fail("no status code after a successful send", nimbra_wininet_last_error());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The server closes after answering: only a redirect to some other host can wait.
    setenv("NIMBRA_WININET_TIMEOUT_MS", "500", 1);
    server = new LoopbackServer;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t options = data[0];
    std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    server->answer_with(response);

    uint32_t session = InternetOpenA("fuzz", kOpenTypeDirect, nullptr, nullptr, 0);
    uint32_t connection = InternetConnectA(session, "127.0.0.1", server->port(), nullptr, nullptr, kServiceHttp, 0, 0);
    uint32_t flags = kFlagReload | ((options & 1) ? 0 : kFlagNoAutoRedirect);
    uint32_t request =
        HttpOpenRequestA(connection, (options & 2) ? "HEAD" : "GET", "/fuzz", nullptr, nullptr, nullptr, flags, 0);
    if (!request)
        fail("no request handle", nimbra_wininet_last_error());

    bool sent = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    if (sent)
        check_raw_head(request);

    char buffer[4096];
    uint32_t chunk = (options & 4) ? 1 : sizeof buffer;
    size_t body = 0;
    uint32_t result = 0;
    uint32_t count = 0;
    for (;;) {
        result = InternetReadFile(request, buffer, chunk, &count);
        if (count == 0)
            break;
        if (!result)
            fail("a failed read delivered bytes", count);
        body += count;
    }
    if (!sent && result)
        fail("a request whose send failed read successfully", 0);
    if (body > response.size())
        fail("more body than the server sent", uint32_t(body));
    uint32_t again = InternetReadFile(request, buffer, chunk, &count);
    if (again != result || count != 0)
        fail("a read after the end or a failure changed its answer", again);

    InternetCloseHandle(session);
    return 0;
}
