// The executable's entry point on Windows: the launcher of launcher.cpp, on the system's
// own loader and registry.
//
// The runtime is searched for in two places, in this order:
//   1. "corert.slr" beside the executable;
//   2. "corert.sle" in the installation directory recorded as the value "Path" of
//      HKEY_CURRENT_USER\Software\Tarvex\Brae\Install (the installer writes it).
// Every failure shows the same error box and ends the process with exit code -1.
// Paths and the registry are read through the …W calls: the installation path may
// hold characters the machine's ANSI code page has not.
#include "launcher/error_box.h"
#include "platform/windows/wide_text.h"

#include <windows.h>

#include <cstdint>
#include <string>

// The first byte of the program image, which lies in this executable's writable data.
extern "C" unsigned char nimbra_program_image[];

namespace nimbra::launcher {

namespace {

constexpr const wchar_t* kBesideRuntimeName = L"corert.slr";
constexpr const wchar_t* kInstalledRuntimeName = L"corert.sle";
constexpr const char* kStartExport = "GetNewSock";
constexpr const wchar_t* kInstallKey = L"Software\\Tarvex\\Brae\\Install";
constexpr const wchar_t* kInstallPathValue = L"Path";
constexpr uint32_t kGetNewSockArgument = 1000;
// Room for 259 characters, the NUL included; a longer value is refused rather than cut.
constexpr DWORD kInstallPathLimit = 259;

using GetNewSockRoutine = void* (*)(uint32_t);
using StartRoutine = void (*)(void* image);

std::string utf8(const std::wstring& wide) { return nimbra::platform::wide_to_utf8(wide); }

std::string last_error_text() { return nimbra::platform::system_error_text(GetLastError()); }

int fail(const std::string& detail)
{
    show_error_box(detail);
    return -1;
}

HMODULE load_runtime(const std::wstring& path, std::string& detail)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        detail = utf8(path) + ": " + last_error_text();
    return module;
}

std::wstring executable_directory(std::string& detail)
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, name.data(), DWORD(name.size()));
        if (length == 0) {
            detail = "GetModuleFileNameW: " + last_error_text();
            return {};
        }
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        name.resize(name.size() * 2);
    }
    return name.substr(0, name.find_last_of(L'\\') + 1);
}

// The runtime from the installation directory named in the registry, or null with
// `detail` set.
HMODULE load_installed_runtime(std::string& detail)
{
    const std::string value_name = "HKEY_CURRENT_USER\\" + utf8(kInstallKey) + " \"" + utf8(kInstallPathValue) + "\"";
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kInstallKey, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        detail = "HKEY_CURRENT_USER\\" + utf8(kInstallKey) + ": " + nimbra::platform::system_error_text(status);
        return nullptr;
    }
    wchar_t value[kInstallPathLimit + 1] = {};
    DWORD bytes = kInstallPathLimit * sizeof(wchar_t);
    DWORD type = 0;
    status = RegQueryValueExW(key, kInstallPathValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        detail = value_name + ": " +
                 (status == ERROR_MORE_DATA
                      ? "longer than the " + std::to_string(kInstallPathLimit - 1) + " characters allowed"
                      : nimbra::platform::system_error_text(status));
        return nullptr;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        detail = value_name + " is not a text";
        return nullptr;
    }
    std::wstring path(value, wcsnlen(value, bytes / sizeof(wchar_t)));
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[MAX_PATH] = {};
        DWORD length = ExpandEnvironmentStringsW(path.c_str(), expanded, MAX_PATH);
        if (length == 0 || length > MAX_PATH) {
            detail = value_name + " does not expand to a path";
            return nullptr;
        }
        path = expanded;
    }
    // Exactly one separator before the file name; one already there is kept as it is.
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/'))
        path += L'\\';
    return load_runtime(path + kInstalledRuntimeName, detail);
}

int launcher_main()
{
    std::string detail;
    std::wstring directory = executable_directory(detail);
    if (directory.empty())
        return fail(detail);

    // A runtime beside the executable comes first; the registry is then not read at all.
    std::string beside_detail;
    HMODULE module = load_runtime(directory + kBesideRuntimeName, beside_detail);
    if (!module) {
        module = load_installed_runtime(detail);
        if (!module)
            return fail(beside_detail + "\n" + detail);
    }

    // From here on a loaded runtime that fails is freed before the error shows.
    // Through a plain function pointer: FARPROC stands for any function's address.
    auto get_new_sock =
        reinterpret_cast<GetNewSockRoutine>(reinterpret_cast<void (*)()>(GetProcAddress(module, kStartExport)));
    if (!get_new_sock) {
        FreeLibrary(module);
        return fail(std::string(kStartExport) + " is not exported by the runtime");
    }
    auto start = reinterpret_cast<StartRoutine>(get_new_sock(kGetNewSockArgument));
    if (!start) {
        FreeLibrary(module);
        return fail(std::string(kStartExport) + " returned no start routine");
    }

    // The runtime stays loaded until the process ends; its return ends the program.
    start(nimbra_program_image);
    ExitProcess(0);
}

}  // namespace

}  // namespace nimbra::launcher

int main() { return nimbra::launcher::launcher_main(); }
