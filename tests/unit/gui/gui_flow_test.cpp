// The real program with the GTK window, on a private Xvfb display, against the weather
// service, driven through nimbra-ctl as a user would: pick a province, a city and a
// district, click each button, and check through WebKit that the weather pane shows the
// block the page builder cut out. Screenshots go to the build tree's artifacts folder.
#include "tests/support/xvfb.h"
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using viewer_e2e::field;
using viewer_e2e::ProgramCopy;
using viewer_e2e::Viewer;

namespace {

const std::string kArtifacts = NIMBRA_GUI_ARTIFACTS;

bool port_is_free(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// nimbra-weatherd on a four-digit port (the program copy replaces the compiled-in host in
// place, so the port must keep its length).
class WeatherService {
public:
    explicit WeatherService(std::vector<std::string> options = {})
    {
        std::mt19937 pick(std::random_device{}());
        for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
            int port = std::uniform_int_distribution<int>(2000, 9999)(pick);
            if (port_is_free(port) && start(port, options))
                port_ = port;
        }
    }
    ~WeatherService() { stop(); }

    int port() const { return port_; }

private:
    bool start(int port, const std::vector<std::string>& options)
    {
        log_ = fs::temp_directory_path() / ("nimbra-weatherd-" + std::to_string(port) + ".log");
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<std::string> args = {NIMBRA_WEATHERD, "--port", std::to_string(port), "--source", "model"};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            FILE* out = std::freopen(log_.c_str(), "w", stdout);
            if (!out || !std::freopen(log_.c_str(), "a", stderr))
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // Up once it says where it serves; gone when the port was taken after all.
        for (int waited = 0; waited < 3000; ++waited) {
            if (read_file(log_).find("serving on") != std::string::npos)
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        return false;
    }

    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        std::error_code ignored;
        fs::remove(log_, ignored);
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_;
};

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
        service_ = std::make_unique<WeatherService>(std::move(service_options));
        ASSERT_NE(service_->port(), 0) << "the weather service did not start";
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
