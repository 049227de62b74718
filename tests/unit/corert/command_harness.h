// Calls kernel commands the way image code does: real argument blocks through the
// real dispatcher, results taken over and freed through the memory service.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "corert/kernel_commands.h"
#include "corert/memory.h"

namespace corert::test {

// The argument records of one call. Texts are copied and kept alive by the builder.
class Args {
public:
    Args& text(std::string value);
    Args& null_text();
    Args& integer(int32_t value);
    Args& byte(uint8_t value);
    Args& logical(bool value);
    Args& omitted();
    Args& byte_set(std::string bytes);  // an array block built here, not by the service
    Args& null_byte_set();
    Args& control(uint32_t window, uint32_t unit, uint32_t type);

    const qx::ArgBlock* block();

private:
    Args& record(uint64_t value, uint32_t tag);
    std::vector<std::unique_ptr<std::string>> texts_;
    std::vector<std::unique_ptr<std::vector<uint32_t>>> byte_sets_;
    std::vector<qx::ArgRecord> records_;
    std::vector<uint32_t> words_;
};

uint64_t call(uint32_t command, Args& args);
inline uint64_t call(uint32_t command)
{
    Args none;
    return call(command, none);
}

// Each checks that the result is a block of the memory service, copies it and frees it.
std::string take_text(uint64_t result);
std::string take_byte_set(uint64_t result);  // null is the empty byte set
std::vector<std::string> take_text_array(uint64_t result);

inline std::string call_text(uint32_t command, Args& args) { return take_text(call(command, args)); }
inline int32_t call_integer(uint32_t command, Args& args) { return static_cast<int32_t>(call(command, args)); }

// Every test must leave as many live blocks and memory files as it found.
class CommandTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    size_t live_blocks_ = 0;
    size_t open_files_ = 0;
};

}  // namespace corert::test
