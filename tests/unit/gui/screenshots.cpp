// The README's pictures of the real window: the program on a private Xvfb display against
// nimbra-weatherd with the model source and a fixed date, so that every run draws the same
// pictures. scripts/screenshots builds this and runs it with NIMBRA_SCREENSHOTS set to
// docs/images; it is a tool, not part of the test suite (the GUI tests check the window).
#include "tests/support/weather_service.h"
#include "tests/support/xvfb.h"
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using viewer_e2e::ProgramCopy;
using viewer_e2e::Viewer;

namespace {

// A summer afternoon: every block of the model's pages is filled.
constexpr const char* kDate = "2026-06-15T14:00";

TEST(Screenshots, StartForecastHourlyObservationsLivingIndexes)
{
    const char* out = std::getenv("NIMBRA_SCREENSHOTS");
    ASSERT_TRUE(out && *out) << "NIMBRA_SCREENSHOTS names the directory for the pictures";
    fs::create_directories(out);

    nimbra::testing::Xvfb screen;
    ASSERT_TRUE(screen.running()) << screen.problem();
    nimbra::testing::WeatherService service(NIMBRA_WEATHERD, {"--source", "model", "--date", kDate},
                                            nimbra::testing::WeatherService::kFourDigitPort);
    ASSERT_TRUE(service.running()) << service.problem();
    ProgramCopy copy(service.port(), std::nullopt);
    fs::copy_file(nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini");
    Viewer viewer(copy, true, {{"CORERT_BACKEND", "gtk"}, {"DISPLAY", screen.display()}, {"NO_AT_BRIDGE", "1"}});

    auto shoot = [&](const std::string& name) {
        viewer.ok({"screenshot", (fs::path(out) / (name + ".png")).string()});
    };
    viewer.ok({"wait-page", "超文本浏览框4", "120"});
    viewer.ok({"wait-page", "超文本浏览框2", "120"});
    shoot("start");

    viewer.pick("组合框1", 0);
    viewer.pick("组合框2", 0);
    viewer.pick("组合框3", 0);
    const std::pair<const char*, const char*> pages[] = {
        {"按钮1", "forecast"}, {"按钮2", "hourly"}, {"按钮3", "living"}};
    for (const auto& [button, name] : pages) {
        viewer.click(button);
        viewer.ok({"wait-page", "超文本浏览框1", "120"});
        shoot(name);
    }
    viewer.close_and_wait();
}

}  // namespace
