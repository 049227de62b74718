// The handlers behind the kernel command table, one per command. Each reads its
// arguments through CommandArgs and returns the command's one-word result.
#pragma once

#include <cstdint>

#include "corert/command_args.h"

namespace corert::handlers {

// Texts (text_commands.cpp)
uint64_t text_length(const CommandArgs& args);
uint64_t left_text(const CommandArgs& args);
uint64_t right_text(const CommandArgs& args);
uint64_t mid_text(const CommandArgs& args);
uint64_t char_text(const CommandArgs& args);
uint64_t find_text(const CommandArgs& args);
uint64_t lower_text(const CommandArgs& args);
uint64_t to_number(const CommandArgs& args);
uint64_t to_text(const CommandArgs& args);
uint64_t trim_blanks(const CommandArgs& args);
uint64_t replace_span(const CommandArgs& args);
uint64_t replace_all(const CommandArgs& args);
uint64_t blank_text(const CommandArgs& args);
uint64_t compare_text(const CommandArgs& args);
uint64_t split_text(const CommandArgs& args);

// Byte sets (text_commands.cpp)
uint64_t byte_set_length(const CommandArgs& args);
uint64_t to_byte_set(const CommandArgs& args);
uint64_t left_bytes(const CommandArgs& args);
uint64_t blank_bytes(const CommandArgs& args);

// Files and memory files (file_commands.cpp)
uint64_t get_program_directory(const CommandArgs& args);
uint64_t delete_file(const CommandArgs& args);
uint64_t read_file(const CommandArgs& args);
uint64_t write_file(const CommandArgs& args);
uint64_t open_memory_file(const CommandArgs& args);
uint64_t close_file(const CommandArgs& args);
uint64_t seek_file_start(const CommandArgs& args);
uint64_t write_text_to_file(const CommandArgs& args);
uint64_t read_line(const CommandArgs& args);
uint64_t at_file_end(const CommandArgs& args);

// Window commands, forwarded to the installed backend (window_commands.cpp)
uint64_t message_box(const CommandArgs& args);
uint64_t process_events(const CommandArgs& args);
uint64_t item_count(const CommandArgs& args);
uint64_t item_text(const CommandArgs& args);
uint64_t add_item(const CommandArgs& args);
uint64_t delete_item(const CommandArgs& args);

}  // namespace corert::handlers
