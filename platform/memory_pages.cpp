#include "platform/memory_pages.h"

#include <sys/mman.h>

namespace nimbra::platform {

void* map_low_pages(size_t bytes)
{
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* map_pages_at(void* address, size_t bytes)
{
    void* p = mmap(address, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // A kernel older than MAP_FIXED_NOREPLACE takes the address as a hint only.
    if (p != address) {
        munmap(p, bytes);
        return nullptr;
    }
    return p;
}

bool make_pages_executable(void* pages, size_t bytes) { return mprotect(pages, bytes, PROT_READ | PROT_EXEC) == 0; }

bool make_pages_read_only(void* pages, size_t bytes) { return mprotect(pages, bytes, PROT_READ) == 0; }

void unmap_pages(void* pages, size_t bytes) { munmap(pages, bytes); }

}  // namespace nimbra::platform
