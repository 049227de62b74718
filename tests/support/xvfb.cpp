#include "tests/support/xvfb.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nimbra::testing {

Xvfb::Xvfb(const std::string& screen)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        problem_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        // Xvfb writes the display number it chose to this descriptor.
        close(pipe_fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::string fd = std::to_string(pipe_fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid_ < 0) {
        problem_ = std::string("fork: ") + std::strerror(errno);
        close(pipe_fds[0]);
        return;
    }
    std::string number;
    pollfd readable{pipe_fds[0], POLLIN, 0};
    // A slow machine may take a while to start a server; 60 s only guards against a hang.
    while (number.find('\n') == std::string::npos && poll(&readable, 1, 60000) > 0) {
        char buffer[32];
        ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    if (number.find('\n') == std::string::npos) {
        problem_ = "Xvfb did not start (is it installed?)";
        return;
    }
    number.resize(number.find('\n'));
    number.insert(number.begin(), ':');
    display_ = std::move(number);
}

Xvfb::~Xvfb()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace nimbra::testing
