// The cookie store's rules, directly against the implementation.
#include "platform/wininet/cookies.h"

#include <gtest/gtest.h>

using nimbra::wininet::CookieStore;
using nimbra::wininet::CookieUrl;
using nimbra::wininet::parse_cookie_url;

namespace {

// Appended, not concatenated: GCC 12 at -O3 takes "c" + std::string&& for an overlapping
// copy (-Wrestrict).
std::string cookie_name(int i)
{
    std::string name = "c";
    name += std::to_string(i);
    return name;
}

constexpr time_t kNow = 1'800'000'000;

CookieUrl url(const char* text)
{
    auto parsed = parse_cookie_url(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(CookieUrl{});
}

}  // namespace

TEST(CookieUrl, SchemeHostAndPath)
{
    auto u = parse_cookie_url("HTTPS://Weather.Example:8443/a/b.htm?x=/y");
    ASSERT_TRUE(u);
    EXPECT_TRUE(u->https);
    EXPECT_EQ(u->host, "weather.example");
    EXPECT_EQ(u->path, "/a/b.htm");
    EXPECT_EQ(parse_cookie_url("http://127.0.0.1")->path, "/");
    for (const char* bad : {"ftp://h/", "127.0.0.1", "http://", "http://user@h/", "http://h:x/", "http://a b/"})
        EXPECT_FALSE(parse_cookie_url(bad)) << bad;
}

TEST(CookieStore, WhichCookiesGoWhere)
{
    CookieStore store;
    ASSERT_TRUE(store.set(url("http://www.example.com/docs/a.htm"), "dir", "1", kNow));  // path /docs
    ASSERT_TRUE(store.set(url("http://www.example.com/"), "root", "2", kNow));
    ASSERT_TRUE(store.set(url("http://www.example.com/"), "wide", "3; domain=.example.com", kNow));
    ASSERT_TRUE(store.set(url("http://www.example.com/"), "sec", "4; secure", kNow));
    ASSERT_TRUE(store.set(url("https://www.example.com/"), "tls", "5", kNow));
    struct {
        const char* request;
        const char* header;
    } cases[] = {
        {"http://www.example.com/docs/x", "dir=1; root=2; wide=3"},
        {"http://www.example.com/docs", "dir=1; root=2; wide=3"},
        {"http://www.example.com/docsx", "root=2; wide=3"},
        {"http://WWW.example.com/", "root=2; wide=3"},
        {"http://img.example.com/", "wide=3"},
        {"http://example.com/", "wide=3"},
        {"http://example.org/", ""},
        {"http://badexample.com/", ""},
        {"https://www.example.com/", "tls=5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(store.header_for(url(c.request), kNow), c.header) << c.request;
}

TEST(CookieStore, ReplaceExpireAndRefuse)
{
    CookieStore store;
    CookieUrl u = url("http://h.example/");
    ASSERT_TRUE(store.set(u, "a", "1", kNow));
    ASSERT_TRUE(store.set(u, "b", "2; max-age=60", kNow));
    ASSERT_TRUE(store.set(u, "a", "3", kNow));  // replaced in place
    EXPECT_EQ(store.header_for(u, kNow), "a=3; b=2");
    EXPECT_EQ(store.header_for(u, kNow + 61), "a=3");
    ASSERT_TRUE(store.set(u, "", "c=4; expires=Wed, 01 Jan 2020 00:00:00 GMT", kNow));  // already past: nothing kept
    ASSERT_TRUE(store.set(u, "", "d=5; Expires=Fri, 01 Jan 2038 00:00:00 GMT", kNow));
    EXPECT_EQ(store.header_for(u, kNow), "a=3; d=5");

    EXPECT_FALSE(store.set(u, "x", "1; domain=other.example", kNow));
    EXPECT_FALSE(store.set(u, "x", "1; domain=example", kNow));  // no dot: too wide
    EXPECT_FALSE(store.set(url("http://10.0.0.1/"), "x", "1; domain=0.0.1", kNow));
    EXPECT_FALSE(store.set(u, "", "no equals sign", kNow));
    EXPECT_FALSE(store.set(u, "bad\r\nname", "1", kNow));
    EXPECT_FALSE(store.set(u, "big", std::string(5000, 'v'), kNow));
    EXPECT_EQ(store.size(), 2u);
}

TEST(CookieStore, StaysBounded)
{
    CookieStore store;
    CookieUrl u = url("http://flood.example/");
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(store.set(u, cookie_name(i), "v", kNow));
    EXPECT_EQ(store.size(), nimbra::wininet::kMaxCookiesPerHost);
    std::string header = store.header_for(u, kNow);
    EXPECT_EQ(header.find("c0="), std::string::npos);  // the oldest went first
    EXPECT_NE(header.find("c199=v"), std::string::npos);
    for (int host = 0; host < 30; ++host) {
        CookieUrl other = url(("http://h" + std::to_string(host) + ".example/").c_str());
        for (int i = 0; i < 50; ++i)
            store.set(other, cookie_name(i), "v", kNow);
    }
    EXPECT_EQ(store.size(), nimbra::wininet::kMaxCookies);
}
