// Local servers for the WinINet stand-in's tests, all on 127.0.0.1 with a port the
// system picks: a cpp-httplib server for ordinary exchanges and a raw socket server whose
// handler writes exactly the bytes a test wants, good or hostile.
#pragma once

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace wininet_test {

class HttpServer {
public:
    HttpServer()
    {
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("test HTTP server cannot bind");
    }
    ~HttpServer()
    {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    httplib::Server& routes() { return server_; }
    // Routes are set first, then the server starts answering.
    void start()
    {
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    int port() const { return port_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

inline bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The request head and body (by Content-Length) as they arrived; empty when the peer
// went away first.
inline std::string read_request(int fd)
{
    std::string data;
    char chunk[4096];
    size_t head_end = std::string::npos;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return {};
        data.append(chunk, static_cast<size_t>(n));
    }
    size_t length = 0;
    size_t at = data.find("\r\nContent-Length: ");
    if (at != std::string::npos && at < head_end)
        length = std::stoul(data.substr(at + 18));
    while (data.size() < head_end + 4 + length) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        data.append(chunk, static_cast<size_t>(n));
    }
    return data;
}

// Waits until the peer closes or the server stops.
inline void reset_on_close(int fd)
{
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

inline void hold(int fd)
{
    char chunk[4096];
    while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
}

class RawServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit RawServer(Handler handler) : handler_(std::move(handler))
    {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_fd_, 16) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("raw test server cannot listen");
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~RawServer()
    {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard lock(mutex_);
            for (int fd : clients_) {
                if (fd >= 0)
                    ::shutdown(fd, SHUT_RDWR);
            }
        }
        for (auto& t : handlers_)
            t.join();
        ::close(listen_fd_);
    }

    int port() const { return port_; }
    int connections() const { return connections_; }

private:
    void accept_loop()
    {
        for (;;) {
            int fd = ::accept(listen_fd_, nullptr, nullptr);
            if (fd < 0 || stopping_) {
                if (fd >= 0)
                    ::close(fd);
                return;
            }
            ++connections_;
            std::lock_guard lock(mutex_);
            clients_.push_back(fd);
            size_t slot = clients_.size() - 1;
            handlers_.emplace_back([this, fd, slot] {
                handler_(fd);
                // A handler that set SO_LINGER to 0 gets its reset here.
                std::lock_guard lock(mutex_);
                ::close(fd);
                clients_[slot] = -1;
            });
        }
    }

    Handler handler_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> handlers_;
};

}  // namespace wininet_test
