#include "tests/support/weather_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace nimbra::testing {

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool port_is_free(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// The port of "nimbra-weatherd: serving on http://HOST:PORT"; 0 until that line is there.
int served_port(const std::string& out)
{
    const std::string ready = "serving on http://";
    size_t at = out.find(ready);
    if (at == std::string::npos)
        return 0;
    size_t end = out.find('\n', at);
    if (end == std::string::npos)
        return 0;
    size_t colon = out.rfind(':', end);
    return colon == std::string::npos || colon < at + ready.size() ? 0 : std::atoi(out.c_str() + colon + 1);
}

}  // namespace

int free_four_digit_port()
{
    static std::mt19937 pick(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = std::uniform_int_distribution<int>(2000, 9999)(pick);
        if (port != 8370 && port_is_free(port))
            return port;
    }
    return 0;
}

WeatherService::WeatherService(std::string executable, std::vector<std::string> options, PortChoice choice)
    : executable_(std::move(executable)), options_(std::move(options))
{
    char tmpl[] = "/tmp/nimbra-weatherd-XXXXXX";
    if (!mkdtemp(tmpl)) {
        problem_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;
    if (choice == kAnyPort) {
        start(0);
        return;
    }
    for (int attempt = 0; attempt < 20 && !running(); ++attempt) {
        if (int port = free_four_digit_port())
            start(port);
    }
}

WeatherService::~WeatherService()
{
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool WeatherService::start(int port)
{
    const std::string out_path = dir_ + "/out", err_path = dir_ + "/err";
    pid_ = fork();
    if (pid_ == 0) {
        std::vector<std::string> args = {executable_, "--port", std::to_string(port)};
        args.insert(args.end(), options_.begin(), options_.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close_range(3, ~0u, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Drawing its images takes a moment; a busy machine makes it longer.
    for (int waited = 0; waited < 3000; ++waited) {
        if ((port_ = served_port(read_file(out_path))) != 0)
            return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            problem_ = read_file(err_path);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    problem_ = "no ready line within a minute";
    stop();
    return false;
}

std::string WeatherService::log() const { return read_file(dir_ + "/err"); }

int WeatherService::requests() const
{
    std::istringstream lines(log());
    int count = 0;
    for (std::string line; std::getline(lines, line);)
        count += line.rfind("nimbra-weatherd: GET ", 0) == 0;
    return count;
}

bool WeatherService::stop()
{
    if (pid_ <= 0)
        return false;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace nimbra::testing
