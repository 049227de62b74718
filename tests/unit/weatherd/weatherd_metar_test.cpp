// The hourly block of a place with an airport weather station, from the service as a
// process against a fake Aviation Weather Center on loopback: one request for every viewer
// and place within ten minutes, the kept reports shown up to two hours old and then the
// provider's values with the reason, and places without a station as before.
#include <gtest/gtest.h>

#include <ctime>
#include <future>

#include "tests/unit/weatherd/weatherd_harness.h"

using namespace weatherd_test;
using nlohmann::json;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr const char* kChaoyang = "101020103";  // 北京城区 朝阳区, 20 km from ZBAA
constexpr const char* kYanqing = "101020304";   // 北京远郊 延庆区, no station within 50 km

// "--date" for `seconds` from now, China time.
std::string date_in(int64_t seconds)
{
    std::time_t at = std::time(nullptr) + seconds + 8 * 3600;
    std::tm fields{};
    gmtime_r(&at, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M", &fields);
    return text;
}

TEST(WeatherdMetar, OneRequestForEveryViewerAndPlaceWithinTenMinutes)
{
    FakeOpenMeteo fake;
    fake.set_metar(zbaa_reports(std::time(nullptr)));
    TempDir cache;
    Service service({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()});
    std::vector<std::future<std::string>> viewers;
    for (int viewer = 0; viewer < 8; ++viewer)
        viewers.push_back(std::async(std::launch::async, [&service, viewer] {
            return service.page_of(viewer % 2 ? kChaoyang : "101020202") + service.page_of("101030101");
        }));
    for (auto& viewer : viewers)
        viewer.get();

    std::vector<std::string> asked = fake.metar_asked();
    ASSERT_EQ(asked.size(), 1u) << service.process.log();
    for (const char* part : {"ids=", "ZBAA", "ZBAD", "ZSSS", "ZGSZ", "&format=json&hours=14"})
        EXPECT_TRUE(contains(asked[0], part)) << asked[0];

    std::string live = cut_block(service.page_of(kChaoyang), Block::kLive);
    EXPECT_TRUE(contains(live, "实况观测：北京首都国际机场（ZBAA）机场气象站，距本地约 20 公里，数据来源 NOAA Aviation "
                               "Weather Center（美国国家海洋和大气管理局航空天气中心，公共数据），最新报告时间"))
        << live;
    EXPECT_EQ(count_of(live, kObservedRow), 12u) << live;
    EXPECT_EQ(count_of(live, "82 良"), 12u) << "the air quality stays as it was\n" << live;
    EXPECT_FALSE(contains(live, "不是气象站的实测观测")) << live;

    // A station the answer has no report of (one that stopped): the provider's values, saying why.
    std::string stopped = cut_block(service.page_of("101030101"), Block::kLive);
    EXPECT_TRUE(contains(stopped, "上海虹桥国际机场（ZSSS）机场气象站近两小时没有报告，因此下表不是实况观测。"))
        << stopped;
    EXPECT_EQ(count_of(stopped, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << stopped;

    // No station within reach: the provider's values, saying so.
    std::string far = cut_block(service.page_of(kYanqing), Block::kLive);
    EXPECT_TRUE(contains(far, "不是气象站的实测观测")) << far;
    EXPECT_FALSE(contains(far, "实况观测")) << far;
    EXPECT_EQ(count_of(far, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << far;
    EXPECT_EQ(fake.metar_asked().size(), 1u);
}

TEST(WeatherdMetar, KeptReportsAreShownUpToTwoHoursOldThenTheProvidersValuesWithTheReason)
{
    FakeOpenMeteo fake;
    fake.set_metar(zbaa_reports(std::time(nullptr)));
    TempDir cache;
    std::vector<std::string> args = {"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()};
    {
        Service first(args);
        EXPECT_TRUE(contains(first.page_of(kChaoyang), kObservedRow));
    }
    fake.set_metar("", 500);  // silent from now on

    auto later = [&](int64_t seconds) {
        std::vector<std::string> at = args;
        at.insert(at.end(), {"--date", date_in(seconds)});
        Service service(at);
        return cut_block(service.page_of(kChaoyang), Block::kLive);
    };
    // An hour on, the newest report is at most ninety minutes old.
    std::string hour_on = later(3600);
    EXPECT_TRUE(contains(hour_on, "实况观测：北京首都国际机场（ZBAA）")) << hour_on;
    EXPECT_GE(count_of(hour_on, kObservedRow), 10u) << hour_on;
    // Two and a half hours on, it is older than two hours.
    std::string too_late = later(9000);
    EXPECT_TRUE(contains(too_late, "北京首都国际机场（ZBAA）机场气象站的最新报告时间为")) << too_late;
    EXPECT_TRUE(contains(too_late, "已超过两小时，因此下表不是实况观测")) << too_late;
    EXPECT_TRUE(contains(too_late, "不是气象站的实测观测")) << too_late;
    EXPECT_EQ(count_of(too_late, kObservedRow), 0u) << too_late;
    EXPECT_EQ(count_of(too_late, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << too_late;
    // The kept reports were fresh for the ten minutes: the silent fake was never asked.
    EXPECT_EQ(fake.metar_asked().size(), 1u);
}

TEST(WeatherdMetar, TheModelMakesUpReportsForStationPlacesMarkedAsDemoData)
{
    Service service({"--source", "model", "--date", "2026-01-15T10:40"});
    std::string live = cut_block(service.page_of(kChaoyang), Block::kLive);
    EXPECT_TRUE(contains(live, "演示数据（非实况）：模拟的北京首都国际机场（ZBAA）机场气象站观测，距本地约 20 公里"))
        << live;
    EXPECT_EQ(count_of(live, "<td>—</td><td>"), 12u) << "no precipitation is reported\n" << live;
    std::string far = cut_block(service.page_of(kYanqing), Block::kLive);
    EXPECT_TRUE(contains(far, "演示数据（非实况）：本页天气由 Nimbra 天气模型生成")) << far;
    EXPECT_FALSE(contains(far, "机场")) << far;
}

TEST(WeatherdMetar, AnAnswerThatIsNotReportsIsAFailureAndTheBlockSaysItHasNone)
{
    FakeOpenMeteo fake;
    fake.set_metar("<html>maintenance</html>");
    TempDir cache;
    Service service({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()});
    std::string live = cut_block(service.page_of(kChaoyang), Block::kLive);
    EXPECT_TRUE(contains(live, "暂时无法获得北京首都国际机场（ZBAA）机场气象站的报告")) << live;
    EXPECT_EQ(count_of(live, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << live;
    EXPECT_TRUE(
        contains(service.process.log(), "metar: malformed answer: not JSON; aviationweather left alone for 600 s"))
        << service.process.log();
    service.page_of(kChaoyang);
    EXPECT_EQ(fake.metar_asked().size(), 1u) << "the failure pause spares the API the other pages";
}

}  // namespace
