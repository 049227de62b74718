// The version notice, end to end: the real program fetches the notice from a test server
// when its window has been created, and the message boxes and OpenWebPage calls it makes
// are read back through nimbra-ctl.
#include "tests/unit/viewer_e2e/viewer_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace viewer_e2e;

namespace {

const char* const kNotLatest = "当前不是最新版本。起下载最新版本。";
const char* const kUnreachable = "服务器正在更新或你未连接到网络";

struct Outcome {
    std::vector<std::string> messages;  // of the boxes, oldest first
    std::vector<std::string> opened;
    std::string stderr_text;
};

Outcome run_with_port(int port)
{
    ProgramCopy copy(port, std::nullopt);
    Outcome outcome;
    {
        Viewer viewer(copy, true);
        for (const auto& line : viewer.boxes()) {
            EXPECT_EQ(field(line, "flags"), "0") << line;
            EXPECT_EQ(field(line, "title"), "") << "the title is left out: " << line;
            outcome.messages.push_back(field(line, "message"));
        }
        outcome.opened = viewer.opened();
        outcome.stderr_text = viewer.close_and_wait();
    }
    return outcome;
}

Outcome run_with_notice(const Reply& notice)
{
    TestServer server;
    server.serve("/day/shenzhen.txt", notice);
    return run_with_port(server.port());
}

}  // namespace

TEST(VersionNotice, EachNoticeGivesItsMessageAndAddress)
{
    struct Case {
        const char* what;
        std::string notice;
        std::vector<std::string> messages;
        std::vector<std::string> opened;
    };
    const std::string bom = "\xEF\xBB\xBF";
    const Case cases[] = {
        {"equal version", "1.0----http://example.test/dl/", {}, {}},
        {"newer, with an address", "1.1----http://example.test/dl/", {kNotLatest}, {"http://example.test/dl/"}},
        {"newer, nothing after the separator", "1.1----", {kNotLatest}, {""}},
        {"one field only, newer", "1.1", {}, {}},
        {"one field only, equal", "1.0", {}, {}},
        {"line break before the separator",
         "1.0\r\n----http://example.test/dl/",
         {kNotLatest},
         {"http://example.test/dl/"}},
        {"address with a trailing line break",
         "1.1----http://example.test/dl/\r\n",
         {kNotLatest},
         {"http://example.test/dl/\r\n"}},
        {"three fields",
         "1.1----http://example.test/a/----http://example.test/b/",
         {kNotLatest},
         {"http://example.test/a/"}},
        {"three fields, equal", "1.0----http://example.test/a/----1.1", {}, {}},
        {"byte-order mark", bom + "1.0----http://example.test/dl/", {kNotLatest}, {"http://example.test/dl/"}},
        {"empty notice", "", {kUnreachable}, {}},
        {"separator only", "----", {kNotLatest}, {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome outcome = run_with_notice(Reply{200, c.notice});
        EXPECT_EQ(outcome.messages, c.messages);
        EXPECT_EQ(outcome.opened, c.opened);
        EXPECT_NE(outcome.stderr_text.find("corert: 0 blocks (0 bytes) still allocated at program end"),
                  std::string::npos)
            << outcome.stderr_text;
    }
}

TEST(VersionNotice, UnreachableOrFailingServerGivesTheConnectionMessage)
{
    {
        SCOPED_TRACE("nothing listens");
        DeadPort dead;
        Outcome outcome = run_with_port(dead.port());
        EXPECT_EQ(outcome.messages, std::vector<std::string>{kUnreachable});
        EXPECT_TRUE(outcome.opened.empty());
    }
    {
        // A notice behind an error status is no notice at all, whatever its body says.
        SCOPED_TRACE("404");
        Outcome outcome = run_with_notice(Reply{404, "1.1----http://example.test/dl/"});
        EXPECT_EQ(outcome.messages, std::vector<std::string>{kUnreachable});
        EXPECT_TRUE(outcome.opened.empty());
    }
}

// The message comes first; the address is opened only once the user has closed it.
TEST(VersionNotice, AddressIsOpenedAfterTheMessageIsClosed)
{
    TestServer server;
    server.serve("/day/shenzhen.txt", Reply{200, "1.1----http://example.test/dl/"});
    ProgramCopy copy(server.port(), std::nullopt);
    Viewer viewer(copy, false);
    auto boxes = viewer.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find(" open "), std::string::npos) << boxes[0];
    EXPECT_TRUE(viewer.opened().empty());
    viewer.ok({"answer"});
    viewer.wait_idle();
    EXPECT_EQ(viewer.opened(), std::vector<std::string>{"http://example.test/dl/"});
    EXPECT_EQ(viewer.ok({"state"}).at(0).find("box=none") != std::string::npos, true);
}

// Every address is handed to OpenWebPage, but only web addresses reach the desktop's
// opener: the notice comes from a server, and a file or program address from there must
// not be launched. A notice saved with a final line break still opens its address,
// without the line break; a line break inside an address refuses it.
TEST(VersionNotice, OnlyWebAddressesAreLaunched)
{
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/nimbra-opener-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string opener = dir + "/opener";
    std::string record = dir + "/opened.txt";
    {
        std::ofstream script(opener);
        script << "#!/bin/sh\nprintf '[%s]\\n' \"$1\" >> " << record << "\n";
    }
    fs::permissions(opener, fs::perms::owner_all);

    auto run = [&](const std::string& address) {
        TestServer server;
        server.serve("/day/shenzhen.txt", Reply{200, "1.1----" + address});
        ProgramCopy copy(server.port(), std::nullopt);
        Viewer viewer(copy, true, {{"NIMBRA_OPEN_WITH", opener}});
        EXPECT_EQ(viewer.opened(), std::vector<std::string>{address}) << "recorded as it was given";
        viewer.close_and_wait();
    };
    auto recorded = [&] {
        std::ifstream in(record);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // The opener runs on its own; give it time on a busy machine.
    auto wait_for_lines = [&](size_t lines) {
        for (int i = 0; i < 200; ++i) {
            std::string text = recorded();
            if (size_t(std::count(text.begin(), text.end(), '\n')) >= lines)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    };

    run("http://example.test/dl/");
    wait_for_lines(1);
    run("http://example.test/saved-with-a-line-break/\r\n");
    wait_for_lines(2);
    const std::string launched = "[http://example.test/dl/]\n[http://example.test/saved-with-a-line-break/]\n";
    EXPECT_EQ(recorded(), launched);

    for (const char* address : {"file:///etc/passwd", "/usr/bin/xterm", "javascript:alert(1)",
                                "http://example.test/a\r\nhttp://example.test/b", "http://example.test/\x01"}) {
        SCOPED_TRACE(address);
        run(address);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(recorded(), launched);
    fs::remove_all(dir);
}
