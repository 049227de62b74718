// Where files of the program directory are read and written (platform/program_directory.h),
// and how a whole file is read (corert/whole_file.h).
#include "corert/whole_file.h"
#include "platform/program_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

namespace {

namespace fs = std::filesystem;
using nimbra::platform::FileUse;

class ProgramFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("program-files-" + std::to_string(getpid()));
        program_ = root_ / "lib" / "nimbra";
        store_ = root_ / "store";
        fs::remove_all(root_);
        fs::create_directories(program_);
        fs::create_directories(store_);
    }
    void TearDown() override { fs::remove_all(root_); }

    static void write(const fs::path& path, const std::string& bytes) { std::ofstream(path) << bytes; }

    fs::path root_, program_, store_;
};

// The one decision, with the "may this user write there?" answer given.
TEST_F(ProgramFiles, FilesOfADirectoryTheUserCannotWriteGoToTheirStore)
{
    write(program_ / "config.ini", "shipped");
    write(store_ / "page.htm", "written earlier");
    const std::string program = program_.string(), store = store_.string();

    struct Case {
        const char* what;
        bool writable;
        std::string user_store;
        std::string path;
        FileUse use;
        std::string expected;
    } cases[] = {
        {"writable: a write stays", true, store, program + "/page.htm", FileUse::Write, program + "/page.htm"},
        {"writable: a read stays, even with a copy in the store", true, store, program + "/page.htm", FileUse::Read,
         program + "/page.htm"},
        {"not writable: a write goes to the store", false, store, program + "/new.htm", FileUse::Write,
         store + "/new.htm"},
        {"not writable: a read finds the store's copy", false, store, program + "/page.htm", FileUse::Read,
         store + "/page.htm"},
        {"not writable: a delete finds the store's copy", false, store, program + "/page.htm", FileUse::Delete,
         store + "/page.htm"},
        {"not writable: a shipped file is read where it lies", false, store, program + "/config.ini", FileUse::Read,
         program + "/config.ini"},
        {"not writable: a file nowhere is looked for in the program directory", false, store, program + "/gone.htm",
         FileUse::Delete, program + "/gone.htm"},
        {"not writable: the path spelt with doubled and trailing separators", false, store,
         root_.string() + "//lib/nimbra/./new.htm", FileUse::Write, store + "/new.htm"},
        {"not writable: a file in a subdirectory is left alone", false, store, program + "/sub/new.htm", FileUse::Write,
         program + "/sub/new.htm"},
        {"not writable: a file elsewhere is left alone", false, store, root_.string() + "/lib/new.htm", FileUse::Write,
         root_.string() + "/lib/new.htm"},
        {"not writable: the directory itself is no file of it", false, store, program + "/", FileUse::Write,
         program + "/"},
        {"no store", false, "", program + "/new.htm", FileUse::Write, program + "/new.htm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nimbra::platform::ProgramDirectoryAccess access{program + "/", c.writable, c.user_store};
        EXPECT_EQ(nimbra::platform::program_file_path(access, c.path, c.use), c.expected);
    }
}

TEST_F(ProgramFiles, StoreFollowsTheSessionsDirectories)
{
    struct Case {
        const char* runtime;
        const char* cache;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/run/user/1000", "/c", "/h", "/run/user/1000/nimbra"},
        {"/run/user/1000/", nullptr, "/h", "/run/user/1000/nimbra"},
        {"relative", "/c", "/h", "/c/nimbra/program-files"},
        {nullptr, "", "/home/u", "/home/u/.cache/nimbra/program-files"},
    };
    auto set = [](const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    };
    const char* saved_home = std::getenv("HOME");
    std::string home = saved_home ? saved_home : "";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        set("XDG_RUNTIME_DIR", c.runtime);
        set("XDG_CACHE_HOME", c.cache);
        set("HOME", c.home);
        EXPECT_EQ(nimbra::platform::user_store_directory(), c.expected);
    }
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
    set("HOME", saved_home ? home.c_str() : nullptr);
}

// The program directory of this process, writable: every path is used as it is, and no
// store is made.
TEST_F(ProgramFiles, AWritableProgramDirectoryIsUsedAsItIs)
{
    nimbra::platform::set_program_directory_override(program_.string());
    setenv("XDG_RUNTIME_DIR", store_.string().c_str(), 1);
    const std::string page = program_.string() + "/page.htm";
    for (FileUse use : {FileUse::Read, FileUse::Write, FileUse::Delete})
        EXPECT_EQ(nimbra::platform::program_file_path(page, use), page);
    EXPECT_FALSE(fs::exists(store_ / "nimbra"));
    unsetenv("XDG_RUNTIME_DIR");
    nimbra::platform::set_program_directory_override(std::nullopt);
}

TEST_F(ProgramFiles, ExecutableAndModuleDirectories)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(nimbra::platform::executable_directory(), exe.parent_path().string());
    EXPECT_EQ(nimbra::platform::program_directory(), exe.parent_path().string());
    // This function is linked into the test executable itself.
    EXPECT_EQ(nimbra::platform::module_directory(reinterpret_cast<const void*>(&nimbra::platform::module_directory)),
              exe.parent_path().string());
}

TEST_F(ProgramFiles, WholeFileIsReadOnlyFromARegularFile)
{
    write(program_ / "page.htm", std::string("<html>\0\xff", 8));
    write(program_ / "empty", "");
    fs::create_directory(program_ / "directory");
    const fs::path fifo = program_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(corert::read_whole_file((program_ / "page.htm").string()), std::string("<html>\0\xff", 8));
    EXPECT_EQ(corert::read_whole_file((program_ / "empty").string()), std::string());
    for (const fs::path& refused : {program_ / "missing", program_ / "directory", fs::path()})
        EXPECT_EQ(corert::read_whole_file(refused.string()), std::nullopt) << refused;

    // A FIFO nobody writes to: refused at once, not waited on.
    auto reading = std::async(std::launch::async, [&] { return corert::read_whole_file(fifo.string()); });
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the read blocks";
    EXPECT_EQ(reading.get(), std::nullopt);
}

}  // namespace
