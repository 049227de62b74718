#include "weatherd/upstream/kept_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace weatherd {

namespace {

// Stamps outside 2000-01-01 ... 2100-01-01 are no time this service wrote.
constexpr int64_t kEarliestStamp = 946684800;
constexpr int64_t kLatestStamp = 4102444800;
constexpr char kStampField[] = "fetched_at=";
constexpr size_t kLongestStampDigits = 12;
constexpr auto kLockRetry = std::chrono::milliseconds(50);

std::optional<int64_t> parse_stamp(std::string_view digits)
{
    if (digits.empty() || digits.size() > kLongestStampDigits)
        return std::nullopt;
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < kEarliestStamp || value > kLatestStamp)
        return std::nullopt;
    return value;
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t wrote = write(fd, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
}

// Opens without following a link and without waiting on a FIFO, and keeps the descriptor
// only for a regular file.
int open_regular(const std::filesystem::path& path, int flags, std::string& why, struct stat& status)
{
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        why = errno == ENOENT ? "" : errno == ELOOP ? "a symbolic link" : std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        why = "not a regular file";
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<KeptFile> read_kept_file(const std::filesystem::path& path, std::string_view header, std::string& why,
                                       size_t longest)
{
    why.clear();
    struct stat status {};
    int fd = open_regular(path, O_RDONLY, why, status);
    if (fd < 0)
        return std::nullopt;
    if (static_cast<uint64_t>(status.st_size) > longest) {
        close(fd);
        why = std::to_string(status.st_size) + " bytes, more than " + std::to_string(longest);
        return std::nullopt;
    }
    // Read to the limit, not to the size seen: the file may grow meanwhile.
    std::string bytes(longest + 1, '\0');
    size_t have = 0;
    for (ssize_t got; have < bytes.size(); have += static_cast<size_t>(got)) {
        got = read(fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR) {
            got = 0;
            continue;
        }
        if (got <= 0)
            break;
    }
    close(fd);
    if (have > longest)
        return why = "longer than " + std::to_string(longest) + " bytes", std::nullopt;
    bytes.resize(have);
    size_t line_end = bytes.find('\n');
    std::string_view first = std::string_view(bytes).substr(0, line_end);
    if (line_end == std::string::npos || !first.starts_with(header) ||
        !first.substr(header.size()).starts_with(kStampField))
        return why = "no header line", std::nullopt;
    std::optional<int64_t> stamp = parse_stamp(first.substr(header.size() + sizeof kStampField - 1));
    if (!stamp)
        return why = "no plausible fetch time in its header", std::nullopt;
    return KeptFile{*stamp, bytes.substr(line_end + 1)};
}

bool write_kept_file(const std::filesystem::path& path, std::string_view header, std::string_view body,
                     int64_t fetched_at, std::string& why)
{
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return why = std::strerror(errno), false;
    std::string head = std::string(header) + kStampField + std::to_string(fetched_at) + "\n";
    bool written = fchmod(fd, 0644) == 0 && write_all(fd, head) && write_all(fd, body) && fsync(fd) == 0;
    if (written)
        why = "";
    else
        why = std::strerror(errno);
    if (close(fd) != 0 && written)
        written = false, why = std::strerror(errno);
    // rename replaces whatever has the kept name, a planted link included, and never writes
    // through it.
    if (written && std::rename(temporary.c_str(), path.c_str()) != 0)
        written = false, why = std::strerror(errno);
    if (!written)
        unlink(temporary.c_str());
    return written;
}

PlaceLock::PlaceLock(const std::filesystem::path& path, const Deadline& deadline)
{
    struct stat status {};
    int fd = open_regular(path, O_RDWR | O_CREAT, why_, status);
    if (fd < 0) {
        if (why_.empty())
            why_ = "cannot be created";
        return;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            why_ = std::strerror(errno);
            close(fd);
            return;
        }
        waited_ = true;
        if (deadline.passed()) {
            why_ = "held by another service for longer than the wait";
            close(fd);
            return;
        }
        std::this_thread::sleep_for(kLockRetry);
    }
    fd_ = fd;
}

PlaceLock::~PlaceLock()
{
    if (fd_ >= 0)
        close(fd_);  // closing the descriptor releases the lock
}

Freshness freshness_at(int64_t fetched_at, int64_t now, int64_t ttl)
{
    Freshness freshness;
    int64_t age = 0;
    if (fetched_at > now || __builtin_sub_overflow(now, fetched_at, &age))
        return freshness;  // from the future: stale, and kept by no cache in front
    freshness.age_seconds = age;
    freshness.fresh = age < ttl;
    freshness.max_age_seconds = freshness.fresh ? std::clamp<int64_t>(ttl - age, 0, ttl) : 0;
    return freshness;
}

}  // namespace weatherd
