// The real program with bad files around it: a settings file that is binary or 50 MB, a
// program directory it cannot write, a page file name taken by a directory, a damaged
// program image. Each gives its ordinary behaviour or a clear error, never a crash or a
// hang. (Settings with LF-only lines and no settings file at all are in the viewer's city
// selection tests.)
#include "tests/unit/reliability/reliability_support.h"
#include "tests/unit/viewer_e2e/viewer_session.h"
#include "viewer/program_description.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

using namespace viewer_e2e;
namespace fs = std::filesystem;

namespace {

const std::string kSection = "<广东>\r\n广东-甲市-一区@101#\r\n广东-乙市-二区@102#\r\n</广东>\r\n";
const std::vector<std::string> kCities = {"甲市", "乙市"};

std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// Random bytes, NUL included, with no "<广东>" among them.
std::string binary_bytes(size_t size)
{
    std::mt19937 generator(7);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xff);
    return bytes;
}

// Comment lines up to `size`, then the section: every pick reads and searches all of it.
std::string padded_settings(size_t size)
{
    std::string line = "; " + std::string(76, '.') + "\r\n";
    std::string text;
    text.reserve(size + kSection.size());
    while (text.size() < size)
        text += line;
    return text + to_gbk(kSection);
}

std::string err_of_close(Viewer& viewer)
{
    std::string err = viewer.close_and_wait();
    EXPECT_NE(err.find("corert: 0 blocks (0 bytes) still allocated at program end"), std::string::npos) << err;
    return err;
}

}  // namespace

TEST(BadFiles, SettingsFileThatIsBinaryOrHugeGivesListsWithoutHanging)
{
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> cities;
        double seconds;  // a pick may take at most this long
    } cases[] = {
        // A NUL ends the settings text as the routines see it: the section after it is
        // not there for them.
        {"binary, then the section", binary_bytes(1 << 20) + to_gbk(kSection), {}, 30},
        {"binary, no NUL, then the section",
         [] {
             std::string b = binary_bytes(1 << 20);
             std::replace(b.begin(), b.end(), '\0', '\x01');
             return b + to_gbk(kSection);
         }(),
         kCities, 30},
        {"50 MB, the section at its end", padded_settings(50u << 20), kCities, 120},
    };
    DeadPort dead;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramCopy copy(dead.port(), std::nullopt);
        write_bytes(copy.dir() + "/config.ini", c.bytes);
        Viewer viewer(copy, true);
        auto started = std::chrono::steady_clock::now();
        viewer.ok({"pick", "组合框1", "0"});
        // The window answers while the pick reads and searches the file.
        EXPECT_EQ(viewer.ctl({"state"}).status, 0);
        viewer.ok({"wait-idle", "240"});
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("[ bad file ] settings %-34s pick %.2f s, %zu cities\n", c.what, seconds,
                    viewer.items("组合框2").size());
        EXPECT_EQ(viewer.items("组合框2"), c.cities);
        EXPECT_LT(seconds, c.seconds);
        err_of_close(viewer);
    }
}

// The page file's name is taken by a directory: the pane is pointed at it all the same
// and finds nothing to read; nothing else happens, and the directory is left alone.
TEST(BadFiles, PageFileNameTakenByADirectoryShowsNothing)
{
    TestServer server;
    server.serve("/weather/H.shtml", Reply{200, " <div class=\"live\">page</div>"});
    ProgramCopy copy(server.port(), std::string("nowhere--@H#\r\n"));
    const fs::path page = fs::path(copy.dir()) / "显示页.htm";
    fs::create_directory(page);
    {
        Viewer viewer(copy, true);
        viewer.click("按钮2");
        auto visits = viewer.visits();
        ASSERT_FALSE(visits.empty());
        EXPECT_EQ(field(visits.back(), "path"), page.string());
        EXPECT_NE(visits.back().find(" unreadable"), std::string::npos) << visits.back();
        // And the program goes on: another click, then an ordinary end.
        viewer.click("按钮2");
        EXPECT_EQ(viewer.visits().size(), visits.size() + 1);
        std::printf("[ bad file ] page file name is a directory: %s\n", visits.back().c_str());
        err_of_close(viewer);
    }
    EXPECT_TRUE(fs::is_directory(page));
}

// A program directory this user cannot write (an installed copy): the page file goes to
// the user's own store, the pane reads it from there, and the builders' deletion removes
// it there. Nothing is written into the program directory, and the settings file is
// still read from it.
TEST(BadFiles, ProgramDirectoryNotWritableKeepsThePageInTheUsersStore)
{
    TestServer server;
    server.serve("/weather/H.shtml", Reply{200, " <div class=\"live\">page</div>"});
    ProgramCopy copy(server.port(), kSection + "nowhere--@H#\r\n");
    const fs::path page = fs::path(copy.dir()) / "显示页.htm";
    char runtime_template[] = "/tmp/nimbra-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(runtime_template), nullptr);
    const fs::path store = fs::path(runtime_template) / "nimbra";
    // root writes anywhere: the program runs without that power, so that the directory's
    // mode counts for it as for any user.
    if (geteuid() == 0) {
        fs::rename(copy.dir() + "/nimbra", copy.dir() + "/nimbra.bin");
        write_bytes(copy.dir() + "/nimbra", "#!/bin/sh\nexec setpriv --bounding-set=-dac_override,-dac_read_search " +
                                                copy.dir() + "/nimbra.bin\n");
        fs::permissions(copy.dir() + "/nimbra", fs::perms::owner_all);
    }
    fs::permissions(copy.dir(), fs::perms::owner_read | fs::perms::owner_exec);
    {
        Viewer viewer(copy, true, {{"XDG_RUNTIME_DIR", runtime_template}});
        viewer.click("按钮2");
        auto visits = viewer.visits();
        ASSERT_FALSE(visits.empty());
        EXPECT_EQ(field(visits.back(), "path"), page.string()) << "the pane still stands in the program directory";
        EXPECT_EQ(visits.back().find(" unreadable"), std::string::npos) << visits.back();
        EXPECT_NE(viewer.page(static_cast<int>(visits.size())).find("page"), std::string::npos);
        std::printf("[ bad file ] directory not writable: %s\n", visits.back().c_str());
        viewer.pick("组合框1", 0);
        EXPECT_EQ(viewer.items("组合框2"), kCities) << "the settings file is read where it lies";
        err_of_close(viewer);
    }
    EXPECT_FALSE(fs::exists(page));
    EXPECT_TRUE(fs::is_directory(store));
    EXPECT_EQ(fs::status(store).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(store)) << "the builders deleted the page from the store";
    fs::permissions(copy.dir(), fs::perms::owner_all);
    fs::remove_all(runtime_template);
}

// A damaged image inside the executable: the runtime refuses it before anything of the
// program runs, with one line naming what is wrong, and exit status 4.
TEST(BadFiles, DamagedEmbeddedImageIsRefusedWithOneLine)
{
    const std::string program = read_bytes(nimbra::testing::program_directory() + "/nimbra");
    // The image starts with "QX", two zero bytes and eight zero words.
    const std::string magic("QX\0\0\0\0\0\0\0\0\0\0", 12);
    size_t image = program.find(magic);
    ASSERT_NE(image, std::string::npos);
    auto word_at = [&](size_t offset) {
        uint32_t w;
        std::memcpy(&w, program.data() + image + offset, 4);
        return w;
    };
    const uint32_t first_section = word_at(0x24);
    struct Case {
        const char* what;
        size_t offset;  // in the image
        uint32_t value;
        const char* named;  // in the error line
    } cases[] = {
        {"magic", 0, 0x0000'5951, "offset 0x0: magic"},
        {"first section offset", 0x24, 0xffff'fff0u, "offset 0x24: first section offset"},
        {"a section's next offset", first_section + 4, 0x1234'5678u, "section const next offset"},
        {"a section's stored size", first_section + 0x28, 0x7fff'ffffu, "section const stored size"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProgramCopy copy(9999, std::nullopt);
        std::string damaged = program;
        std::memcpy(damaged.data() + image + c.offset, &c.value, 4);
        write_bytes(copy.dir() + "/nimbra", damaged);
        nimbra::testing::ProgramRunner runner({}, copy.dir() + "/nimbra");
        EXPECT_FALSE(runner.wait_ready(std::chrono::seconds(20)));
        EXPECT_EQ(runner.wait_exit(), 4);
        std::string err = runner.stderr_text();
        std::printf("[ bad file ] image %-24s %s", c.what, err.c_str());
        EXPECT_EQ(err.rfind("corert: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(c.named), std::string::npos) << err;
    }
}
