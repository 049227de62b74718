// The registry stand-in: a small per-user key/value store with the key and value names
// the program would use on Windows.
//
// All keys of one root live in one text file, <store>/HKEY_CURRENT_USER.reg, where
// <store> is $XDG_CONFIG_HOME/nimbra/registry (or ~/.config/nimbra/registry). The format
// is described in docs/registry.md. Values are byte strings: the program stores GBK
// texts, and the store keeps whatever bytes it is given.
//
// The reading side is shaped like the Windows calls it stands in for (open a key, query a
// value into a caller's buffer of limited size, close the key) so that callers read like
// the algorithm they implement. Status codes carry the Windows error numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbra::registry {

enum class Status : int32_t {
    ok = 0,              // ERROR_SUCCESS
    not_found = 2,       // ERROR_FILE_NOT_FOUND: no such key or value
    access_denied = 5,   // ERROR_ACCESS_DENIED: the store file cannot be read or written
    invalid_handle = 6,  // ERROR_INVALID_HANDLE: the key is not open
    bad_store = 13,      // ERROR_INVALID_DATA: the store file is malformed
    invalid_name = 87,   // ERROR_INVALID_PARAMETER: a key or value name the store cannot hold
    more_data = 234,     // ERROR_MORE_DATA: the caller's buffer is too small
};

const char* describe(Status status);

enum class RootKey { current_user };

// "HKEY_CURRENT_USER"
const char* root_key_name(RootKey root);

// An open key: a snapshot of its values taken when it was opened. Later changes to the
// store are not seen through it.
struct Key {
    bool open = false;
    std::vector<std::pair<std::string, std::string>> values;  // name, data
};

// The store in one directory. Opening never creates anything; the writing calls create
// the directory and the file as needed and replace the file atomically.
class Store {
public:
    explicit Store(std::string directory) : directory_(std::move(directory)) {}

    // $XDG_CONFIG_HOME/nimbra/registry when XDG_CONFIG_HOME is an absolute path, else
    // $HOME/.config/nimbra/registry (HOME from the password database when unset).
    static Store for_current_user();

    const std::string& directory() const { return directory_; }
    std::string file_for(RootKey root) const;

    // Stands in for RegOpenKeyEx. The subkey is written with backslashes
    // ("Software\Tarvex\Brae\Install"); an empty subkey opens the root itself. A key
    // exists once it or any key below it holds a section in the file. When `detail` is
    // given it receives a message naming the file (and line) for failures.
    Status open_key(RootKey root, std::string_view subkey, Key& key, std::string* detail = nullptr) const;

    // Creates the key when needed; replaces the value when it exists.
    Status set_value(RootKey root, std::string_view subkey, std::string_view name, std::string_view data,
                     std::string* detail = nullptr) const;

    // The key itself stays, even when it is left without values.
    Status delete_value(RootKey root, std::string_view subkey, std::string_view name,
                        std::string* detail = nullptr) const;

private:
    std::string directory_;
};

// Stands in for RegQueryValueEx on a string value. On entry `size` is the capacity of
// `data` in bytes; the value is written followed by a NUL and `size` becomes the byte
// count including that NUL. When the capacity is too small the result is more_data and
// `size` tells the capacity needed; with a null `data` the needed size is reported and
// the result is ok.
Status query_value(const Key& key, std::string_view name, char* data, uint32_t& size);

// Stands in for RegCloseKey.
void close_key(Key& key);

}  // namespace nimbra::registry
