#include "corert/automation/automation_server.h"

#include "corert/automation/automation_protocol.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corert {

namespace {

constexpr size_t kMaxRequest = 4096;

std::runtime_error socket_error(const std::string& path, const char* what)
{
    return std::runtime_error("automation socket " + path + ": " + what + ": " + std::strerror(errno));
}

sockaddr_un socket_address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("automation socket " + path + ": the path must have 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// A socket file nobody listens on is left over from an earlier run.
void remove_stale_socket(const std::string& path, const sockaddr_un& address)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return;
    bool live = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (live) {
        errno = EADDRINUSE;
        throw socket_error(path, "another program serves it");
    }
    unlink(path.c_str());
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

struct AutomationServer::State {
    WindowBackend& backend;
    std::string path;
    int listener = -1;
    int wake[2] = {-1, -1};  // written once to stop every thread

    struct Connection {
        std::jthread thread;
        std::atomic<bool> done{false};
    };
    std::mutex connections_mutex;
    std::list<Connection> connections;
    std::jthread acceptor;

    State(WindowBackend& b, std::string p) : backend(b), path(std::move(p)) {}
    ~State()
    {
        for (int fd : {listener, wake[0], wake[1]}) {
            if (fd >= 0)
                close(fd);
        }
    }

    // Waits for `fd` to become readable; false when the server stops first.
    bool wait_readable(int fd)
    {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        for (;;) {
            int ready = poll(fds, 2, -1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || fds[1].revents)
                return false;
            return true;
        }
    }

    void serve(int fd, std::stop_token stop)
    {
        std::string pending;
        char buffer[1024];
        while (!stop.stop_requested() && wait_readable(fd)) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(got));
            size_t end;
            bool open = true;
            while (open && (end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                open = write_all(fd, answer_request(backend, line, stop));
            }
            if (!open)
                break;
            if (pending.size() > kMaxRequest) {
                write_all(fd, "error request longer than " + std::to_string(kMaxRequest) + " bytes\n");
                break;
            }
        }
        close(fd);
    }

    void accept_loop()
    {
        while (wait_readable(listener)) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard lock(connections_mutex);
            connections.remove_if([](const Connection& c) { return c.done.load(); });
            Connection& connection = connections.emplace_back();
            connection.thread = std::jthread([this, fd, &connection](std::stop_token stop) {
                serve(fd, stop);
                connection.done = true;
            });
        }
    }
};

AutomationServer::AutomationServer(WindowBackend& backend, std::string socket_path)
    : state_(std::make_unique<State>(backend, std::move(socket_path)))
{
    State& s = *state_;
    sockaddr_un address = socket_address(s.path);
    remove_stale_socket(s.path, address);
    if (pipe2(s.wake, O_CLOEXEC) != 0)
        throw socket_error(s.path, "pipe");
    s.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listener < 0)
        throw socket_error(s.path, "socket");
    if (bind(s.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw socket_error(s.path, "bind");
    // Whoever can connect can drive the program: owner only, set before anyone can
    // connect (a socket that does not listen yet refuses connections).
    if (chmod(s.path.c_str(), 0600) != 0 || listen(s.listener, 16) != 0) {
        unlink(s.path.c_str());
        throw socket_error(s.path, "listen");
    }
    s.acceptor = std::jthread([&s] { s.accept_loop(); });
}

AutomationServer::~AutomationServer()
{
    State& s = *state_;
    if (s.wake[1] >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(s.wake[1], &byte, 1);
    }
    if (s.acceptor.joinable())
        s.acceptor.join();
    {
        std::lock_guard lock(s.connections_mutex);
        for (auto& connection : s.connections)
            connection.thread.request_stop();
        s.connections.clear();  // joins
    }
    unlink(s.path.c_str());
}

const std::string& AutomationServer::path() const { return state_->path; }

}  // namespace corert
