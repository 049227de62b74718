#include "corert/image_calls.h"

#include "corert/kernel_commands.h"
#include "corert/memory.h"
#include "corert/program.h"
#include "corert/run_time_error.h"
#include "corert/window/window_services.h"

namespace corert {

namespace {

Program& program() { return *Program::current(); }

// ---- the services, with the signatures image code calls them by ----

void QX_SERVICE_ABI service_run_time_error(uint32_t code) { raise_run_time_error(code); }

uint32_t QX_SERVICE_ABI service_call_dll(uint32_t command, uint32_t count, const uint64_t* args)
{
    return program().call_dll(command, count, args);
}

uint64_t QX_SERVICE_ABI service_call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    return program().call_library(library, command, args);
}

uint64_t QX_SERVICE_ABI service_call_kernel(uint32_t command, const qx::ArgBlock* args)
{
    return call_kernel_command(command, args);
}

void QX_SERVICE_ABI service_register(uint32_t function, uint64_t a, uint64_t b)
{
    program().register_routine(function, a, b);
}

}  // namespace

namespace {

using ServiceTable = std::array<void*, qx::kServiceSlotCount>;

// A function whose signature is not its slot's does not compile.
template <qx::ServiceSlot slot>
void place(ServiceTable& table, typename qx::ServiceOfSlot<slot>::type service)
{
    table[slot] = reinterpret_cast<void*>(service);
}

}  // namespace

ServiceTable service_table()
{
    ServiceTable table{};
    place<qx::kSlotRunTimeError>(table, &service_run_time_error);
    place<qx::kSlotCallDll>(table, &service_call_dll);
    place<qx::kSlotCallLibrary>(table, &service_call_library);
    place<qx::kSlotCallKernel>(table, &service_call_kernel);
    place<qx::kSlotGetUnitProperty>(table, &corert_get_unit_property);
    place<qx::kSlotSetUnitProperty>(table, &corert_set_unit_property);
    place<qx::kSlotAllocate>(table, &corert_allocate);
    place<qx::kSlotReallocate>(table, &corert_reallocate);
    place<qx::kSlotFree>(table, &corert_free);
    place<qx::kSlotRunEventLoop>(table, &corert_run_event_loop);
    place<qx::kSlotHandOver>(table, &corert_hand_over);
    place<qx::kSlotLoadWindow>(table, &corert_load_window);
    place<qx::kSlotRegister>(table, &service_register);
    return table;
}

void call_image_routine(uint32_t code_offset) { program().image().routine<qx::ImageRoutine>(code_offset)(); }

// The program runs inside its entry routine: it loads the window and runs the event
// loop, and returns once the window is closed.
void Program::run()
{
    call_image_routine(image_->image().entry_offset);
    run_program_end();
}

}  // namespace corert

using corert::current_window_session;

extern "C" uint64_t QX_SERVICE_ABI corert_get_unit_property(uint32_t window, uint32_t unit, uint32_t property,
                                                            int32_t element)
{
    auto* session = current_window_session();
    return session ? session->backend().get_property(window, unit, property, element) : 0;
}

extern "C" void QX_SERVICE_ABI corert_set_unit_property(uint32_t window, uint32_t unit, uint32_t property,
                                                        int32_t element, uint32_t low, uint32_t high)
{
    if (auto* session = current_window_session())
        session->backend().set_property(window, unit, property, element, low, high);
}

extern "C" void QX_SERVICE_ABI corert_run_event_loop(void)
{
    if (auto* session = current_window_session())
        session->backend().run_event_loop();
}

extern "C" void QX_SERVICE_ABI corert_hand_over(uint32_t)
{
    if (auto* session = current_window_session())
        session->backend().hand_over();
}

extern "C" void QX_SERVICE_ABI corert_load_window(uint32_t window)
{
    if (auto* session = current_window_session())
        session->backend().load_window(session->form(), window);
}
