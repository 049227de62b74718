#include "platform/program_directory.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace nimbra::platform {

namespace {

namespace fs = std::filesystem;

std::mutex override_lock;
std::optional<std::string> directory_override;

// "/a/b/c" -> "/a/b"; "/c" -> "/"; "c" -> ".".
std::string directory_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string without_trailing_slashes(std::string directory)
{
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory;
}

bool is_absolute(const char* path) { return path && path[0] == '/'; }

std::string home_directory()
{
    const char* home = std::getenv("HOME");
    if (is_absolute(home))
        return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && is_absolute(found->pw_dir))
        return found->pw_dir;
    return {};
}

// A directory only this user can enter: not a link, theirs, nobody else's bits set.
bool is_private_directory(const std::string& directory)
{
    struct stat info {};
    return lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 077) == 0;
}

// Makes the store and what is missing above it. Only the store itself must be private:
// the directories above it are the user's own ($XDG_RUNTIME_DIR, ~/.cache) or made here.
bool make_private_directory(const std::string& directory)
{
    std::error_code ignored;
    fs::create_directories(fs::path(directory).parent_path(), ignored);
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return is_private_directory(directory);
}

bool same_directory(const fs::path& a, const fs::path& b)
{
    return without_trailing_slashes(a.lexically_normal().string()) ==
           without_trailing_slashes(b.lexically_normal().string());
}

}  // namespace

std::optional<std::string> executable_directory(std::string* why)
{
    std::string target(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
        if (length < 0) {
            if (why)
                *why = std::string("/proc/self/exe: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return directory_of(target);
        }
        target.resize(target.size() * 2);
    }
}

std::string module_directory(const void* address)
{
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname)
        return ".";
    return directory_of(info.dli_fname);
}

std::string program_directory()
{
    {
        std::lock_guard guard(override_lock);
        if (directory_override && !directory_override->empty())
            return without_trailing_slashes(*directory_override);
    }
    return executable_directory().value_or(".");
}

void set_program_directory_override(std::optional<std::string> posix_directory)
{
    std::lock_guard guard(override_lock);
    directory_override = std::move(posix_directory);
}

std::string user_store_directory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (is_absolute(runtime))
        return without_trailing_slashes(runtime) + "/nimbra";
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (is_absolute(cache))
        return without_trailing_slashes(cache) + "/nimbra/program-files";
    std::string home = home_directory();
    if (home.empty())
        return {};
    return without_trailing_slashes(home) + "/.cache/nimbra/program-files";
}

std::string program_file_path(const ProgramDirectoryAccess& access, const std::string& path, FileUse use)
{
    if (access.writable || access.user_store.empty() || path.empty())
        return path;
    fs::path file(path);
    if (!file.has_filename() || !same_directory(file.parent_path(), access.directory))
        return path;
    std::string stored = access.user_store + "/" + file.filename().string();
    if (use == FileUse::Write)
        return stored;
    struct stat info {};
    return lstat(stored.c_str(), &info) == 0 ? stored : path;
}

std::string program_file_path(const std::string& path, FileUse use)
{
    ProgramDirectoryAccess access;
    access.directory = program_directory();
    access.writable = ::access(access.directory.c_str(), W_OK | X_OK) == 0;
    if (!access.writable)
        access.user_store = user_store_directory();
    std::string chosen = program_file_path(access, path, use);
    if (chosen == path)
        return path;
    // A store that anyone else could have put a file in, or replaced by a link, is not
    // read from or written to.
    bool usable =
        use == FileUse::Write ? make_private_directory(access.user_store) : is_private_directory(access.user_store);
    return usable ? chosen : path;
}

}  // namespace nimbra::platform
