// Small stand-ins for the kernel runtime, built in three variants (see CMakeLists.txt):
//   TEST_RUNTIME_GOOD       GetNewSock(1000) returns a start routine that records what it
//                           was given in the file named by $NIMBRA_TEST_MARKER
//   TEST_RUNTIME_NULL       GetNewSock returns null
//   TEST_RUNTIME_NO_EXPORT  no GetNewSock at all
// The failing variants announce on stderr when they are unloaded, so a test can see that
// the launcher freed them before it showed the error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <dlfcn.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

[[maybe_unused]] bool InWritableDataOfExecutable(const void* address)
{
    char executable[4096] = {};
    if (readlink("/proc/self/exe", executable, sizeof executable - 1) < 0)
        return false;
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps)
        return false;
    bool found = false;
    char line[8192];
    while (!found && std::fgets(line, sizeof line, maps)) {
        unsigned long begin = 0, end = 0;
        char permissions[8] = {};
        int path_at = 0;
        if (std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &begin, &end, permissions, &path_at) < 3)
            continue;
        std::string_view path(line + path_at);
        if (!path.empty() && path.back() == '\n')
            path.remove_suffix(1);
        const auto at = reinterpret_cast<unsigned long>(address);
        found = at >= begin && at < end && permissions[1] == 'w' && path == executable;
    }
    std::fclose(maps);
    return found;
}

}  // namespace

#if defined(TEST_RUNTIME_GOOD)

namespace {

uint32_t sock_argument;

void Start(void* image)
{
    const char* marker = std::getenv("NIMBRA_TEST_MARKER");
    FILE* out = marker ? std::fopen(marker, "w") : nullptr;
    if (!out)
        return;
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&Start), &info);
    const auto* bytes = static_cast<const unsigned char*>(image);
    std::fprintf(out, "runtime=%s\n", info.dli_fname ? info.dli_fname : "?");
    std::fprintf(out, "argument=%u\n", sock_argument);
    std::fprintf(out, "magic=%02x%02x%02x%02x\n", bytes[0], bytes[1], bytes[2], bytes[3]);
    std::fprintf(out, "writable_executable_data=%d\n", InWritableDataOfExecutable(image) ? 1 : 0);
    std::fclose(out);
}

}  // namespace

EXPORT void* GetNewSock(uint32_t argument)
{
    sock_argument = argument;
    return argument == 1000 ? reinterpret_cast<void*>(&Start) : nullptr;
}

#else

__attribute__((destructor)) static void AnnounceUnload()
{
    static const char text[] = "[test runtime unloaded]\n";
    (void)!write(2, text, sizeof text - 1);
}

#if defined(TEST_RUNTIME_NULL)
EXPORT void* GetNewSock(uint32_t) { return nullptr; }
#elif defined(TEST_RUNTIME_NO_EXPORT)
EXPORT void* GetNewSocket(uint32_t) { return nullptr; }
#else
#error "choose a test runtime variant"
#endif

#endif
