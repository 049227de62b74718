#include "runtime/hosted_linkage.h"

#include "runtime/linkage.h"

#include <cstdio>
#include <cstdlib>

namespace qx::rt {

namespace {

const HostedRuntime* installed = nullptr;

// A routine calling a service nobody installed is a broken test set-up, not something
// to carry on from.
template <typename F>
F need(F HostedRuntime::*service, const char* name)
{
    if (!installed || !(installed->*service)) {
        std::fprintf(stderr, "hosted routine called service '%s', which is not installed\n", name);
        std::abort();
    }
    return installed->*service;
}

}  // namespace

void install_hosted_runtime(const HostedRuntime* runtime) { installed = runtime; }

}  // namespace qx::rt

using qx::rt::HostedRuntime;
using qx::rt::need;

extern "C" {

// The const section's fixed points: "1.0" at 0, the empty array literal at 0x29, the
// empty text at 0x36.
alignas(8) const uint8_t qx_hosted_const_start[0x38] = {
    '1', '.', '0', 0,  // 0x00
    0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // to 0x28
    1,   0,   0,   0, 0, 0, 0, 0,                                // 0x29: {1, 0}
    // the rest (with the empty text at 0x36) is zero
};

uint32_t qx_hosted_counterpart(uint32_t group, uint32_t value)
{
    using qx::rt::installed;
    return installed && installed->counterpart ? installed->counterpart(group, value) : value;
}

void QX_SERVICE_ABI qx_stub_0(uint32_t code) { need(&HostedRuntime::run_time_error, "run-time error")(code); }
uint32_t QX_SERVICE_ABI qx_stub_1(uint32_t command, uint32_t count, const uint64_t* args)
{
    return need(&HostedRuntime::call_dll, "call DLL")(command, count, args);
}
uint64_t QX_SERVICE_ABI qx_stub_2(uint32_t library, uint32_t command, const qx::ArgBlock* args)
{
    return need(&HostedRuntime::call_library, "call library")(library, command, args);
}
uint64_t QX_SERVICE_ABI qx_stub_3(uint32_t command, const qx::ArgBlock* args)
{
    return need(&HostedRuntime::call_kernel, "call kernel")(command, args);
}
uint64_t QX_SERVICE_ABI qx_stub_4(uint32_t window, uint32_t unit, uint32_t property, int32_t element)
{
    return need(&HostedRuntime::get_unit_property, "GetUnitProperty")(window, unit, property, element);
}
void QX_SERVICE_ABI qx_stub_5(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low,
                              uint32_t high)
{
    need(&HostedRuntime::set_unit_property, "SetUnitProperty")(window, unit, property, element, low, high);
}
void* QX_SERVICE_ABI qx_stub_6(uint32_t bytes) { return need(&HostedRuntime::allocate, "allocate")(bytes); }
void* QX_SERVICE_ABI qx_stub_7(void* block, uint32_t bytes)
{
    return need(&HostedRuntime::reallocate, "reallocate")(block, bytes);
}
void QX_SERVICE_ABI qx_stub_8(void* block) { need(&HostedRuntime::free, "free")(block); }
void QX_SERVICE_ABI qx_stub_9(void) { need(&HostedRuntime::run_event_loop, "run event loop")(); }
void QX_SERVICE_ABI qx_stub_10(uint32_t zero) { need(&HostedRuntime::hand_over, "hand over")(zero); }
void QX_SERVICE_ABI qx_stub_11(uint32_t window) { need(&HostedRuntime::load_window, "load window")(window); }
void QX_SERVICE_ABI qx_stub_12(uint32_t function, uint64_t a, uint64_t b)
{
    need(&HostedRuntime::register_service, "register")(function, a, b);
}

}  // extern "C"
