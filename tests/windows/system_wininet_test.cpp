// The image's WinINet table on the system's WinINet: our own argument counts, and handles
// the image can hold in 32 bits that stop working once closed.
#include "platform/system_dlls.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

const nimbra::platform::DllExport* function(const char* name)
{
    const nimbra::platform::DllExports* table = nimbra::platform::system_dll_exports("WinINet.dll");
    for (uint32_t i = 0; table && i < table->count; ++i) {
        if (std::strcmp(table->entries[i].name, name) == 0)
            return &table->entries[i];
    }
    return nullptr;
}

TEST(SystemWininet, EveryFunctionWithItsDeclaredCount)
{
    const std::map<std::string, uint32_t> counts = {
        {"InternetOpenA", 5},    {"InternetConnectA", 8}, {"HttpOpenRequestA", 8},    {"HttpSendRequestA", 5},
        {"InternetReadFile", 4}, {"HttpQueryInfoA", 5},   {"InternetCloseHandle", 1}, {"InternetSetCookieA", 3},
    };
    for (const auto& [name, count] : counts) {
        const nimbra::platform::DllExport* f = function(name.c_str());
        ASSERT_NE(f, nullptr) << name;
        EXPECT_EQ(f->argument_count, count) << name;
    }
    EXPECT_EQ(nimbra::platform::system_dll_exports("kernel32.dll"), nullptr);
}

TEST(SystemWininet, HandlesAreSmallTokensThatDieWithTheirHandle)
{
    using Open = uint32_t (*)(const char*, uint32_t, const char*, const char*, uint32_t);
    using Close = uint32_t (*)(uint32_t);
    auto open = reinterpret_cast<Open>(function("InternetOpenA")->address);
    auto close = reinterpret_cast<Close>(function("InternetCloseHandle")->address);
    uint32_t first = open("test", 1, "", "", 0);
    uint32_t second = open("test", 1, "", "", 0);
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(close(first), 1u);
    SetLastError(0);
    EXPECT_EQ(close(first), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(close(second), 1u);
    EXPECT_EQ(close(0), 0u);
}

}  // namespace
