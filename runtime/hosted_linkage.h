// The hosted build's side of runtime/linkage.h: a test (or a runtime hosting the routines
// as ordinary code) installs the services and the counterpart function here.
#pragma once

#include "runtime/service_abi.h"

namespace qx::rt {

struct HostedRuntime {
    RunTimeErrorService run_time_error = nullptr;
    CallDllService call_dll = nullptr;
    CallLibraryService call_library = nullptr;
    CallKernelService call_kernel = nullptr;
    GetUnitPropertyService get_unit_property = nullptr;
    SetUnitPropertyService set_unit_property = nullptr;
    AllocateService allocate = nullptr;
    ReallocateService reallocate = nullptr;
    FreeService free = nullptr;
    RunEventLoopService run_event_loop = nullptr;
    HandOverService hand_over = nullptr;
    LoadWindowService load_window = nullptr;
    RegisterService register_service = nullptr;
    // Run-time counterpart of a marked operand; the value itself when not installed.
    uint32_t (*counterpart)(uint32_t group, uint32_t value) = nullptr;
};

// The runtime stays installed until replaced; pass nullptr to remove it.
void install_hosted_runtime(const HostedRuntime* runtime);

}  // namespace qx::rt
