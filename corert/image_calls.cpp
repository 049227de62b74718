#include "corert/image_calls.h"

#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "corert/program.h"
#include "corert/run_time_error.h"
#include "corert/window/window_services.h"

namespace corert {

namespace {

Program& program()
{
    return *Program::current();
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

}  // namespace

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

void call_image_routine(uint32_t code_offset)
{
    program().image().routine<void (*)()>(code_offset)();
}

// The program runs inside its entry routine: it loads the window and runs the event
// loop, and returns once the window is closed.
void Program::run()
{
    call_image_routine(image_->image().entry_offset);
    run_program_end();
}

}  // namespace corert

using corert::current_window_session;

extern "C" uint64_t corert_get_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element)
{
    auto* session = current_window_session();
    return session ? session->backend().get_property(window, unit, property, element) : 0;
}

extern "C" void corert_set_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element,
                                         uint32_t low, uint32_t high)
{
    if (auto* session = current_window_session())
        session->backend().set_property(window, unit, property, element, low, high);
}

extern "C" void corert_run_event_loop(void)
{
    if (auto* session = current_window_session())
        session->backend().run_event_loop();
}

extern "C" void corert_hand_over(uint32_t)
{
    if (auto* session = current_window_session())
        session->backend().hand_over();
}

extern "C" void corert_load_window(uint32_t window)
{
    if (auto* session = current_window_session())
        session->backend().load_window(session->form(), window);
}
