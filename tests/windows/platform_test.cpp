// The Windows side of platform/: pages where the image needs them, whole files through the
// Win32 calls, and the user's store for a program directory they cannot write.
#include "platform/file_system.h"
#include "platform/memory_pages.h"
#include "platform/program_directory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using nimbra::platform::FileUse;

std::string temporary_directory()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring dir = std::wstring(base) + L"nimbra-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    char narrow[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, dir.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

TEST(MemoryPages, LowPagesLieBelowTwoGiB)
{
    for (size_t bytes : {size_t(4096), size_t(3) << 20}) {
        void* p = nimbra::platform::map_low_pages(bytes);
        ASSERT_NE(p, nullptr) << bytes;
        EXPECT_LT(reinterpret_cast<uintptr_t>(p) + bytes, uintptr_t(1) << 31);
        static_cast<volatile uint8_t*>(p)[bytes - 1] = 1;  // writable to its end
        EXPECT_TRUE(nimbra::platform::make_pages_executable(p, bytes));
        nimbra::platform::unmap_pages(p, bytes);
    }
}

TEST(MemoryPages, ExactAddressIsTakenOnceOnly)
{
    // A page inside a 64 KiB unit, as the service trampolines have them.
    void* wanted = reinterpret_cast<void*>(uintptr_t(0x700000001000));
    void* first = nimbra::platform::map_pages_at(wanted, 4096);
    ASSERT_EQ(first, wanted);
    EXPECT_EQ(nimbra::platform::map_pages_at(wanted, 4096), nullptr);
    nimbra::platform::unmap_pages(first, 4096);
    void* again = nimbra::platform::map_pages_at(wanted, 4096);
    EXPECT_EQ(again, wanted);
    nimbra::platform::unmap_pages(again, 4096);
}

TEST(FileSystem, WholeFilesThroughWin32Calls)
{
    std::string dir = temporary_directory();
    std::string file = dir + "\\\xE6\x98\xBE\xE7\xA4\xBA\xE9\xA1\xB5.htm";  // 显示页.htm
    ASSERT_TRUE(nimbra::platform::write_file_parts(file, {"<html>", std::string_view("\0x", 2), "</html>"}));
    EXPECT_EQ(nimbra::platform::read_regular_file(file, 1000), std::string("<html>\0x</html>", 15));
    EXPECT_EQ(nimbra::platform::read_regular_file(file, 10), std::nullopt);   // over the limit
    EXPECT_EQ(nimbra::platform::read_regular_file(dir, 1000), std::nullopt);  // a directory
    EXPECT_TRUE(nimbra::platform::delete_file(file));
    EXPECT_FALSE(nimbra::platform::delete_file(file));
    EXPECT_EQ(nimbra::platform::read_regular_file(file, 1000), std::nullopt);
    EXPECT_FALSE(nimbra::platform::write_file_parts(dir + "\\missing\\x", {"x"}));
    RemoveDirectoryA(dir.c_str());
}

TEST(ProgramDirectory, FilesOfAProtectedDirectoryGoToTheStore)
{
    nimbra::platform::ProgramDirectoryAccess access{"C:\\Program Files\\Nimbra", false, "C:\\Users\\u\\store"};
    struct Case {
        std::string path;
        FileUse use;
        std::string expected;
    };
    const Case cases[] = {
        {"C:\\Program Files\\Nimbra\\page.htm", FileUse::Write, "C:\\Users\\u\\store\\page.htm"},
        {"c:/program files/nimbra/page.htm", FileUse::Write, "C:\\Users\\u\\store\\page.htm"},
        // Not there in the store: read where it lies (config.ini).
        {"C:\\Program Files\\Nimbra\\config.ini", FileUse::Read, "C:\\Program Files\\Nimbra\\config.ini"},
        {"C:\\Program Files\\Nimbra\\sub\\x.htm", FileUse::Write, "C:\\Program Files\\Nimbra\\sub\\x.htm"},
        {"D:\\elsewhere\\x.htm", FileUse::Write, "D:\\elsewhere\\x.htm"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nimbra::platform::program_file_path(access, c.path, c.use), c.expected) << c.path;
    access.writable = true;
    EXPECT_EQ(nimbra::platform::program_file_path(access, cases[0].path, FileUse::Write), cases[0].path);
}

TEST(ProgramDirectory, IsTheExecutablesWithoutTrailingSeparator)
{
    std::string directory = nimbra::platform::program_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), '\\');
    EXPECT_NE(directory.find(':'), std::string::npos) << directory;
}

}  // namespace
