// The real launcher binary, run in fresh temporary directories against small test
// runtimes (test_runtime.cpp) and a temporary registry store.
#include "platform/encoding.h"
#include "platform/registry.h"
#include "tests/unit/launcher/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;
using nimbra::registry::RootKey;
using nimbra::registry::Status;
using nimbra::test::ProcessResult;

constexpr const char* kErrorLine = "Error: Not found the kernel library or the kernel library is invalid!\n";
constexpr const char* kUnloaded = "[test runtime unloaded]\n";
constexpr const char* kInstallKey = "Software\\Tarvex\\Brae\\Install";

// Public throughout: the table-driven cases below arrange their scene through it.
class LauncherTest : public ::testing::Test {
public:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "nimbra-launcher-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }

    void TearDown() override { fs::remove_all(root_); }

    // A directory whose full path is exactly `length` bytes, parts at most 200 bytes long.
    fs::path DirectoryOfLength(size_t length, char fill)
    {
        std::string path = root_.string();
        while (length - path.size() > 201)
            path.append("/").append(200, fill);
        size_t last = length - path.size() - 1;
        path.append("/").append(last, fill);
        fs::create_directories(path);
        return path;
    }

    fs::path InstallLauncher(const fs::path& directory)
    {
        fs::create_directories(directory);
        fs::copy_file(NIMBRA_BINARY, directory / "nimbra", fs::copy_options::overwrite_existing);
        return directory / "nimbra";
    }

    static void PlaceRuntime(const char* built, const fs::path& target)
    {
        fs::create_directories(target.parent_path());
        fs::copy_file(built, target, fs::copy_options::overwrite_existing);
    }

    nimbra::registry::Store RegistryStore() const
    {
        return nimbra::registry::Store((root_ / "config/nimbra/registry").string());
    }

    void SetRegistryValue(std::string_view name, std::string_view bytes)
    {
        std::string detail;
        ASSERT_EQ(RegistryStore().set_value(RootKey::current_user, kInstallKey, name, bytes, &detail), Status::ok)
            << detail;
    }

    void SetInstallPath(std::string_view bytes) { SetRegistryValue("Path", bytes); }

    ProcessResult Run(const fs::path& executable, std::vector<std::string> environment = {"NIMBRA_NO_DIALOG=1"})
    {
        fs::remove(Marker());
        environment.insert(environment.end(),
                           {"XDG_CONFIG_HOME=" + (root_ / "config").string(), "HOME=" + root_.string(),
                            "NIMBRA_TEST_MARKER=" + Marker().string(), "PATH=/usr/bin:/bin"});
        return nimbra::test::RunProcess({executable.string()}, environment);
    }

    fs::path Root() const { return root_; }
    fs::path Marker() const { return root_ / "marker"; }

    // What the good test runtime's start routine recorded; empty when it did not run.
    std::map<std::string, std::string> StartRecord() const
    {
        std::map<std::string, std::string> record;
        std::ifstream in(Marker());
        std::string line;
        while (std::getline(in, line))
            if (auto eq = line.find('='); eq != std::string::npos)
                record[line.substr(0, eq)] = line.substr(eq + 1);
        return record;
    }

    void ExpectStartedFrom(const ProcessResult& result, const fs::path& runtime)
    {
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        auto record = StartRecord();
        EXPECT_EQ(record["runtime"], runtime.string());
        EXPECT_EQ(record["argument"], "1000");
        EXPECT_EQ(record["magic"], "51580000");  // "QX\0\0"
        EXPECT_EQ(record["writable_executable_data"], "1");
    }

    static void ExpectFailure(const ProcessResult& result)
    {
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(result.err.rfind(kErrorLine, 0) == 0 ||
                      result.err.find(std::string("\n") + kErrorLine) != std::string::npos,
                  true)
            << result.err;
    }

    fs::path root_;
};

TEST_F(LauncherTest, RuntimeBesideTheExecutableWinsOverTheInstalledOne)
{
    fs::path app = root_ / "app";
    fs::path executable = InstallLauncher(app);
    PlaceRuntime(GOOD_RUNTIME, app / "corert.slr");
    PlaceRuntime(NULL_RUNTIME, root_ / "install/corert.sle");
    SetInstallPath((root_ / "install").string());

    ExpectStartedFrom(Run(executable), app / "corert.slr");
}

TEST_F(LauncherTest, RegistryIsNotReadWhenTheRuntimeIsBesideTheExecutable)
{
    fs::path app = root_ / "app";
    fs::path executable = InstallLauncher(app);
    PlaceRuntime(GOOD_RUNTIME, app / "corert.slr");
    // A store that cannot be read: any attempt to read it fails the launch.
    fs::create_directories(RegistryStore().file_for(RootKey::current_user));

    ExpectStartedFrom(Run(executable), app / "corert.slr");

    fs::remove(app / "corert.slr");
    ProcessResult without = Run(executable);
    ExpectFailure(without);
    EXPECT_NE(without.err.find(RegistryStore().file_for(RootKey::current_user)), std::string::npos) << without.err;
}

TEST_F(LauncherTest, WholeExecutablePathIsUsedHoweverLong)
{
    fs::path app = DirectoryOfLength(300, 'a');  // past both the 128- and the 260-byte limit
    fs::path executable = InstallLauncher(app);
    PlaceRuntime(GOOD_RUNTIME, app / "corert.slr");

    ExpectStartedFrom(Run(executable), app / "corert.slr");
}

TEST_F(LauncherTest, ErrorIsReportedWhenNoDialogCanBeShown)
{
    // A desktop is announced but cannot be reached (and GTK may be missing altogether):
    // the dialog is left out and the text still reaches stderr.
    fs::path executable = InstallLauncher(root_ / "app");
    ExpectFailure(Run(executable, {"DISPLAY=unix:/nonexistent-display", "WAYLAND_DISPLAY=/nonexistent-wayland"}));
}

struct InstallPathCase {
    const char* name;
    const char* directory;  // UTF-8, below the test's root
    // What is stored, from the directory's full path as GBK with '/' separators.
    std::string (*stored)(std::string gbk_path);
};

std::string AsIs(std::string path) { return path; }
std::string WithTrailingBackslash(std::string path) { return path + "\\"; }
std::string WithBackslashes(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path + "\\";
}

class InstallPathTest : public LauncherTest, public ::testing::WithParamInterface<InstallPathCase> {};

TEST_P(InstallPathTest, RuntimeIsLoadedFromTheInstallationDirectory)
{
    const InstallPathCase& c = GetParam();
    fs::path install = root_ / c.directory;
    PlaceRuntime(GOOD_RUNTIME, install / "corert.sle");
    fs::path executable = InstallLauncher(root_ / "app");
    auto gbk = nimbra::encoding::utf8_to_gbk(install.string());
    ASSERT_TRUE(gbk);
    SetInstallPath(c.stored(*gbk));

    ExpectStartedFrom(Run(executable), install / "corert.sle");
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, InstallPathTest,
    ::testing::Values(InstallPathCase{"NoTrailingBackslash", "install", AsIs},
                      InstallPathCase{"TrailingBackslash", "install", WithTrailingBackslash},
                      InstallPathCase{"BackslashSeparators", "install", WithBackslashes},
                      // GBK "安装運": the last byte is 0x5C, which must not pass for a backslash.
                      InstallPathCase{"GbkNameEndingInByte5C", "\xE5\xAE\x89\xE8\xA3\x85\xE9\x81\x8B", AsIs}),
    [](const ::testing::TestParamInfo<InstallPathCase>& info) { return std::string(info.param.name); });

TEST_F(LauncherTest, InstallationPathMayFillTheWholeQueryBuffer)
{
    // 258 bytes and the NUL fill the 259 bytes queried; with "/corert.sle" the full
    // name is longer than the 260 bytes an unchecked buffer would have held.
    fs::path install = DirectoryOfLength(258, 'i');
    PlaceRuntime(GOOD_RUNTIME, install / "corert.sle");
    fs::path executable = InstallLauncher(root_ / "app");
    SetInstallPath(install.string());

    ExpectStartedFrom(Run(executable), install / "corert.sle");
}

struct FailureCase {
    const char* name;
    void (*arrange)(LauncherTest& test, const fs::path& app);
    bool runtime_freed;  // a loaded runtime is unloaded before the error shows
    const char* detail;  // part of the line that says what failed
};

class LauncherFailureTest : public LauncherTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LauncherFailureTest, ShowsTheErrorAndExits255)
{
    const FailureCase& c = GetParam();
    fs::path app = root_ / "app";
    fs::path executable = InstallLauncher(app);
    c.arrange(*this, app);

    ProcessResult result = Run(executable);
    ExpectFailure(result);
    EXPECT_TRUE(StartRecord().empty());
    EXPECT_NE(result.err.find(c.detail), std::string::npos) << result.err;
    if (c.runtime_freed) {
        EXPECT_EQ(result.err.rfind(std::string(kUnloaded) + kErrorLine, 0), 0u) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, LauncherFailureTest,
    ::testing::Values(FailureCase{"RegistryKeyMissing", [](LauncherTest&, const fs::path&) {}, false,
                                  "HKEY_CURRENT_USER.reg: no key HKEY_CURRENT_USER\\Software\\Tarvex\\Brae\\Install"},
                      FailureCase{"PathValueMissing",
                                  [](LauncherTest& t, const fs::path&) { t.SetRegistryValue("Version", "1.0"); }, false,
                                  "\"Path\": not found"},
                      FailureCase{"PathValueLongerThanTheQueryAllows",
                                  [](LauncherTest& t, const fs::path&) {
                                      // 259 bytes need 260 with the NUL: refused, though the runtime is there.
                                      fs::path install = t.DirectoryOfLength(259, 'i');
                                      t.PlaceRuntime(GOOD_RUNTIME, install / "corert.sle");
                                      t.SetInstallPath(install.string());
                                  },
                                  false, "\"Path\": 259 bytes, more than the 258 allowed"},
                      FailureCase{"PathValueNotGbk",
                                  [](LauncherTest& t, const fs::path&) {
                                      fs::path install = t.Root() / "install";
                                      t.PlaceRuntime(GOOD_RUNTIME, install / "corert.sle");
                                      t.SetInstallPath(install.string() + "\xFF");
                                  },
                                  false, "\"Path\" is not GBK text"},
                      FailureCase{"RuntimeMissingFromTheInstallationDirectory",
                                  [](LauncherTest& t, const fs::path&) {
                                      fs::create_directories(t.Root() / "install");
                                      t.SetInstallPath((t.Root() / "install").string());
                                  },
                                  false, "install/corert.sle: cannot open shared object file"},
                      FailureCase{"InstalledRuntimeNotASharedObject",
                                  [](LauncherTest& t, const fs::path&) {
                                      fs::create_directories(t.Root() / "install");
                                      std::ofstream(t.Root() / "install/corert.sle") << "not a library";
                                      t.SetInstallPath((t.Root() / "install").string());
                                  },
                                  false, "install/corert.sle: "},
                      FailureCase{"GetNewSockMissing",
                                  [](LauncherTest& t, const fs::path&) {
                                      t.PlaceRuntime(NO_EXPORT_RUNTIME, t.Root() / "install/corert.sle");
                                      t.SetInstallPath((t.Root() / "install").string());
                                  },
                                  true, "undefined symbol: GetNewSock"},
                      FailureCase{"GetNewSockReturnsNull",
                                  [](LauncherTest& t, const fs::path&) {
                                      t.PlaceRuntime(NULL_RUNTIME, t.Root() / "install/corert.sle");
                                      t.SetInstallPath((t.Root() / "install").string());
                                  },
                                  true, "GetNewSock returned no start routine"},
                      // A runtime found beside the executable is final: its faults do not send the
                      // launcher on to the installed one.
                      FailureCase{"GetNewSockReturnsNullBesideTheExecutable",
                                  [](LauncherTest& t, const fs::path& app) {
                                      t.PlaceRuntime(NULL_RUNTIME, app / "corert.slr");
                                      t.PlaceRuntime(GOOD_RUNTIME, t.Root() / "install/corert.sle");
                                      t.SetInstallPath((t.Root() / "install").string());
                                  },
                                  true, "GetNewSock returned no start routine"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
