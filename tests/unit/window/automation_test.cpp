// The automation socket driven by the nimbra-ctl binary, as a script would drive it.
#include "window_harness.h"

#include "corert/automation/wire_text.h"
#include "corert/window/opened_pages.h"
#include "corert/image_calls.h"
#include "corert/window/window_services.h"
#include "runtime/service_abi.h"
#include "viewer/program_description.h"

#include <fstream>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace window_test {
namespace {

using namespace nimbra;
using Log = std::vector<std::string>;

class AutomationTest : public WindowTest {
protected:
    CtlRun ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--socket", socket_path()});
        return run_ctl(args);
    }
    // Runs a command that must succeed and gives its data lines.
    Log ok(std::vector<std::string> args)
    {
        CtlRun run = ctl(args);
        EXPECT_EQ(run.status, 0) << args.front() << ": " << run.err;
        return lines_of(run.out);
    }
    void start(bool boxes_wait = true)
    {
        make_window(boxes_wait);
        load();
        serve();
        start_ui();
    }
};

bool contains(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

TEST_F(AutomationTest, ReadsUnitsItemsAndProperties)
{
    start();
    EXPECT_EQ(ok({"wait-idle"}), Log{"idle"});

    Log units = ok({"units"});
    ASSERT_EQ(units.size(), 13u);
    EXPECT_TRUE(units[0].starts_with("unit 0x52010001 kind=window name=\"\" left=50 top=50 width=662 height=411 "
                                     "flags=1 cursor=0 handler=0x00000100 title=\"Nimbra天气预报器 V1.0\""))
        << units[0];
    EXPECT_EQ(units[4], "unit 0x16011dae kind=combo name=\"组合框1\" left=328 top=0 width=80 height=20 flags=5 "
                        "cursor=0 handler=0x00000200 items=12 selected=-1");
    EXPECT_EQ(units[10], "unit 0x16010a2e kind=button name=\"按钮1\" left=20 top=-1 width=80 height=24 flags=5 "
                         "cursor=32649 handler=0x00000400 caption=\"天气预报\"");
    EXPECT_EQ(units[12], "unit 0x16010002 kind=browser name=\"超文本浏览框1\" left=0 top=56 width=672 height=216 "
                         "flags=5 cursor=0 handler=none address=\"\"");

    Log items = ok({"items", "组合框1"});
    ASSERT_EQ(items.size(), 12u);
    EXPECT_EQ(items[0], "item 0 \"广东\"");
    EXPECT_EQ(items[1], "item 1 \"北京.\"");
    EXPECT_EQ(items[11], "item 11 \"山东\"");
    EXPECT_TRUE(ok({"items", "0x16011db0"}).empty());

    // The edit text has line breaks; they travel escaped and come back whole.
    Log text = ok({"get", "编辑框1", "8"});
    ASSERT_EQ(text.size(), 1u);
    ASSERT_TRUE(text[0].starts_with("value \""));
    EXPECT_EQ(corert::wire::unquote(text[0].substr(6)),
              corert::gbk_to_utf8(page_head_text(configured_hosts().weather_host)));

    struct Query {
        std::vector<std::string> args;
        Log out;
    };
    const Query queries[] = {
        {{"get", "超文本浏览框1", "2"}, {"value 672"}},
        {{"get", "超文本浏览框4", "0"}, {"value -136"}},
        {{"get", "0x16011dae", "19"}, {"value -1"}},
        {{"get", "window", "8"}, {"value \"Nimbra天气预报器 V1.0\""}},
        {{"get", "超文本浏览框2", "11"}, {"value \"http://" + configured_hosts().notice_host + "/day/shenzhen.htm\""}},
        {{"unit", "0x06010000"}, {units[0]}},
        {{"state"}, {"state loaded=yes closed=no handlers=0 queued=0 box=none deepest=1"}},
    };
    for (const Query& query : queries)
        EXPECT_EQ(ok(query.args), query.out) << query.args.front() << " " << query.args.back();
}

TEST_F(AutomationTest, RefusalsAndTroubleHaveTheirExitStatus)
{
    start();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"get", "按钮1", "19"}, 1, "error unit 0x16010a2e has no property 19"},
        {{"get", "按钮9", "0"}, 1, "error no unit 按钮9"},
        {{"get", "按钮1", "x"}, 1, "error not a property number: x"},
        {{"items", "按钮1"}, 1, "error unit 0x16010a2e is not a combo box"},
        {{"pick", "组合框1", "12"}, 1, "error item 12 is outside the list of 12 items"},
        {{"click", "标签1"}, 1, "error not a button"},
        {{"answer"}, 1, "error no message box is open"},
        {{"page", "9"}, 1, "error no visit 9 (2 so far)"},
        {{"frobnicate"}, 1, "error unknown command frobnicate"},
        {{"click"}, 1, "error usage: click NAME|ID"},
        {{}, 2, "usage:"},
        {{"click", "two words"}, 2, "holds a blank"},
    };
    for (const Case& c : cases) {
        CtlRun run = ctl(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(contains(run.err, c.err)) << run.err;
        EXPECT_EQ(run.out, "");
    }
    CtlRun nowhere = run_ctl({"--socket", directory() + "/nobody.sock", "units"});
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_TRUE(contains(nowhere.err, "cannot connect")) << nowhere.err;
}

TEST_F(AutomationTest, PickAndClickRunTheirHandlers)
{
    handlers.on(kFillCityList, [&] {
        auto index = static_cast<int32_t>(window().get_property(kWindowId, kUnitCombo1, qx::kPropSelectedIndex, -1));
        handlers.note("province " + std::to_string(index));
        window().add_item({kWindowId, kUnitCombo2, qx::kTypeComboBox}, gbk("深圳"), 0, false);
    });
    start();
    ok({"wait-idle"});
    ok({"pick", "组合框1", "0"});
    EXPECT_EQ(ok({"wait-idle", "60"}), Log{"idle"});
    // The program's AddItem raised nothing for 组合框2.
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "call 0x200", "province 0"}));
    EXPECT_EQ(ok({"items", "组合框2"}), Log{"item 0 \"深圳\""});
    EXPECT_EQ(ok({"get", "组合框1", "8"}), Log{"value \"广东\""});

    ok({"click", "按钮3"});
    ok({"click", "0x16010a36"});
    ok({"wait-idle"});
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "call 0x200", "province 0", "call 0x600", "call 0x500"}));
}

// The outer handler waits inside itself until the test has clicked through the socket,
// then lets ProcessEvents run the click.
TEST_F(AutomationTest, NestedClickFromTheSocketRunsInsideProcessEvents)
{
    Signal inside, go;
    handlers.on(kShowForecastPage, [&] {
        handlers.note("forecast starts");
        inside.set();
        go.wait();
        window().process_events();
        handlers.note("forecast ends");
    });
    handlers.on(kShowLivePage, [&] { handlers.note("live runs"); });
    start();
    ok({"wait-idle"});
    ok({"click", "按钮1"});
    ASSERT_TRUE(inside.wait());
    // The UI thread is blocked inside a handler: actions queue, queries answer.
    ok({"click", "按钮2"});
    EXPECT_EQ(ok({"state"}), Log{"state loaded=yes closed=no handlers=1 queued=1 box=none deepest=1"});
    EXPECT_EQ(ok({"units"}).size(), 13u);
    CtlRun busy = ctl({"wait-idle", "0"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_TRUE(contains(busy.err, "still busy after 0 s (1 handlers running, 1 events queued)")) << busy.err;
    go.set();
    EXPECT_EQ(ok({"wait-idle"}), Log{"idle"});
    EXPECT_EQ(handlers.log(),
              (Log{"call 0x100", "call 0x400", "forecast starts", "call 0x500", "live runs", "forecast ends"}));
}

TEST_F(AutomationTest, MessageBoxWaitsForItsAnswer)
{
    handlers.on(kOnWindowCreated, [&] {
        int32_t answer = window().message_box(gbk("当前不是最新版本。起下载最新版本。"), 0, "", false);
        corert::record_opened_page(gbk("http://example.invalid/新版"));
        handlers.note("answered " + std::to_string(answer));
    });
    start();
    const Log open = {"box 1 open flags=0 message=\"当前不是最新版本。起下载最新版本。\""};
    EXPECT_EQ(ok({"wait-idle"}), open);
    EXPECT_EQ(ok({"boxes"}), open);
    EXPECT_EQ(ok({"get", "组合框1", "19"}), Log{"value -1"});  // answered while the box blocks
    EXPECT_TRUE(ok({"opened"}).empty());
    EXPECT_EQ(ctl({"answer", "yes"}).status, 1);  // an OK box has no yes
    ok({"answer"});
    EXPECT_EQ(ok({"wait-idle"}), Log{"idle"});
    EXPECT_EQ(ok({"boxes"}), Log{"box 1 answered flags=0 answer=ok message=\"当前不是最新版本。起下载最新版本。\""});
    EXPECT_EQ(ok({"opened"}), Log{"opened 1 \"http://example.invalid/新版\""});
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "answered 1"}));
}

// As the forecast builder does: write the page, point the browser at it, delete it.
TEST_F(AutomationTest, BrowsersListWhatTheyWereGivenAndWhatTheyRead)
{
    const std::string page = gbk("<head>页头</head>") + "<p>&nbsp;</p>\r\n" + std::string("\0\xff", 2);
    const std::string posix = directory() + "/显示页.htm";
    const std::string address = gbk(directory() + "\\显示页.htm");
    handlers.on(kShowForecastPage, [&] {
        std::ofstream(posix, std::ios::binary) << page;
        auto pointer = reinterpret_cast<uintptr_t>(address.c_str());
        window().set_property(kWindowId, kUnitBrowser1, qx::kPropAddress, -1, static_cast<uint32_t>(pointer),
                              static_cast<uint32_t>(pointer >> 32));
        std::remove(posix.c_str());
    });
    start();
    ok({"click", "按钮1"});
    ok({"wait-idle"});
    wait_idle();  // in-process too: the handler's use of this test's strings is over
    const std::string notice = "http://" + configured_hosts().notice_host;
    Log visits = ok({"browsers"});
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0],
              "visit 1 unit=0x16011d9f name=\"超文本浏览框4\" kind=url address=\"" + notice + "/day/shenzhen1.htm\"");
    EXPECT_EQ(visits[1],
              "visit 2 unit=0x16010a4d name=\"超文本浏览框2\" kind=url address=\"" + notice + "/day/shenzhen.htm\"");
    EXPECT_EQ(visits[2], "visit 3 unit=0x16010002 name=\"超文本浏览框1\" kind=file address=" +
                             corert::wire::quote(directory() + "\\显示页.htm") + " path=\"" + posix +
                             "\" bytes=" + std::to_string(page.size()));
    CtlRun content = ctl({"page", "3"});
    EXPECT_EQ(content.status, 0);
    EXPECT_EQ(content.out, page);
    EXPECT_EQ(ctl({"page", "1"}).out, "");
}

TEST_F(AutomationTest, CloseEndsTheEventLoop)
{
    start();
    ok({"close"});
    ASSERT_TRUE(join_ui());
    EXPECT_EQ(ok({"wait-idle"}), Log{"closed"});
    EXPECT_EQ(ctl({"click", "按钮1"}).status, 1);
}

// A script that closes the window while a box is open must not leave the program
// waiting for an answer forever.
TEST_F(AutomationTest, CloseEndsAnOpenMessageBox)
{
    handlers.on(kOnWindowCreated,
                [&] { handlers.note("answered " + std::to_string(window().message_box("?", 4, "", false))); });
    start();
    EXPECT_EQ(ok({"wait-idle"}), Log{"box 1 open flags=4 message=\"?\""});
    ok({"close"});
    ASSERT_TRUE(join_ui());
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "answered 6"}));
    EXPECT_EQ(ok({"boxes"}), Log{"box 1 answered flags=4 answer=yes message=\"?\""});
}

// nimbra-ctl started before the program serves its socket waits for it.
TEST_F(AutomationTest, WaitSocketRetriesUntilTheProgramServes)
{
    make_window();
    load();
    std::thread early([&] {
        CtlRun run = run_ctl({"--wait-socket", "60", "--socket", socket_path(), "state"});
        handlers.note("status " + std::to_string(run.status) + " " + run.out);
    });
    serve();
    early.join();
    EXPECT_EQ(handlers.log(), Log{"status 0 state loaded=yes closed=no handlers=0 queued=1 box=none deepest=0\n"});
}

TEST_F(AutomationTest, SocketIsTheOwnersAndALeftoverIsReplaced)
{
    make_window();
    load();
    {
        corert::AutomationServer first(window(), socket_path());
        struct stat info {};
        ASSERT_EQ(stat(socket_path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        // A live socket is not taken over.
        EXPECT_THROW(corert::AutomationServer(window(), socket_path()), std::runtime_error);
        EXPECT_EQ(ok({"state"}).size(), 1u);
    }
    struct stat info {};
    EXPECT_NE(stat(socket_path().c_str(), &info), 0);  // removed at the end

    // A socket file nobody serves, as a crashed run leaves it, is replaced.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path().c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(stale);
    corert::AutomationServer second(window(), socket_path());
    EXPECT_EQ(ok({"state"}).size(), 1u);

    try {
        corert::AutomationServer too_long(window(), directory() + "/" + std::string(120, 'x'));
        ADD_FAILURE() << "a path longer than a socket address holds was taken";
    } catch (const std::runtime_error& problem) {
        EXPECT_TRUE(contains(problem.what(), "xxxx: the path must have 1 to 107 bytes")) << problem.what();
    }
}

// What the loader does: a session from the environment, the slot functions, the
// window commands reaching the same backend.
TEST_F(AutomationTest, SessionServesTheSocketNamedByTheEnvironment)
{
    setenv("CORERT_AUTOMATION", socket_path().c_str(), 1);
    setenv("CORERT_BACKEND", "headless", 1);
    unsetenv("CORERT_AUTO_ANSWER");
    {
        corert::WindowSession session(bound_main_window(), [&](uint32_t offset) { handlers.invoke(offset); });
        unsetenv("CORERT_AUTOMATION");
        ASSERT_TRUE(session.automation_served());
        EXPECT_EQ(corert::window_commands(), &session.backend());
        EXPECT_EQ(corert::current_window_session(), &session);

        corert_load_window(kWindowId);
        corert_hand_over(0);
        EXPECT_EQ(static_cast<int32_t>(corert_get_unit_property(kWindowId, kUnitBrowser4, qx::kPropLeft, -1)), -136);
        corert_set_unit_property(kWindowId, kUnitBrowser1, qx::kPropWidth, -1, 300, 0);
        EXPECT_EQ(ok({"get", "超文本浏览框1", "2"}), Log{"value 300"});

        Signal ended;
        std::thread ui([&] {
            corert_run_event_loop();
            ended.set();
        });
        EXPECT_EQ(ok({"wait-idle"}), Log{"idle"});
        ok({"close"});
        ASSERT_TRUE(ended.wait());
        ui.join();
    }
    EXPECT_EQ(corert::window_commands(), nullptr);
    EXPECT_EQ(corert::current_window_session(), nullptr);
    EXPECT_EQ(corert_get_unit_property(kWindowId, kUnitBrowser4, qx::kPropLeft, -1), 0u);
    EXPECT_EQ(handlers.log(), Log{"call 0x100"});
    unsetenv("CORERT_BACKEND");
}

// Boxes wait only where someone can answer them; otherwise they take their default.
TEST_F(AutomationTest, SessionsWithNobodyToAnswerDoNotWaitForBoxes)
{
    struct Case {
        const char* automation;
        const char* auto_answer;
        const char* backend;
    };
    const std::string path = socket_path();
    for (Case c : {Case{nullptr, nullptr, "headless"}, Case{path.c_str(), "1", "gtk"}, Case{nullptr, "0", "bogus"}}) {
        c.automation ? setenv("CORERT_AUTOMATION", c.automation, 1) : unsetenv("CORERT_AUTOMATION");
        c.auto_answer ? setenv("CORERT_AUTO_ANSWER", c.auto_answer, 1) : unsetenv("CORERT_AUTO_ANSWER");
        setenv("CORERT_BACKEND", c.backend, 1);  // gtk and unknown names fall back to headless
        corert::WindowSession session(bound_main_window(), [](uint32_t) {});
        EXPECT_EQ(session.automation_served(), c.automation != nullptr);
        corert_load_window(kWindowId);
        EXPECT_EQ(session.backend().message_box("?", 3, "", false), corert::kButtonYes);
        EXPECT_FALSE(session.backend().message_boxes().front().open);
    }
    unsetenv("CORERT_AUTOMATION");
    unsetenv("CORERT_AUTO_ANSWER");
    unsetenv("CORERT_BACKEND");
}

TEST(WireText, QuotedTextsComeBackWhole)
{
    for (std::string text : {std::string(""), std::string("广东"), std::string("a \"b\" \\ c"),
                             std::string("line\r\nnext\ttab"), std::string("\x01\x1f\x7f", 3)}) {
        std::string quoted = corert::wire::quote(text);
        EXPECT_EQ(quoted.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(corert::wire::unquote(quoted), text) << quoted;
    }
    for (const char* broken : {"", "\"", "abc", "\"a\"b\"", "\"a\\\"", "\"\\q\"", "\"\\x4\""})
        EXPECT_EQ(corert::wire::unquote(broken), std::nullopt) << broken;
}

TEST(WireText, Base64RoundTripsAnyBytes)
{
    const std::pair<std::string, std::string> known[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const auto& [bytes, text] : known) {
        EXPECT_EQ(corert::wire::base64_encode(bytes), text);
        EXPECT_EQ(corert::wire::base64_decode(text), bytes);
    }
    for (const char* broken : {"Zg=", "Z===", "Zm9v!A==", "Zg==Zg==", "=Zg="})
        EXPECT_EQ(corert::wire::base64_decode(broken), std::nullopt) << broken;
}

}  // namespace
}  // namespace window_test
