// `cmake --install` of this build tree into a fresh prefix, with a fresh registry store:
// the layout, the desktop entry and icon, the registry record, and the installed
// program starting through the registry and writing its page file beside itself.
#include "tests/support/program_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using nimbra::testing::ProgramRunner;
using nimbra::testing::run_command;

namespace {

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Install : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/nimbra-install-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root_ = tmpl;
        prefix_ = root_ / "prefix";
        config_ = root_ / "config";
    }
    void TearDown() override { fs::remove_all(root_); }

    nimbra::testing::CtlResult install(std::map<std::string, std::string> env = {})
    {
        env["XDG_CONFIG_HOME"] = config_.string();
        return run_command({CMAKE_COMMAND, "--install", NIMBRA_BUILD_DIR, "--prefix", prefix_.string()}, env);
    }

    fs::path root_, prefix_, config_;
};

TEST_F(Install, LaysOutTheProgramDirectoryAndRecordsItForTheLauncher)
{
    auto installed = install();
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    const fs::path program = prefix_ / "lib/nimbra";
    for (const char* name : {"nimbra", "corert.sle", "corert-gtk.so", "WebPane.sle", "webpane-webkit.so", "xtool.sle",
                             "netlib.sle", "sysapi.sle", "wininet.so", "config.ini"})
        EXPECT_TRUE(fs::is_regular_file(program / name)) << name;
    // Only the installation name: the launcher must go through the registry.
    EXPECT_FALSE(fs::exists(program / "corert.slr"));
    EXPECT_EQ(fs::read_symlink(prefix_ / "bin/nimbra"), "../lib/nimbra/nimbra");
    EXPECT_TRUE(fs::is_regular_file(prefix_ / "bin/nimbra-ctl"));
    struct stat info {};
    ASSERT_EQ(stat(program.c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IWUSR) << "the program writes its page file there";

    std::string desktop = read_file(prefix_ / "share/applications/io.github.nimbra.Weather.desktop");
    EXPECT_NE(desktop.find("Exec=" + (program / "nimbra").string() + "\n"), std::string::npos) << desktop;
    EXPECT_NE(desktop.find("Icon=nimbra\n"), std::string::npos);
    std::string icon = read_file(prefix_ / "share/icons/hicolor/48x48/apps/nimbra.png");
    ASSERT_GE(icon.size(), 24u);
    EXPECT_EQ(icon.substr(1, 3), "PNG");
    EXPECT_EQ(icon.substr(16, 8), std::string("\0\0\0\x30\0\0\0\x30", 8));  // 48 x 48

    auto path = run_command({(prefix_ / "bin/nimbra-reg").string(), "get", "Software\\Tarvex\\Brae\\Install", "Path"},
                            {{"XDG_CONFIG_HOME", config_.string()}});
    EXPECT_EQ(path.status, 0) << path.err;
    EXPECT_EQ(path.out, program.string() + "/\n");

    // The installed program starts from anywhere, finds its runtime through the record,
    // and writes its page file into its own directory.
    ProgramRunner viewer({{"XDG_CONFIG_HOME", config_.string()}, {"CORERT_AUTO_ANSWER", "1"}},
                         (prefix_ / "bin/nimbra").string());
    ASSERT_TRUE(viewer.wait_ready()) << viewer.stderr_text();
    EXPECT_EQ(viewer.ctl({"wait-idle", "60"}).status, 0);
    EXPECT_EQ(viewer.ctl({"click", "按钮1"}).status, 0);
    EXPECT_EQ(viewer.ctl({"wait-idle", "120"}).status, 0);
    auto visits = viewer.ctl({"browsers"}).lines();
    ASSERT_FALSE(visits.empty());
    EXPECT_NE(visits.back().find("path=\"" + program.string() + "/显示页.htm\" bytes="), std::string::npos)
        << visits.back();
    EXPECT_EQ(viewer.ctl({"close"}).status, 0);
    EXPECT_EQ(viewer.wait_exit(), 0) << viewer.stderr_text();
}

TEST_F(Install, StagedInstallRecordsNothing)
{
    auto installed = install({{"DESTDIR", (root_ / "stage").string()}});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    EXPECT_TRUE(fs::is_regular_file(root_ / "stage" / prefix_.relative_path() / "lib/nimbra/corert.sle"));
    EXPECT_TRUE(fs::is_regular_file(root_ / "stage" / prefix_.relative_path() /
                                    "share/applications/io.github.nimbra.Weather.desktop"));
    EXPECT_FALSE(fs::exists(config_ / "nimbra"));
}

// What a distribution's tools check in the installed tree: every program in bin/ has a
// manual page that renders without a warning (in the C locale, so the pages stay plain
// ASCII), the desktop entry validates, and the AppStream file validates together with
// the entry and the icon it names. No network: CI has none.
TEST_F(Install, StagedTreePassesTheDesktopsChecks)
{
    const fs::path stage = root_ / "stage";
    auto installed = run_command({CMAKE_COMMAND, "--install", NIMBRA_BUILD_DIR, "--prefix", "/usr"},
                                 {{"DESTDIR", stage.string()}, {"XDG_CONFIG_HOME", config_.string()}});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    int programs = 0;
    for (const auto& entry : fs::directory_iterator(stage / "usr/bin")) {
        ++programs;
        const std::string name = entry.path().filename().string();
        const fs::path page = stage / "usr/share/man/man1" / (name + ".1");
        ASSERT_TRUE(fs::is_regular_file(page)) << "no manual page for " << name;
        auto shown = run_command({"/usr/bin/man", "--warnings", "-l", page.string()},
                                 {{"LC_ALL", "C"}, {"MANWIDTH", "80"}, {"MAN_KEEP_FORMATTING", ""}});
        EXPECT_EQ(shown.status, 0) << page;
        EXPECT_EQ(shown.err, "") << page;
        EXPECT_NE(shown.out.find("EXAMPLES"), std::string::npos) << page;
    }
    EXPECT_GE(programs, 4);

    const fs::path desktop = stage / "usr/share/applications/io.github.nimbra.Weather.desktop";
    auto entry = run_command({"/usr/bin/desktop-file-validate", desktop.string()});
    EXPECT_EQ(entry.status, 0) << entry.out << entry.err;
    EXPECT_EQ(entry.out, "") << "hints count too";

    auto tree = run_command({"/usr/bin/appstreamcli", "validate-tree", "--no-net", "--no-color", stage.string()});
    EXPECT_EQ(tree.status, 0) << tree.out << tree.err;
    EXPECT_NE(tree.out.find("io.github.nimbra.Weather"), std::string::npos) << tree.out;
}

}  // namespace
