#include "tests/support/program_runner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace nimbra::testing {

namespace {

std::string read_whole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/nimbra-e2e-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return tmpl;
}

// Forks and execs `argv` with the current environment plus `env`, stdout and stderr sent
// to the given files, stdin from /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& out_path, const std::string& err_path)
{
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        for (const auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test goes along: a test server's sockets (opened without
        // close-on-exec) held by the program or nimbra-ctl would keep a connection the
        // server closed or reset open for the program.
        close_range(3, ~0u, 0);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int decode_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::vector<std::string> CtlResult::lines() const
{
    std::vector<std::string> result;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string program_directory() { return NIMBRA_PROGRAM_DIR; }

std::string nimbra_ctl_path() { return NIMBRA_CTL; }

CtlResult run_command(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
{
    std::string dir = make_temp_dir();
    pid_t pid = spawn(argv, env, dir + "/out", dir + "/err");
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    CtlResult r{decode_status(status), read_whole(dir + "/out"), read_whole(dir + "/err")};
    std::remove((dir + "/out").c_str());
    std::remove((dir + "/err").c_str());
    rmdir(dir.c_str());
    return r;
}

ProgramRunner::ProgramRunner(const std::map<std::string, std::string>& env, std::string executable)
    : dir_(make_temp_dir()), socket_(dir_ + "/automation.sock")
{
    std::map<std::string, std::string> full = {
        {"CORERT_BACKEND", "headless"},
        {"CORERT_AUTOMATION", socket_},
        {"NIMBRA_OPEN_WITH", ""},
        {"NIMBRA_NO_DIALOG", "1"},
    };
    for (const auto& [name, value] : env)
        full[name] = value;
    if (executable.empty())
        executable = program_directory() + "/nimbra";
    pid_ = spawn({executable}, full, dir_ + "/stdout", dir_ + "/stderr");
}

ProgramRunner::~ProgramRunner()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (const char* name : {"/stdout", "/stderr", "/automation.sock"})
        std::remove((dir_ + name).c_str());
    rmdir(dir_.c_str());
}

bool ProgramRunner::wait_ready(std::chrono::seconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = decode_status(status);
            pid_ = -1;
            return false;
        }
        struct stat st;
        if (stat(socket_.c_str(), &st) == 0 && ctl({"state"}).status == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

CtlResult ProgramRunner::ctl(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {nimbra_ctl_path(), "--socket", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv);
}

int ProgramRunner::wait_exit(std::chrono::seconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = decode_status(status);
            pid_ = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

std::string ProgramRunner::stdout_text() const { return read_whole(dir_ + "/stdout"); }

std::string ProgramRunner::stderr_text() const { return read_whole(dir_ + "/stderr"); }

}  // namespace nimbra::testing
