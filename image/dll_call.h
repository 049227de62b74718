// Calling a resolved DLL function for the DLL-call service.
//
// The stack check of a DLL call is made where it can fail on x86-64: the caller always
// restores its own stack, so instead each resolved function carries its declared
// argument count (what a callee that pops its arguments would remove) and the caller
// says how many it pushed. A mismatch is the damaged stack: run-time error 6, and the
// function is not called.
#pragma once

#include <cstdint>
#include <optional>

namespace qx {

inline constexpr uint32_t kMaxDllArguments = 12;

struct ResolvedDllFunction {
    void* address = nullptr;
    uint32_t argument_count = 0;
};

// nullopt when `count` differs from the function's own count (or exceeds the most a
// DLL function here takes); otherwise the function's 32-bit result.
std::optional<uint32_t> call_resolved_dll(const ResolvedDllFunction& f, uint32_t count, const uint64_t* args);

}  // namespace qx
