// The executable's entry point. It finds the kernel runtime, asks it for its start
// routine, hands that routine the program image and ends the process when it returns.
// Everything else, the application included, lives in the image and the runtime.
//
// The runtime is searched for in two places, in this order:
//   1. "corert.slr" beside the executable;
//   2. "corert.sle" in the installation directory recorded in the registry stand-in as
//      the value "Path" of HKEY_CURRENT_USER\Software\Tarvex\Brae\Install.
// Every failure shows the same error box and ends the process with exit code -1 (255).
#include "launcher/error_box.h"
#include "platform/encoding.h"
#include "platform/program_directory.h"
#include "platform/registry.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <optional>
#include <string>

// The first byte of the program image, which lies in this executable's writable data.
extern "C" unsigned char nimbra_program_image[];

namespace nimbra::launcher {

namespace {

constexpr const char* kBesideRuntimeName = "corert.slr";
constexpr const char* kInstalledRuntimeName = "corert.sle";
constexpr const char* kStartExport = "GetNewSock";
constexpr const char* kInstallKey = "Software\\Tarvex\\Brae\\Install";
constexpr const char* kInstallPathValue = "Path";
constexpr uint32_t kGetNewSockArgument = 1000;

// The installation path is queried with room for 259 bytes, its NUL included; a longer
// value is refused rather than cut.
constexpr uint32_t kInstallPathLimit = 259;
// A full path, its NUL included, must fit the system's path limit; a longer one is an
// error and never shortened into the name of some other file.
constexpr size_t kPathLimit = PATH_MAX;

// On x86-64 there is a single calling convention; the Windows rule that the callee
// removes its arguments from the stack has no counterpart here.
using GetNewSockRoutine = void* (*)(uint32_t);
using StartRoutine = void (*)(void* image);

std::string loader_error(const std::string& fallback)
{
    const char* error = dlerror();
    return error ? error : fallback;
}

int fail(const std::string& detail)
{
    show_error_box(detail);
    return -1;
}

bool fits_path_limit(const std::string& path, std::string& detail)
{
    if (path.size() < kPathLimit)
        return true;
    detail = "path too long: " + path.substr(0, 64) + "...";
    return false;
}

// The runtime from the installation directory named in the registry, or null with
// `detail` set.
void* load_installed_runtime(std::string& detail)
{
    using namespace nimbra::registry;
    const Store store = Store::for_current_user();
    Key key;
    std::string why;
    if (store.open_key(RootKey::current_user, kInstallKey, key, &why) != Status::ok) {
        detail = why;
        return nullptr;
    }

    std::string value(kInstallPathLimit, '\0');
    uint32_t size = kInstallPathLimit;
    Status status = query_value(key, kInstallPathValue, value.data(), size);
    close_key(key);
    const std::string value_name = store.file_for(RootKey::current_user) + ": HKEY_CURRENT_USER\\" + kInstallKey +
                                   " \"" + kInstallPathValue + "\"";
    if (status != Status::ok) {
        detail = value_name + ": ";
        if (status == Status::more_data)
            detail += std::to_string(size - 1) + " bytes, more than the " + std::to_string(kInstallPathLimit - 1) +
                      " allowed";
        else
            detail += describe(status);
        return nullptr;
    }
    value.resize(strnlen(value.data(), size));

    // The stored path is GBK. It is decoded before any backslash is looked at, because a
    // GBK trail byte may be 0x5C; after decoding every backslash is a separator.
    auto decoded = nimbra::encoding::gbk_to_utf8(value);
    if (!decoded) {
        detail = value_name + " is not GBK text";
        return nullptr;
    }
    std::string path = std::move(*decoded);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    // Exactly one separator before the file name; one already there (a stored trailing
    // backslash, or '/' in a path written the POSIX way) is kept as it is.
    if (path.empty() || path.back() != '/')
        path += '/';
    path += kInstalledRuntimeName;
    if (!fits_path_limit(path, detail))
        return nullptr;

    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        detail = loader_error(path + ": cannot be loaded");
    return module;
}

int launcher_main()
{
    std::string detail;

    // A runtime beside the executable comes first; the registry is then not read at all.
    std::optional<std::string> directory = nimbra::platform::executable_directory(&detail);
    if (!directory)
        return fail(detail);
    std::string path = *directory;
    if (path.back() != '/')
        path += '/';
    path += kBesideRuntimeName;
    if (!fits_path_limit(path, detail))
        return fail(detail);
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);

    // A runtime that does not load there is looked for in the installation directory.
    if (!module) {
        module = load_installed_runtime(detail);
        if (!module)
            return fail(detail);
    }

    // From here on a loaded runtime that fails is freed before the error shows.
    auto get_new_sock = reinterpret_cast<GetNewSockRoutine>(dlsym(module, kStartExport));
    if (!get_new_sock) {
        detail = loader_error(std::string(kStartExport) + " is null");
        dlclose(module);
        return fail(detail);
    }

    auto start = reinterpret_cast<StartRoutine>(get_new_sock(kGetNewSockArgument));
    if (!start) {
        dlclose(module);
        return fail(std::string(kStartExport) + " returned no start routine");
    }

    // The runtime stays loaded until the process ends; its return ends the program.
    start(nimbra_program_image);
    std::exit(0);
}

}  // namespace

}  // namespace nimbra::launcher

int main() { return nimbra::launcher::launcher_main(); }
