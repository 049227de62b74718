// nimbra-ctl: drives a running Nimbra Weather through its automation socket.
//
//   nimbra-ctl [--socket PATH] [--timeout SECONDS] [--wait-socket SECONDS] COMMAND [ARGS...]
//
// Sends one request, prints the answer's data lines on stdout and an error answer on
// stderr. `page` prints the bytes the browser read instead of its data lines. Exit
// status: 0 for "ok", 1 for an error answer, 2 for usage and connection problems.
#include "corert/automation/wire_text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0, kExitErrorAnswer = 1, kExitTrouble = 2;

// Every message is one line in the tool's name; only the usage text is not.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::fputs("nimbra-ctl: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void usage()
{
    std::fputs("usage: nimbra-ctl [--socket PATH] [--timeout SECONDS] [--wait-socket SECONDS] COMMAND [ARGS...]\n"
               "  PATH defaults to $CORERT_AUTOMATION; --wait-socket retries until the program serves it\n"
               "commands:\n"
               "  units                   every unit of the window\n"
               "  unit NAME|ID            one unit (NAME as stored, e.g. 组合框1; ID in hex; or \"window\")\n"
               "  get NAME|ID PROPERTY    a property value (0-3 geometry, 8 text, 11 address, 19 selection)\n"
               "  items NAME|ID           the items of a combo box\n"
               "  pick NAME|ID INDEX      pick an item as the user would (its handler follows)\n"
               "  click NAME|ID           click a button\n"
               "  boxes                   the message boxes shown so far\n"
               "  answer [BUTTON]         close the open message box (ok, cancel, yes, no, ... or a number)\n"
               "  browsers                what each browser control was given\n"
               "  page VISIT              the bytes a browser read for that visit\n"
               "  opened                  what OpenWebPage was asked to open\n"
               "  wait-idle [SECONDS]     wait until no event is queued or running (default 30)\n"
               "  state                   the event loop's state\n"
               "  wait-page NAME|ID [SECONDS]  wait until a browser has loaded its page (GTK; default 30)\n"
               "  page-text NAME|ID       the visible text of a browser's page (GTK)\n"
               "  page-layout NAME|ID     how a browser's page lies in it: widths, heights, text in view (GTK)\n"
               "  screenshot PATH         save a PNG of the window's client area (GTK)\n"
               "  close                   close the window\n",
               stderr);
}

bool send_line(int fd, std::string line);

// The program on Windows serves automation on loopback TCP and writes where, with the
// token of its run, into a file at the path (corert/windows/automation_server.cpp):
//   tcp 127.0.0.1 PORT TOKEN
// Connects there and sends the token; -1 with `problem` set when that cannot be done yet.
int connect_by_address_file(const std::string& path, std::string& problem)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        problem = std::strerror(errno);
        return -1;
    }
    char host[64] = {}, token[128] = {};
    int port = 0;
    int fields = std::fscanf(file, "tcp %63s %d %127s", host, &port, token);
    std::fclose(file);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    // Only a loopback address: the token must not travel anywhere else.
    if (fields != 3 || port <= 0 || port > 65535 || inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
        (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
        problem = "not an address file of a loopback port";
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send_line(fd, token))
        return fd;
    problem = std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return -1;
}

bool is_regular_file(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Retries until `wait_seconds` have passed, for scripts that start the program and
// talk to it at once: its socket appears only once the runtime runs.
int connect_to(const std::string& path, long wait_seconds)
{
    auto give_up_at = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    if (is_regular_file(path)) {
        for (;;) {
            std::string problem;
            int fd = connect_by_address_file(path, problem);
            if (fd >= 0)
                return fd;
            if (std::chrono::steady_clock::now() >= give_up_at) {
                say("cannot connect to the address in %s: %s", path.c_str(), problem.c_str());
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        say("socket path %s is empty or too long", path.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    for (;;) {
        // The address file of a program on Windows may appear while this waits.
        if (is_regular_file(path))
            return connect_to(path, std::max(0L, long(std::chrono::duration_cast<std::chrono::seconds>(
                                                          give_up_at - std::chrono::steady_clock::now())
                                                          .count())));
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        int problem = errno;
        if (fd >= 0)
            close(fd);
        if (fd < 0 || std::chrono::steady_clock::now() >= give_up) {
            say("cannot connect to %s: %s", path.c_str(), std::strerror(problem));
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool send_line(int fd, std::string line)
{
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t sent = send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        rest.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// Reads answer lines up to and including the final "ok" or "error ..." line.
bool read_answer(int fd, std::vector<std::string>& lines)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            const std::string& last = lines.back();
            if (last == "ok" || last.starts_with("error "))
                return true;
        }
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            say("no answer in time");
            return false;
        }
        if (got <= 0) {
            say("the program closed the connection without an answer");
            return false;
        }
        pending.append(buffer, static_cast<size_t>(got));
    }
}

// The page's bytes go to stdout as they are: they are whatever the file held.
bool print_page(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        if (!line.starts_with("data "))
            continue;
        auto bytes = corert::wire::base64_decode(std::string_view(line).substr(5));
        if (!bytes) {
            say("a data line of the answer is not base64");
            return false;
        }
        std::fwrite(bytes->data(), 1, bytes->size(), stdout);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string socket_path;
    if (const char* from_environment = std::getenv("CORERT_AUTOMATION"))
        socket_path = from_environment;
    long timeout = 0;
    long wait_socket = 0;
    int at = 1;
    for (; at < argc && std::string_view(argv[at]).starts_with("--"); ++at) {
        std::string_view option = argv[at];
        if (option == "--help") {
            usage();
            return kExitOk;
        }
        if (at + 1 >= argc) {
            usage();
            return kExitTrouble;
        }
        if (option == "--socket") {
            socket_path = argv[++at];
        } else if (option == "--timeout" || option == "--wait-socket") {
            char* end = nullptr;
            long seconds = std::strtol(argv[++at], &end, 10);
            if (*end || seconds <= 0) {
                say("%s takes a positive number of seconds", argv[at - 1]);
                return kExitTrouble;
            }
            (option == "--timeout" ? timeout : wait_socket) = seconds;
        } else {
            usage();
            return kExitTrouble;
        }
    }
    if (at >= argc || socket_path.empty()) {
        usage();
        return kExitTrouble;
    }
    std::string request;
    for (int i = at; i < argc; ++i) {
        std::string_view word = argv[i];
        if (word.empty() || word.find_first_of(" \t\r\n") != std::string_view::npos) {
            say("argument \"%s\" is empty or holds a blank", argv[i]);
            return kExitTrouble;
        }
        if (i > at)
            request += ' ';
        request += word;
    }
    // wait-idle's own limit comes first; this one only guards against a hung program.
    if (timeout == 0) {
        timeout = 120;
        if (std::string_view(argv[at]) == "wait-idle" && at + 1 < argc)
            timeout += std::strtol(argv[at + 1], nullptr, 10);
        if (std::string_view(argv[at]) == "wait-page" && at + 2 < argc)
            timeout += std::strtol(argv[at + 2], nullptr, 10);
    }

    int fd = connect_to(socket_path, wait_socket);
    if (fd < 0)
        return kExitTrouble;
    timeval limit{timeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<std::string> lines;
    bool answered = send_line(fd, request) && read_answer(fd, lines);
    close(fd);
    if (!answered)
        return kExitTrouble;

    const std::string last = lines.back();
    lines.pop_back();
    if (last != "ok") {
        say("%s", last.c_str());
        return kExitErrorAnswer;
    }
    if (std::string_view(argv[at]) == "page")
        return print_page(lines) ? kExitOk : kExitTrouble;
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    return kExitOk;
}
