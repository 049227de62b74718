// The viewer against the real weather service and the shipped settings file: what a user
// sees on a first run with a newer version announced.
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace viewer_e2e;

namespace {

// nimbra-weatherd on a four-digit port (the program copy names it in place of 8370).
class WeatherService {
public:
    WeatherService()
    {
        std::mt19937 generator(std::random_device {}());
        for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
            int port = std::uniform_int_distribution<int>(2000, 9999)(generator);
            if (port != 8370 && start(port))
                port_ = port;
        }
    }
    ~WeatherService() { stop(); }
    int port() const { return port_; }

private:
    // True once it prints its ready line; false when it ends first (a busy port).
    bool start(int port)
    {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            return false;
        std::string port_text = std::to_string(port);
        std::string host = "--host=127.0.0.1:" + port_text;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipe_fds[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(pipe_fds[0]);
            execl(NIMBRA_WEATHERD, NIMBRA_WEATHERD, "--port", port_text.c_str(), host.c_str(), "--notice", "newer",
                  "--source", "model", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipe_fds[1]);
        std::string line;
        char c;
        while (read(pipe_fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(pipe_fds[0]);
        if (line.rfind("nimbra-weatherd: serving on", 0) == 0)
            return true;
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
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(ServiceTour, NoticeListsAndThreePages)
{
    WeatherService service;
    ASSERT_NE(service.port(), 0) << "nimbra-weatherd did not start";
    ProgramCopy copy(service.port(), std::nullopt);
    nimbra::testing::run_command(
        {"/bin/cp", nimbra::testing::program_directory() + "/config.ini", copy.dir() + "/config.ini"});
    Viewer viewer(copy, true);

    auto boxes = viewer.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(field(boxes[0], "message"), "当前不是最新版本。起下载最新版本。");
    EXPECT_EQ(viewer.opened(), std::vector<std::string> {"http://" + copy.host() + "/download/nimbra.htm"});

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
