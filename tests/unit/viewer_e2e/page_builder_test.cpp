// The page builders, end to end: the three buttons of a copy of the program fetch city
// pages from a test server, and what the browser read from the page file is compared
// byte for byte with the page head, the separator and the cut, dressed block.
#include "tests/unit/viewer_e2e/viewer_session.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <thread>

using namespace viewer_e2e;

namespace {

const std::string kForecastStart = "<div class=\"weatherYubaoBox\">";
const std::string kForecastEnd = "<div class=\"weatherYubao\" id=\"weatherYubao2\">";

// Each block once, with decoys around it: an end marker before every start, the live
// start without its leading space, a div nested in the live block.
const std::string kCityPage =
    "<html><head><title>城市</title></head><body>\n"
    "<div class=\"cleardiv\">an end marker before the living indexes</div>\n"
    "<div class=\"live\">not the live block: no space before it</div>\n" +
    kForecastStart +
    "<h2>预报</h2><img src=\"/m2/i/d01.gif\"/><img src=\"http://cdn.test/x.gif\">"
    "<img src=\"rel.gif\"><a href=\"/day/1\">周一</a> <a title=\"t\" href=\"/2\">周二</a></div>\n" +
    kForecastEnd +
    "after the forecast</div>\n"
    " <div class=\"live\"><table><tr><td><div>inner</div>rest</td></tr></table></div>\n"
    "<div class=\"todayLiving\" id=\"index\"><dl><img src=\"/m2/i/living/a.gif\"><a href=\"/x\">穿衣</a></dl>"
    "<div class=\"cleardiv\"></div>\n"
    "</body></html>\n";

std::string forecast_content(const std::string& host)
{
    return kForecastStart + "<h2>预报</h2><img src=\"http://" + host + "/m2/i/d01.gif\"/><img src=\"http://" + host +
           "http://cdn.test/x.gif\"><img src=\"http://" + host +
           "rel.gif\"><a =\"/day/1\">周一</a> <a title=\"t\" href=\"/2\">周二</a></div>\n" + kForecastEnd;
}

const std::string kLiveContent = "<table><tr><td><div>inner";

std::string living_content(const std::string& host)
{
    return kForecastStart + "<dl><img src=\"http://" + host + "/m2/i/living/a.gif\"><a =\"/x\">穿衣</a></dl>" +
           kForecastEnd;
}

std::string settings_file()
{
    return "<广东>\r\n广东-深圳-福田区@C1#\r\n广东-深圳-罗湖区@#\r\n广东-深圳-南山区@C404#\r\n"
           "广东-深圳-盐田区@C404M#\r\n广东-深圳-宝安区@SLOW#\r\n广东-深圳-龙岗区@FAST#\r\n</广东>\r\n"
           "<深圳>\r\n广东-深圳-福田区@C1#\r\n广东-深圳-罗湖区@#\r\n广东-深圳-南山区@C404#\r\n"
           "广东-深圳-盐田区@C404M#\r\n广东-深圳-宝安区@SLOW#\r\n广东-深圳-龙岗区@FAST#\r\n</深圳>\r\n"
           // What an unselected place's key finds: "--@".
           "nowhere--@NONE#\r\n";
}
enum District { k福田区, k罗湖区, k南山区, k盐田区, k宝安区, k龙岗区 };

struct Geometry {
    int left, top, width, height;
    bool operator==(const Geometry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Geometry& g)
{
    return out << g.left << "," << g.top << "," << g.width << "," << g.height;
}
const Geometry kWide{0, 56, 672, 216};
const Geometry kNarrow{180, 56, 300, 216};

class PageBuilder : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_.serve("/weather/C1.shtml", Reply{200, kCityPage});
        server_.serve("/weather/.shtml", Reply{200, kCityPage});
        server_.serve("/weather/NONE.shtml", Reply{200, kCityPage});
        // An error page that happens to hold the live block: its body is the page all the same.
        server_.serve("/weather/C404M.shtml", Reply{404, " <div class=\"live\">from the error page</div>"});
        copy_ = std::make_unique<ProgramCopy>(server_.port(), settings_file());
        viewer_ = std::make_unique<Viewer>(*copy_, true);
        head_ = nimbra::page_head_text(copy_->host());
    }

    void TearDown() override
    {
        std::string err = viewer_->close_and_wait();
        EXPECT_NE(err.find("corert: 0 blocks (0 bytes) still allocated at program end"), std::string::npos) << err;
    }

    void choose(District district)
    {
        viewer_->pick("组合框1", 0);
        viewer_->pick("组合框2", 0);
        viewer_->pick("组合框3", district);
    }

    // Clicks and returns what the browser read from the page file; checks the visit.
    std::string click(const std::string& button)
    {
        size_t before = viewer_->visits().size();
        viewer_->click(button);
        auto visits = viewer_->visits();
        EXPECT_EQ(visits.size(), before + 1) << "one address set per click";
        if (visits.size() != before + 1)
            return "<no visit>";
        const std::string& visit = visits.back();
        EXPECT_EQ(field(visit, "name"), "超文本浏览框1");
        EXPECT_EQ(field(visit, "kind"), "file");
        EXPECT_EQ(field(visit, "address"), copy_->dir() + "\\显示页.htm");
        EXPECT_EQ(field(visit, "path"), copy_->dir() + "/显示页.htm");
        EXPECT_FALSE(copy_->page_file_exists()) << "deleted after it was shown";
        return viewer_->page(int(visits.size()));
    }

    Geometry browser_geometry()
    {
        return {viewer_->number_property("超文本浏览框1", 0), viewer_->number_property("超文本浏览框1", 1),
                viewer_->number_property("超文本浏览框1", 2), viewer_->number_property("超文本浏览框1", 3)};
    }

    std::vector<std::string> weather_requests()
    {
        std::vector<std::string> paths;
        for (const auto& path : server_.requested_paths())
            if (path.rfind("/weather/", 0) == 0)
                paths.push_back(path);
        return paths;
    }

    TestServer server_;
    std::unique_ptr<ProgramCopy> copy_;
    std::unique_ptr<Viewer> viewer_;
    std::string head_;  // the edit box's page head (GBK), naming the test server
};

}  // namespace

TEST_F(PageBuilder, EachButtonShowsItsBlockAfterThePageHead)
{
    choose(k福田区);
    const std::string host = copy_->host();
    struct Case {
        const char* button;
        std::string page;
        Geometry geometry;
    } cases[] = {
        {"按钮3", head_ + living_content(host), kNarrow},
        {"按钮1", head_ + "<p>&nbsp;</p>" + forecast_content(host), kWide},
        {"按钮3", head_ + living_content(host), kNarrow},
        {"按钮2", head_ + kLiveContent, kWide},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        EXPECT_EQ(click(c.button), c.page);
        EXPECT_EQ(browser_geometry(), c.geometry);
    }
    EXPECT_EQ(weather_requests(), std::vector<std::string>(4, "/weather/C1.shtml"));
}

// Without its block a page still has the head, and the forecast and living-index pages
// their wrappers; nothing is reported, and the page is shown all the same.
TEST_F(PageBuilder, MissingBlocksGiveTheBarePage)
{
    const std::string empty_forecast = head_ + "<p>&nbsp;</p>" + kForecastStart + kForecastEnd;
    const std::string empty_living = head_ + kForecastStart + kForecastEnd;
    struct Case {
        const char* what;
        std::string body;
        int status;
    } cases[] = {
        {"no markers", "<html><body>nothing here</body></html>", 200},
        {"start markers only", kForecastStart + "x <div class=\"live\">x<div class=\"todayLiving\" id=\"index\">x",
         200},
        {"end markers only", kForecastEnd + "</div><div class=\"cleardiv\">", 200},
        {"end markers before the starts",
         kForecastEnd + "</div><div class=\"cleardiv\">" + kForecastStart + " <div class=\"live\">x", 200},
        {"not found", "<html><body>404 Not Found</body></html>", 404},
    };
    choose(k福田区);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server_.serve("/weather/C1.shtml", Reply{c.status, c.body});
        EXPECT_EQ(click("按钮1"), empty_forecast);
        EXPECT_EQ(click("按钮2"), head_);
        EXPECT_EQ(click("按钮3"), empty_living);
    }
    EXPECT_EQ(viewer_->boxes().size(), 1u) << "only the start's notice box";
}

TEST_F(PageBuilder, ErrorPageBodyIsThePageText)
{
    choose(k盐田区);
    EXPECT_EQ(click("按钮2"), head_ + "from the error page");
}

TEST_F(PageBuilder, EmptyOrUnknownCityCodeIsStillFetched)
{
    choose(k罗湖区);  // its code is empty
    EXPECT_EQ(click("按钮2"), head_ + kLiveContent);
    choose(k南山区);  // a code the service does not know
    EXPECT_EQ(click("按钮2"), head_);
    EXPECT_EQ(weather_requests(), (std::vector<std::string>{"/weather/.shtml", "/weather/C404.shtml"}));
}

// With nothing chosen the key is "--@": both dashes and the "@" are there.
TEST_F(PageBuilder, UnselectedBoxesStillFormAKey)
{
    EXPECT_EQ(click("按钮2"), head_ + kLiveContent);
    EXPECT_EQ(weather_requests(), std::vector<std::string>{"/weather/NONE.shtml"});
}

// A click while a page trickles in runs its handler before that download ends, nested
// inside the first; both finish, and the one that writes and points the browser last
// (the outer one) decides what is shown.
TEST_F(PageBuilder, SecondClickDuringASlowDownloadCompletesBoth)
{
    server_.serve("/weather/SLOW.shtml", Reply{200, kCityPage, std::chrono::milliseconds(3000), 30});
    server_.serve("/weather/FAST.shtml", Reply{200, " <div class=\"live\">fast</div>"});
    choose(k宝安区);
    size_t visits_before = viewer_->visits().size();

    viewer_->ok({"click", "按钮1"});
    auto saw = [&](const std::string& event) {
        auto events = server_.events();
        return std::find(events.begin(), events.end(), event) != events.end();
    };
    auto wait_for = [&](const std::string& event) {
        for (int i = 0; i < 3000 && !saw(event); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return saw(event);
    };
    ASSERT_TRUE(wait_for("request /weather/SLOW.shtml"));
    viewer_->ok({"pick", "组合框3", std::to_string(k龙岗区)});
    viewer_->ok({"click", "按钮2"});
    ASSERT_TRUE(wait_for("request /weather/FAST.shtml"));
    EXPECT_FALSE(saw("done /weather/SLOW.shtml")) << "the second click waited for the download";
    viewer_->wait_idle();

    auto visits = viewer_->visits();
    ASSERT_EQ(visits.size(), visits_before + 2);
    EXPECT_EQ(viewer_->page(int(visits_before + 1)), head_ + "fast");
    EXPECT_EQ(viewer_->page(int(visits_before + 2)), head_ + "<p>&nbsp;</p>" + forecast_content(copy_->host()));
    EXPECT_EQ(browser_geometry(), kWide);
    EXPECT_FALSE(copy_->page_file_exists());
}
