#include "corert/memory.h"

#include "corert/diagnostics.h"

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace corert {
namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, size_t> sizes;  // live block -> its byte count
    MemoryCounters counters;
};

// Never destroyed: blocks may still be freed by threads or at-exit routines that run
// after static destructors.
Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

[[noreturn]] void die_out_of_memory(size_t bytes)
{
    say("out of memory: cannot allocate a block of %zu bytes", bytes);
    std::abort();
}

// malloc(0) may return null; every block gets at least one byte so that it has an
// address of its own in the registry.
size_t block_size(size_t bytes) { return bytes == 0 ? 1 : bytes; }

// ---- large blocks ----
//
// A block of kLargeBlock bytes or more (a downloaded page, the text made of it) is a
// mapping of its own, aligned to 2 MiB and marked for transparent huge pages: filling
// it then takes a fault per 2 MiB instead of one per 4 KiB, growing it moves its pages
// instead of copying them, and freeing it gives the memory straight back. Through malloc
// a 10 MB page cost more in page faults and heap trimming than in receiving it. Whether
// a block is a mapping follows from its size alone, so the registry needs nothing more.

#ifndef _WIN32
constexpr size_t kLargeBlock = size_t(2) << 20;
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kPage = 4096;

bool is_large(size_t bytes) { return bytes >= kLargeBlock; }

size_t mapped_size(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

// A fresh mapping of `length` bytes (a multiple of the page size) starting on a 2 MiB
// boundary; null when the address space is exhausted.
void* map_aligned(size_t length)
{
    size_t span = length + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    auto first = reinterpret_cast<uintptr_t>(raw);
    uintptr_t start = (first + kHugePage - 1) & ~(uintptr_t(kHugePage) - 1);
    if (start > first)
        munmap(raw, start - first);
    if (first + span > start + length)
        munmap(reinterpret_cast<void*>(start + length), first + span - (start + length));
    // Only advice: where huge pages are off the block simply has small ones.
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

// Grows or shrinks a large block to another large size. It stays where it is when the
// addresses behind it are free; otherwise its pages move to a new aligned place.
void* remap_large(void* block, size_t old_bytes, size_t bytes)
{
    size_t old_length = mapped_size(old_bytes), length = mapped_size(bytes);
    if (length == old_length)
        return block;
    if (mremap(block, old_length, length, 0) != MAP_FAILED)
        return block;
    void* target = map_aligned(length);
    if (!target)
        return nullptr;
    void* moved = mremap(block, old_length, length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved == MAP_FAILED) {
        munmap(target, length);
        return nullptr;
    }
    return moved;
}

void* map_large(size_t bytes) { return map_aligned(mapped_size(bytes)); }
void unmap_large(void* block, size_t bytes) { munmap(block, mapped_size(bytes)); }
#else
// On Windows every block stays in the C library's heap: mappings of their own are this
// system's (a Windows build would need VirtualAlloc's large pages, which ask a privilege).
bool is_large(size_t) { return false; }
void* map_large(size_t) { return nullptr; }
void* remap_large(void*, size_t, size_t) { return nullptr; }
void unmap_large(void*, size_t) {}
#endif

void* allocate_storage(size_t bytes) { return is_large(bytes) ? map_large(bytes) : std::malloc(block_size(bytes)); }

void release_storage(void* block, size_t bytes)
{
    if (is_large(bytes))
        unmap_large(block, bytes);
    else
        std::free(block);
}

// The block's storage at its new size, its first min(old, new) bytes kept; null when
// there is no memory for it (the old storage is then untouched).
void* resize_storage(void* block, size_t old_bytes, size_t bytes)
{
    if (!is_large(old_bytes) && !is_large(bytes))
        return std::realloc(block, block_size(bytes));
    if (is_large(old_bytes) && is_large(bytes))
        return remap_large(block, old_bytes, bytes);
    void* moved = allocate_storage(bytes);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, old_bytes < bytes ? old_bytes : bytes);
    release_storage(block, old_bytes);
    return moved;
}

}  // namespace

void* memory_allocate(size_t bytes)
{
    void* block = allocate_storage(bytes);
    if (!block)
        die_out_of_memory(bytes);
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.sizes.emplace(block, bytes);
    r.counters.live_blocks++;
    r.counters.live_bytes += bytes;
    r.counters.allocations++;
    return block;
}

void* memory_reallocate(void* block, size_t bytes)
{
    if (!block)
        return memory_allocate(bytes);
    Registry& r = registry();
    // The lock is held across realloc: another thread must not free the block between
    // the lookup and the move.
    std::lock_guard guard(r.lock);
    auto it = r.sizes.find(block);
    if (it == r.sizes.end()) {
        say("resize of %p, which is not a block of the memory service", block);
        std::abort();
    }
    size_t old_bytes = it->second;
    void* moved = resize_storage(block, old_bytes, bytes);
    if (!moved)
        die_out_of_memory(bytes);
    r.sizes.erase(it);
    r.sizes.emplace(moved, bytes);
    r.counters.live_bytes = r.counters.live_bytes - old_bytes + bytes;
    return moved;
}

void memory_free(void* block)
{
    if (!block)
        return;
    Registry& r = registry();
    size_t bytes = 0;
    {
        std::lock_guard guard(r.lock);
        auto it = r.sizes.find(block);
        if (it == r.sizes.end()) {
            r.counters.ignored_frees++;
            return;
        }
        r.counters.live_blocks--;
        r.counters.live_bytes -= it->second;
        r.counters.frees++;
        bytes = it->second;
        r.sizes.erase(it);
    }
    release_storage(block, bytes);
}

bool memory_owns(const void* block)
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return r.sizes.count(block) != 0;
}

MemoryCounters memory_counters()
{
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    return r.counters;
}

}  // namespace corert

extern "C" {
void* QX_SERVICE_ABI corert_allocate(uint32_t bytes) { return corert::memory_allocate(bytes); }
void* QX_SERVICE_ABI corert_reallocate(void* block, uint32_t bytes) { return corert::memory_reallocate(block, bytes); }
void QX_SERVICE_ABI corert_free(void* block) { corert::memory_free(block); }
}
