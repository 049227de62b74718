// Calls between the Windows runtime and System V code: the service table's trampolines at
// the addresses its words make, entered as the image enters them (through a sysv_abi
// pointer with its arguments in the System V registers), reach the runtime's services.
#include "image/service_slots.h"
#include "tests/windows/sysv_service.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

TEST(ServiceCall, TrampolinesReachSysvServices)
{
    std::array<void*, qx::kServiceSlotCount> services{};
    for (void*& s : services)
        s = reinterpret_cast<void*>(&sysv_six_arguments);
    qx::ServiceSlots slots(services);
    EXPECT_LT(slots.table_base(), uint32_t(1) << 31);
    for (uint32_t slot = 0; slot < qx::kServiceSlotCount; ++slot) {
        auto trampoline = reinterpret_cast<SysvSixArguments>(slots.slot_address(slot));
        EXPECT_EQ(trampoline(7, 2, 3, 4, 5, 6 + slot), 723450u + 6 + slot) << slot;
    }
}

}  // namespace
