// A runtime for the linkage tests: every service records what it receives, the
// allocator tracks its blocks, DLL command 6 is a test function taking one word, and
// counterparts are made to differ from the image's own values.
#pragma once

#include "image/dll_call.h"
#include "runtime/service_abi.h"

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace linkage_test {

struct KernelCall {
    uint32_t library = 0xffffffff;  // for slot 2 calls
    uint32_t command = 0;
    std::vector<qx::ArgRecord> records;
    std::vector<std::string> texts;  // the text argument values, in order
};

struct ServiceCall {
    uint32_t slot;
    std::vector<uint64_t> words;
};

struct Recorder {
    std::vector<uint32_t> errors;
    std::vector<KernelCall> commands;
    std::vector<ServiceCall> services;  // slots 4, 5, 9 .. 12
    std::set<void*> live_blocks;
    std::vector<const void*> ignored_frees;  // const pointers the free service left alone
    std::vector<const void*> foreign_frees;  // neither const nor allocated: a fault
    std::vector<uint64_t> dll_words;
    int dll_function_calls = 0;
    // What counts as the image's constants (set by the fixture).
    std::function<bool(const void*)> in_const;
    const char* empty_text = nullptr;
};

Recorder& recorder();
void reset_recorder(std::function<bool(const void*)> in_const, const char* empty_text);

// The thirteen services, in slot order.
std::array<void*, qx::kServiceSlotCount> service_functions();

// Run-time counterparts of the image's marked values.
uint32_t counterpart(uint32_t group, uint32_t value);
inline constexpr uint32_t kDllCounterpartBias = 100;
inline constexpr uint32_t kLibraryCounterpartBias = 200;
inline constexpr uint32_t kUnitCounterpartBase = 0x1000;
inline constexpr uint32_t kUnknownUnit = 0xdead;

// The test DLL function behind command 6: declared with one argument.
uint64_t close_handle_stand_in(uint64_t handle);

// Builds a byte-set block holding `bytes` from the test allocator.
void* new_byte_set(const std::string& bytes);

}  // namespace linkage_test
