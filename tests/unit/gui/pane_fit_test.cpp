// The three blocks of the weather page in the real window's pane (the GTK window on a
// private Xvfb display, against nimbra-weatherd), for the places with the longest names
// of the settings file and for each kind of source line: as WebKit lays them out, no
// block is wider than the part of the pane the window shows, and the numbers come first,
// so that three forecast days and six hourly rows are in view without scrolling.
// Screenshots of every pane go to the build tree's artifacts folder.
#include "tests/support/weather_service.h"
#include "tests/support/xvfb.h"
#include "tests/unit/viewer_e2e/viewer_session.h"
#include "tests/unit/weatherd/weatherd_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

namespace fs = std::filesystem;
using nimbra::testing::WeatherService;
using viewer_e2e::field;
using viewer_e2e::ProgramCopy;
using viewer_e2e::Viewer;

namespace {

const std::string kArtifacts = std::string(NIMBRA_GUI_ARTIFACTS) + "/pane-fit";
constexpr const char* kPane = "超文本浏览框1";

struct Place {
    std::string province, city, district, code;
};

size_t Characters(const std::string& utf8)
{
    return size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

// The entries with the longest city and district together, and with the longest district,
// from the settings file's readable source.
std::vector<Place> LongestNames()
{
    std::ifstream in(NIMBRA_CONFIG_SOURCE);
    std::vector<Place> places;
    static const std::regex kEntry("^([^-<]+)-([^-]+)-([^-@]+)@([0-9]{9})#");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, kEntry))
            places.push_back({m[1], m[2], m[3], m[4]});
    }
    if (places.empty())
        return {};
    auto longest = [&](auto length) {
        return *std::max_element(places.begin(), places.end(),
                                 [&](const Place& a, const Place& b) { return length(a) < length(b); });
    };
    Place both = longest([](const Place& p) { return Characters(p.city) + Characters(p.district); });
    Place district = longest([](const Place& p) { return Characters(p.district); });
    if (district.code == both.code)
        return {both};
    return {both, district};
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

struct Layout {
    int scroll_width = -1, client_width = -1, scroll_height = -1, client_height = -1, text_right = -1;
    std::string in_view, line;
};

class PaneFit : public ::testing::Test {
protected:
    void start(std::vector<std::string> service_options)
    {
        ASSERT_TRUE(screen_.running()) << screen_.problem();
        places_ = LongestNames();
        ASSERT_FALSE(places_.empty()) << "no entries in " << NIMBRA_CONFIG_SOURCE;
        service_ = std::make_unique<WeatherService>(NIMBRA_WEATHERD, std::move(service_options),
                                                    WeatherService::kFourDigitPort);
        ASSERT_TRUE(service_->running()) << service_->problem();
        copy_ = std::make_unique<ProgramCopy>(service_->port(), std::nullopt);
        fs::copy_file(nimbra::testing::program_directory() + "/config.ini", copy_->dir() + "/config.ini");
        // WebKit keeps stylesheets on disk for a day by address, and the services' ports
        // recur from run to run: a cache of its own measures this service's stylesheets.
        viewer_ = std::make_unique<Viewer>(*copy_, true,
                                           std::map<std::string, std::string>{{"CORERT_BACKEND", "gtk"},
                                                                              {"DISPLAY", screen_.display()},
                                                                              {"NO_AT_BRIDGE", "1"},
                                                                              {"XDG_CACHE_HOME", cache_home_.str()}});
        fs::create_directories(kArtifacts);
    }

    void pick(const std::string& combo, const std::string& text)
    {
        std::vector<std::string> items = viewer_->items(combo);
        auto found = std::find(items.begin(), items.end(), text);
        ASSERT_NE(found, items.end()) << combo << " has no " << text;
        viewer_->pick(combo, int(found - items.begin()));
    }

    Layout layout()
    {
        Layout layout;
        std::vector<std::string> lines = viewer_->ok({"page-layout", kPane});
        if (lines.size() != 1)
            return layout;
        layout.line = lines[0];
        for (auto [name, value] : {std::pair{"scroll-width", &layout.scroll_width},
                                   {"client-width", &layout.client_width},
                                   {"scroll-height", &layout.scroll_height},
                                   {"client-height", &layout.client_height},
                                   {"text-right", &layout.text_right}}) {
            std::string number = field(lines[0], name);
            *value = number.empty() ? -1 : std::stoi(number);
        }
        layout.in_view = field(lines[0], "in-view");
        return layout;
    }

    // Shows each block of each place and checks how it lies in the pane.
    void check_every_block(const std::string& source)
    {
        // The pane may reach past the window's client area; what lies beyond is never seen.
        const int window_width = viewer_->number_property("window", 2);
        for (size_t p = 0; p < places_.size(); ++p) {
            const Place& place = places_[p];
            SCOPED_TRACE(source + ": " + place.city + " " + place.district);
            pick("组合框1", place.province);
            pick("组合框2", place.city);
            pick("组合框3", place.district);
            struct Button {
                const char* name;
                const char* shot;
                const char* row_mark;  // a word each data row shows once
                size_t rows;           // how many of them must be in view
            };
            const Button buttons[] = {
                {"按钮1", "forecast", "夜间", 3},  // a day's second row: three whole days
                {"按钮2", "hourly", "毫米", 6},
                {"按钮3", "living", "", 0},
            };
            for (const Button& button : buttons) {
                SCOPED_TRACE(button.shot);
                viewer_->click(button.name);
                viewer_->ok({"wait-page", kPane, "120"});
                const int left = viewer_->number_property(kPane, 0);
                const int width = viewer_->number_property(kPane, 2);
                Layout shown = layout();
                ASSERT_GT(shown.client_width, 0) << shown.line;
                EXPECT_LE(shown.client_width, width) << shown.line;
                EXPECT_LE(shown.scroll_width, shown.client_width) << "a horizontal scroll bar: " << shown.line;
                EXPECT_LE(shown.text_right, std::min(shown.client_width, window_width - left))
                    << "text cut at the right edge: " << shown.line;
                EXPECT_NE(shown.in_view.find(place.district), std::string::npos)
                    << "the title is not in view: " << shown.line;
                if (button.rows > 0) {
                    EXPECT_GE(Count(shown.in_view, button.row_mark), button.rows) << shown.line;
                }
                viewer_->ok({"screenshot",
                             kArtifacts + "/" + source + "-" + std::to_string(p + 1) + "-" + button.shot + ".png"});
            }
        }
    }

    nimbra::testing::Xvfb screen_;
    weatherd_test::TempDir cache_home_;
    std::vector<Place> places_;
    std::unique_ptr<WeatherService> service_;
    std::unique_ptr<ProgramCopy> copy_;
    std::unique_ptr<Viewer> viewer_;
};

TEST_F(PaneFit, TheModelsBlocksMarkedAsDemoData)
{
    start({"--source", "model", "--date", "2026-06-15T14:00"});
    check_every_block("model");
    viewer_->close_and_wait();
}

TEST_F(PaneFit, TheProvidersBlocksWithTheirAttribution)
{
    weatherd_test::FakeOpenMeteo fake;
    weatherd_test::TempDir cache;
    start({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str()});
    check_every_block("provider");
    viewer_->close_and_wait();
}

// The longest source lines: forecast and air quality kept from two hours ago, the provider
// failing, so each line says how old its data is.
TEST_F(PaneFit, KeptBlocksSayingHowOldTheirDataIs)
{
    weatherd_test::FakeOpenMeteo fake;
    fake.set(weatherd_test::Answer::kServerError);
    fake.set_air_quality(weatherd_test::Answer::kServerError);
    weatherd_test::TempDir cache;
    const int64_t fetched_at =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() -
        125 * 60;
    for (const Place& place : LongestNames()) {
        std::ofstream(cache.path() / ("forecast-" + place.code + ".json"))
            << "nimbra-weatherd forecast fetched_at=" << fetched_at << "\n"
            << weatherd_test::forecast_fixture(45, 120).dump();
        std::ofstream(cache.path() / ("air-quality-" + place.code + ".json"))
            << "nimbra-weatherd air-quality fetched_at=" << fetched_at << "\n"
            << weatherd_test::air_quality_fixture(45, 120).dump();
    }
    start({"--source", "open-meteo", "--upstream", fake.url(), "--cache-dir", cache.str(), "--failure-pause", "0"});
    check_every_block("kept");
    viewer_->close_and_wait();
}

}  // namespace
