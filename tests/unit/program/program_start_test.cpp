// The real program, started headless: the launcher finds the runtime, the runtime loads
// and links the image, the entry routine builds the window, and the window holds what
// the image describes. Driven through nimbra-ctl, as a user's script would.
#include "corert/automation/wire_text.h"
#include "corert/gbk.h"
#include "tests/support/program_runner.h"
#include "tests/unit/viewer/main_window_units.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

using nimbra::testing::ProgramRunner;

namespace {

std::string utf8(const std::string& gbk) { return corert::gbk_to_utf8(gbk); }

// "unit 0x16011dae kind=combo name=\"组合框1\" left=328 ..." -> the value of `key`.
std::string field(const std::string& line, const std::string& key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "<missing " + key + ">";
    at += key.size() + 2;
    if (line[at] == '"') {
        size_t end = at + 1;
        while (end < line.size() && line[end] != '"')
            end += line[end] == '\\' ? 2 : 1;
        return corert::wire::unquote(line.substr(at, end + 1 - at)).value_or("<bad quote>");
    }
    return line.substr(at, line.find(' ', at) - at);
}

class ProgramStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        program_ = std::make_unique<ProgramRunner>(std::map<std::string, std::string>{{"CORERT_TRACE", "1"}});
        ASSERT_TRUE(program_->wait_ready()) << program_->stderr_text();
        ASSERT_EQ(program_->ctl({"wait-idle", "20"}).status, 0);
    }

    void TearDown() override
    {
        if (program_) {
            program_->ctl({"close"});
            program_->wait_exit();
        }
    }

    std::unique_ptr<ProgramRunner> program_;
};

}  // namespace

TEST_F(ProgramStart, WindowHoldsEveryUnitAsStored)
{
    auto result = program_->ctl({"units"});
    ASSERT_EQ(result.status, 0) << result.err;
    auto lines = result.lines();
    const auto& expected = nimbra::testing::kMainWindowUnits;
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        const nimbra::testing::ExpectedUnit& unit = expected[i];
        const std::string& line = lines[i];
        SCOPED_TRACE(line);
        uint32_t id = i == 0 ? 0x52010001 : unit.id;
        EXPECT_EQ(line.rfind("unit " + qx::hex32(id), 0), 0u);
        EXPECT_EQ(field(line, "name"), unit.name);
        EXPECT_EQ(field(line, "left"), std::to_string(unit.left));
        EXPECT_EQ(field(line, "top"), std::to_string(unit.top));
        EXPECT_EQ(field(line, "width"), std::to_string(unit.width));
        EXPECT_EQ(field(line, "height"), std::to_string(unit.height));
        EXPECT_EQ(field(line, "flags"), std::to_string(unit.flags));
        EXPECT_EQ(field(line, "cursor"), std::to_string(unit.cursor));
        if (unit.text) {
            EXPECT_EQ(field(line, unit.type == qx::kTypeWindow ? "title" : "caption"), unit.text);
        }
    }
}

TEST_F(ProgramStart, ProvinceListAndPageHeadAreThere)
{
    auto items = program_->ctl({"items", "组合框1"});
    ASSERT_EQ(items.status, 0) << items.err;
    const char* provinces[] = {"广东", "北京.",  "上海.", "重庆.", "黑龙江", "吉林",
                               "辽林", "内蒙古", "河北",  "山西",  "陕西",   "山东"};
    auto lines = items.lines();
    ASSERT_EQ(lines.size(), std::size(provinces));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], "item " + std::to_string(i) + " " + corert::wire::quote(provinces[i]));

    auto head = program_->ctl({"get", "编辑框1", "8"});
    ASSERT_EQ(head.status, 0) << head.err;
    std::string expected = utf8(nimbra::page_head_text(nimbra::configured_hosts().weather_host));
    EXPECT_EQ(head.out, "value " + corert::wire::quote(expected) + "\n");

    // Nothing is selected by the program; the other two lists start empty.
    EXPECT_EQ(program_->ctl({"get", "组合框1", "19"}).out, "value -1\n");
    EXPECT_TRUE(program_->ctl({"items", "组合框2"}).out.empty());
}

TEST_F(ProgramStart, BrowsersWereGivenTheirStartAddresses)
{
    auto visits = program_->ctl({"browsers"});
    ASSERT_EQ(visits.status, 0) << visits.err;
    std::string notice = "http://" + nimbra::configured_hosts().notice_host;
    auto lines = visits.lines();
    ASSERT_EQ(lines.size(), 2u) << visits.out << "(the large pane opens nothing at start)";
    EXPECT_EQ(field(lines[0], "name"), "超文本浏览框4");
    EXPECT_EQ(field(lines[0], "address"), notice + "/day/shenzhen1.htm");
    EXPECT_EQ(field(lines[1], "name"), "超文本浏览框2");
    EXPECT_EQ(field(lines[1], "address"), notice + "/day/shenzhen.htm");
}

TEST_F(ProgramStart, ClosingTheWindowEndsTheProgramAfterReleasingItsGlobals)
{
    ASSERT_EQ(program_->ctl({"close"}).status, 0);
    EXPECT_EQ(program_->wait_exit(), 0) << program_->stderr_text();
    EXPECT_NE(program_->stderr_text().find("program-end routine"), std::string::npos) << program_->stderr_text();
    program_.reset();
}

// ---- a damaged program directory ----

namespace {

// A copy of the program directory without `missing`, or with `garbage` written over a file.
struct ProgramCopy {
    std::string dir;
    explicit ProgramCopy(const std::string& missing, const std::string& garbage = "")
    {
        char tmpl[] = "/tmp/nimbra-copy-XXXXXX";
        dir = mkdtemp(tmpl);
        auto cp = nimbra::testing::run_command({"/bin/cp", "-a", nimbra::testing::program_directory() + "/.", dir});
        EXPECT_EQ(cp.status, 0) << cp.err;
        if (!missing.empty())
            std::remove((dir + "/" + missing).c_str());
        if (!garbage.empty()) {
            FILE* f = std::fopen((dir + "/" + garbage).c_str(), "wb");
            std::fputs("this is not a shared object", f);
            std::fclose(f);
        }
    }
    ~ProgramCopy() { nimbra::testing::run_command({"/bin/rm", "-rf", dir}); }
};

}  // namespace

TEST(ProgramStartFailure, MissingOrInvalidSupportLibraryIsAClearError)
{
    struct Case {
        const char* missing;
        const char* garbage;
        const char* expected;
    } cases[] = {
        {"xtool.sle", "", "support library"},
        {"", "netlib.sle", "support library"},
        {"wininet.so", "", "DLL wininet.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.missing) + c.garbage);
        ProgramCopy copy(c.missing, c.garbage);
        ProgramRunner program({}, copy.dir + "/nimbra");
        EXPECT_FALSE(program.wait_ready(std::chrono::seconds(20)));
        EXPECT_EQ(program.wait_exit(), 4);
        std::string err = program.stderr_text();
        EXPECT_EQ(err.rfind("corert: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.expected), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line, no trace: " << err;
    }
}
