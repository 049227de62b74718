#include "image/service_slots.h"

#include "platform/memory_pages.h"

#include <cstring>
#include <stdexcept>

namespace qx {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kWordCount = kServiceSlotCount + 1;

uint32_t table_word(uint32_t word_base, size_t k) { return word_base + 0x10 * uint32_t(k); }

uint64_t trampoline_address(uint32_t word_base, size_t slot)
{
    return (uint64_t(table_word(word_base, slot + 1)) << 32) | table_word(word_base, slot);
}

}  // namespace

ServiceSlots::ServiceSlots(const std::array<void*, kServiceSlotCount>& services)
{
    void* table = nimbra::platform::map_low_pages(kPage);
    if (!table)
        throw std::runtime_error("service table: no memory below 2 GiB");
    table_ = static_cast<uint32_t*>(table);
    // Another mapping may already sit at one of the addresses; each base gives a
    // different set of addresses (64 GiB apart), so a few tries always find room.
    for (uint32_t word_base = 0x1000; word_base < 0x8000; word_base += 0x1000) {
        if (try_map(word_base, services)) {
            for (size_t k = 0; k < kWordCount; ++k)
                table_[k] = table_word(word_base, k);
            nimbra::platform::make_pages_read_only(table_, kPage);
            return;
        }
    }
    nimbra::platform::unmap_pages(table_, kPage);
    throw std::runtime_error("service table: no free addresses for the slot trampolines");
}

bool ServiceSlots::try_map(uint32_t word_base, const std::array<void*, kServiceSlotCount>& services)
{
    for (size_t slot = 0; slot < kServiceSlotCount; ++slot) {
        uint64_t address = trampoline_address(word_base, slot);
        void* wanted = reinterpret_cast<void*>(address & ~uint64_t(kPage - 1));
        void* page = nimbra::platform::map_pages_at(wanted, kPage);
        if (!page) {
            unmap_trampolines();
            return false;
        }
        pages_.push_back(page);
        // jmp qword [rip + 0], then the service's address.
        uint8_t* at = static_cast<uint8_t*>(page) + (address & (kPage - 1));
        static const uint8_t jump[6] = {0xff, 0x25, 0, 0, 0, 0};
        std::memcpy(at, jump, sizeof jump);
        uint64_t target = reinterpret_cast<uintptr_t>(services[slot]);
        std::memcpy(at + sizeof jump, &target, sizeof target);
        nimbra::platform::make_pages_executable(page, kPage);
    }
    return true;
}

void ServiceSlots::unmap_trampolines()
{
    for (void* page : pages_)
        nimbra::platform::unmap_pages(page, kPage);
    pages_.clear();
}

uint64_t ServiceSlots::slot_address(uint32_t slot) const
{
    uint64_t value;
    std::memcpy(&value, table_ + slot, sizeof value);
    return value;
}

ServiceSlots::~ServiceSlots()
{
    unmap_trampolines();
    nimbra::platform::unmap_pages(table_, kPage);
}

}  // namespace qx
