#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "command_harness.h"
#include "corert/gbk.h"
#include "platform/program_directory.h"

namespace corert::test {
namespace {

namespace fs = std::filesystem;

class FileCommandTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        directory_ = fs::temp_directory_path() / ("corert-files-" + std::to_string(getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }
    void TearDown() override
    {
        fs::remove_all(directory_);
        nimbra::platform::set_program_directory_override(std::nullopt);
        CommandTest::TearDown();
    }
    // The directory as image code sees it: a GBK text.
    std::string gbk_directory() const { return utf8_to_gbk(directory_.string()); }

    fs::path directory_;
};

TEST_F(FileCommandTest, ReadFileFailuresGiveTheEmptyByteSet)
{
    for (const std::string& path : {gbk_directory() + "/missing.txt", gbk_directory(), std::string()}) {
        Args args;
        args.text(path);
        EXPECT_EQ(call(qx::kCmdReadFile, args), 0u) << path;
    }
    std::ofstream(directory_ / "empty");
    Args empty;
    empty.text(gbk_directory() + "/empty");
    EXPECT_EQ(call(qx::kCmdReadFile, empty), 0u);
}

TEST_F(FileCommandTest, WriteFileReplacesWithExactlyTheBytes)
{
    const std::string path = gbk_directory() + "/data.bin";
    const std::string bytes("\0\x01zero\0\xff\r\n", 10);
    Args longer, write, read;
    longer.text(path).byte_set(std::string(100, 'x'));
    write.text(path).byte_set(bytes);
    read.text(path);
    call(qx::kCmdWriteFile, longer);
    EXPECT_EQ(call(qx::kCmdWriteFile, write), 1u);
    EXPECT_EQ(take_byte_set(call(qx::kCmdReadFile, read)), bytes);
    EXPECT_EQ(fs::file_size(directory_ / "data.bin"), bytes.size());
}

// The page file: a name with a backslash in front, and a character whose GBK trail
// byte is 0x5C, which must not become a separator.
TEST_F(FileCommandTest, GbkPathWithBackslashes)
{
    const std::string name = "\xcf\xd4\xca\xbe\xd2\xb3\xd5\x5c.htm";  // 显示页誠.htm
    const std::string path = gbk_directory() + "\\" + name;
    Args write, read, remove;
    write.text(path).byte_set("<html>");
    read.text(path);
    remove.text(path);
    call(qx::kCmdWriteFile, write);
    EXPECT_TRUE(fs::exists(directory_ / "显示页誠.htm"));
    EXPECT_EQ(take_byte_set(call(qx::kCmdReadFile, read)), "<html>");
    EXPECT_EQ(call(qx::kCmdDeleteFile, remove), 1u);
    EXPECT_FALSE(fs::exists(directory_ / "显示页誠.htm"));
    EXPECT_EQ(call(qx::kCmdDeleteFile, remove), 0u) << "deleting twice fails quietly";
}

TEST_F(FileCommandTest, DeleteFileLeavesDirectories)
{
    fs::create_directory(directory_ / "sub");
    Args args;
    args.text(gbk_directory() + "\\sub");
    EXPECT_EQ(call(qx::kCmdDeleteFile, args), 0u);
    EXPECT_TRUE(fs::is_directory(directory_ / "sub"));
}

TEST_F(FileCommandTest, ProgramDirectory)
{
    std::string real = take_text(call(qx::kCmdGetProgramDirectory));
    EXPECT_EQ(real, utf8_to_gbk(fs::read_symlink("/proc/self/exe").parent_path().string()));

    const std::pair<std::string, std::string> overrides[] = {
        {"/opt/显示/", "/opt/\xcf\xd4\xca\xbe"},
        {"/", ""},
    };
    for (const auto& [directory, expected] : overrides) {
        nimbra::platform::set_program_directory_override(directory);
        EXPECT_EQ(take_text(call(qx::kCmdGetProgramDirectory)), expected) << directory;
    }
}

// The cookie reader's loop: write the header text, seek to the start, read lines
// until the end.
std::vector<std::string> read_lines(const std::string& content)
{
    int32_t file = static_cast<int32_t>(call(qx::kCmdOpenMemoryFile));
    Args write, seek, at_end, read, close;
    write.integer(file).text(content);
    seek.integer(file);
    at_end.integer(file).logical(false);
    read.integer(file);
    close.integer(file);
    call(qx::kCmdWriteTextToFile, write);
    call(qx::kCmdSeekFileStart, seek);
    std::vector<std::string> lines;
    while (call(qx::kCmdAtFileEnd, at_end) == 0 && lines.size() < 100)
        lines.push_back(call_text(qx::kCmdReadLine, read));
    EXPECT_EQ(call_text(qx::kCmdReadLine, read), "") << "reading past the end";
    call(qx::kCmdCloseFile, close);
    return lines;
}

TEST_F(FileCommandTest, MemoryFileLines)
{
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"HTTP/1.1 200 OK\r\nSet-Cookie: a=b\r\n\r\n", {"HTTP/1.1 200 OK", "Set-Cookie: a=b", ""}},
        {"one\ntwo\r\nthree", {"one", "two", "three"}},
        {"a\r\r\nb\r", {"a\r", "b\r"}},
        {"\n\n", {"", ""}},
        {"", {}},
    };
    for (const auto& [content, expected] : cases)
        EXPECT_EQ(read_lines(content), expected) << content;
}

TEST_F(FileCommandTest, MemoryFileWritesAtThePosition)
{
    int32_t file = static_cast<int32_t>(call(qx::kCmdOpenMemoryFile));
    Args first, second, seek, read, close;
    first.integer(file).text("abcdef\n");
    second.integer(file).text("XY");
    seek.integer(file);
    read.integer(file);
    close.integer(file);
    call(qx::kCmdWriteTextToFile, first);
    call(qx::kCmdSeekFileStart, seek);
    call(qx::kCmdWriteTextToFile, second);
    call(qx::kCmdSeekFileStart, seek);
    EXPECT_EQ(call_text(qx::kCmdReadLine, read), "XYcdef");
    call(qx::kCmdCloseFile, close);

    // A closed or never opened file is at its end and reads empty.
    Args at_end;
    at_end.integer(file).logical(false);
    EXPECT_EQ(call(qx::kCmdAtFileEnd, at_end), 1u);
    EXPECT_EQ(call_text(qx::kCmdReadLine, read), "");
}

}  // namespace
}  // namespace corert::test
