// Pages of memory at addresses the program image needs: its copy and its globals below
// 2 GiB, where a 32-bit operand holds an address, and the service trampolines at the
// exact addresses the service table's words make (image/service_slots.h).
#pragma once

#include <cstddef>

namespace nimbra::platform {

// Read-write pages anywhere below 2 GiB; null when there is no room.
void* map_low_pages(size_t bytes);

// Read-write pages starting exactly at `address` (page-aligned); null when anything is
// mapped there already, which is never replaced.
void* map_pages_at(void* address, size_t bytes);

// Read and execute only (code), or read only (tables); false when the system refuses.
bool make_pages_executable(void* pages, size_t bytes);
bool make_pages_read_only(void* pages, size_t bytes);

// Releases pages one of the map functions returned, with the size it was given.
void unmap_pages(void* pages, size_t bytes);

}  // namespace nimbra::platform
