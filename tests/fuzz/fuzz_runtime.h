// corert's kernel commands and memory service installed for host-built routines, as
// tests/support/hosted_corert.h does for the unit tests, without GoogleTest. Window
// events (ProcessEvents) do nothing with no window backend; the list-size announcements
// (slot 12, sub-function 2) are accepted and ignored. Every other service, and any
// run-time error, is a finding: the process aborts.
#pragma once

#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "runtime/hosted_linkage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace nimbra::fuzz {

[[noreturn]] inline void unexpected(const char* what, uint32_t number)
{
    std::fprintf(stderr, "fuzz: %s %u\n", what, number);
    std::abort();
}

inline void install_corert()
{
    static const qx::rt::HostedRuntime services{
        .run_time_error = [](uint32_t code) { unexpected("run-time error", code); },
        .call_dll = [](uint32_t command, uint32_t, const uint64_t*) -> uint32_t { unexpected("DLL command", command); },
        .call_library = [](uint32_t library, uint32_t, const qx::ArgBlock*) -> uint64_t {
            unexpected("support library", library);
        },
        .call_kernel = corert::call_kernel_command,
        .allocate = corert_allocate,
        .reallocate = corert_reallocate,
        .free = corert_free,
        .register_service =
            [](uint32_t function, uint64_t, uint64_t) {
                if (function != qx::kRegisterArrayVariable)
                    unexpected("register sub-function", function);
            },
    };
    corert::set_unknown_command_handler([](uint32_t number) { unexpected("unknown kernel command", number); });
    qx::rt::install_hosted_runtime(&services);
}

// A text in a block of the memory service.
inline char* new_text(std::string_view bytes)
{
    auto* text = static_cast<char*>(corert_allocate(uint32_t(bytes.size() + 1)));
    std::memcpy(text, bytes.data(), bytes.size());
    text[bytes.size()] = 0;
    return text;
}

// Aborts unless every block allocated since `start` has been freed.
inline void check_balanced(const corert::MemoryCounters& start)
{
    corert::MemoryCounters now = corert::memory_counters();
    if (now.allocations - start.allocations != now.frees - start.frees || now.live_blocks != start.live_blocks) {
        std::fprintf(stderr, "fuzz: %llu allocations, %llu frees, %zu live blocks (%zu before)\n",
                     (unsigned long long)(now.allocations - start.allocations),
                     (unsigned long long)(now.frees - start.frees), now.live_blocks, start.live_blocks);
        std::abort();
    }
}

}  // namespace nimbra::fuzz
