// Running a program and cleaning up temporary trees, for the launcher and registry tests.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
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

// Runs `argv` with exactly the environment `env`. When `directory_fd` is not -1 the
// child starts in that directory (which also works for paths too long to name).
inline ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                int directory_fd = -1)
{
    ProcessResult result;
    int out = memfd_create("stdout", 0);
    int err = memfd_create("stderr", 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    if (directory_fd != -1)
        posix_spawn_file_actions_addfchdir_np(&actions, directory_fd);

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

// Removes `name` inside the directory `parent_fd`, recursively, without ever forming a
// full path, so that trees deeper than PATH_MAX go too.
inline void RemoveTreeAt(int parent_fd, const char* name)
{
    if (unlinkat(parent_fd, name, 0) == 0 || (errno != EISDIR && errno != EPERM))
        return;
    int fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0)
        return;
    if (DIR* dir = fdopendir(fd)) {
        std::vector<std::string> entries;
        while (dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.emplace_back(entry->d_name);
        for (const std::string& entry : entries)
            RemoveTreeAt(dirfd(dir), entry.c_str());
        closedir(dir);
    } else {
        close(fd);
    }
    unlinkat(parent_fd, name, AT_REMOVEDIR);
}

inline void RemoveTree(const std::string& path)
{
    RemoveTreeAt(AT_FDCWD, path.c_str());
}

}  // namespace nimbra::test
