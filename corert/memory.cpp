#include "corert/memory.h"

#include "corert/diagnostics.h"

#include <cstdlib>
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

}  // namespace

void* memory_allocate(size_t bytes)
{
    void* block = std::malloc(block_size(bytes));
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
    void* moved = std::realloc(block, block_size(bytes));
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
        r.sizes.erase(it);
    }
    std::free(block);
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
