// netlib's FetchUrl, the built netlib.sle called through its command table as the
// runtime calls it, against local servers.
#include "runtime/service_abi.h"
#include "support/support_library.h"
#include "local_server.h"
#include "tests/support/hosted_corert.h"
#include "tests/unit/wininet/servers.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

using nimbra::testing::HostedCorert;
using nimbra::testing::HostedCorertTest;
using http_test::LocalServer;
using wininet_test::RawServer;

namespace {

void ignore_opened(const char*) {}

const nimbra::support::RuntimeServices kServices = {nimbra::support::kSupportAbiVersion, corert_allocate, corert_free,
                                                    ignore_opened};

nimbra::support::CommandFunction fetch_url_command()
{
    static nimbra::support::CommandFunction command = [] {
        void* handle = dlopen(NETLIB_SLE, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw std::runtime_error(dlerror());
        auto entry = reinterpret_cast<nimbra::support::EntryFunction>(dlsym(handle, nimbra::support::kEntryName));
        const nimbra::support::LibraryExports* exports = entry ? entry(&kServices) : nullptr;
        if (!exports || std::string(exports->name) != "netlib")
            throw std::runtime_error("netlib.sle has no command table");
        for (uint32_t i = 0; i < exports->command_count; ++i) {
            if (exports->commands[i].number == qx::kCmdFetchUrl)
                return exports->commands[i].run;
        }
        throw std::runtime_error("netlib.sle has no FetchUrl");
    }();
    return command;
}

std::string fetch_url(const std::string& address)
{
    struct {
        uint32_t count;
        qx::ArgRecord record;
    } args{1,
           {uint32_t(reinterpret_cast<uintptr_t>(address.c_str())),
            uint32_t(reinterpret_cast<uintptr_t>(address.c_str()) >> 32), qx::kTagText}};
    uint64_t result = fetch_url_command()(reinterpret_cast<const qx::ArgBlock*>(&args));
    return HostedCorert::take_byte_set(reinterpret_cast<const void*>(result));
}

class FetchUrl : public HostedCorertTest {
protected:
    void SetUp() override
    {
        // The library honours the usual proxy variables; these servers are local.
        setenv("no_proxy", "127.0.0.1", 1);
        server.routes().Get("/binary", [](const httplib::Request&, httplib::Response& a) {
            a.set_content(binary(), "application/octet-stream");
        });
        server.routes().Get("/empty", [](const httplib::Request&, httplib::Response& a) { a.status = 204; });
        server.routes().Get("/hop1",
                            [](const httplib::Request&, httplib::Response& a) { a.set_redirect("/hop2", 302); });
        server.routes().Get("/hop2", [this](const httplib::Request&, httplib::Response& a) {
            a.set_redirect("http://127.0.0.1:" + std::to_string(server.port()) + "/final", 301);
        });
        server.routes().Get("/final", [](const httplib::Request& q, httplib::Response& a) {
            a.set_content("arrived by " + q.method, "text/plain");
        });
        server.routes().Get("/loop",
                            [](const httplib::Request&, httplib::Response& a) { a.set_redirect("/loop", 302); });
        server.routes().Get("/missing", [](const httplib::Request&, httplib::Response& a) {
            a.status = 404;
            a.set_content("not here", "text/plain");
        });
        server.routes().Get("/broken", [](const httplib::Request&, httplib::Response& a) {
            a.status = 500;
            a.set_content("server error page", "text/plain");
        });
        server.start();
    }

    static std::string binary()
    {
        std::string bytes(100000, '\0');
        for (size_t i = 0; i < bytes.size(); i += 3)
            bytes[i] = char(i % 253 + 1);
        return bytes;
    }

    std::string address(const std::string& path) { return "http://127.0.0.1:" + std::to_string(server.port()) + path; }

    LocalServer server;
};

TEST_F(FetchUrl, BodiesAndFailures)
{
    struct Case {
        std::string path;
        std::string body;
    };
    const Case cases[] = {
        {"/binary", binary()}, {"/hop1", "arrived by GET"},  // redirects followed, absolute and relative
        {"/empty", ""},        {"/missing", ""},  // an error status is nothing fetched, whatever page it carries
        {"/broken", ""},       {"/loop", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string got = fetch_url(address(c.path));
        EXPECT_EQ(got.size(), c.body.size());
        EXPECT_TRUE(got == c.body);
    }
    // No scheme: plain HTTP.
    EXPECT_EQ(fetch_url("127.0.0.1:" + std::to_string(server.port()) + "/final"), "arrived by GET");
    EXPECT_EQ(fetch_url(""), "");
    // A line break in the address never reaches a request line.
    EXPECT_EQ(fetch_url(address("/final\r\nX-Injected: 1")), "");
    EXPECT_EQ(fetch_url("ftp://127.0.0.1:" + std::to_string(server.port()) + "/final"), "");
}

TEST_F(FetchUrl, UnreachableOrBrokenOffIsEmpty)
{
    int port = http_test::unused_port();
    EXPECT_EQ(fetch_url("http://127.0.0.1:" + std::to_string(port) + "/"), "");

    RawServer cut([](int fd) {
        wininet_test::read_request(fd);
        wininet_test::write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(1000, 'c'));
    });
    EXPECT_EQ(fetch_url("http://127.0.0.1:" + std::to_string(cut.port()) + "/"), "");
}

}  // namespace

// Plain http addresses are fetched by netlib itself: the forms a body can take on the
// wire, each written in small pieces so that heads, chunk sizes and bodies are split
// across reads, and what must count as nothing fetched.
TEST_F(FetchUrl, ResponsesAsTheyArriveOnTheWire)
{
    struct Case {
        const char* name;
        std::string response;
        std::string body;
    };
    const Case cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
        {"length, more sent than said", "HTTP/1.1 200 OK\r\ncontent-length:  3 \r\n\r\nhello", "hel"},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nA;x=1\r\n, world!!!\r\n0\r\n\r\n",
         "hello, world!!!"},
        {"until the connection closes", "HTTP/1.0 200 OK\r\nServer: raw\r\n\r\nto the end", "to the end"},
        {"interim answer first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok"},
        {"no body", "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", ""},
        {"chunked, cut off", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n9\r\nabc", ""},
        {"chunk size not a number", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
         ""},
        {"no status line", "hello there\r\n\r\n", ""},
        {"error status with a body", "HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string request, got;
        int port = 0;
        {
            RawServer raw([&](int fd) {
                request = wininet_test::read_request(fd);
                for (size_t at = 0; at < c.response.size(); at += 3) {
                    wininet_test::write_all(fd, std::string_view(c.response).substr(at, 3));
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
            port = raw.port();
            got = fetch_url("http://127.0.0.1:" + std::to_string(port) + "/a/b?c=d#frag");
        }  // the server's handler has ended here
        EXPECT_EQ(got, c.body);
        EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET /a/b?c=d HTTP/1.1");
        EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n"), std::string::npos);
    }
}
