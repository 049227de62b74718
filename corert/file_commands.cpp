// File commands and memory files. Paths arrive as Windows-style GBK texts and are
// turned into POSIX paths only here. No file command reports a failure beyond its
// result: an unreadable file reads as the empty byte set, a failed write or delete
// gives a logical false that callers ignore.
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "corert/command_handlers.h"
#include "corert/gbk.h"
#include "corert/kernel_commands.h"
#include "corert/whole_file.h"
#include "platform/file_system.h"
#include "platform/program_directory.h"

namespace corert {
namespace {

// A file of the program directory may live in the user's store (platform/program_directory.h).
std::string file_path(const CommandArgs& args, nimbra::platform::FileUse use)
{
    return nimbra::platform::program_file_path(windows_path_to_posix(args.text(0)), use);
}

// A text or byte set argument as the bytes it contributes to a file.
std::string_view data_argument(const CommandArgs& args, uint32_t index)
{
    return args.tag(index) == qx::kTagByteSet ? args.byte_set(index) : args.text(index);
}

struct MemoryFile {
    std::string data;
    size_t position = 0;
};

// Memory files are used from the window thread only; the lock keeps the table sound
// should a backend thread ever reach it.
struct MemoryFiles {
    std::mutex lock;
    std::map<int32_t, MemoryFile> files;
    int32_t next_number = 1;
};

MemoryFiles& memory_files()
{
    static MemoryFiles* instance = new MemoryFiles;
    return *instance;
}

}  // namespace

size_t open_memory_file_count()
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    return table.files.size();
}

namespace handlers {

// The directory without a trailing separator, as the program appends "\\name" to it:
// the root directory gives the empty text.
uint64_t get_program_directory(const CommandArgs&)
{
    std::string directory = nimbra::platform::program_directory();
    if (directory == "/")
        directory.clear();
    return text_result(utf8_to_gbk(directory));
}

uint64_t delete_file(const CommandArgs& args)
{
    std::string path = file_path(args, nimbra::platform::FileUse::Delete);
    return logical_result(nimbra::platform::delete_file(path));
}

uint64_t read_file(const CommandArgs& args)
{
    std::optional<std::string> content = read_whole_file(file_path(args, nimbra::platform::FileUse::Read));
    return content ? byte_set_result(*content) : 0;
}

// Every argument after the path is written in order, byte sets and texts alike.
uint64_t write_file(const CommandArgs& args)
{
    std::vector<std::string_view> parts;
    for (uint32_t i = 1; i < args.count(); ++i)
        parts.push_back(data_argument(args, i));
    return logical_result(nimbra::platform::write_file_parts(file_path(args, nimbra::platform::FileUse::Write), parts));
}

uint64_t open_memory_file(const CommandArgs&)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    int32_t number = table.next_number++;
    table.files.emplace(number, MemoryFile{});
    return integer_result(number);
}

uint64_t close_file(const CommandArgs& args)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    table.files.erase(args.integer(0));
    return 0;
}

uint64_t seek_file_start(const CommandArgs& args)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    if (auto it = table.files.find(args.integer(0)); it != table.files.end())
        it->second.position = 0;
    return 0;
}

// Overwrites from the position on and extends the file as needed.
uint64_t write_text_to_file(const CommandArgs& args)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(args.integer(0));
    if (it == table.files.end())
        return 0;
    MemoryFile& file = it->second;
    for (uint32_t i = 1; i < args.count(); ++i) {
        std::string_view bytes = data_argument(args, i);
        file.data.replace(file.position, std::min(bytes.size(), file.data.size() - file.position), bytes);
        file.position += bytes.size();
    }
    return 0;
}

// A line ends at LF; a CR right before it is part of the line end. The last line
// needs no line end.
uint64_t read_line(const CommandArgs& args)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(args.integer(0));
    if (it == table.files.end() || it->second.position >= it->second.data.size())
        return text_result({});
    MemoryFile& file = it->second;
    std::string_view rest = std::string_view(file.data).substr(file.position);
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    file.position += end == std::string_view::npos ? rest.size() : end + 1;
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return text_result(line);
}

// An unknown file number is at its end, so a reading loop over it stops at once.
uint64_t at_file_end(const CommandArgs& args)
{
    MemoryFiles& table = memory_files();
    std::lock_guard guard(table.lock);
    auto it = table.files.find(args.integer(0));
    return logical_result(it == table.files.end() || it->second.position >= it->second.data.size());
}

}  // namespace handlers
}  // namespace corert
