// The program directory: where the executable lies, where a shared object lies, and where
// this user's files of the program directory go when the directory itself is not theirs
// to write.
//
// An installed copy lives in a directory only root can write (/usr/lib/nimbra), yet the
// program writes its page file beside itself, reads it back and deletes it. As a desktop
// system does for a protected program folder, such writes go to a private directory of
// the user's instead, and reads and deletes of a file in the program directory look there
// first. A program directory the user can write is used as it is.
#pragma once

#include <optional>
#include <string>

namespace nimbra::platform {

// The directory of the running executable (/proc/self/exe, symbolic links resolved, the
// whole path however long), without a trailing '/' except for "/" itself. nullopt when
// /proc/self/exe cannot be read; `why` then names it and the error.
std::optional<std::string> executable_directory(std::string* why = nullptr);

// The directory of the shared object (or executable) that holds `address`, with the same
// rules; "." when the loader cannot tell.
std::string module_directory(const void* address);

// The directory the program's files are looked for in: the executable's directory, or
// the one a test set (a POSIX path in UTF-8; nullopt restores the executable's).
std::string program_directory();
void set_program_directory_override(std::optional<std::string> posix_directory);

// ---- the user's store for files of a program directory they cannot write ----

enum class FileUse { Read, Write, Delete };

struct ProgramDirectoryAccess {
    std::string directory;   // the program directory, as program_directory() gives it
    bool writable = true;    // may this user create files in it?
    std::string user_store;  // where their files of it go when not; empty: nowhere
};

// The path a file command uses for `path` (POSIX). A path that does not name a file
// directly in the program directory, or any path when the directory is writable, is
// used as it is. Otherwise a write goes to the user's store, and a read or delete goes
// there when the file exists there, else to the program directory (the files shipped
// with the program, config.ini for one, are read where they lie). The only place
// that decides.
std::string program_file_path(const ProgramDirectoryAccess& access, const std::string& path, FileUse use);

// The same for this process: the program directory and whether this user can write it
// (asked each time), and the store below. A write into the store first makes the store
// (mode 0700); a store that is not a private directory of this user is not used, and
// the write then goes to the program directory, where it fails.
std::string program_file_path(const std::string& path, FileUse use);

// The user's store: $XDG_RUNTIME_DIR/nimbra where the session has a runtime directory,
// else $XDG_CACHE_HOME/nimbra/program-files, else ~/.cache/nimbra/program-files. Empty
// when none of them is an absolute path.
std::string user_store_directory();

}  // namespace nimbra::platform
