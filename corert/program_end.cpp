// Program end: the routines the program registered (slot 12, sub-function 3), called
// newest first once the entry routine has returned, and the traces CORERT_TRACE asks for.
#include "corert/program.h"

#include "corert/diagnostics.h"
#include "corert/image_calls.h"
#include "corert/memory.h"

#include <cstdlib>

namespace corert {

void Program::register_routine(uint32_t function, uint64_t a, uint64_t)
{
    switch (function) {
    case qx::kRegisterAtExit:
        // Only an address inside this program's code can be called at the end.
        if (a >= image_->code_data() && a < image_->code_data() + image_->code_size())
            at_exit_.push_back(static_cast<uint32_t>(a - image_->code_data()));
        break;
    case qx::kRegisterArrayVariable:
        // Array routines announce a list variable before they change its size. Arrays
        // here are plain blocks of the memory service that the program resizes itself,
        // so there is nothing to track: the call is accepted and has no effect.
        break;
    default: break;
    }
}

// With CORERT_TRACE set, each routine is reported once it has returned, and then what
// the program still holds, which it has lost track of (tests read both lines).
void Program::run_program_end()
{
    bool trace = std::getenv("CORERT_TRACE") != nullptr;
    for (auto it = at_exit_.rbegin(); it != at_exit_.rend(); ++it) {
        call_image_routine(*it);
        if (trace)
            say("program-end routine at code+0x%x returned", *it);
    }
    at_exit_.clear();
    if (trace) {
        MemoryCounters memory = memory_counters();
        say("%zu blocks (%zu bytes) still allocated at program end", memory.live_blocks, memory.live_bytes);
    }
}

}  // namespace corert
