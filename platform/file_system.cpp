#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nimbra::platform {

namespace {

struct FileDescriptor {
    int fd;
    ~FileDescriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

std::optional<std::string> read_regular_file(const std::string& path, uint64_t limit)
{
    if (path.empty())
        return std::nullopt;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    FileDescriptor file{open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0)
        return std::nullopt;
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    if (static_cast<uint64_t>(info.st_size) > limit)
        return std::nullopt;
    std::string content;
    content.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = read(file.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || content.size() + static_cast<uint64_t>(got) > limit)
            return std::nullopt;
        if (got == 0)
            return content;
        content.append(buffer, static_cast<size_t>(got));
    }
}

bool write_file_parts(const std::string& path, const std::vector<std::string_view>& parts)
{
    if (path.empty())
        return false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = true;
    for (size_t i = 0; ok && i < parts.size(); ++i)
        ok = write_all(fd, parts[i]);
    ok = close(fd) == 0 && ok;
    return ok;
}

bool delete_file(const std::string& path) { return !path.empty() && unlink(path.c_str()) == 0; }

}  // namespace nimbra::platform
