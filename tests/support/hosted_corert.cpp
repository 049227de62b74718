#include "tests/support/hosted_corert.h"

#include "corert/kernel_commands.h"
#include "runtime/hosted_linkage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nimbra::testing {

namespace {

HostedCorert* current = nullptr;

HostedCorert& runtime_for(const char* service)
{
    if (!current) {
        // Image code called a service after its fixture ended: nothing sane to return.
        std::fprintf(stderr, "hosted_corert: service '%s' called with no HostedCorert alive\n", service);
        std::abort();
    }
    return *current;
}

// A service the test did not plug in: fail the test, give 0.
template <typename F>
bool plugged(const F& f, const char* service)
{
    if (f)
        return true;
    ADD_FAILURE() << "the routine called service '" << service << "', which this test did not supply";
    return false;
}

void unknown_command(uint32_t number)
{
    if (current)
        current->unknown_commands.push_back(number);
    ADD_FAILURE() << "the routine called kernel command 0x" << std::hex << number << ", which corert does not know";
}

// ---- the services, in slot order ----

void QX_SERVICE_ABI run_time_error(uint32_t code)
{
    HostedCorert& rt = runtime_for("run-time error");
    rt.run_time_errors.push_back(code);
    if (rt.throw_on_run_time_error)
        throw RunTimeError(code);
}

uint32_t QX_SERVICE_ABI call_dll(uint32_t command, uint32_t count, const uint64_t* args)
{
    HostedCorert& rt = runtime_for("call DLL");
    return plugged(rt.call_dll, "call DLL") ? rt.call_dll(command, count, args) : 0;
}

uint64_t QX_SERVICE_ABI call_library(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    HostedCorert& rt = runtime_for("call library");
    return plugged(rt.call_library, "call library") ? rt.call_library(library, command, args) : 0;
}

uint64_t QX_SERVICE_ABI call_kernel(uint32_t command, const qx::ArgBlock* args)
{
    HostedCorert& rt = runtime_for("call kernel");
    rt.kernel_commands.push_back(command);
    if (rt.intercept_kernel) {
        if (auto result = rt.intercept_kernel(command, args))
            return *result;
    }
    return corert::call_kernel_command(command, args);
}

uint64_t QX_SERVICE_ABI get_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element)
{
    HostedCorert& rt = runtime_for("GetUnitProperty");
    return plugged(rt.get_unit_property, "GetUnitProperty") ? rt.get_unit_property(window, unit, property, element) : 0;
}

void QX_SERVICE_ABI set_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low,
                                      uint32_t high)
{
    HostedCorert& rt = runtime_for("SetUnitProperty");
    if (plugged(rt.set_unit_property, "SetUnitProperty"))
        rt.set_unit_property(window, unit, property, element, low, high);
}

void QX_SERVICE_ABI run_event_loop()
{
    HostedCorert& rt = runtime_for("run event loop");
    if (plugged(rt.run_event_loop, "run event loop"))
        rt.run_event_loop();
}

void QX_SERVICE_ABI hand_over(uint32_t zero)
{
    HostedCorert& rt = runtime_for("hand over");
    if (plugged(rt.hand_over, "hand over"))
        rt.hand_over(zero);
}

void QX_SERVICE_ABI load_window(uint32_t window)
{
    HostedCorert& rt = runtime_for("load window");
    if (plugged(rt.load_window, "load window"))
        rt.load_window(window);
}

void QX_SERVICE_ABI register_service(uint32_t function, uint64_t a, uint64_t b)
{
    HostedCorert& rt = runtime_for("register");
    if (plugged(rt.register_service, "register"))
        rt.register_service(function, a, b);
}

uint32_t counterpart(uint32_t group, uint32_t value)
{
    HostedCorert& rt = runtime_for("counterpart");
    return rt.counterpart ? rt.counterpart(group, value) : value;
}

const qx::rt::HostedRuntime kHostedServices{
    .run_time_error = run_time_error,
    .call_dll = call_dll,
    .call_library = call_library,
    .call_kernel = call_kernel,
    .get_unit_property = get_unit_property,
    .set_unit_property = set_unit_property,
    .allocate = corert_allocate,
    .reallocate = corert_reallocate,
    .free = corert_free,
    .run_event_loop = run_event_loop,
    .hand_over = hand_over,
    .load_window = load_window,
    .register_service = register_service,
    .counterpart = counterpart,
};

}  // namespace

RunTimeError::RunTimeError(uint32_t c) : std::runtime_error("run-time error " + std::to_string(c)), code(c) {}

HostedCorert::HostedCorert()
{
    if (current) {
        std::fprintf(stderr, "hosted_corert: a second HostedCorert while one is alive\n");
        std::abort();
    }
    current = this;
    at_start_ = corert::memory_counters();
    corert::set_unknown_command_handler(unknown_command);
    qx::rt::install_hosted_runtime(&kHostedServices);
}

HostedCorert::~HostedCorert()
{
    qx::rt::install_hosted_runtime(nullptr);
    corert::set_unknown_command_handler(nullptr);
    current = nullptr;
}

::testing::AssertionResult HostedCorert::balanced() const
{
    corert::MemoryCounters now = corert::memory_counters();
    uint64_t allocations = now.allocations - at_start_.allocations;
    uint64_t frees = now.frees - at_start_.frees;
    if (allocations == frees && now.live_blocks == at_start_.live_blocks)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << allocations << " allocations but " << frees << " frees since the start ("
                                         << now.live_blocks << " live blocks, " << at_start_.live_blocks
                                         << " at the start)";
}

std::array<void*, qx::kServiceSlotCount> HostedCorert::service_functions()
{
    const qx::rt::HostedRuntime& s = kHostedServices;
    return {
        reinterpret_cast<void*>(s.run_time_error),
        reinterpret_cast<void*>(s.call_dll),
        reinterpret_cast<void*>(s.call_library),
        reinterpret_cast<void*>(s.call_kernel),
        reinterpret_cast<void*>(s.get_unit_property),
        reinterpret_cast<void*>(s.set_unit_property),
        reinterpret_cast<void*>(s.allocate),
        reinterpret_cast<void*>(s.reallocate),
        reinterpret_cast<void*>(s.free),
        reinterpret_cast<void*>(s.run_event_loop),
        reinterpret_cast<void*>(s.hand_over),
        reinterpret_cast<void*>(s.load_window),
        reinterpret_cast<void*>(s.register_service),
    };
}

char* HostedCorert::new_text(std::string_view bytes)
{
    auto* text = static_cast<char*>(corert_allocate(uint32_t(bytes.size() + 1)));
    std::memcpy(text, bytes.data(), bytes.size());
    text[bytes.size()] = 0;
    return text;
}

void* HostedCorert::new_byte_set(std::string_view bytes)
{
    auto* block = static_cast<uint8_t*>(corert_allocate(uint32_t(8 + bytes.size())));
    const uint32_t head[2] = {1, uint32_t(bytes.size())};
    std::memcpy(block, head, sizeof head);
    std::memcpy(block + 8, bytes.data(), bytes.size());
    return block;
}

std::string HostedCorert::take_text(const char* text)
{
    if (!text)
        return {};
    std::string copy(text);
    corert_free(const_cast<char*>(text));
    return copy;
}

std::string HostedCorert::take_byte_set(const void* byte_set)
{
    if (!byte_set)
        return {};
    auto* block = static_cast<const uint8_t*>(byte_set);
    uint32_t dimensions, size = 0;
    std::memcpy(&dimensions, block, 4);
    if (dimensions == 1)
        std::memcpy(&size, block + 4, 4);
    std::string copy(reinterpret_cast<const char*>(block + 4 + 4 * dimensions), size);
    corert_free(const_cast<void*>(byte_set));
    return copy;
}

}  // namespace nimbra::testing
