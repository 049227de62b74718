#include "weatherd/base/service_log.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace weatherd {

namespace {

struct LogQueue {
    std::mutex lock;  // everything below
    std::condition_variable changed;
    std::deque<std::string> lines;
    size_t queued_bytes = 0;
    uint64_t dropped = 0;
    bool writing = false;  // the writer holds lines taken from the queue
    bool reopen = false;
    std::string path;  // the name standard error was opened as; empty when it is no file
};

// Made once and never freed: at exit the writer may still be blocked in a write.
std::atomic<LogQueue*> g_queue{nullptr};

std::string escaped_text(std::string_view text, bool escape_high)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\' || (escape_high && byte >= 0x80)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string form_line(std::string_view message)
{
    std::string line = kLinePrefix;
    for (char c : message) {
        if (c == '\n' || c == '\r')
            line += c == '\n' ? "\\x0A" : "\\x0D";
        else
            line.push_back(c);
    }
    line.push_back('\n');
    return line;
}

// Standard error is unbuffered, and fprintf may split a long line into several writes.
void write_all(const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        done += static_cast<size_t>(wrote);
    }
}

// The name standard error was opened as, when it is a regular file still found by that name.
std::string standard_error_file()
{
    struct stat opened {};
    if (fstat(STDERR_FILENO, &opened) != 0 || !S_ISREG(opened.st_mode))
        return "";
    char name[4096];
    ssize_t length = readlink("/proc/self/fd/2", name, sizeof name - 1);
    if (length <= 0 || name[0] != '/')
        return "";
    name[length] = '\0';
    struct stat named {};
    if (stat(name, &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
        return "";
    return name;
}

// Called on the writer's thread, so that a reopen never lands in the middle of a line.
std::string reopen_log(const std::string& path)
{
    if (path.empty())
        return form_line("SIGHUP: standard error is not a file opened by name; nothing to reopen");
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return form_line("SIGHUP: cannot reopen " + printable(path) + ": " + std::strerror(errno) +
                         "; writing on where it was");
    dup2(fd, STDERR_FILENO);
    close(fd);
    return form_line("SIGHUP: reopened " + printable(path));
}

void write_loop(LogQueue& queue)
{
    std::unique_lock guard(queue.lock);
    for (;;) {
        queue.changed.wait(guard, [&] { return !queue.lines.empty() || queue.dropped || queue.reopen; });
        std::deque<std::string> batch;
        batch.swap(queue.lines);
        queue.queued_bytes = 0;
        uint64_t dropped = std::exchange(queue.dropped, 0);
        bool reopen = std::exchange(queue.reopen, false);
        queue.writing = true;
        guard.unlock();
        std::string text;
        if (dropped)
            text += form_line(std::to_string(dropped) + " log lines dropped: standard error did not keep up");
        for (const std::string& line : batch)
            text += line;
        write_all(text);
        if (reopen)
            write_all(reopen_log(queue.path));
        guard.lock();
        queue.writing = false;
        queue.changed.notify_all();
    }
}

}  // namespace

std::string printable(std::string_view text) { return escaped_text(text, false); }

std::string printable_ascii(std::string_view text) { return escaped_text(text, true); }

void log_line(std::string_view message)
{
    std::string line = form_line(message);
    LogQueue* queue = g_queue.load(std::memory_order_acquire);
    if (!queue) {
        write_all(line);
        return;
    }
    std::lock_guard guard(queue->lock);
    if (queue->queued_bytes + line.size() > kMostQueuedLogBytes) {
        ++queue->dropped;
        return;
    }
    queue->queued_bytes += line.size();
    queue->lines.push_back(std::move(line));
    queue->changed.notify_all();
}

void start_log_writer()
{
    if (g_queue.load())
        return;
    auto* queue = new LogQueue;
    queue->path = standard_error_file();
    // Blocked while the thread is made, so that it starts with every signal blocked: the
    // service takes its signals in one thread of its choosing.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    std::thread([queue] { write_loop(*queue); }).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    g_queue.store(queue, std::memory_order_release);
}

bool flush_log(std::chrono::milliseconds most)
{
    LogQueue* queue = g_queue.load(std::memory_order_acquire);
    if (!queue)
        return true;
    std::unique_lock guard(queue->lock);
    return queue->changed.wait_for(
        guard, most, [&] { return queue->lines.empty() && !queue->dropped && !queue->reopen && !queue->writing; });
}

void reopen_log()
{
    LogQueue* queue = g_queue.load(std::memory_order_acquire);
    if (!queue)
        return;
    std::lock_guard guard(queue->lock);
    queue->reopen = true;
    queue->changed.notify_all();
}

}  // namespace weatherd
