// The runtime's memory service: the blocks that texts, byte sets and arrays live in.
//
// Image code frees whatever pointer a variable holds, including pointers into the
// image's constants, so the service keeps a registry of the blocks it handed out and
// ignores every other pointer. Blocks may be freed on another thread than the one
// that allocated them (browser and network threads), so the registry is locked.
#pragma once

#include "runtime/service_abi.h"

#include <cstddef>
#include <cstdint>

namespace corert {

// Never returns null: running out of memory ends the process with a message, because
// image code has no way to handle a null block.
void* memory_allocate(size_t bytes);

// A null block is a fresh allocation. Resizing a pointer the service did not hand out
// is fatal: its size is unknown, so its contents could not be carried over.
void* memory_reallocate(void* block, size_t bytes);

// Null and unknown pointers are ignored.
void memory_free(void* block);

// True when `block` is a live block of this service.
bool memory_owns(const void* block);

struct MemoryCounters {
    size_t live_blocks = 0;
    size_t live_bytes = 0;
    uint64_t allocations = 0;    // successful allocations, resizes of null included
    uint64_t frees = 0;          // blocks released
    uint64_t ignored_frees = 0;  // frees of pointers the service did not hand out
};

MemoryCounters memory_counters();

}  // namespace corert

// The service slots 6, 7 and 8, with the signatures image code calls them by.
extern "C" {
void* QX_SERVICE_ABI corert_allocate(uint32_t bytes);
void* QX_SERVICE_ABI corert_reallocate(void* block, uint32_t bytes);
void QX_SERVICE_ABI corert_free(void* block);
}
