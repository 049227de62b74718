// The built wininet.so, loaded and called the way the kernel runtime calls it: looked up
// in its export table and called through a pointer that takes one 64-bit word per
// declared argument.
#pragma once

#include "platform/dll_exports.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace wininet_test {

class Standin {
public:
    static Standin& get()
    {
        static Standin instance;
        return instance;
    }

    const std::map<std::string, nimbra::platform::DllExport>& functions() const { return functions_; }

    template <typename... Args>
    uint32_t call(const char* name, Args... args)
    {
        auto it = functions_.find(name);
        if (it == functions_.end())
            throw std::runtime_error(std::string("no function ") + name);
        if (it->second.argument_count != sizeof...(Args))
            throw std::runtime_error(std::string(name) + " declares another argument count");
        using Fn = uint64_t (*)(decltype(word(args))...);
        return static_cast<uint32_t>(reinterpret_cast<Fn>(it->second.address)(word(args)...));
    }

    uint32_t last_error() { return last_error_(); }

private:
    Standin()
    {
        handle_ = dlopen(WININET_SO, RTLD_NOW | RTLD_LOCAL);
        if (!handle_)
            throw std::runtime_error(dlerror());
        auto entry =
            reinterpret_cast<nimbra::platform::DllExportsEntry>(dlsym(handle_, nimbra::platform::kDllExportsEntryName));
        last_error_ = reinterpret_cast<uint32_t (*)()>(dlsym(handle_, "nimbra_wininet_last_error"));
        if (!entry || !last_error_)
            throw std::runtime_error("wininet.so lacks its entry points");
        const nimbra::platform::DllExports* table = entry();
        for (uint32_t i = 0; i < table->count; ++i)
            functions_[table->entries[i].name] = table->entries[i];
    }

    template <typename T>
    static uint64_t word(T value)
    {
        if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
            return reinterpret_cast<uint64_t>(value);
        else
            return static_cast<uint64_t>(value);
    }

    void* handle_ = nullptr;
    uint32_t (*last_error_)() = nullptr;
    std::map<std::string, nimbra::platform::DllExport> functions_;
};

inline constexpr uint32_t kReload = 0x80000000;
inline constexpr uint32_t kSecure = 0x00800000;

// The handles of one exchange, closed in reverse order as the request engine does.
struct Exchange {
    uint32_t session = 0;
    uint32_t connection = 0;
    uint32_t request = 0;

    ~Exchange()
    {
        auto& w = Standin::get();
        for (uint32_t h : {request, connection, session}) {
            if (h)
                w.call("InternetCloseHandle", h);
        }
    }
};

struct Received {
    std::string body;
    bool ok = true;      // the last read's result
    uint32_t error = 0;  // its last error
    int reads_with_data = 0;
};

// The request engine's read loop: fixed-size reads until one reports 0 bytes.
inline Received read_all(uint32_t request, uint32_t step = 512)
{
    auto& w = Standin::get();
    Received out;
    std::string buffer(step, '\0');
    for (;;) {
        uint32_t count = 0xDEAD;
        uint32_t ok = w.call("InternetReadFile", request, buffer.data(), step, &count);
        if (count > step)
            throw std::runtime_error("read reports more than asked for");
        if (count == 0) {
            out.ok = ok != 0;
            out.error = ok ? 0 : w.last_error();
            // The end, or the failure, stays as it is.
            uint32_t again = 0xDEAD;
            if (w.call("InternetReadFile", request, buffer.data(), step, &again) != ok || again != 0)
                throw std::runtime_error("a read after the last one changed its answer");
            return out;
        }
        if (!ok)
            throw std::runtime_error("a failed read delivered bytes");
        out.body.append(buffer.data(), count);
        ++out.reads_with_data;
    }
}

inline std::string raw_headers(uint32_t request)
{
    auto& w = Standin::get();
    uint32_t length = 0;
    if (w.call("HttpQueryInfoA", request, 22u, nullptr, &length, nullptr) || w.last_error() != 122)
        return {};
    std::string text(length, '\0');
    if (!w.call("HttpQueryInfoA", request, 22u, text.data(), &length, nullptr))
        return {};
    text.resize(length);
    return text;
}

}  // namespace wininet_test
