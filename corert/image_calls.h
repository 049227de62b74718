// The calls between image code and the runtime, both ways: into a routine of the image
// (the entry routine, an event's handler, a program-end routine), and out of it through
// the 13 service slots.
#pragma once

#include "runtime/service_abi.h"

#include <array>
#include <cstdint>

namespace corert {

// Calls the routine at this offset of the running program's code. The window's event
// dispatch calls it for each handler (it is the window's HandlerInvoker).
void call_image_routine(uint32_t code_offset);

// The service functions in slot order, as image code calls them.
std::array<void*, qx::kServiceSlotCount> service_table();

}  // namespace corert

// Service slots 4, 5, 9, 10 and 11: the window's, with the signatures image code calls
// them by. They reach the installed window session; without one they do nothing and
// read 0.
extern "C" {
uint64_t QX_SERVICE_ABI corert_get_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element);
void QX_SERVICE_ABI corert_set_unit_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element,
                                             uint32_t low, uint32_t high);
void QX_SERVICE_ABI corert_run_event_loop(void);
void QX_SERVICE_ABI corert_hand_over(uint32_t zero);
void QX_SERVICE_ABI corert_load_window(uint32_t window);
}
