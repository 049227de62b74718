// A local HTTP server for the engine's and FetchUrl's tests.
#pragma once

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace http_test {

// A cpp-httplib server on 127.0.0.1 with a port the system picks. Routes are added
// first; start() returns once the server answers, so stopping it can never come before
// its loop has begun.
class LocalServer {
public:
    LocalServer()
    {
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("test HTTP server cannot bind");
    }
    ~LocalServer()
    {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }
    httplib::Server& routes() { return server_; }
    void start()
    {
        if (thread_.joinable())
            return;
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int port() const { return port_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

// A loopback port nobody listens on: bound for a moment, never listened on, released.
inline int unused_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("no loopback port to spare");
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace http_test
