// The WinINet stand-in as the request engine uses it: the built wininet.so, called through
// its export table against real local servers.
#include "servers.h"
#include "standin.h"
#include "tests/support/test_certificate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace wininet_test;
using namespace std::chrono_literals;
using nimbra::testing::make_certificate;

namespace {

constexpr const char* kAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";

Standin& w() { return Standin::get(); }

// Opens root, connection and request handles as the request engine does.
void open(Exchange& x, const char* host, uint32_t port, const char* verb, const char* object, uint32_t flags = kReload,
          const char* proxy = nullptr)
{
    x.session = proxy ? w().call("InternetOpenA", kAgent, 3u, proxy, "", 0u)
                      : w().call("InternetOpenA", kAgent, 1u, "", "", 0u);
    ASSERT_NE(x.session, 0u);
    x.connection = w().call("InternetConnectA", x.session, host, port, "", "", 3u, 0u, 0u);
    ASSERT_NE(x.connection, 0u);
    x.request = w().call("HttpOpenRequestA", x.connection, verb, object, "HTTP/1.1", "", nullptr, flags, 0u);
    ASSERT_NE(x.request, 0u);
}

bool send(const Exchange& x, const std::string& headers, const std::string& body = "")
{
    return w().call("HttpSendRequestA", x.request, headers.c_str(), static_cast<uint32_t>(headers.size()),
                    body.empty() ? nullptr : body.data(), static_cast<uint32_t>(body.size())) != 0;
}

// A raw server that records each request and answers with a fixed response.
struct CapturingServer {
    std::mutex mutex;
    std::vector<std::string> requests;
    std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    RawServer server{[this](int fd) {
        std::string request = read_request(fd);
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
        }
        write_all(fd, response);
    }};

    std::string last()
    {
        std::lock_guard lock(mutex);
        return requests.empty() ? std::string() : requests.back();
    }
};

std::string head_of(const std::string& request) { return request.substr(0, request.find("\r\n\r\n") + 2); }

int count_lines(const std::string& head, const std::string& prefix)
{
    int n = 0;
    for (size_t at = head.find("\r\n" + prefix); at != std::string::npos; at = head.find("\r\n" + prefix, at + 1))
        ++n;
    return n;
}

std::string body_of_size(size_t size)
{
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>((i * 7) % 251);  // zero bytes included
    return body;
}

struct ScopedEnv {
    std::string name;
    ScopedEnv(const char* n, const std::string& value) : name(n) { setenv(n, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name.c_str()); }
};

}  // namespace

TEST(WininetExports, EightFunctionsWithTheirArgumentCounts)
{
    const std::map<std::string, uint32_t> expected = {
        {"InternetOpenA", 5},    {"InternetConnectA", 8}, {"HttpOpenRequestA", 8},    {"HttpSendRequestA", 5},
        {"InternetReadFile", 4}, {"HttpQueryInfoA", 5},   {"InternetCloseHandle", 1}, {"InternetSetCookieA", 3},
    };
    ASSERT_EQ(w().functions().size(), expected.size());
    for (const auto& [name, count] : expected) {
        auto it = w().functions().find(name);
        ASSERT_NE(it, w().functions().end()) << name;
        EXPECT_EQ(it->second.argument_count, count) << name;
    }
}

TEST(WininetRequest, NullVerbAndGetAreTheSameRequest)
{
    CapturingServer capture;
    for (const char* verb : {static_cast<const char*>(nullptr), "GET"}) {
        Exchange x;
        open(x, "127.0.0.1", capture.server.port(), verb, "/weather/101280601.shtml?x=1");
        ASSERT_TRUE(send(x, ""));
        Received r = read_all(x.request);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.body, "ok");
        EXPECT_TRUE(capture.last().starts_with("GET /weather/101280601.shtml?x=1 HTTP/1.1\r\n")) << capture.last();
    }
}

// What goes out is the caller's lines as given, plus Host and User-Agent; libcurl's own
// additions (Accept, Expect, a form Content-Type) stay out.
TEST(WininetRequest, CallerHeadersArriveExactly)
{
    CapturingServer capture;
    struct Case {
        std::string headers;
        int accept_lines;
        std::string accept_line;
    } cases[] = {
        {"Referer: 127.0.0.1/x\r\nAccept-Language: zh-cn\r\nX-Empty:\r\n", 0, ""},
        {"Accept: text/html, */*\r\nAccept-Encoding: identity\r\n", 1, "Accept: text/html, */*"},
    };
    for (const Case& c : cases) {
        Exchange x;
        open(x, "127.0.0.1", capture.server.port(), nullptr, "/");
        ASSERT_TRUE(send(x, c.headers));
        read_all(x.request);
        std::string head = head_of(capture.last());
        EXPECT_EQ(count_lines(head, "Host: 127.0.0.1:" + std::to_string(capture.server.port()) + "\r\n"), 1) << head;
        EXPECT_EQ(count_lines(head, std::string("User-Agent: ") + kAgent + "\r\n"), 1) << head;
        EXPECT_EQ(count_lines(head, "Accept:"), c.accept_lines) << head;
        if (c.accept_lines) {
            EXPECT_NE(head.find("\r\n" + c.accept_line + "\r\n"), std::string::npos) << head;
        }
        EXPECT_EQ(head.find("Expect:"), std::string::npos) << head;
        EXPECT_EQ(head.find("Cookie:"), std::string::npos) << head;
        // Every caller line is there, unchanged.
        for (size_t start = 0, end; (end = c.headers.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string line = c.headers.substr(start, end - start);
            EXPECT_NE(head.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << head;
        }
    }
}

// The body's real length goes out once, even when the caller's lines carry another.
TEST(WininetRequest, PostSendsBodyWithItsOwnLength)
{
    CapturingServer capture;
    Exchange x;
    open(x, "127.0.0.1", capture.server.port(), "POST", "/form");
    std::string body(1500, 'a');  // long enough that libcurl would ask for 100-continue
    ASSERT_TRUE(send(x, "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 99\r\n", body));
    EXPECT_EQ(read_all(x.request).body, "ok");
    std::string request = capture.last();
    std::string head = head_of(request);
    EXPECT_TRUE(head.starts_with("POST /form HTTP/1.1\r\n")) << head;
    EXPECT_EQ(count_lines(head, "Content-Length: 1500\r\n"), 1) << head;
    EXPECT_EQ(count_lines(head, "Content-Length:"), 1) << head;
    EXPECT_EQ(count_lines(head, "Content-Type: application/x-www-form-urlencoded\r\n"), 1) << head;
    EXPECT_EQ(head.find("Expect:"), std::string::npos) << head;
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), body);
}

TEST(WininetRequest, MalformedHeaderLineIsRefused)
{
    CapturingServer capture;
    Exchange x;
    open(x, "127.0.0.1", capture.server.port(), nullptr, "/");
    EXPECT_FALSE(send(x, "X-Good: 1\r\nno colon here\r\n"));
    EXPECT_EQ(w().last_error(), 12153u);
    EXPECT_EQ(capture.server.connections(), 0);
}

class WininetBodies : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.routes().Get(R"(/size/(\d+))", [](const httplib::Request& q, httplib::Response& a) {
            a.set_content(body_of_size(std::stoul(q.matches[1])), "application/octet-stream");
        });
        server.routes().Get("/chunked", [](const httplib::Request&, httplib::Response& a) {
            a.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 5000)
                    sink.done();
                else
                    sink.write(body_of_size(5000).data() + offset, 1000);
                return true;
            });
        });
        server.start();
    }

    Received get(const std::string& object, uint32_t step = 512)
    {
        Exchange x;
        open(x, "127.0.0.1", server.port(), nullptr, object.c_str());
        EXPECT_TRUE(send(x, ""));
        return read_all(x.request, step);
    }

    HttpServer server;
};

TEST_F(WininetBodies, ReadsInStepsEndWithACountOfZero)
{
    for (size_t size : {0, 1, 511, 512, 513, 1025, 40000}) {
        Received r = get("/size/" + std::to_string(size));
        EXPECT_TRUE(r.ok) << size;
        EXPECT_EQ(r.body, body_of_size(size)) << size;
        EXPECT_GE(r.reads_with_data, static_cast<int>((size + 511) / 512)) << size;
    }
}

TEST_F(WininetBodies, ChunkedBodyIsDecoded)
{
    Received r = get("/chunked");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.body, body_of_size(5000));
}

TEST_F(WininetBodies, FiveMegabytesWithZeroBytesArriveIntact)
{
    Received r = get("/size/" + std::to_string(5 * 1024 * 1024));
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.body == body_of_size(5 * 1024 * 1024));
}

// A body cut short: the bytes that came are delivered, then a failed read of 0 bytes.
TEST(WininetFailures, ConnectionLostMidBody)
{
    std::string part = body_of_size(3000);
    for (bool reset : {false, true}) {
        RawServer server([&](int fd) {
            read_request(fd);
            write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + part);
            std::this_thread::sleep_for(100ms);
            if (reset)
                reset_on_close(fd);
        });
        Exchange x;
        open(x, "127.0.0.1", server.port(), nullptr, "/");
        ASSERT_TRUE(send(x, ""));
        Received r = read_all(x.request);
        EXPECT_EQ(r.body, part) << reset;
        EXPECT_FALSE(r.ok) << reset;
        EXPECT_TRUE(r.error == 12030u || r.error == 12031u) << r.error;
    }
}

TEST(WininetFailures, InvalidChunkedEncodingFailsTheRead)
{
    RawServer server([](int fd) {
        read_request(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\nbroken\r\n");
        hold(fd);
    });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    Received r = read_all(x.request);
    EXPECT_EQ(r.body, "hello");
    EXPECT_FALSE(r.ok);
}

TEST(WininetFailures, UnreachablePortFailsSendAndReadsGiveZero)
{
    int port = 0;
    {
        RawServer closed([](int) {});
        port = closed.port();
    }
    Exchange x;
    open(x, "127.0.0.1", port, nullptr, "/");
    EXPECT_FALSE(send(x, ""));
    EXPECT_EQ(w().last_error(), 12029u);
    Received r = read_all(x.request);
    EXPECT_TRUE(r.body.empty());
    EXPECT_FALSE(r.ok);
    char headers[64];
    uint32_t length = sizeof headers;
    EXPECT_FALSE(w().call("HttpQueryInfoA", x.request, 22u, headers, &length, nullptr));
}

TEST(WininetHeaders, RawHeadersTooSmallThenRightSized)
{
    CapturingServer capture;
    capture.response =
        "HTTP/1.1 200 OK\r\nSet-Cookie: sid=abc; path=/\r\nContent-Length: 2\r\nX-Long: " + std::string(1500, 'v') +
        "\r\n\r\nok";
    Exchange x;
    open(x, "127.0.0.1", capture.server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    std::string expected =
        "HTTP/1.1 200 OK\r\nSet-Cookie: sid=abc; path=/\r\nContent-Length: 2\r\nX-Long: " + std::string(1500, 'v') +
        "\r\n\r\n";

    std::string buffer(1024, ' ');
    uint32_t length = 1024;
    EXPECT_FALSE(w().call("HttpQueryInfoA", x.request, 22u, buffer.data(), &length, nullptr));
    EXPECT_EQ(w().last_error(), 122u);
    EXPECT_EQ(length, expected.size() + 1);
    EXPECT_EQ(buffer, std::string(1024, ' '));  // untouched

    buffer.assign(length, 'x');
    EXPECT_TRUE(w().call("HttpQueryInfoA", x.request, 22u, buffer.data(), &length, nullptr));
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(buffer, expected + '\0');

    uint32_t status = 0;
    length = sizeof status;
    EXPECT_TRUE(w().call("HttpQueryInfoA", x.request, 19u | 0x20000000u, &status, &length, nullptr));
    EXPECT_EQ(status, 200u);
    EXPECT_FALSE(w().call("HttpQueryInfoA", x.request, 1u, buffer.data(), &length, nullptr));
    EXPECT_EQ(w().last_error(), 12150u);
    EXPECT_EQ(read_all(x.request).body, "ok");
}

TEST(WininetHandles, StaleAndWrongHandlesFailCleanly)
{
    CapturingServer capture;
    uint32_t session = w().call("InternetOpenA", kAgent, 1u, "", "", 0u);
    uint32_t connection = w().call("InternetConnectA", session, "127.0.0.1",
                                   static_cast<uint32_t>(capture.server.port()), "", "", 3u, 0u, 0u);
    uint32_t request = w().call("HttpOpenRequestA", connection, nullptr, "/", "HTTP/1.1", "", nullptr, kReload, 0u);
    ASSERT_TRUE(session && connection && request);
    EXPECT_EQ(std::set<uint32_t>({session, connection, request}).size(), 3u);

    // A handle of the wrong kind.
    EXPECT_EQ(w().call("InternetConnectA", request, "127.0.0.1", 80u, "", "", 3u, 0u, 0u), 0u);
    EXPECT_EQ(w().last_error(), 12018u);
    // Reading before sending.
    char buffer[8];
    uint32_t count = 3;
    EXPECT_FALSE(w().call("InternetReadFile", request, buffer, 8u, &count));
    EXPECT_EQ(count, 0u);

    // Closing the root closes everything below it.
    EXPECT_TRUE(w().call("InternetCloseHandle", session));
    for (uint32_t h : {request, connection, session, 0u}) {
        EXPECT_FALSE(w().call("InternetCloseHandle", h)) << h;
        EXPECT_EQ(w().last_error(), 6u);
    }
    EXPECT_FALSE(w().call("HttpSendRequestA", request, "", 0u, nullptr, 0u));
    EXPECT_EQ(w().last_error(), 6u);
    count = 3;
    EXPECT_FALSE(w().call("InternetReadFile", request, buffer, 8u, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(w().last_error(), 6u);
    EXPECT_EQ(w().call("HttpOpenRequestA", connection, nullptr, "/", "HTTP/1.1", "", nullptr, kReload, 0u), 0u);
    // New handles never take the old numbers back.
    uint32_t again = w().call("InternetOpenA", kAgent, 1u, "", "", 0u);
    EXPECT_NE(again, session);
    EXPECT_NE(again, connection);
    EXPECT_NE(again, request);
    w().call("InternetCloseHandle", again);
}

TEST(WininetHandles, BadArgumentsAreRefused)
{
    uint32_t session = w().call("InternetOpenA", kAgent, 1u, "", "", 0u);
    ASSERT_NE(session, 0u);
    struct {
        const char* host;
        uint32_t port;
        uint32_t service;
    } bad[] = {{"", 80, 3},          {"a b", 80, 3},     {"evil/x?", 80, 3},
               {"host:port", 80, 3}, {"host", 70000, 3}, {"host", 21, 1}};
    for (const auto& b : bad) {
        EXPECT_EQ(w().call("InternetConnectA", session, b.host, b.port, "", "", b.service, 0u, 0u), 0u) << b.host;
        EXPECT_EQ(w().last_error(), 87u) << b.host;
    }
    EXPECT_EQ(w().call("InternetOpenA", kAgent, 3u, "", "", 0u), 0u);  // proxy access without a proxy
    EXPECT_EQ(w().call("InternetOpenA", kAgent, 9u, "", "", 0u), 0u);
    uint32_t connection = w().call("InternetConnectA", session, "127.0.0.1", 80u, "", "", 3u, 0u, 0u);
    EXPECT_EQ(w().call("HttpOpenRequestA", connection, "GET /x", "/", "HTTP/1.1", "", nullptr, 0u, 0u), 0u);
    w().call("InternetCloseHandle", session);
}

// The engine hands over the address's authority, which may keep its ":port".
TEST(WininetRequest, HostWithPortSuffixIsAccepted)
{
    CapturingServer capture;
    std::string host = "127.0.0.1:" + std::to_string(capture.server.port());
    Exchange x;
    open(x, host.c_str(), capture.server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "ok");
    EXPECT_NE(capture.last().find("\r\nHost: " + host + "\r\n"), std::string::npos);
}

// Direct access is direct, whatever proxy the environment names.
TEST(WininetProxy, DirectAccessIgnoresTheEnvironment)
{
    CapturingServer capture;
    ScopedEnv http_proxy("http_proxy", "http://127.0.0.1:1");
    ScopedEnv all_proxy("ALL_PROXY", "http://127.0.0.1:1");
    Exchange x;
    open(x, "127.0.0.1", capture.server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "ok");
}

TEST(WininetCookies, RecordedCookiesGoBackToTheirHostOnly)
{
    CapturingServer capture;
    std::string port = std::to_string(capture.server.port());
    auto cookie_line = [&](const char* host) {
        Exchange x;
        open(x, host, capture.server.port(), nullptr, "/day/page.htm");
        EXPECT_TRUE(send(x, ""));
        read_all(x.request);
        std::string head = head_of(capture.last());
        size_t at = head.find("\r\nCookie: ");
        return at == std::string::npos ? std::string() : head.substr(at + 10, head.find("\r\n", at + 2) - at - 10);
    };

    ASSERT_TRUE(w().call("InternetSetCookieA", ("http://127.0.0.1:" + port).c_str(), "sid", "abc=1; path=/; HttpOnly"));
    ASSERT_TRUE(w().call("InternetSetCookieA", "http://127.0.0.1", "lang", "zh"));
    ASSERT_TRUE(w().call("InternetSetCookieA", "http://127.0.0.1", "other", "x; path=/weather"));
    ASSERT_TRUE(w().call("InternetSetCookieA", "https://127.0.0.1", "tls", "only"));
    EXPECT_EQ(cookie_line("127.0.0.1"), "sid=abc=1; lang=zh");
    EXPECT_EQ(cookie_line("localhost"), "");

    // An expiry in the past takes a cookie out again.
    ASSERT_TRUE(
        w().call("InternetSetCookieA", "http://127.0.0.1", "lang", "gone; expires=Thu, 01 Jan 1970 00:00:00 GMT"));
    ASSERT_TRUE(w().call("InternetSetCookieA", "http://127.0.0.1", "sid", "x; max-age=0"));
    EXPECT_EQ(cookie_line("127.0.0.1"), "");

    EXPECT_FALSE(w().call("InternetSetCookieA", "ftp://127.0.0.1", "a", "b"));
    EXPECT_EQ(w().last_error(), 12006u);
    EXPECT_FALSE(w().call("InternetSetCookieA", "http://127.0.0.1", "a", "b\r\nX-Injected: 1"));
    EXPECT_EQ(w().last_error(), 87u);
}

TEST(WininetProxy, RequestGoesToTheProxyWithAnAbsoluteUri)
{
    CapturingServer proxy;
    proxy.response = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nvia proxy";
    std::string server = "127.0.0.1:" + std::to_string(proxy.server.port());
    for (std::string list :
         {"http=" + server, server, "http=http://" + server + "/", "ftp=127.0.0.1:1; http=" + server}) {
        Exchange x;
        open(x, "weather.invalid", 80, nullptr, "/weather/1.shtml", kReload, list.c_str());
        ASSERT_TRUE(send(x, "Accept-Language: zh-cn\r\n")) << list;
        EXPECT_EQ(read_all(x.request).body, "via proxy") << list;
        std::string head = head_of(proxy.last());
        EXPECT_TRUE(head.starts_with("GET http://weather.invalid") &&
                    head.find("/weather/1.shtml HTTP/1.1\r\n") < head.find("\r\n"))
            << head;
        EXPECT_NE(head.find("\r\nHost: weather.invalid"), std::string::npos) << head;
    }
}

TEST(WininetProxy, BypassedHostsAreReachedDirectly)
{
    CapturingServer target;
    Exchange x;
    x.session = w().call("InternetOpenA", kAgent, 3u, "http=127.0.0.1:1", "<local>; 127.0.0.1", 0u);
    ASSERT_NE(x.session, 0u);
    x.connection = w().call("InternetConnectA", x.session, "127.0.0.1", static_cast<uint32_t>(target.server.port()), "",
                            "", 3u, 0u, 0u);
    x.request = w().call("HttpOpenRequestA", x.connection, nullptr, "/", "HTTP/1.1", "", nullptr, kReload, 0u);
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "ok");
}

class WininetRedirects : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto& r = server.routes();
        r.Get("/old", [](const httplib::Request&, httplib::Response& a) { a.set_redirect("/new", 301); });
        r.Get("/new", [](const httplib::Request& q, httplib::Response& a) {
            a.set_header("X-Final", "yes");
            a.set_content("fresh " + q.get_header_value("Cookie"), "text/plain");
        });
        r.Post("/submit", [](const httplib::Request&, httplib::Response& a) { a.set_redirect("/landing", 302); });
        r.Get("/landing", [](const httplib::Request& q, httplib::Response& a) {
            a.set_content("landed by GET, length '" + q.get_header_value("Content-Length") + "'", "text/plain");
        });
        r.Get("/login", [](const httplib::Request&, httplib::Response& a) {
            a.set_header("Set-Cookie", "session=42; path=/");
            a.set_redirect("/new", 302);
        });
        r.Get("/loop", [](const httplib::Request&, httplib::Response& a) { a.set_redirect("/loop", 302); });
        r.Get("/elsewhere", [this](const httplib::Request&, httplib::Response& a) {
            a.set_redirect("http://127.0.0.1:" + std::to_string(server.port()) + "/new", 302);
        });
        server.start();
    }

    HttpServer server;
};

TEST_F(WininetRedirects, FollowedToTheFinalResponse)
{
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/old");
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "fresh ");
    std::string head = raw_headers(x.request);
    EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK\r\n")) << head;
    EXPECT_NE(head.find("X-Final: yes"), std::string::npos) << head;
}

TEST_F(WininetRedirects, PostAfter302BecomesGet)
{
    Exchange x;
    open(x, "127.0.0.1", server.port(), "POST", "/submit");
    ASSERT_TRUE(send(x, "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n", "a=1"));
    EXPECT_EQ(read_all(x.request).body, "landed by GET, length ''");
}

// Cookies a redirect sets travel with the rest of the chain but are not recorded.
TEST_F(WininetRedirects, RedirectCookiesCarryAlongTheChainOnly)
{
    {
        Exchange x;
        open(x, "127.0.0.1", server.port(), nullptr, "/login");
        ASSERT_TRUE(send(x, ""));
        EXPECT_EQ(read_all(x.request).body, "fresh session=42");
    }
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/new");
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "fresh ");
}

// Each hop gets the cookies of its own host: a redirect to another host carries none of
// the first host's.
TEST_F(WininetRedirects, CookiesFollowTheHopsHost)
{
    ASSERT_TRUE(w().call("InternetSetCookieA", "http://localhost", "hop", "local"));
    Exchange x;
    open(x, "localhost", server.port(), nullptr, "/elsewhere");
    ASSERT_TRUE(send(x, ""));
    EXPECT_EQ(read_all(x.request).body, "fresh ");
}

TEST_F(WininetRedirects, LoopFailsTheSend)
{
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/loop");
    EXPECT_FALSE(send(x, ""));
    EXPECT_EQ(w().last_error(), 12156u);
    Received r = read_all(x.request);
    EXPECT_TRUE(r.body.empty());
}

TEST_F(WininetRedirects, NotFollowedWhenAskedNotTo)
{
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/old", kReload | 0x00200000u);
    ASSERT_TRUE(send(x, ""));
    EXPECT_TRUE(raw_headers(x.request).starts_with("HTTP/1.1 301")) << raw_headers(x.request);
}

// The engine handles window events between reads, so a read must come back with what
// is there instead of waiting for the whole body.
TEST(WininetTiming, TrickledBodyIsDeliveredAsItComes)
{
    RawServer server([](int fd) {
        read_request(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n");
        for (int i = 0; i < 10; ++i) {
            write_all(fd, std::string(100, static_cast<char>('a' + i)));
            std::this_thread::sleep_for(200ms);
        }
        hold(fd);
    });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    auto start = std::chrono::steady_clock::now();
    char buffer[512];
    uint32_t count = 0;
    ASSERT_TRUE(w().call("InternetReadFile", x.request, buffer, 512u, &count));
    auto first = std::chrono::steady_clock::now() - start;
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, 1000u);
    EXPECT_LT(first, 1500ms);  // the whole body takes two seconds
    Received rest = read_all(x.request);
    EXPECT_TRUE(rest.ok);
    EXPECT_EQ(count + rest.body.size(), 1000u);
    EXPECT_GE(rest.reads_with_data, 3);
}

// Hostile servers: each is given up on cleanly, within the timeouts or limits.
TEST(WininetHostile, ServerThatNeverAnswersTimesOut)
{
    ScopedEnv timeout("NIMBRA_WININET_TIMEOUT_MS", "700");
    RawServer server([](int fd) { hold(fd); });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(send(x, ""));
    EXPECT_EQ(w().last_error(), 12002u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(WininetHostile, BodyThatStopsTimesOut)
{
    ScopedEnv timeout("NIMBRA_WININET_TIMEOUT_MS", "700");
    RawServer server([](int fd) {
        read_request(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
        hold(fd);
    });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    Received r = read_all(x.request);
    EXPECT_EQ(r.body, "abc");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 12002u);
}

TEST(WininetHostile, OversizedOrEndlessHeadersAreRefused)
{
    ScopedEnv timeout("NIMBRA_WININET_TIMEOUT_MS", "1500");
    struct Case {
        std::function<void(int)> server;
        uint32_t error;
    } cases[] = {
        {[](int fd) {  // headers that never end
             read_request(fd);
             write_all(fd, "HTTP/1.1 200 OK\r\n");
             while (write_all(fd, "X-More: " + std::string(100, 'm') + "\r\n")) {
             }
         },
         12152},
        {[](int fd) {  // one header line of a megabyte
             read_request(fd);
             write_all(fd, "HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n");
             hold(fd);
         },
         12152},
        {[](int fd) {  // a head that trickles on forever, each line in time
             read_request(fd);
             write_all(fd, "HTTP/1.1 200 OK\r\n");
             for (int i = 0; i < 100 && write_all(fd, "X-Slow: 1\r\n"); ++i)
                 std::this_thread::sleep_for(100ms);
         },
         12002},
    };
    for (auto& c : cases) {
        RawServer server(c.server);
        Exchange x;
        open(x, "127.0.0.1", server.port(), nullptr, "/");
        EXPECT_FALSE(send(x, ""));
        EXPECT_EQ(w().last_error(), c.error);
        EXPECT_TRUE(read_all(x.request).body.empty());
    }
}

// A reader that falls behind holds the server back instead of collecting its body.
TEST(WininetHostile, LargeBodyIsNotReadAheadWithoutBound)
{
    std::atomic<size_t> written{0};
    constexpr size_t kBody = 100u << 20;
    RawServer server([&](int fd) {
        read_request(fd);
        write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n");
        std::string block(64 * 1024, 'z');
        while (written < kBody && write_all(fd, block))
            written += block.size();
    });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    ASSERT_TRUE(send(x, ""));
    char buffer[512];
    uint32_t count = 0;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(w().call("InternetReadFile", x.request, buffer, 512u, &count));
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(written.load(), 40u << 20);  // what the sockets hold, not the body
}

// Closing a request from another thread ends a send that is waiting on a silent server.
TEST(WininetHostile, CloseFromAnotherThreadEndsAWait)
{
    RawServer server([](int fd) { hold(fd); });
    Exchange x;
    open(x, "127.0.0.1", server.port(), nullptr, "/");
    uint32_t request = x.request;
    std::thread closer([request] {
        std::this_thread::sleep_for(300ms);
        w().call("InternetCloseHandle", request);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(send(x, ""));
    EXPECT_EQ(w().last_error(), 12017u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    closer.join();
    x.request = 0;
}

TEST(WininetTls, SecureFlagSpeaksTlsAndVerifiesTheServer)
{
    auto dir = std::filesystem::temp_directory_path() / ("wininet-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string cert = (dir / "cert.pem").string();
    std::string key = (dir / "key.pem").string();
    std::string other = (dir / "other.pem").string();
    ASSERT_NO_FATAL_FAILURE(make_certificate(cert, key));
    ASSERT_NO_FATAL_FAILURE(make_certificate(other, (dir / "other-key.pem").string()));

    httplib::SSLServer server(cert.c_str(), key.c_str());
    server.Get("/", [](const httplib::Request& q, httplib::Response& a) {
        a.set_content("secure " + q.get_header_value("Cookie"), "text/plain");
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });

    {  // A server whose authority is not trusted is refused, as Windows would refuse it.
        ScopedEnv ca("NIMBRA_WININET_CA_FILE", other);
        Exchange x;
        open(x, "127.0.0.1", port, nullptr, "/", kReload | kSecure);
        EXPECT_FALSE(send(x, ""));
        EXPECT_EQ(w().last_error(), 12045u);
    }
    {
        ScopedEnv ca("NIMBRA_WININET_CA_FILE", cert);
        ASSERT_TRUE(w().call("InternetSetCookieA", "https://127.0.0.1", "tls_sid", "7"));
        ASSERT_TRUE(w().call("InternetSetCookieA", "http://127.0.0.1", "plain_sid", "8"));
        Exchange x;
        open(x, "127.0.0.1", port, nullptr, "/", kReload | kSecure);
        ASSERT_TRUE(send(x, ""));
        std::string body = read_all(x.request).body;
        EXPECT_TRUE(body.starts_with("secure ")) << body;
        EXPECT_NE(body.find("tls_sid=7"), std::string::npos) << body;
        EXPECT_EQ(body.find("plain_sid"), std::string::npos) << body;
    }
    server.stop();
    thread.join();
    std::filesystem::remove_all(dir);
}
