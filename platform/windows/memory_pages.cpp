// Pages for the image on Windows (platform/memory_pages.h), with VirtualAlloc.
//
// Windows places allocations on 64 KiB boundaries and has no "below 2 GiB" flag: the
// low pages are found by walking the free regions below 2 GiB, and pages at an exact
// address get the whole 64 KiB allocation unit around them (the trampolines lie 64 GiB
// apart, so no two share one).
#include "platform/memory_pages.h"

#include <windows.h>

#include <cstdint>

namespace nimbra::platform {

namespace {

constexpr uintptr_t kLowLimit = uintptr_t(1) << 31;
constexpr uintptr_t kGranularity = 0x10000;

uintptr_t round_up(uintptr_t n, uintptr_t to) { return (n + to - 1) / to * to; }

}  // namespace

void* map_low_pages(size_t bytes)
{
    // Another thread may take a free region between the query and the allocation; the
    // walk then goes on past it.
    uintptr_t at = kGranularity;
    while (at + bytes <= kLowLimit) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == 0)
            return nullptr;
        uintptr_t region = reinterpret_cast<uintptr_t>(info.BaseAddress);
        uintptr_t end = region + info.RegionSize;
        uintptr_t start = round_up(at, kGranularity);
        if (info.State == MEM_FREE && start + bytes <= end && start + bytes <= kLowLimit) {
            void* p = VirtualAlloc(reinterpret_cast<void*>(start), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (p)
                return p;
        }
        at = round_up(end > at ? end : at + kGranularity, kGranularity);
    }
    return nullptr;
}

void* map_pages_at(void* address, size_t bytes)
{
    auto wanted = reinterpret_cast<uintptr_t>(address);
    uintptr_t unit = wanted & ~(kGranularity - 1);
    size_t reserved = round_up(wanted + bytes - unit, kGranularity);
    void* base = VirtualAlloc(reinterpret_cast<void*>(unit), reserved, MEM_RESERVE, PAGE_NOACCESS);
    if (!base)
        return nullptr;
    if (base != reinterpret_cast<void*>(unit) || !VirtualAlloc(address, bytes, MEM_COMMIT, PAGE_READWRITE)) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    return address;
}

bool make_pages_executable(void* pages, size_t bytes)
{
    DWORD old = 0;
    if (!VirtualProtect(pages, bytes, PAGE_EXECUTE_READ, &old))
        return false;
    return FlushInstructionCache(GetCurrentProcess(), pages, bytes) != 0;
}

bool make_pages_read_only(void* pages, size_t bytes)
{
    DWORD old = 0;
    return VirtualProtect(pages, bytes, PAGE_READONLY, &old) != 0;
}

// A region is released whole, from the base of its allocation.
void unmap_pages(void* pages, size_t)
{
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(pages, &info, sizeof info) != 0)
        VirtualFree(info.AllocationBase, 0, MEM_RELEASE);
}

}  // namespace nimbra::platform
