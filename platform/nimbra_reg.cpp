// nimbra-reg: reads and writes the registry stand-in from the shell, e.g. for an
// installation step that records where the runtime lives:
//
//   nimbra-reg set 'Software\Tarvex\Brae\Install' Path /opt/nimbra/
//
// Exit status: 0 done, 1 key or value not found, 2 any other failure.
#include "platform/encoding.h"
#include "platform/registry.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using nimbra::registry::RootKey;
using nimbra::registry::Status;

constexpr int kExitNotFound = 1;
constexpr int kExitFailure = 2;

// Every message is one line in the tool's name; only the usage text is not.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::fputs("nimbra-reg: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int usage()
{
    std::fputs("usage: nimbra-reg [--raw] get KEY NAME\n"
               "       nimbra-reg [--raw] set KEY NAME DATA\n"
               "       nimbra-reg delete KEY NAME\n"
               "       nimbra-reg where\n"
               "KEY is a key of HKEY_CURRENT_USER written with backslashes, such as\n"
               "'Software\\Tarvex\\Brae\\Install'; a leading 'HKEY_CURRENT_USER\\' or 'HKCU\\' is\n"
               "allowed. The program keeps GBK texts: names and data are converted from and to\n"
               "UTF-8 unless --raw is given, which passes the bytes unchanged.\n",
               stderr);
    return kExitFailure;
}

std::string_view strip_root(std::string_view key)
{
    for (std::string_view prefix : {"HKEY_CURRENT_USER", "HKCU"}) {
        if (key == prefix)
            return {};
        if (key.size() > prefix.size() && key.starts_with(prefix) && key[prefix.size()] == '\\')
            return key.substr(prefix.size() + 1);
    }
    return key;
}

int fail(Status status, const std::string& detail)
{
    say("%s", detail.empty() ? describe(status) : detail.c_str());
    return status == Status::not_found ? kExitNotFound : kExitFailure;
}

struct Arguments {
    bool raw = false;
    std::vector<std::string> words;
};

// Converts one command-line text to the bytes the store keeps.
bool to_stored(const Arguments& arguments, const std::string& text, const char* what, std::string& out)
{
    if (arguments.raw) {
        out = text;
        return true;
    }
    auto converted = nimbra::encoding::utf8_to_gbk(text);
    if (!converted) {
        say("%s is not UTF-8 text that GBK can hold (use --raw for bytes)", what);
        return false;
    }
    out = *converted;
    return true;
}

int get(const Arguments& arguments, const nimbra::registry::Store& store)
{
    std::string key_name, name;
    if (!to_stored(arguments, std::string(strip_root(arguments.words[1])), "KEY", key_name) ||
        !to_stored(arguments, arguments.words[2], "NAME", name))
        return kExitFailure;

    nimbra::registry::Key key;
    std::string detail;
    if (Status status = store.open_key(RootKey::current_user, key_name, key, &detail); status != Status::ok)
        return fail(status, detail);
    uint32_t size = 0;
    Status status = query_value(key, name, nullptr, size);
    std::string data(size, '\0');
    if (status == Status::ok)
        status = query_value(key, name, data.data(), size);
    close_key(key);
    if (status != Status::ok)
        return fail(status, "no value \"" + arguments.words[2] + "\" under HKEY_CURRENT_USER\\" + key_name);
    data.resize(size - 1);  // the NUL the query adds

    if (!arguments.raw) {
        auto converted = nimbra::encoding::gbk_to_utf8(data);
        if (!converted) {
            say("the stored data is not GBK text (use --raw for bytes)");
            return kExitFailure;
        }
        data = *converted;
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
}

int set(const Arguments& arguments, const nimbra::registry::Store& store)
{
    std::string key_name, name, data;
    if (!to_stored(arguments, std::string(strip_root(arguments.words[1])), "KEY", key_name) ||
        !to_stored(arguments, arguments.words[2], "NAME", name) ||
        !to_stored(arguments, arguments.words[3], "DATA", data))
        return kExitFailure;
    std::string detail;
    if (Status status = store.set_value(RootKey::current_user, key_name, name, data, &detail); status != Status::ok)
        return fail(status, detail);
    return 0;
}

int remove(const Arguments& arguments, const nimbra::registry::Store& store)
{
    std::string key_name, name;
    if (!to_stored(arguments, std::string(strip_root(arguments.words[1])), "KEY", key_name) ||
        !to_stored(arguments, arguments.words[2], "NAME", name))
        return kExitFailure;
    std::string detail;
    if (Status status = store.delete_value(RootKey::current_user, key_name, name, &detail); status != Status::ok)
        return fail(status, detail);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--raw") == 0 && arguments.words.empty())
            arguments.raw = true;
        else
            arguments.words.emplace_back(argv[i]);
    }
    if (arguments.words.empty())
        return usage();

    const nimbra::registry::Store store = nimbra::registry::Store::for_current_user();
    const std::string& command = arguments.words[0];
    const size_t count = arguments.words.size();
    if (command == "get" && count == 3)
        return get(arguments, store);
    if (command == "set" && count == 4)
        return set(arguments, store);
    if (command == "delete" && count == 3)
        return remove(arguments, store);
    if (command == "where" && count == 1) {
        std::printf("%s\n", store.file_for(RootKey::current_user).c_str());
        return 0;
    }
    return usage();
}
