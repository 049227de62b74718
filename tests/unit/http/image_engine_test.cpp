// The request engine as the program image holds it: the freestanding objects linked by
// the image linker, mapped below 2 GiB and called natively, with the DLL-call service
// going to the built wininet.so.
#include "engine_fixture.h"
#include "http_image_objects.h"
#include "tests/support/hosted_image.h"
#include "tests/unit/wininet/servers.h"
#include "web/http_request.h"

using http_test::EngineTest;
using nimbra::testing::HostedCorert;
using nimbra::testing::HostedImage;
using http_test::LocalServer;

namespace {

class EngineInImage : public EngineTest {
protected:
    static void SetUpTestSuite() { image_ = new HostedImage(kHttpImageObjects, "FetchPageText"); }
    static void TearDownTestSuite() { delete image_; }

    void SetUp() override
    {
        EngineTest::SetUp();
        server.routes().Get("/big", [this](const httplib::Request&, httplib::Response& a) {
            a.set_content(big, "application/octet-stream");
        });
        server.routes().Post("/form", [](const httplib::Request& q, httplib::Response& a) {
            a.set_header("Set-Cookie", "form=" + q.body + "; Path=/");
            a.set_content("got " + q.get_header_value("Content-Type"), "text/plain");
        });
        server.start();
    }

    std::string authority() { return "127.0.0.1:" + std::to_string(server.port()); }

    static inline HostedImage* image_ = nullptr;
    LocalServer server;
    std::string big;
};

TEST_F(EngineInImage, PostWithCookieAndLargeBinaryBody)
{
    auto http_request = image_->routine<decltype(::HttpRequest)>("HttpRequest");
    ASSERT_TRUE(image_->in_code(reinterpret_cast<void*>(http_request)));

    char* url = HostedCorert::new_text("http://" + authority() + "/form");
    char* headers = nullptr;
    EXPECT_EQ(HostedCorert::take_byte_set(http_request(&url, "POST", "", &headers, "x=1")),
              "got application/x-www-form-urlencoded");
    EXPECT_EQ(take_text(url), authority() + "/form");
    EXPECT_TRUE(std::string(headers).ends_with("Content-Length: 3\r\n")) << headers;
    take_text(headers);
    EXPECT_EQ(recorded_cookies(), std::vector<std::string>{"http://" + authority() + " form x=1; Path=/"});
    expect_handles_closed_in_reverse();

    big.resize(1 << 20);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i % 251);
    url = HostedCorert::new_text("http://" + authority() + "/big");
    std::string got = HostedCorert::take_byte_set(http_request(&url, nullptr, nullptr, nullptr, nullptr));
    take_text(url);
    EXPECT_TRUE(got == big) << got.size();
    EXPECT_TRUE(runtime.run_time_errors.empty());
}

TEST_F(EngineInImage, FetchPageTextAndTheFailureValue)
{
    auto fetch = image_->routine<decltype(::FetchPageText)>("FetchPageText");
    big = "page text";
    char* url = HostedCorert::new_text(authority() + "/big");
    EXPECT_EQ(take_text(fetch(&url)), "page text");
    take_text(url);

    auto http_request = image_->routine<decltype(::HttpRequest)>("HttpRequest");
    url = HostedCorert::new_text("http://" + authority() + "/big");
    EXPECT_EQ(HostedCorert::take_byte_set(http_request(&url, "get", "", nullptr, "")), std::string(255, '\0'));
    take_text(url);
    expect_handles_closed_in_reverse();
}

}  // namespace
