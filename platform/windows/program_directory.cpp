// The program directory on Windows (platform/program_directory.h). Paths are UTF-8 with
// backslashes, as the system writes them; the user's store for files of a program
// directory they cannot write (Program Files, for one) is under their local application
// data, which only they can reach.
#include "platform/program_directory.h"

#include "platform/windows/wide_text.h"

#include <windows.h>

#include <cstdlib>
#include <mutex>

namespace nimbra::platform {

namespace {

std::mutex override_lock;
std::optional<std::string> directory_override;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// "C:\a\b\c" -> "C:\a\b"; "C:\c" -> "C:" (the program appends "\name" itself).
std::string directory_of(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string without_trailing_separators(std::string directory)
{
    while (directory.size() > 1 && is_separator(directory.back()))
        directory.pop_back();
    return directory;
}

// The same directory whatever the case of its letters and the kind of its separators.
std::string comparable(std::string path)
{
    for (char& c : path) {
        if (c == '/')
            c = '\\';
        else if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return without_trailing_separators(path);
}

std::string module_file_name(HMODULE module)
{
    std::wstring name(260, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, name.data(), DWORD(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return wide_to_utf8(name);
        }
        name.resize(name.size() * 2);
    }
}

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(utf8_to_wide(path).c_str()); }

bool exists(const std::string& path) { return attributes_of(path) != INVALID_FILE_ATTRIBUTES; }

// A real directory, not a link to one somewhere else.
bool is_plain_directory(const std::string& directory)
{
    DWORD a = attributes_of(directory);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool make_directories(const std::string& directory)
{
    if (is_plain_directory(directory))
        return true;
    std::string parent = directory_of(directory);
    if (parent != directory && parent.size() > 2 && !make_directories(parent))
        return false;
    return CreateDirectoryW(utf8_to_wide(directory).c_str(), nullptr) || is_plain_directory(directory);
}

// Whether this user may create files in `directory`: asked by making one, as the
// directory's access lists decide it and no simpler call answers for them.
bool can_create_files_in(const std::string& directory)
{
    std::string probe = directory + "\\.nimbra-write-" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileW(utf8_to_wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(file);
    return true;
}

}  // namespace

std::optional<std::string> executable_directory(std::string* why)
{
    std::string name = module_file_name(nullptr);
    if (name.empty()) {
        if (why)
            *why = "GetModuleFileNameW: " + system_error_text(GetLastError());
        return std::nullopt;
    }
    return directory_of(name);
}

std::string module_directory(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const wchar_t*>(address), &module))
        return ".";
    std::string name = module_file_name(module);
    return name.empty() ? "." : directory_of(name);
}

std::string program_directory()
{
    {
        std::lock_guard guard(override_lock);
        if (directory_override && !directory_override->empty())
            return without_trailing_separators(*directory_override);
    }
    return executable_directory().value_or(".");
}

void set_program_directory_override(std::optional<std::string> directory)
{
    std::lock_guard guard(override_lock);
    directory_override = std::move(directory);
}

std::string user_store_directory()
{
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local)
        return {};
    return without_trailing_separators(wide_to_utf8(local)) + "\\Nimbra\\program-files";
}

std::string program_file_path(const ProgramDirectoryAccess& access, const std::string& path, FileUse use)
{
    if (access.writable || access.user_store.empty() || path.empty())
        return path;
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 == path.size())
        return path;
    if (comparable(path.substr(0, slash)) != comparable(access.directory))
        return path;
    std::string stored = access.user_store + "\\" + path.substr(slash + 1);
    if (use == FileUse::Write)
        return stored;
    return exists(stored) ? stored : path;
}

std::string program_file_path(const std::string& path, FileUse use)
{
    ProgramDirectoryAccess access;
    access.directory = program_directory();
    access.writable = can_create_files_in(access.directory);
    if (!access.writable)
        access.user_store = user_store_directory();
    std::string chosen = program_file_path(access, path, use);
    if (chosen == path)
        return path;
    bool usable = use == FileUse::Write ? make_directories(access.user_store) : is_plain_directory(access.user_store);
    return usable ? chosen : path;
}

}  // namespace nimbra::platform
