// The numbered kernel commands (service slot 3): the dispatch table. The handlers are
// in text_commands.cpp, file_commands.cpp and window_commands.cpp.
//
// Every block a command returns comes from the memory service and belongs to the
// caller; arguments are never changed or freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "runtime/service_abi.h"

namespace corert {

// Runs command `number`. A null block counts as no arguments. An unknown number goes
// to the unknown-command handler and gives 0. No C++ exception leaves this function
// (image code cannot unwind): one that escapes a command ends the process with a
// message naming the command.
uint64_t call_kernel_command(uint32_t number, const qx::ArgBlock* args);

bool is_kernel_command(uint32_t number);

// Called with the number of an unknown command. The default, which the runtime keeps,
// writes "corert: unknown kernel command 0x..." to stderr, and the command gives 0; the
// routine tests install one that fails the test. Null restores the default.
using UnknownCommandHandler = void (*)(uint32_t number);
void set_unknown_command_handler(UnknownCommandHandler handler);

// Memory files not closed yet, for leak tests.
size_t open_memory_file_count();

// Shortest decimal that reads back as the same double, without a trailing ".0"
// (3.0 gives "3"). The argument records carry no double tag, so ToText cannot be
// handed one; this is how a number becomes text wherever the runtime needs it.
std::string format_number(double value);

}  // namespace corert

// Service slot 3, with the signature image code calls it by.
extern "C" uint64_t QX_SERVICE_ABI corert_call_kernel(uint32_t command, const qx::ArgBlock* args);
