#include "corert/kernel_commands.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "corert/command_handlers.h"

namespace corert {
namespace {

using Handler = uint64_t (*)(const CommandArgs&);

struct CommandEntry {
    uint32_t number;
    Handler handler;
};

constexpr CommandEntry kCommands[] = {
    {qx::kCmdGetProgramDirectory, handlers::get_program_directory},
    {qx::kCmdTextLength, handlers::text_length},
    {qx::kCmdLeftText, handlers::left_text},
    {qx::kCmdRightText, handlers::right_text},
    {qx::kCmdMidText, handlers::mid_text},
    {qx::kCmdCharText, handlers::char_text},
    {qx::kCmdFindText, handlers::find_text},
    {qx::kCmdKernelCommand0x154, handlers::lower_text},
    {qx::kCmdToNumber, handlers::to_number},
    {qx::kCmdToText, handlers::to_text},
    {qx::kCmdKernelCommand0x178, handlers::trim_blanks},
    {qx::kCmdReplaceSpan, handlers::replace_span},
    {qx::kCmdReplaceAll, handlers::replace_all},
    {qx::kCmdBlankText, handlers::blank_text},
    {qx::kCmdCompareText, handlers::compare_text},
    {qx::kCmdSplitText, handlers::split_text},
    {qx::kCmdByteSetLength, handlers::byte_set_length},
    {qx::kCmdToByteSet, handlers::to_byte_set},
    {qx::kCmdLeftBytes, handlers::left_bytes},
    {qx::kCmdBlankBytes, handlers::blank_bytes},
    {qx::kCmdDeleteFile, handlers::delete_file},
    {qx::kCmdReadFile, handlers::read_file},
    {qx::kCmdWriteFile, handlers::write_file},
    {qx::kCmdOpenMemoryFile, handlers::open_memory_file},
    {qx::kCmdCloseFile, handlers::close_file},
    {qx::kCmdSeekFileStart, handlers::seek_file_start},
    {qx::kCmdWriteTextToFile, handlers::write_text_to_file},
    {qx::kCmdReadLine, handlers::read_line},
    {qx::kCmdAtFileEnd, handlers::at_file_end},
    {qx::kCmdMessageBox, handlers::message_box},
    {qx::kCmdProcessEvents, handlers::process_events},
    {qx::kCmdItemCount, handlers::item_count},
    {qx::kCmdItemText, handlers::item_text},
    {qx::kCmdAddItem, handlers::add_item},
    {qx::kCmdDeleteItem, handlers::delete_item},
};

Handler find_handler(uint32_t number) {
    for (const CommandEntry& entry : kCommands)
        if (entry.number == number)
            return entry.handler;
    return nullptr;
}

void report_unknown_command(uint32_t number) {
    std::fprintf(stderr, "corert: unknown kernel command 0x%x\n", number);
}

std::atomic<UnknownCommandHandler> unknown_command_handler{report_unknown_command};
std::atomic<WindowCommands*> window_backend{nullptr};

}  // namespace

uint64_t call_kernel_command(uint32_t number, const qx::ArgBlock* args) {
    Handler handler = find_handler(number);
    if (!handler) {
        unknown_command_handler.load()(number);
        return 0;
    }
    try {
        return handler(CommandArgs(args));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corert: kernel command 0x%x failed: %s\n", number, error.what());
    } catch (...) {
        std::fprintf(stderr, "corert: kernel command 0x%x failed\n", number);
    }
    std::abort();
}

bool is_kernel_command(uint32_t number) { return find_handler(number) != nullptr; }

void set_unknown_command_handler(UnknownCommandHandler handler) {
    unknown_command_handler.store(handler ? handler : report_unknown_command);
}

void set_window_commands(WindowCommands* backend) { window_backend.store(backend); }
WindowCommands* window_commands() { return window_backend.load(); }

namespace handlers {

// MessageBox(message, flags, [title]); with no backend nobody can answer: 0.
uint64_t message_box(const CommandArgs& args) {
    WindowCommands* backend = window_commands();
    if (!backend)
        return integer_result(0);
    return integer_result(backend->message_box(args.text(0), args.integer(1), args.text(2), !args.omitted(2)));
}

uint64_t process_events(const CommandArgs&) {
    if (WindowCommands* backend = window_commands())
        backend->process_events();
    return 0;
}

uint64_t item_count(const CommandArgs& args) {
    WindowCommands* backend = window_commands();
    auto combo = args.control(0);
    return integer_result(backend && combo ? backend->item_count(*combo) : 0);
}

uint64_t item_text(const CommandArgs& args) {
    WindowCommands* backend = window_commands();
    auto combo = args.control(0);
    if (!backend || !combo)
        return text_result({});
    return text_result(backend->item_text(*combo, args.integer(1)));
}

uint64_t add_item(const CommandArgs& args) {
    WindowCommands* backend = window_commands();
    if (auto combo = args.control(0); backend && combo)
        backend->add_item(*combo, args.text(1), args.integer(2), !args.omitted(2));
    return 0;
}

uint64_t delete_item(const CommandArgs& args) {
    WindowCommands* backend = window_commands();
    if (auto combo = args.control(0); backend && combo)
        backend->delete_item(*combo, args.integer(1));
    return 0;
}

}  // namespace handlers
}  // namespace corert

extern "C" uint64_t corert_call_kernel(uint32_t command, const qx::ArgBlock* args) {
    return corert::call_kernel_command(command, args);
}
