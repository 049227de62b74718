// The viewer against the real weather service and the shipped settings file: what a user
// sees on a first run with a newer version announced.
#include "tests/support/weather_service.h"
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

using namespace viewer_e2e;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(ServiceTour, NoticeListsAndThreePages)
{
    // Its notice names where it serves, 127.0.0.1:PORT: the host the program copy names.
    nimbra::testing::WeatherService service(NIMBRA_WEATHERD, {"--notice", "newer", "--source", "model"},
                                            nimbra::testing::WeatherService::kFourDigitPort);
    ASSERT_TRUE(service.running()) << service.problem();
    ProgramCopy copy(service.port(), std::nullopt);
    nimbra::testing::run_command(
        {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
    Viewer viewer(copy, true);

    auto boxes = viewer.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(field(boxes[0], "message"), "当前不是最新版本。起下载最新版本。");
    EXPECT_EQ(viewer.opened(), std::vector<std::string>{"http://" + copy.host() + "/download/nimbra.htm"});

    viewer.pick("组合框1", 0);
    auto cities = viewer.items("组合框2");
    ASSERT_FALSE(cities.empty());
    viewer.pick("组合框2", 0);
    ASSERT_FALSE(viewer.items("组合框3").empty());
    viewer.pick("组合框3", 0);

    const std::string images = "<img src=\"http://" + copy.host() + "/m2/i/";
    viewer.click("按钮1");
    std::string forecast = viewer.page(int(viewer.visits().size()));
    EXPECT_TRUE(contains(forecast, "</head><p>&nbsp;</p><div class=\"weatherYubaoBox\">")) << forecast;
    EXPECT_TRUE(contains(forecast, images)) << forecast;
    EXPECT_FALSE(contains(forecast, "<a href")) << forecast;

    viewer.click("按钮2");
    std::string live = viewer.page(int(viewer.visits().size()));
    EXPECT_FALSE(contains(live, "<p>&nbsp;</p>")) << live;
    EXPECT_FALSE(contains(live, "weatherYubaoBox")) << live;
    EXPECT_TRUE(contains(live, "</table>")) << "the whole table, up to the first </div>: " << live;

    viewer.click("按钮3");
    std::string living = viewer.page(int(viewer.visits().size()));
    EXPECT_TRUE(contains(living, "</head><div class=\"weatherYubaoBox\">")) << living;
    EXPECT_TRUE(contains(living, images)) << living;
    EXPECT_TRUE(contains(living, "穿衣")) << living;
    EXPECT_EQ(viewer.number_property("超文本浏览框1", 2), 300);

    std::string err = viewer.close_and_wait();
    EXPECT_TRUE(contains(err, "corert: 0 blocks (0 bytes) still allocated at program end")) << err;
}
