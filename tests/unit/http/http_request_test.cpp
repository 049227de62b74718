// HttpRequest and FetchPageText, host-built, through the built wininet.so against local
// servers on 127.0.0.1 (ports the system picks).
#include "engine_fixture.h"
#include "tests/support/test_certificate.h"
#include "tests/unit/wininet/servers.h"
#include "web/http_request.h"


#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

using http_test::EngineTest;
using http_test::failure_value;
using nimbra::testing::HostedCorert;
using http_test::LocalServer;
using wininet_test::RawServer;
using namespace std::chrono_literals;
using nimbra::testing::make_certificate;

namespace {

// What a server received, for the test thread to look at afterwards.
struct Received {
    std::string method, target, body;
    httplib::Headers headers;
    int requests = 0;
};

class Recorder {
public:
    void take(const httplib::Request& q)
    {
        std::lock_guard lock(mutex_);
        last_ = Received{q.method, q.target, q.body, q.headers, last_.requests + 1};
    }
    Received last()
    {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    std::mutex mutex_;
    Received last_;
};

std::vector<std::string> values(const httplib::Headers& headers, const std::string& name)
{
    std::vector<std::string> found;
    auto [from, to] = headers.equal_range(name);
    for (auto it = from; it != to; ++it)
        found.push_back(it->second);
    return found;
}

constexpr const char* kDefaultAccept =
    "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, application/vnd.ms-excel, "
    "application/vnd.ms-powerpoint, application/msword, */*";

class HttpRequestTest : public EngineTest {
protected:
    // The server starts answering when the first address is asked for, with the test's
    // own routes ahead of the ones that answer everything else.
    std::string address(const std::string& path)
    {
        serve();
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }
    void serve()
    {
        if (serving_)
            return;
        serving_ = true;
        server.routes().Get(".*", [this](const httplib::Request& q, httplib::Response& a) {
            recorder.take(q);
            a.set_content("answer", "text/plain");
        });
        server.routes().Post(".*", [this](const httplib::Request& q, httplib::Response& a) {
            recorder.take(q);
            a.set_content("posted", "text/plain");
        });
        server.start();
    }
    std::string authority() { return "127.0.0.1:" + std::to_string(server.port()); }

    // HttpRequest with fresh texts for the two by-reference arguments; `url_after` and
    // `headers_after` receive what the engine left in them.
    std::string request(const std::string& url, const char* method, const char* proxy, const std::string& headers,
                        const char* body, std::string* url_after = nullptr, std::string* headers_after = nullptr)
    {
        char* url_text = HostedCorert::new_text(url);
        char* header_text = HostedCorert::new_text(headers);
        std::string result = HostedCorert::take_byte_set(HttpRequest(&url_text, method, proxy, &header_text, body));
        std::string url_left = take_text(url_text), headers_left = take_text(header_text);
        if (url_after)
            *url_after = url_left;
        if (headers_after)
            *headers_after = headers_left;
        return result;
    }

    LocalServer server;
    Recorder recorder;

private:
    bool serving_ = false;
};

// ---- methods and headers ----

TEST_F(HttpRequestTest, EmptyMethodAndGetSendTheSameGetWithTheDefaultLines)
{
    for (const char* method : {"", "GET"}) {
        SCOPED_TRACE(method);
        calls.clear();
        std::string url_after, headers_after;
        EXPECT_EQ(request(address("/day/page.html?city=101280601"), method, "", "", "", &url_after, &headers_after),
                  "answer");
        Received got = recorder.last();
        EXPECT_EQ(got.method, "GET");
        EXPECT_EQ(got.target, "/day/page.html?city=101280601");
        EXPECT_EQ(got.body, "");
        EXPECT_EQ(values(got.headers, "Accept"), std::vector<std::string>{kDefaultAccept});
        // The Referer is the address without its scheme.
        EXPECT_EQ(values(got.headers, "Referer"),
                  std::vector<std::string>{authority() + "/day/page.html?city=101280601"});
        EXPECT_EQ(values(got.headers, "Accept-Language"), std::vector<std::string>{"zh-cn"});
        EXPECT_EQ(values(got.headers, "User-Agent"),
                  std::vector<std::string>{"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)"});
        EXPECT_FALSE(got.headers.count("Content-Type"));

        EXPECT_EQ(url_after, authority() + "/day/page.html?city=101280601");
        EXPECT_EQ(headers_after, std::string("Accept: ") + kDefaultAccept + "\r\nReferer: " + url_after +
                                     "\r\nAccept-Language: zh-cn\r\n");
        // The empty method reaches the library as a null verb.
        auto open = calls_of(qx::kDllHttpOpenRequest).at(0);
        EXPECT_EQ(open.texts.count(1), *method ? 1u : 0u);
        EXPECT_EQ(open.texts.at(2), "/day/page.html?city=101280601");
        EXPECT_EQ(open.texts.at(3), "HTTP/1.1");
        EXPECT_EQ(open.args[6], 0x80000000u);
        expect_handles_closed_in_reverse();
    }
}

TEST_F(HttpRequestTest, DefaultLinesOnlyWhereTheCallersHeadersLackThem)
{
    struct Case {
        const char* headers;
        bool accept, referer, language;  // default line added
    };
    const Case cases[] = {
        {"ACCEPT: text/html\r\n", false, true, true},
        // Accept-Encoding is not Accept.
        {"Accept-Encoding: identity\r\n", true, true, true},
        {"referer: http://elsewhere/\r\naccept-language: en\r\n", true, false, false},
        {"Accept: */*\r\nReferer: x\r\nAccept-Language: fr\r\n", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        std::string headers_after;
        request(address("/h"), "GET", "", c.headers, "", nullptr, &headers_after);
        std::string expected = c.headers;
        if (c.accept)
            expected += std::string("Accept: ") + kDefaultAccept + "\r\n";
        if (c.referer)
            expected += "Referer: " + authority() + "/h\r\n";
        if (c.language)
            expected += "Accept-Language: zh-cn\r\n";
        EXPECT_EQ(headers_after, expected);
        Received got = recorder.last();
        EXPECT_EQ(values(got.headers, "Accept").size(), 1u);
        EXPECT_EQ(values(got.headers, "Referer").size(), 1u);
        EXPECT_EQ(values(got.headers, "Accept-Language").size(), 1u);
    }
}

TEST_F(HttpRequestTest, PostSendsItsBodyWithTypeAndLengthLines)
{
    std::string headers_after;
    EXPECT_EQ(request(address("/form"), "POST", "", "Content-Type: text/plain\r\n", "city=\xc9\xee&x=1", nullptr,
                      &headers_after),
              "posted");
    Received got = recorder.last();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.target, "/form");
    EXPECT_EQ(got.body, "city=\xc9\xee&x=1");
    // Added even though the caller's headers hold a Content-Type already.
    EXPECT_TRUE(headers_after.ends_with(
        "Accept-Language: zh-cn\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 11\r\n"))
        << headers_after;
    EXPECT_EQ(values(got.headers, "Content-Length"), std::vector<std::string>{"11"});

    // An empty POST body gets neither line.
    request(address("/form"), "POST", "", "", "", nullptr, &headers_after);
    got = recorder.last();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.body, "");
    EXPECT_EQ(headers_after.find("Content-"), std::string::npos) << headers_after;
    EXPECT_FALSE(got.headers.count("Content-Type"));
    expect_handles_closed_in_reverse();
}

TEST_F(HttpRequestTest, SecondCallWithTheSameHeadersVariable)
{
    char* headers = nullptr;
    auto call = [&](const char* method, const char* body) {
        char* url = HostedCorert::new_text(address("/again"));
        HostedCorert::take_byte_set(HttpRequest(&url, method, "", &headers, body));
        take_text(url);
        return std::string(headers);
    };
    std::string first = call("GET", "");
    EXPECT_EQ(call("GET", ""), first) << "the default lines are found the second time";

    std::string posted = call("POST", "a=1");
    std::string pair = "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n";
    EXPECT_EQ(posted, first + pair);
    EXPECT_EQ(call("POST", "a=1"), first + pair + pair) << "each POST appends its pair";
    EXPECT_EQ(recorder.last().body, "a=1");
    take_text(headers);
}

TEST_F(HttpRequestTest, MethodInAnotherCaseIsRefusedWithEveryHandleClosed)
{
    for (const char* method : {"get", "Post", "PUT", "HEAD"}) {
        SCOPED_TRACE(method);
        calls.clear();
        std::string headers_after;
        EXPECT_EQ(request(address("/x"), method, "", "", "", nullptr, &headers_after), failure_value());
        EXPECT_EQ(calls_of(qx::kDllHttpOpenRequest).at(0).texts.at(1), method) << "the request is opened first";
        EXPECT_TRUE(calls_of(qx::kDllHttpSendRequest).empty());
        EXPECT_EQ(calls_of(qx::kDllInternetCloseHandle).size(), 3u);
        expect_handles_closed_in_reverse();
        EXPECT_NE(headers_after.find("Referer: "), std::string::npos) << "headers are completed before the check";
    }
    EXPECT_EQ(recorder.last().requests, 0) << "nothing reached the server";
}

// A failing library call at each step gives the failure value, and closes exactly the
// handles opened before it.
TEST_F(HttpRequestTest, EachFailingStepClosesWhatWasOpened)
{
    const std::pair<uint32_t, size_t> steps[] = {
        {qx::kDllInternetOpen, 0},
        {qx::kDllInternetConnect, 1},
        {qx::kDllHttpOpenRequest, 2},
        {qx::kDllHttpSendRequest, 3},
    };
    for (auto [command, closes] : steps) {
        SCOPED_TRACE(command);
        calls.clear();
        fail_command = command;
        EXPECT_EQ(request(address("/x"), "GET", "", "", ""), failure_value());
        EXPECT_EQ(calls_of(qx::kDllInternetCloseHandle).size(), closes);
        EXPECT_TRUE(calls_of(qx::kDllInternetReadFile).empty());
        expect_handles_closed_in_reverse();
    }
}

// ---- addresses: scheme, host and port ----

TEST_F(HttpRequestTest, SchemeChoosesTlsAndTheDefaultPort)
{
    struct Case {
        const char* url;
        const char* host;  // handed to InternetConnectA
        uint32_t port;
        bool secure;
        const char* path;
        const char* url_after;
    };
    const Case cases[] = {
        {"https://127.0.0.1/a", "127.0.0.1", 443, true, "/a", "127.0.0.1/a"},
        {"HTTPS://Secure.Example:8443/a?b", "secure.example", 8443, true, "/a?b", "Secure.Example:8443/a?b"},
        {"http://127.0.0.1/a", "127.0.0.1", 80, false, "/a", "127.0.0.1/a"},
        {"127.0.0.1:8370/weather/101280601.shtml", "127.0.0.1", 8370, false, "/weather/101280601.shtml",
         "127.0.0.1:8370/weather/101280601.shtml"},
        {"example.com", "example.com", 80, false, "/", "example.com"},
    };
    fail_command = qx::kDllHttpSendRequest;  // no network: the arguments are what counts
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        calls.clear();
        std::string url_after;
        EXPECT_EQ(request(c.url, "", "", "", "", &url_after), failure_value());
        EXPECT_EQ(url_after, c.url_after);
        auto connect = calls_of(qx::kDllInternetConnect).at(0);
        EXPECT_EQ(connect.texts.at(1), c.host);
        EXPECT_EQ(connect.args[2], c.port);
        EXPECT_EQ(connect.args[5], 3u);
        auto open = calls_of(qx::kDllHttpOpenRequest).at(0);
        EXPECT_EQ(open.texts.at(2), c.path);
        EXPECT_EQ(open.args[6], c.secure ? 0x80800000u : 0x80000000u);
    }
}

// The demo service's own form of address, host with port and no scheme, reaches the
// server (the host goes to the connection without ":port").
TEST_F(HttpRequestTest, SchemelessAddressWithPortReachesTheServer)
{
    std::string url_after;
    serve();
    EXPECT_EQ(request(authority() + "/weather/101280601.shtml", "", "", "", "", &url_after), "answer");
    EXPECT_EQ(recorder.last().target, "/weather/101280601.shtml");
    EXPECT_EQ(calls_of(qx::kDllInternetConnect).at(0).texts.at(1), "127.0.0.1");
}

TEST_F(HttpRequestTest, ProxySeesTheAbsoluteAddress)
{
    std::mutex mutex;
    std::string request_line;
    RawServer proxy([&](int fd) {
        std::string head = wininet_test::read_request(fd);
        {
            std::lock_guard lock(mutex);
            request_line = head.substr(0, head.find("\r\n"));
        }
        wininet_test::write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\nConnection: close\r\n\r\nvia proxy");
    });
    std::string proxy_address = "127.0.0.1:" + std::to_string(proxy.port());
    EXPECT_EQ(request("http://origin.example:81/p?q=1", "", proxy_address.c_str(), "", ""), "via proxy");
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(request_line, "GET http://origin.example:81/p?q=1 HTTP/1.1");
    }
    auto open = calls_of(qx::kDllInternetOpen).at(0);
    EXPECT_EQ(open.args[1], 3u);
    EXPECT_EQ(open.texts.at(2), "http=" + proxy_address);
    EXPECT_EQ(open.texts.at(3), "");

    // A proxy text of blanks only is direct access.
    calls.clear();
    EXPECT_EQ(request(address("/direct"), "", "  \t ", "", ""), "answer");
    open = calls_of(qx::kDllInternetOpen).at(0);
    EXPECT_EQ(open.args[1], 1u);
    EXPECT_EQ(open.texts.at(2), "");
    EXPECT_EQ(proxy.connections(), 1);
}

// ---- bodies ----

class BodyTest : public HttpRequestTest {};

TEST_F(BodyTest, BodiesArriveWhole)
{
    std::string binary(5 << 20, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 5);  // zero bytes throughout
    const std::map<std::string, std::string> bodies = {
        {"/empty", ""},
        {"/512", std::string(512, 'a')},
        {"/513", std::string(511, 'b') + "\r\n"},
        {"/binary", binary},
    };
    server.routes().Get("/(empty|512|513|binary)", [&](const httplib::Request& q, httplib::Response& a) {
        a.set_content(bodies.at(q.path), "application/octet-stream");
    });
    for (const auto& [path, body] : bodies) {
        SCOPED_TRACE(path);
        calls.clear();
        uint64_t allocations = corert::memory_counters().allocations;
        std::string got = request(address(path), "", "", "", "");
        EXPECT_EQ(got.size(), body.size());
        EXPECT_TRUE(got == body);
        // Amortised growth: a handful of resizes, not one copy per read.
        EXPECT_LT(corert::memory_counters().allocations - allocations, 100u);
        // The loop ends with a read of 0 bytes and never asks for more than 512.
        auto reads = calls_of(qx::kDllInternetReadFile);
        EXPECT_EQ(reads.back().count_read, 0u);
        EXPECT_EQ(reads.back().args[2], 512u);
        expect_handles_closed_in_reverse();
    }
}

TEST_F(BodyTest, EmptyBodyIsTheEmptyByteSetAndTheEmptyText)
{
    server.routes().Get("/nothing", [](const httplib::Request&, httplib::Response& a) { a.status = 204; });
    char* url = HostedCorert::new_text(address("/nothing"));
    char* headers = nullptr;
    EXPECT_EQ(HttpRequest(&url, nullptr, nullptr, &headers, nullptr), nullptr);
    take_text(url);
    take_text(headers);
    url = HostedCorert::new_text(address("/nothing"));
    EXPECT_EQ(take_text(FetchPageText(&url)), "");
    take_text(url);
}

TEST_F(BodyTest, ChunkedBodyIsJoined)
{
    server.routes().Get("/chunked", [](const httplib::Request&, httplib::Response& a) {
        a.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
            if (offset >= 3000) {
                sink.done();
                return true;
            }
            std::string piece(300, char('a' + offset / 300));
            sink.write(piece.data(), piece.size());
            return true;
        });
    });
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += std::string(300, char('a' + i));
    EXPECT_EQ(request(address("/chunked"), "", "", "", ""), expected);
}

TEST_F(BodyTest, BrokenTransferGivesTheBytesReceived)
{
    RawServer broken([](int fd) {
        wininet_test::read_request(fd);
        wininet_test::write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + std::string(3000, 'p'));
    });
    std::string url = "http://127.0.0.1:" + std::to_string(broken.port()) + "/";
    EXPECT_EQ(request(url, "", "", "", ""), std::string(3000, 'p'));
    // The read that failed ends the loop at once.
    EXPECT_EQ(calls_of(qx::kDllInternetReadFile).back().result, 0u);
    expect_handles_closed_in_reverse();
}

TEST_F(BodyTest, UnreachablePortGivesTheFailureValue)
{
    int port = http_test::unused_port();
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    EXPECT_EQ(request(url, "", "", "", ""), failure_value());
    expect_handles_closed_in_reverse();
    char* text_url = HostedCorert::new_text(url);
    EXPECT_EQ(take_text(FetchPageText(&text_url)), "");
    take_text(text_url);
}

// A library whose failed read leaves the count as it was must not keep the loop going.
TEST_F(BodyTest, FailedReadEndsTheLoopWhateverTheCount)
{
    int reads = 0;
    answer_read = [&](uint32_t, const uint64_t* args) -> uint32_t {
        auto* count = reinterpret_cast<uint32_t*>(args[3]);
        if (++reads > 50) {  // the old loop would spin; stop it for the test's sake
            *count = 0;
            return 1;
        }
        if (reads == 1) {
            std::memset(reinterpret_cast<void*>(args[1]), 'r', 100);
            *count = 100;
            return 1;
        }
        *count = 100;  // stale count, failed read
        return 0;
    };
    EXPECT_EQ(request(address("/x"), "", "", "", ""), std::string(100, 'r'));
    EXPECT_EQ(reads, 2);
}

// Each read comes after pending window events have been handled, and reads return as the
// body trickles in rather than once it is all there.
TEST_F(BodyTest, WindowEventsRunBeforeEveryRead)
{
    server.routes().Get("/trickle", [](const httplib::Request&, httplib::Response& a) {
        a.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
            if (offset >= 5) {
                sink.done();
                return true;
            }
            std::this_thread::sleep_for(100ms);
            sink.write("t", 1);
            return true;
        });
    });
    EXPECT_EQ(request(address("/trickle"), "", "", "", ""), "ttttt");
    int reads = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].starts_with("read")) {
            ++reads;
            EXPECT_TRUE(i > 0 && log[i - 1] == "events") << i;
        }
    }
    EXPECT_GE(reads, 3);
}

// ---- cookies ----

TEST_F(HttpRequestTest, CookiesAreRecordedAndSentBack)
{
    server.routes().Get("/login", [](const httplib::Request&, httplib::Response& a) {
        a.set_header("Set-Cookie", "sid=a=b==; Path=/; HttpOnly");
        a.set_header("set-cookie", "lang=zh");
        a.set_header("X-Note", "remember Set-Cookie: evil=1 and more");
        a.set_header("Set-Cookie", "novalue");
        a.set_header("Set-Cookie", "=nameless");
        a.set_content("in", "text/plain");
    });
    EXPECT_EQ(request(address("/login"), "", "", "", ""), "in");
    std::string at = "http://" + authority();
    EXPECT_EQ(recorded_cookies(), (std::vector<std::string>{at + " sid a=b==; Path=/; HttpOnly", at + " lang zh"}));

    request(address("/next"), "", "", "", "");
    std::vector<std::string> cookies = values(recorder.last().headers, "Cookie");
    ASSERT_EQ(cookies.size(), 1u);
    const std::string& cookie = cookies[0];
    EXPECT_NE(cookie.find("sid=a=b=="), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("lang=zh"), std::string::npos) << cookie;
    EXPECT_EQ(cookie.find("evil"), std::string::npos) << cookie;
    EXPECT_EQ(cookie.find("novalue"), std::string::npos) << cookie;
}

// A response head larger than the 1024-byte buffer still has its cookies read.
TEST_F(HttpRequestTest, CookiesOfALargeResponseHead)
{
    server.routes().Get("/large", [](const httplib::Request&, httplib::Response& a) {
        a.set_header("X-Padding", std::string(3000, 'x'));
        a.set_header("Set-Cookie", "big=1");
        a.set_content("large", "text/plain");
    });
    EXPECT_EQ(request(address("/large"), "", "", "", ""), "large");
    EXPECT_EQ(recorded_cookies(), std::vector<std::string>{"http://" + authority() + " big 1"});
}

// ---- FetchPageText ----

TEST_F(HttpRequestTest, FetchPageTextPutsHttpInFrontOfWwwOnly)
{
    struct Case {
        const char* url;
        const char* reaches;    // the URL HttpRequest is given, as the Referer shows it
        const char* url_after;  // the caller's text afterwards
    };
    const Case cases[] = {
        {"www.example.com/a", "www.example.com/a", "www.example.com/a"},
        {"http://www.example.com/a", "www.example.com/a", "www.example.com/a"},
        {"https://www.example.com/a", "www.example.com/a", "www.example.com/a"},
        {"httpbin.example/a", "httpbin.example/a", "httpbin.example/a"},
        {"WWW.example.com/a", "WWW.example.com/a", "WWW.example.com/a"},
        {"example.com/a", "example.com/a", "example.com/a"},
    };
    fail_command = qx::kDllHttpSendRequest;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        calls.clear();
        char* url = HostedCorert::new_text(c.url);
        EXPECT_EQ(take_text(FetchPageText(&url)), "");
        EXPECT_EQ(take_text(url), c.url_after);
        auto send_calls = calls_of(qx::kDllHttpSendRequest);
        ASSERT_EQ(send_calls.size(), 1u);
        EXPECT_NE(send_calls[0].texts.at(1).find(std::string("Referer: ") + c.reaches + "\r\n"), std::string::npos);
        EXPECT_EQ(calls_of(qx::kDllHttpOpenRequest).at(0).texts.count(1), 0u) << "a plain GET";
        EXPECT_EQ(send_calls[0].args[4], 0u);
    }
}

TEST_F(HttpRequestTest, FetchPageTextReturnsThePage)
{
    server.routes().Get("/page", [](const httplib::Request&, httplib::Response& a) {
        a.set_content("<html>\xcc\xec\xc6\xf8</html>", "text/html");
    });
    char* url = HostedCorert::new_text(address("/page"));
    EXPECT_EQ(take_text(FetchPageText(&url)), "<html>\xcc\xec\xc6\xf8</html>");
    EXPECT_EQ(take_text(url), authority() + "/page");
}

// ---- https ----


// An https address goes over TLS and its cookies are recorded under "https://", so they
// go back over TLS and never to the same host in the clear.
TEST_F(HttpRequestTest, HttpsGoesOverTlsWithItsCookiesKeptSecure)
{
    auto dir = std::filesystem::temp_directory_path() / ("http-engine-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    ASSERT_NO_FATAL_FAILURE(make_certificate(cert, key));
    setenv("NIMBRA_WININET_CA_FILE", cert.c_str(), 1);

    httplib::SSLServer tls(cert.c_str(), key.c_str());
    Recorder secure_recorder;
    tls.Get(".*", [&](const httplib::Request& q, httplib::Response& a) {
        secure_recorder.take(q);
        if (q.path == "/login")
            a.set_header("Set-Cookie", "tls_only=s3cret; Path=/");
        a.set_content("secure", "text/plain");
    });
    int port = tls.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { tls.listen_after_bind(); });
    std::string secure_authority = "127.0.0.1:" + std::to_string(port);

    std::string url_after;
    EXPECT_EQ(request("https://" + secure_authority + "/login", "", "", "", "", &url_after), "secure");
    EXPECT_EQ(url_after, secure_authority + "/login");
    EXPECT_EQ(recorded_cookies(), std::vector<std::string>{"https://" + secure_authority + " tls_only s3cret; Path=/"});

    EXPECT_EQ(request("https://" + secure_authority + "/again", "", "", "", ""), "secure");
    EXPECT_NE(values(secure_recorder.last().headers, "Cookie").at(0).find("tls_only=s3cret"), std::string::npos);

    // The same host over plain HTTP does not get it.
    request(address("/plain"), "", "", "", "");
    for (const std::string& cookie : values(recorder.last().headers, "Cookie"))
        EXPECT_EQ(cookie.find("tls_only"), std::string::npos) << cookie;

    tls.stop();
    thread.join();
    unsetenv("NIMBRA_WININET_CA_FILE");
    std::filesystem::remove_all(dir);
}

// ---- JoinByteSets ----

TEST_F(HttpRequestTest, JoinByteSetsPutsTheBytesEndToEnd)
{
    void* a = HostedCorert::new_byte_set(std::string("ab\0c", 4));
    void* b = HostedCorert::new_byte_set("");
    void* c = HostedCorert::new_byte_set("de");
    const void* sets[] = {a, nullptr, b, c};
    EXPECT_EQ(HostedCorert::take_byte_set(JoinByteSets(4, sets)), std::string("ab\0cde", 6));
    const void* empty[] = {nullptr, b};
    EXPECT_EQ(JoinByteSets(2, empty), nullptr);
    EXPECT_EQ(JoinByteSets(0, nullptr), nullptr);
    for (void* set : {a, b, c})
        HostedCorert::take_byte_set(set);
}

}  // namespace
