// A real runtime instance for testing routines: the kernel commands (slot 3) and the
// memory service (slots 6-8) are corert's own, the rest are plugged in by the test.
//
// Routines built as host code (the `<name>_host` libraries) reach it through the
// hosted linkage; a test image mapped in the test process reaches the very same
// services through `service_functions()` and a qx::ServiceSlots table. Either way,
// every block a routine receives or hands back comes from corert's memory service, so
// `balanced()` can tell whether a routine leaks.
//
//   class MyTest : public nimbra::testing::HostedCorertTest {};   // checks leaks itself
//   TEST_F(MyTest, X) {
//       runtime.call_library = [](uint32_t lib, uint32_t cmd, const qx::ArgBlock*) -> uint64_t { ... };
//       EXPECT_EQ(take_text(TextBetween("a[b]c", "[", "]")), "b");
//   }
//
// Services nobody plugged in fail the test with the service's name and return 0.
// Run-time errors (slot 0) are recorded; set `throw_on_run_time_error` to have slot 0
// throw RunTimeError instead (host-built routines only: image code cannot unwind).
// Window commands (ItemText, AddItem, ...) need a backend installed with
// corert::set_window_commands; this fixture installs none. Link target: hosted_corert.
//
// Only one HostedCorert may exist at a time (the services are plain C functions).
#pragma once

#include "corert/memory.h"
#include "runtime/service_abi.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::testing {

struct RunTimeError : std::runtime_error {
    explicit RunTimeError(uint32_t code);
    uint32_t code;
};

class HostedCorert {
public:
    // Installs the services for host-built routines and takes the memory counters.
    HostedCorert();
    // Removes them again. Does not check for leaks: call balanced() (HostedCorertTest does).
    ~HostedCorert();
    HostedCorert(const HostedCorert&) = delete;
    HostedCorert& operator=(const HostedCorert&) = delete;

    // ---- services the test supplies (null: the test fails when one is called) ----
    std::function<uint32_t(uint32_t command, uint32_t count, const uint64_t* args)> call_dll;
    std::function<uint64_t(uint32_t library, uint32_t command, const qx::ArgBlock* args)> call_library;
    std::function<uint64_t(uint32_t window, uint32_t unit, uint32_t property, int32_t element)> get_unit_property;
    std::function<void(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low, uint32_t high)>
        set_unit_property;
    std::function<void()> run_event_loop;
    std::function<void(uint32_t zero)> hand_over;
    std::function<void(uint32_t window)> load_window;
    std::function<void(uint32_t function, uint64_t a, uint64_t b)> register_service;
    // Run-time counterparts of marked operands (hosted build only); null: the value itself.
    std::function<uint32_t(uint32_t group, uint32_t value)> counterpart;
    // Seen before corert: a value replaces the command's result, nullopt lets corert run it
    // (to inject a failure, or to stand in for a command the test must not really run).
    std::function<std::optional<uint64_t>(uint32_t command, const qx::ArgBlock* args)> intercept_kernel;

    // ---- what happened ----
    std::vector<uint32_t> run_time_errors;  // codes passed to slot 0, in order
    bool throw_on_run_time_error = false;
    std::vector<uint32_t> kernel_commands;   // numbers of the slot-3 calls, in order
    std::vector<uint32_t> unknown_commands;  // numbers corert does not know (also a test failure)

    // The memory service's counters when this instance was made.
    const corert::MemoryCounters& counters_at_start() const { return at_start_; }
    // Success when every block allocated since the start has been freed: as many frees
    // as allocations, and the same live blocks as at the start.
    ::testing::AssertionResult balanced() const;

    // The thirteen services in slot order, the same functions the hosted build calls:
    // hand them to a qx::ServiceSlots to run image code against this instance.
    static std::array<void*, qx::kServiceSlotCount> service_functions();

    // ---- values crossing the boundary, in blocks of the memory service ----
    static char* new_text(std::string_view bytes);
    static void* new_byte_set(std::string_view bytes);  // one dimension of bytes
    // Copy the value, then free it through the free service (null: empty). Const texts
    // (the empty text a routine may return) are copied and left alone, as the service does.
    static std::string take_text(const char* text);
    static std::string take_byte_set(const void* byte_set);

private:
    corert::MemoryCounters at_start_;
};

// A test whose body uses `runtime`; TearDown fails the test when a block leaked.
class HostedCorertTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(runtime.balanced()); }

    static std::string take_text(const char* text) { return HostedCorert::take_text(text); }
    static char* new_text(std::string_view bytes) { return HostedCorert::new_text(bytes); }

    HostedCorert runtime;
};

}  // namespace nimbra::testing
