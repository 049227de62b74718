#include "corert/library_calls.h"

#include "corert/diagnostics.h"
#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "corert/program.h"
#include "corert/run_time_error.h"
#include "corert/window/opened_pages.h"


namespace corert {

namespace {

void* support_allocate(uint32_t bytes) { return memory_allocate(bytes); }

void support_release(void* block) { memory_free(block); }

const nimbra::support::RuntimeServices kSupportServices = {
    nimbra::support::kSupportAbiVersion,
    support_allocate,
    support_release,
    corert_record_opened_page,
};

}  // namespace

const nimbra::support::RuntimeServices& support_services() { return kSupportServices; }

// A command outside the table, or a call with another number of arguments than the
// function declares, is a damaged stack: the function is not called.
uint32_t Program::call_dll(uint32_t command, uint32_t count, const uint64_t* args)
{
    const qx::ResolvedDllFunction* f = dlls_->function(command);
    if (!f)
        raise_run_time_error(qx::kErrorDamagedStack);
    std::optional<uint32_t> result = qx::call_resolved_dll(*f, count, args);
    if (!result)
        raise_run_time_error(qx::kErrorDamagedStack);
    return *result;
}

uint64_t Program::call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    if (library == qx::kLibCorert)
        return call_kernel_command(command, args);
    nimbra::support::CommandFunction f = libraries_->command(library, command);
    if (!f) {
        say("support library %s has no command 0x%x", libraries_->name(library).c_str(), command);
        return 0;
    }
    return f(args);
}

}  // namespace corert
