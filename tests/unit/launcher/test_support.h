// Running a program with its outputs captured, for the launcher and registry tests.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nimbra::test {

struct ProcessResult {
    int exit_code = -1;  // 128 + signal number when it was killed
    std::string out;
    std::string err;
};

inline std::string ReadAll(int fd)
{
    std::string text;
    char chunk[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = pread(fd, chunk, sizeof chunk, offset)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
        offset += n;
    }
    return text;
}

// Runs `argv` with exactly the environment `env`, stdin empty, both outputs captured.
inline ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    ProcessResult result;
    int out = memfd_create("stdout", 0);
    int err = memfd_create("stderr", 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);

    std::vector<char*> args, vars;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& v : env)
        vars.push_back(const_cast<char*>(v.c_str()));
    vars.push_back(nullptr);

    pid_t pid = 0;
    int spawn_error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0) {
        result.err = std::string("spawn failed: ") + std::strerror(spawn_error);
    } else {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = ReadAll(out);
        result.err = ReadAll(err);
    }
    close(out);
    close(err);
    return result;
}

}  // namespace nimbra::test
