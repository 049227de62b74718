// Whole files on Windows (platform/file_system.h), with the Win32 file calls.
#include "platform/file_system.h"

#include "platform/windows/wide_text.h"

#include <windows.h>

namespace nimbra::platform {

namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool close()
    {
        bool ok = CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE handle_;
};

}  // namespace

std::optional<std::string> read_regular_file(const std::string& path, uint64_t limit)
{
    if (path.empty())
        return std::nullopt;
    FileHandle file(CreateFileW(utf8_to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // A pipe or a device by that name is not a disk file, and is not waited on.
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK)
        return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || uint64_t(size.QuadPart) > limit)
        return std::nullopt;
    std::string content;
    content.reserve(size_t(size.QuadPart));
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) || content.size() + got > limit)
            return std::nullopt;
        if (got == 0)
            return content;
        content.append(buffer, got);
    }
}

bool write_file_parts(const std::string& path, const std::vector<std::string_view>& parts)
{
    if (path.empty())
        return false;
    FileHandle file(CreateFileW(utf8_to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return false;
    bool ok = true;
    for (std::string_view part : parts) {
        while (ok && !part.empty()) {
            DWORD chunk = part.size() > 0x40000000 ? 0x40000000 : DWORD(part.size());
            DWORD written = 0;
            ok = WriteFile(file.get(), part.data(), chunk, &written, nullptr) && written > 0;
            part.remove_prefix(written);
        }
    }
    return file.close() && ok;
}

bool delete_file(const std::string& path) { return !path.empty() && DeleteFileW(utf8_to_wide(path).c_str()) != 0; }

}  // namespace nimbra::platform
