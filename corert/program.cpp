#include "corert/program.h"

#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "corert/run_time_error.h"
#include "corert/window/opened_pages.h"
#include "corert/window/window_services.h"
#include "runtime/service_abi.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <stdexcept>

namespace corert {

namespace {

Program* g_program = nullptr;

Program& program()
{
    return *g_program;
}

// ---- the services, in slot order, with the signatures image code calls them by ----

void service_run_time_error(uint32_t code)
{
    raise_run_time_error(code);
}

uint32_t service_call_dll(uint32_t command, uint32_t count, const uint64_t* args)
{
    return program().call_dll(command, count, args);
}

uint64_t service_call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    return program().call_library(library, command, args);
}

uint64_t service_call_kernel(uint32_t command, const qx::ArgBlock* args)
{
    return call_kernel_command(command, args);
}






void service_register(uint32_t function, uint64_t a, uint64_t b)
{
    program().register_routine(function, a, b);
}

std::array<void*, qx::kServiceSlotCount> service_table()
{
    return {
        reinterpret_cast<void*>(&service_run_time_error),
        reinterpret_cast<void*>(&service_call_dll),
        reinterpret_cast<void*>(&service_call_library),
        reinterpret_cast<void*>(&service_call_kernel),
        reinterpret_cast<void*>(&corert_get_unit_property),
        reinterpret_cast<void*>(&corert_set_unit_property),
        reinterpret_cast<void*>(&corert_allocate),
        reinterpret_cast<void*>(&corert_reallocate),
        reinterpret_cast<void*>(&corert_free),
        reinterpret_cast<void*>(&corert_run_event_loop),
        reinterpret_cast<void*>(&corert_hand_over),
        reinterpret_cast<void*>(&corert_load_window),
        reinterpret_cast<void*>(&service_register),
    };
}

void* support_allocate(uint32_t bytes)
{
    return memory_allocate(bytes);
}

void support_release(void* block)
{
    memory_free(block);
}

const nimbra::support::RuntimeServices kSupportServices = {
    nimbra::support::kSupportAbiVersion,
    support_allocate,
    support_release,
    corert_record_opened_page,
};

}  // namespace

Program* Program::current()
{
    return g_program;
}

Program::Program(std::span<const uint8_t> image_bytes, ProgramOptions options)
    : options_(std::move(options))
{
    if (g_program)
        throw std::logic_error("a program is already running in this process");
    image_ = std::make_unique<qx::MappedImage>(image_bytes);
    const qx::Image& image = image_->image();
    const qx::Section& form = image.section("form");
    form_ = qx::read_form(form.data);
    check_bindings();

    libraries_ = std::make_unique<SupportLibraries>(image.manifest, options_.runtime_directory, kSupportServices);
    dlls_ = std::make_unique<DllTable>(image, options_.runtime_directory);
    slots_ = std::make_unique<qx::ServiceSlots>(service_table());
    image_->link_and_seal(image_->targets(slots_->table_base(),
                                          [this](size_t group, uint32_t value) { return counterpart(group, value); }));

    window_ = std::make_unique<WindowSession>(form_, [this](uint32_t offset) { call_routine(offset); }, nullptr,
                                              browser_pane());
    g_program = this;
}

Program::~Program()
{
    window_.reset();
    if (g_program == this)
        g_program = nullptr;
}

// The browser library hands the GTK window its controls through its extension.
const BrowserPaneExtension* Program::browser_pane() const
{
    for (uint32_t library = 1; library < image_->image().manifest.size(); ++library) {
        if (libraries_->name(library) == "WebPane")
            return static_cast<const BrowserPaneExtension*>(libraries_->extension(library));
    }
    return nullptr;
}

// Every handler must lie inside the code: a binding is turned into a call.
void Program::check_bindings() const
{
    for (const qx::Unit& unit : form_.units) {
        for (const qx::EventBinding& binding : unit.events) {
            if (binding.code_offset >= image_->code_size())
                throw std::runtime_error("window unit " + qx::hex32(unit.id) + " binds event " +
                                         std::to_string(binding.event) + " to " + qx::hex32(binding.code_offset) +
                                         ", outside the code");
        }
    }
}

// The run-time counterparts of the marked operands are the values themselves; a value
// the program does not define is refused before any code runs.
uint32_t Program::counterpart(size_t group, uint32_t value) const
{
    const qx::Image& image = image_->image();
    bool known = false;
    switch (group) {
    case qx::kGroupUnitId:
        known = value == form_.window_id || (form_.find_unit(value) && value != qx::kWindowUnitListId);
        break;
    case qx::kGroupDllCommand:
        known = value < image.dll_commands.size();
        break;
    case qx::kGroupLibrary:
        known = value < image.manifest.size();
        break;
    case qx::kGroupDataType:
        known = unit_kind(value) != UnitKind::Other;
        break;
    }
    if (!known)
        throw std::runtime_error("the code names " + qx::hex32(value) + " in marker group " + std::to_string(group) +
                                 ", which this program does not define");
    return value;
}

void Program::run()
{
    image_->routine<void (*)()>(image_->image().entry_offset)();
    // Program end: the routines registered through slot 12, newest first. With
    // CORERT_TRACE set, each is reported once it has returned (tests rely on this line).
    bool trace = std::getenv("CORERT_TRACE") != nullptr;
    for (auto it = at_exit_.rbegin(); it != at_exit_.rend(); ++it) {
        reinterpret_cast<void (*)()>(static_cast<uintptr_t>(*it))();
        if (trace)
            std::fprintf(stderr, "corert: program-end routine at code+0x%llx returned\n",
                         static_cast<unsigned long long>(*it - image_->code_data()));
    }
    at_exit_.clear();
    // Whatever the program still holds now it has lost track of: tests read this line.
    if (trace) {
        corert::MemoryCounters memory = corert::memory_counters();
        std::fprintf(stderr, "corert: %zu blocks (%zu bytes) still allocated at program end\n", memory.live_blocks,
                     memory.live_bytes);
    }
}

void Program::call_routine(uint32_t code_offset)
{
    image_->routine<void (*)()>(code_offset)();
}

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
        std::fprintf(stderr, "corert: support library %s has no command 0x%x\n", libraries_->name(library).c_str(), command);
        return 0;
    }
    return f(args);
}


void Program::register_routine(uint32_t function, uint64_t a, uint64_t)
{
    switch (function) {
    case qx::kRegisterAtExit:
        // Only an address inside this program's code can be called at the end.
        if (a >= image_->code_data() && a < image_->code_data() + image_->code_size())
            at_exit_.push_back(a);
        break;
    case qx::kRegisterArrayVariable:
        // Array routines announce a list variable before they change its size. Arrays
        // here are plain blocks of the memory service that the program resizes itself,
        // so there is nothing to track: the call is accepted and has no effect.
        break;
    default:
        break;
    }
}

}  // namespace corert
