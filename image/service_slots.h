// The runtime's service table as the image's stubs need it.
//
// Stub k is `jmp qword [4k]` (FF 24 25 imm32) and linking adds the table's base to 4k,
// so slot k is the 8 bytes at base + 4k: consecutive slots overlap by four bytes. The
// table is therefore not 13 independent pointers but 14 words W0..W13 with slot k's
// address = (W(k+1) << 32) | W(k). Choosing every word small (B + 0x10 k) makes each of
// those addresses a distinct, canonical user-space address far above anything the
// process maps; at each one we map a page holding a trampoline `jmp [rip + 0]; .quad
// service`. The table itself lies below 2 GiB so that the linked operand (base + 4k)
// still fits the stub's 32-bit field.
#pragma once

#include "runtime/service_abi.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qx {

class ServiceSlots {
public:
    // services[k] is where stub k ends up. Throws std::runtime_error when no room is found.
    explicit ServiceSlots(const std::array<void*, kServiceSlotCount>& services);
    ~ServiceSlots();
    ServiceSlots(const ServiceSlots&) = delete;
    ServiceSlots& operator=(const ServiceSlots&) = delete;

    // What linking adds to kind-0 operands.
    uint32_t table_base() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(table_)); }
    // The address a stub's 8-byte read of slot k yields.
    uint64_t slot_address(uint32_t slot) const;

private:
    bool try_map(uint32_t word_base, const std::array<void*, kServiceSlotCount>& services);
    void unmap_trampolines();

    uint32_t* table_ = nullptr;
    std::vector<void*> pages_;
};

}  // namespace qx
