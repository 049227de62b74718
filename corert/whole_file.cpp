#include "corert/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corert {

namespace {

struct FileDescriptor {
    int fd;
    ~FileDescriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

std::optional<std::string> read_whole_file(const std::string& path)
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
    if (static_cast<uint64_t>(info.st_size) > kMaxWholeFileBytes)
        return std::nullopt;
    std::string content;
    content.reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = read(file.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        // A file that grows while it is read is still held to the limit.
        if (got < 0 || content.size() + static_cast<size_t>(got) > kMaxWholeFileBytes)
            return std::nullopt;
        if (got == 0)
            return content;
        content.append(buffer, static_cast<size_t>(got));
    }
}

}  // namespace corert
