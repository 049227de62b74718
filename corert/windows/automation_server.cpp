// The automation protocol on Windows (automation_server.h): loopback TCP with a token.
//
// Unix sockets are not there to rely on (Wine has none, and older Windows neither), and a
// loopback port, unlike a socket file, is open to every account on the machine. So the
// runtime listens on a free port of 127.0.0.1, makes a token of 128 random bits for this
// run, and writes both to the file the CORERT_AUTOMATION path names (the address file,
// which lies where only its user can read it):
//
//     tcp 127.0.0.1 <port> <token>
//
// A connection's first line must be that token; one that sends anything else is closed
// unanswered. Then the protocol is the same line for line as on the Unix socket.
// nimbra-ctl reads the address file when the path names a file rather than a socket.
#include "corert/automation/automation_server.h"

#include "corert/automation/automation_protocol.h"
#include "platform/windows/wide_text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <atomic>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corert {

namespace {

constexpr size_t kMaxRequest = 4096;

std::runtime_error socket_error(const std::string& path, const char* what)
{
    return std::runtime_error("automation address " + path + ": " + what + ": " +
                              nimbra::platform::system_error_text(WSAGetLastError()));
}

std::string random_token()
{
    unsigned char bytes[16];
    if (BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        throw std::runtime_error("automation: no random numbers for the token");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

bool send_all(SOCKET s, std::string_view bytes)
{
    while (!bytes.empty()) {
        int sent = send(s, bytes.data(), int(bytes.size()), 0);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(size_t(sent));
    }
    return true;
}

// The address file appears whole: written beside its place, then moved there.
void write_address_file(const std::string& path, const std::string& content)
{
    std::wstring target = nimbra::platform::utf8_to_wide(path);
    std::wstring temporary = target + L".new";
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("automation address " + path +
                                 ": cannot be written: " + nimbra::platform::system_error_text(GetLastError()));
    DWORD written = 0;
    bool ok = WriteFile(file, content.data(), DWORD(content.size()), &written, nullptr) && written == content.size();
    ok = CloseHandle(file) && ok;
    if (!ok || !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error("automation address " + path +
                                 ": cannot be written: " + nimbra::platform::system_error_text(GetLastError()));
    }
}

}  // namespace

struct AutomationServer::State {
    WindowBackend& backend;
    std::string path;
    std::string token;
    SOCKET listener = INVALID_SOCKET;
    std::atomic<bool> stopping{false};

    struct Connection {
        SOCKET socket = INVALID_SOCKET;
        std::jthread thread;
        std::atomic<bool> done{false};
    };
    std::mutex connections_mutex;
    std::list<Connection> connections;
    std::jthread acceptor;

    State(WindowBackend& b, std::string p) : backend(b), path(std::move(p)) {}

    // Lines up to LF, without a CR before it; false when the peer is gone or too long.
    static bool next_line(SOCKET s, std::string& pending, std::string& line)
    {
        char buffer[1024];
        size_t end;
        while ((end = pending.find('\n')) == std::string::npos) {
            if (pending.size() > kMaxRequest)
                return false;
            int got = recv(s, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            pending.append(buffer, size_t(got));
        }
        line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return true;
    }

    void serve(SOCKET s, std::stop_token stop)
    {
        std::string pending, line;
        if (next_line(s, pending, line) && line == token) {
            while (!stop.stop_requested() && next_line(s, pending, line)) {
                if (!send_all(s, answer_request(backend, line, stop)))
                    break;
            }
            if (pending.size() > kMaxRequest)
                send_all(s, "error request longer than " + std::to_string(kMaxRequest) + " bytes\n");
        }
        closesocket(s);
    }

    void accept_loop()
    {
        for (;;) {
            SOCKET s = accept(listener, nullptr, nullptr);
            if (s == INVALID_SOCKET) {
                if (stopping)
                    return;
                continue;
            }
            std::lock_guard lock(connections_mutex);
            connections.remove_if([](const Connection& c) { return c.done.load(); });
            Connection& connection = connections.emplace_back();
            connection.socket = s;
            connection.thread = std::jthread([this, s, &connection](std::stop_token stop) {
                serve(s, stop);
                connection.done = true;
            });
        }
    }
};

AutomationServer::AutomationServer(WindowBackend& backend, std::string address_path)
    : state_(std::make_unique<State>(backend, std::move(address_path)))
{
    State& s = *state_;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw socket_error(s.path, "WSAStartup");
    s.token = random_token();
    s.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s.listener == INVALID_SOCKET)
        throw socket_error(s.path, "socket");
    // Exclusive: no other program may bind the same port and take connections meant for us.
    BOOL exclusive = TRUE;
    setsockopt(s.listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(s.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(s.listener, 16) != 0 || getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s.listener);
        throw socket_error(s.path, "listen");
    }
    write_address_file(s.path, "tcp 127.0.0.1 " + std::to_string(ntohs(address.sin_port)) + " " + s.token + "\n");
    s.acceptor = std::jthread([&s] { s.accept_loop(); });
}

AutomationServer::~AutomationServer()
{
    State& s = *state_;
    s.stopping = true;
    closesocket(s.listener);  // ends the accept
    if (s.acceptor.joinable())
        s.acceptor.join();
    {
        std::lock_guard lock(s.connections_mutex);
        for (auto& connection : s.connections) {
            connection.thread.request_stop();
            if (!connection.done)
                shutdown(connection.socket, SD_BOTH);  // ends a waiting recv
        }
        s.connections.clear();  // joins
    }
    DeleteFileW(nimbra::platform::utf8_to_wide(s.path).c_str());
    WSACleanup();
}

const std::string& AutomationServer::path() const { return state_->path; }

}  // namespace corert
