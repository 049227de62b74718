// The real program with the GTK window, on a private Xvfb display, against the weather
// service, driven through nimbra-ctl as a user would: pick a province, a city and a
// district, click each button, and check through WebKit that the weather pane shows the
// block the page builder cut out. Screenshots go to the build tree's artifacts folder.
#include "tests/support/weather_service.h"
#include "tests/support/xvfb.h"
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using nimbra::testing::WeatherService;
using viewer_e2e::field;
using viewer_e2e::ProgramCopy;
using viewer_e2e::Viewer;

namespace {

const std::string kArtifacts = NIMBRA_GUI_ARTIFACTS;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The visible pieces of text in HTML: what lies between the tags, outside scripts and
// styles, with the common entities decoded and blanks collapsed.
std::string collapse_blanks(std::string_view text)
{
    std::string out;
    bool blank = false;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool is_blank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xA0) {
            is_blank = true;  // a no-break space
            ++i;
        }
        if (is_blank) {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += static_cast<char>(c);
    }
    return out;
}

std::vector<std::string> text_pieces(std::string_view html)
{
    static const std::pair<std::string_view, std::string_view> kEntities[] = {
        {"&nbsp;", " "}, {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < html.size()) {
        size_t open = html.find('<', at);
        std::string_view text = html.substr(at, open == std::string_view::npos ? std::string_view::npos : open - at);
        std::string decoded(text);
        for (auto& [entity, meaning] : kEntities) {
            for (size_t p = decoded.find(entity); p != std::string::npos; p = decoded.find(entity, p))
                decoded.replace(p, entity.size(), meaning);
        }
        if (std::string piece = collapse_blanks(decoded); !piece.empty())
            pieces.push_back(piece);
        if (open == std::string_view::npos)
            break;
        size_t close = html.find('>', open);
        if (close == std::string_view::npos)
            break;
        std::string_view tag = html.substr(open, close - open);
        at = close + 1;
        for (std::string_view hidden : {"<script", "<style"}) {
            if (tag.starts_with(hidden)) {
                size_t end = html.find("</" + std::string(hidden.substr(1)), at);
                at = end == std::string_view::npos ? html.size() : html.find('>', end) + 1;
            }
        }
    }
    return pieces;
}

// Width and height of a PNG, from its header.
std::pair<uint32_t, uint32_t> png_size(const std::string& path)
{
    std::string bytes = read_file(path);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0)
        return {0, 0};
    auto word = [&](size_t at) {
        return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
               uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
    };
    return {word(16), word(20)};
}

class GuiFlow : public ::testing::Test {
protected:
    void start(std::vector<std::string> service_options = {})
    {
        ASSERT_TRUE(screen_.running()) << screen_.problem();
        service_options.insert(service_options.begin(), {"--source", "model"});
        service_ = std::make_unique<WeatherService>(NIMBRA_WEATHERD, std::move(service_options),
                                                    WeatherService::kFourDigitPort);
        ASSERT_TRUE(service_->running()) << service_->problem();
        copy_ = std::make_unique<ProgramCopy>(service_->port(), std::nullopt);
        fs::copy_file(nimbra::testing::program_directory() + "/config.ini", copy_->dir() + "/config.ini");
        viewer_ = std::make_unique<Viewer>(*copy_, true,
                                           std::map<std::string, std::string>{{"CORERT_BACKEND", "gtk"},
                                                                              {"DISPLAY", screen_.display()},
                                                                              {"NO_AT_BRIDGE", "1"}});
        fs::create_directories(kArtifacts);
    }

    void screenshot(const std::string& name)
    {
        std::string path = kArtifacts + "/" + name + ".png";
        viewer_->ok({"screenshot", path});
        // The picture is the client area, at the stored size.
        EXPECT_EQ(png_size(path), std::make_pair(662u, 411u)) << path;
    }

    void wait_page(const std::string& browser) { viewer_->ok({"wait-page", browser, "120"}); }

    std::string visible_text(const std::string& browser)
    {
        std::vector<std::string> lines = viewer_->ok({"page-text", browser});
        if (lines.size() != 1 || !lines[0].starts_with("text "))
            return {};
        return collapse_blanks(field("x text=" + lines[0].substr(5), "text"));
    }

    // Clicks the button, waits for its handler and for the weather pane's page, and
    // checks that the pane shows every piece of text of the block the builder wrote.
    void click_and_check(const std::string& button, const std::string& shot)
    {
        viewer_->click(button);
        std::vector<std::string> visits = viewer_->visits();
        ASSERT_FALSE(visits.empty());
        const std::string& last = visits.back();
        ASSERT_EQ(field(last, "name"), "超文本浏览框1") << last;
        ASSERT_EQ(field(last, "kind"), "file") << last;
        std::string page = viewer_->page(std::stoi(last.substr(std::string("visit ").size())));

        wait_page("超文本浏览框1");
        std::string shown = visible_text("超文本浏览框1");
        size_t head_end = page.find("</head>");
        ASSERT_NE(head_end, std::string::npos);
        std::vector<std::string> pieces = text_pieces(std::string_view(page).substr(head_end + 7));
        EXPECT_GE(pieces.size(), 5u) << button << ": the block holds almost no text";
        for (const std::string& piece : pieces)
            EXPECT_NE(shown.find(piece), std::string::npos) << button << ": \"" << piece << "\" is not shown";
        screenshot(shot);
    }

    void pick_place()
    {
        viewer_->pick("组合框1", 0);
        viewer_->pick("组合框2", 0);
        viewer_->pick("组合框3", 0);
        EXPECT_FALSE(viewer_->items("组合框3").empty());
    }

    nimbra::testing::Xvfb screen_;
    std::unique_ptr<WeatherService> service_;
    std::unique_ptr<ProgramCopy> copy_;
    std::unique_ptr<Viewer> viewer_;
};

TEST_F(GuiFlow, PicksAndEachButtonShowTheirBlockInTheWeatherPane)
{
    start();
    wait_page("超文本浏览框4");
    wait_page("超文本浏览框2");
    EXPECT_NE(visible_text("超文本浏览框4").find("Nimbra"), std::string::npos);
    screenshot("1-start");

    pick_place();
    screenshot("2-picked");
    click_and_check("按钮1", "3-forecast");
    click_and_check("按钮2", "4-live");
    click_and_check("按钮3", "5-living-index");
    // The living-index builder narrowed the pane; the forecast puts it back.
    EXPECT_EQ(viewer_->number_property("超文本浏览框1", 2), 300);
    click_and_check("按钮1", "6-forecast-again");
    EXPECT_EQ(viewer_->number_property("超文本浏览框1", 2), 672);
    // The builders deleted the page file; the pane still shows what it read.
    EXPECT_FALSE(copy_->page_file_exists());
}

TEST_F(GuiFlow, WindowKeepsAnsweringWhileASlowPageDownloads)
{
    start({"--slow-weather", "15"});
    pick_place();
    viewer_->ok({"click", "按钮1"});
    // The click's handler is inside its download (the page trickles in over 15 s).
    bool downloading = false;
    for (int i = 0; i < 600 && !downloading; ++i) {
        downloading = viewer_->ok({"state"}).at(0).find("handlers=1") != std::string::npos;
        if (!downloading)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(downloading);
    // Queries answer from the automation threads; a screenshot needs the window's own
    // thread, which only ProcessEvents inside the download lets run.
    EXPECT_EQ(viewer_->ok({"units"}).size(), 13u);
    EXPECT_EQ(viewer_->number_property("组合框1", 19), 0);
    screenshot("slow-during-download");
    EXPECT_NE(viewer_->ok({"state"}).at(0).find("handlers=1"), std::string::npos)
        << "the download ended before the window was asked: nothing was shown";

    viewer_->wait_idle();
    wait_page("超文本浏览框1");
    EXPECT_NE(visible_text("超文本浏览框1").find("7天天气预报"), std::string::npos);
    screenshot("slow-after-download");
}

// A display nobody serves: the program says so and runs with the headless window.
TEST(GuiFallback, WithoutAUsableDisplayTheWindowIsHeadless)
{
    nimbra::testing::ProgramRunner program(
        {{"CORERT_BACKEND", "gtk"}, {"DISPLAY", ":32767"}, {"CORERT_AUTO_ANSWER", "1"}});
    ASSERT_TRUE(program.wait_ready()) << program.stderr_text();
    EXPECT_EQ(program.ctl({"wait-idle", "60"}).status, 0);
    auto text = program.ctl({"page-text", "超文本浏览框4"});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.err.find("headless"), std::string::npos) << text.err;
    EXPECT_EQ(program.ctl({"close"}).status, 0);
    EXPECT_EQ(program.wait_exit(), 0);
    EXPECT_NE(program.stderr_text().find("cannot open the display; using headless"), std::string::npos)
        << program.stderr_text();
}

}  // namespace
