// The real viewer, headless, against nimbra-weatherd serving the fake provider's forecast
// and air quality: a user picks 广东 / 广州 / 越秀区 and presses the three buttons; then places
// whose point the data had under another name or that are banners, each asked for at its
// own position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <random>

#include "tests/unit/viewer_e2e/viewer_session.h"
#include "tests/unit/weatherd/weatherd_harness.h"

using namespace viewer_e2e;
using namespace weatherd_test;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Where a place's government sits (WGS-84, read off a map to about a kilometre), and how far
// the point asked for may lie from it: the data's points are district centres.
struct Seat {
    double latitude, longitude;
};
constexpr double kNearEnoughKm = 5.0;

double km_between(const Asked& asked, Seat seat)
{
    constexpr double kEarthRadiusKm = 6371.0, kRadians = M_PI / 180.0;
    double north = (asked.latitude - seat.latitude) * kRadians;
    double east = (asked.longitude - seat.longitude) * kRadians * std::cos(seat.latitude * kRadians);
    return kEarthRadiusKm * std::hypot(north, east);
}

int index_of(const std::vector<std::string>& items, const std::string& text)
{
    auto found = std::find(items.begin(), items.end(), text);
    EXPECT_NE(found, items.end()) << text;
    return found == items.end() ? 0 : int(found - items.begin());
}

// The program copy names its servers by a four-digit port, so the service must take one.
std::unique_ptr<ServiceProcess> start_on_four_digit_port(std::vector<std::string> args, int& port)
{
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
        int candidate = std::uniform_int_distribution<int>(2000, 9999)(random);
        if (candidate == 8370)
            continue;
        std::vector<std::string> command = {NIMBRA_WEATHERD, "--port", std::to_string(candidate)};
        command.insert(command.end(), args.begin(), args.end());
        auto service = std::make_unique<ServiceProcess>(command);
        if ((port = service->wait_ready()) == candidate)
            return service;
    }
    port = 0;
    return nullptr;
}

// The viewer with 广东 / 广州 / 越秀区 picked, against a service on the fake provider.
struct PickedPlace {
    explicit PickedPlace(FakeOpenMeteo& fake)
        : service(start_on_four_digit_port(
              {"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()}, port)),
          copy(port, std::nullopt)
    {
        nimbra::testing::run_command(
            {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
        viewer = std::make_unique<Viewer>(copy, true);
        viewer->pick("组合框1", 0);
        EXPECT_EQ(viewer->items("组合框2").at(0), "广州");
        viewer->pick("组合框2", 0);
        EXPECT_EQ(viewer->items("组合框3").at(0), "越秀区");
        viewer->pick("组合框3", 0);
    }
    std::string show(const char* button)
    {
        viewer->click(button);
        return viewer->page(int(viewer->visits().size()));
    }

    TempDir cache;
    int port = 0;
    std::unique_ptr<ServiceProcess> service;
    ProgramCopy copy;
    std::unique_ptr<Viewer> viewer;
};

TEST(WeatherdViewer, TheThreeButtonsShowTheProvidersForecastForThePlacePicked)
{
    FakeOpenMeteo fake;
    PickedPlace picked(fake);
    ASSERT_TRUE(picked.service) << "nimbra-weatherd did not start on a four-digit port";
    Viewer& viewer = *picked.viewer;

    std::string forecast = picked.show("按钮1");
    std::vector<std::string> temperatures;
    for (int d = 1; d <= 7; ++d)
        temperatures.insert(temperatures.end(), {std::to_string(30 + d) + "℃", std::to_string(10 + d) + "℃"});
    EXPECT_EQ(enclosed(forecast, "<strong>", "</strong>"), temperatures) << forecast;
    EXPECT_TRUE(contains(forecast, "越秀区 7天天气预报")) << forecast;
    // The five days the air-quality forecast covers, then none.
    std::vector<std::string> levels(5, "空气良");
    levels.insert(levels.end(), 2, "空气—");
    EXPECT_EQ(enclosed(forecast, "class=\"aqi\">", "</td>"), levels) << forecast;
    EXPECT_TRUE(
        contains(visible_text(forecast), "空气质量：CAMS 模式值（非监测站数据），经 Open-Meteo.com（CC BY 4.0）"))
        << forecast;

    std::string live = picked.show("按钮2");
    EXPECT_EQ(count_of(live, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << live;
    EXPECT_TRUE(contains(live, "数据来源 Open-Meteo.com（CC BY 4.0）")) << live;
    EXPECT_EQ(count_of(live, "<td>东南风 4级</td><td>82 良</td>"), 12u) << live;
    EXPECT_TRUE(contains(visible_text(live), "不是气象站的实测观测")) << live;
    EXPECT_TRUE(contains(live, "整点天气实况")) << live;

    std::string living = picked.show("按钮3");
    EXPECT_TRUE(contains(living, "紫外线指数</dt>\n<dd><b>强</b>")) << living;
    EXPECT_TRUE(contains(living, "空气质量</dt>\n<dd><b>良</b>")) << living;
    EXPECT_TRUE(contains(living, "空气质量指数 82（黄色，2级），首要污染物：细颗粒物(PM2.5)。")) << living;
    EXPECT_TRUE(contains(living, "极少数异常敏感人群应减少户外活动")) << living;

    // One request of each kind for the three pages, at the district's own position (越秀区's
    // government).
    for (const std::vector<Asked>& asked : {fake.asked(), fake.air_quality_asked()}) {
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_LT(km_between(asked[0], {23.129, 113.264}), kNearEnoughKm);
    }

    std::string err = viewer.close_and_wait();
    EXPECT_TRUE(contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

TEST(WeatherdViewer, WithoutTheAirQualityTheWeatherStaysWholeAndAirQualityReadsDash)
{
    FakeOpenMeteo fake;
    fake.set_air_quality(Answer::kServerError);
    PickedPlace picked(fake);
    ASSERT_TRUE(picked.service) << "nimbra-weatherd did not start on a four-digit port";

    std::string forecast = picked.show("按钮1");
    EXPECT_EQ(enclosed(forecast, "<strong>", "</strong>").size(), 14u) << forecast;
    EXPECT_EQ(enclosed(forecast, "class=\"aqi\">", "</td>"), std::vector<std::string>(7, "空气—")) << forecast;
    std::string live = picked.show("按钮2");
    EXPECT_EQ(count_of(live, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td><td>—</td>"), 12u) << live;
    std::string living = picked.show("按钮3");
    EXPECT_TRUE(contains(living, "紫外线指数</dt>\n<dd><b>强</b>")) << living;
    EXPECT_TRUE(contains(living, "空气质量</dt>\n<dd><b>—</b>")) << living;
    for (const std::string& block : {forecast, live, living})
        EXPECT_TRUE(contains(block, "空气质量：数据来源 Open-Meteo.com 暂时无法访问")) << block;
    EXPECT_EQ(fake.asked().size(), 1u);
    EXPECT_EQ(fake.air_quality_asked().size(), 1u) << "the failure pause spares the provider the other pages";
    picked.viewer->close_and_wait();
}

// 朝阳区 lies 20 km from Beijing Capital airport (ZBAA), whose reports the fake serves;
// 延庆区 has no station within 50 km.
TEST(WeatherdViewer, ABeijingDistrictNearZbaaShowsTheAirportsObservations)
{
    FakeOpenMeteo fake;
    fake.set_metar(zbaa_reports(std::time(nullptr)));
    TempDir cache;
    int port = 0;
    auto service = start_on_four_digit_port(
        {"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()}, port);
    ASSERT_TRUE(service) << "nimbra-weatherd did not start on a four-digit port";
    ProgramCopy copy(port, std::nullopt);
    nimbra::testing::run_command(
        {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
    Viewer viewer(copy, true);
    auto live_of = [&](const char* city, const char* district) {
        viewer.pick("组合框1", 1);
        viewer.pick("组合框2", index_of(viewer.items("组合框2"), city));
        viewer.pick("组合框3", index_of(viewer.items("组合框3"), district));
        viewer.click("按钮2");
        return viewer.page(int(viewer.visits().size()));
    };

    std::string near = live_of("北京城区", "朝阳区");
    EXPECT_TRUE(contains(near, "朝阳区 整点天气实况")) << near;
    EXPECT_TRUE(contains(near, "实况观测：北京首都国际机场（ZBAA）机场气象站，距本地约 20 公里")) << near;
    EXPECT_TRUE(contains(near, "NOAA Aviation Weather Center")) << near;
    EXPECT_EQ(count_of(near, kObservedRow), 12u) << near;

    std::string far = live_of("北京远郊", "延庆区");
    EXPECT_TRUE(contains(far, "延庆区 整点天气实况")) << far;
    EXPECT_TRUE(contains(far, "不是气象站的实测观测")) << far;
    EXPECT_EQ(count_of(far, "<td>64%</td><td>0.3毫米</td><td>东南风 4级</td>"), 12u) << far;
    EXPECT_EQ(fake.metar_asked().size(), 1u);

    std::string err = viewer.close_and_wait();
    EXPECT_TRUE(contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

// 上党区 is the former 长治县, which is where the data has its point; 东乌珠穆沁旗 is a banner
// of a 盟, a kind of city the file did not have before.
TEST(WeatherdViewer, RenamedPlacesAndBannersAreAskedForAtTheirOwnPosition)
{
    FakeOpenMeteo fake;
    TempDir cache;
    int port = 0;
    auto service = start_on_four_digit_port(
        {"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()}, port);
    ASSERT_TRUE(service) << "nimbra-weatherd did not start on a four-digit port";
    ProgramCopy copy(port, std::nullopt);
    nimbra::testing::run_command(
        {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
    Viewer viewer(copy, true);

    struct Case {
        int province;
        const char *city, *district;
        Seat seat;
    } cases[] = {{9, "长治", "上党区", {36.05, 113.05}}, {7, "锡林郭勒盟", "东乌珠穆沁旗", {45.51, 116.97}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.district);
        viewer.pick("组合框1", c.province);
        viewer.pick("组合框2", index_of(viewer.items("组合框2"), c.city));
        viewer.pick("组合框3", index_of(viewer.items("组合框3"), c.district));
        size_t before = fake.asked().size();
        viewer.click("按钮1");
        EXPECT_TRUE(contains(viewer.page(int(viewer.visits().size())), std::string(c.district) + " 7天天气预报"));
        std::vector<Asked> asked = fake.asked();
        ASSERT_EQ(asked.size(), before + 1);
        EXPECT_LT(km_between(asked.back(), c.seat), kNearEnoughKm)
            << asked.back().latitude << ", " << asked.back().longitude;
    }
    std::string err = viewer.close_and_wait();
    EXPECT_TRUE(contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}

}  // namespace
