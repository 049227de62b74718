#include "corert/kernel_commands.h"

#include <atomic>
#include <cstdlib>
#include <exception>

#include "corert/command_handlers.h"
#include "corert/diagnostics.h"

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

Handler find_handler(uint32_t number)
{
    for (const CommandEntry& entry : kCommands)
        if (entry.number == number)
            return entry.handler;
    return nullptr;
}

void report_unknown_command(uint32_t number) { say("unknown kernel command 0x%x", number); }

std::atomic<UnknownCommandHandler> unknown_command_handler{report_unknown_command};

}  // namespace

uint64_t call_kernel_command(uint32_t number, const qx::ArgBlock* args)
{
    Handler handler = find_handler(number);
    if (!handler) {
        unknown_command_handler.load()(number);
        return 0;
    }
    try {
        return handler(CommandArgs(args));
    } catch (const std::exception& error) {
        say("kernel command 0x%x failed: %s", number, error.what());
    } catch (...) {
        say("kernel command 0x%x failed", number);
    }
    std::abort();
}

bool is_kernel_command(uint32_t number) { return find_handler(number) != nullptr; }

void set_unknown_command_handler(UnknownCommandHandler handler)
{
    unknown_command_handler.store(handler ? handler : report_unknown_command);
}

}  // namespace corert

extern "C" uint64_t QX_SERVICE_ABI corert_call_kernel(uint32_t command, const qx::ArgBlock* args)
{
    return corert::call_kernel_command(command, args);
}
