// A long session of the real program: startup, 50 picks and 50 clicks in ten rounds, each
// round with a click and a pick made while a slow page downloads (so their handlers run
// nested in the download's), then close. Nothing may be left allocated at the end (the
// runtime counts its blocks; in the sanitizer build LeakSanitizer checks the rest and
// fails the exit status), and the program's memory after the first round must not keep
// growing.
#include "tests/unit/reliability/reliability_support.h"
#include "tests/unit/viewer_e2e/viewer_session.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

using namespace viewer_e2e;

namespace {

std::string settings_file()
{
    return "<广东>\r\n广东-深圳-福田区@FAST#\r\n广东-深圳-宝安区@SLOW#\r\n广东-广州-天河区@FAST#\r\n</广东>\r\n"
           "<深圳>\r\n广东-深圳-福田区@FAST#\r\n广东-深圳-宝安区@SLOW#\r\n广东-深圳-南山区@FAST#\r\n</深圳>\r\n"
           "<北京.>\r\n北京.-东城-甲@FAST#\r\n北京.-西城-乙@FAST#\r\n</北京.>\r\n";
}

}  // namespace

TEST(LongSession, FiftyPicksAndFiftyClicksLeaveNothingBehind)
{
    TestServer server;
    const std::string page = " <div class=\"live\">fast</div><div class=\"weatherYubaoBox\">x"
                             "<div class=\"weatherYubao\" id=\"weatherYubao2\"><div class=\"todayLiving\" id=\"index\">"
                             "y<div class=\"cleardiv\">";
    server.serve("/weather/FAST.shtml", Reply{200, page});
    server.serve("/weather/SLOW.shtml", Reply{200, page, std::chrono::milliseconds(1000), 20});
    ProgramCopy copy(server.port(), settings_file());
    Viewer viewer(copy, true);
    pid_t pid = reliability::pid_of(copy.dir() + "/nimbra");
    ASSERT_GT(pid, 0);
    const long start_rss = reliability::status_kb(pid, "VmRSS");
    long first_round_rss = 0;
    const size_t start_visits = viewer.visits().size();

    int picks = 0, clicks = 0;
    auto pick = [&](const char* combo, int index, bool wait) {
        viewer.ok({"pick", combo, std::to_string(index)});
        ++picks;
        if (wait)
            viewer.wait_idle();
    };
    auto click = [&](const char* button, bool wait) {
        viewer.ok({"click", button});
        ++clicks;
        if (wait)
            viewer.wait_idle();
    };
    auto slow_requests = [&] {
        auto paths = server.requested_paths();
        return std::count(paths.begin(), paths.end(), "/weather/SLOW.shtml");
    };

    for (int round = 0; round < 10; ++round) {
        pick("组合框1", 0, true);  // 广东
        pick("组合框2", 0, true);  // 深圳
        pick("组合框3", 0, true);  // 福田区: the fast page
        for (const char* button : {"按钮1", "按钮2", "按钮3"})
            click(button, true);
        pick("组合框3", 1, true);  // 宝安区: the slow page
        auto slow_before = slow_requests();
        click("按钮1", false);
        for (int i = 0; i < 3000 && slow_requests() == slow_before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // While it downloads: another district and another button, handled nested.
        pick("组合框3", 2, false);
        click("按钮2", true);
        if (round == 0)
            first_round_rss = reliability::status_kb(pid, "VmRSS");
    }
    const long end_rss = reliability::status_kb(pid, "VmRSS");

    EXPECT_EQ(picks, 50);
    EXPECT_EQ(clicks, 50);
    EXPECT_EQ(viewer.visits().size(), start_visits + 50) << "every click shows a page";
    EXPECT_EQ(slow_requests(), 10);
    int nested = 0;
    bool downloading = false;
    for (const auto& event : server.events()) {
        if (event == "request /weather/SLOW.shtml" || event == "done /weather/SLOW.shtml")
            downloading = event[0] == 'r';
        else if (downloading && event == "request /weather/FAST.shtml")
            ++nested;
    }
    EXPECT_EQ(nested, 10) << "each round's second click ran during the slow download";
    std::printf("[ long session ] RSS at start %ld KB, after the first round %ld KB, at the end %ld KB\n", start_rss,
                first_round_rss, end_rss);
    EXPECT_LT(end_rss - first_round_rss, (reliability::kSanitized ? 64 : 8) * 1024) << "RSS keeps growing";

    // Exit status 0 (checked here): under LeakSanitizer that means no leak was found.
    std::string err = viewer.close_and_wait();
    const std::string clean = "corert: 0 blocks (0 bytes) still allocated at program end";
    EXPECT_NE(err.find(clean), std::string::npos) << err;
    std::printf("[ long session ] %s\n", err.find(clean) != std::string::npos ? clean.c_str() : err.c_str());
}
