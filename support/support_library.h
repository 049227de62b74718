// How the kernel runtime and a support library meet.
//
// A support library is a shared object named "<name>.sle" beside the runtime. It exports
// one function, `nimbra_support_library`, which receives the services the runtime lends
// it and returns the library's command table. Image code reaches a command through the
// library-command service with the library's manifest index and the command number;
// the runtime looks the number up in this table.
//
// Kept to plain C types: the runtime and a library are built separately and meet only
// through this header.
#pragma once

#include "runtime/arg_records.h"
#include "runtime/array_block.h"
#include "runtime/service_abi.h"

#include <stdint.h>
#include <string.h>

namespace nimbra::support {

inline constexpr uint32_t kSupportAbiVersion = 1;

// What the runtime lends a library. Blocks handed to image code must come from
// `allocate`, so that the program can free them.
struct RuntimeServices {
    uint32_t abi_version;
    void* (*allocate)(uint32_t bytes);
    void (*release)(void* block);
    // Tells the runtime (and through it any automation client) that an address was
    // handed to the desktop to open. GBK text.
    void (*note_opened_address)(const char* address);
};

using CommandFunction = uint64_t (*)(const qx::ArgBlock* args);

struct Command {
    uint32_t number;
    CommandFunction run;
    const char* name;
};

struct LibraryExports {
    uint32_t abi_version;
    const char* name;  // as in the manifest
    const Command* commands;
    uint32_t command_count;
    // Library-specific extras (the browser library's control factory); null for none.
    const void* extension;
};

using EntryFunction = const LibraryExports* (*)(const RuntimeServices* runtime);
inline constexpr const char* kEntryName = "nimbra_support_library";

// ---- arguments and results, by the same rules as the kernel commands
// (runtime/arg_records.h, runtime/array_block.h) ----

inline int32_t integer_argument(const qx::ArgBlock* args, uint32_t index, int32_t fallback = 0)
{
    int32_t value = fallback;
    return qx::arg_integer(qx::arg_record(args, index), &value) ? value : fallback;
}

// A text argument's bytes; null, omitted or another type reads as the empty text.
inline const char* text_argument(const qx::ArgBlock* args, uint32_t index)
{
    const char* text = qx::arg_text(qx::arg_record(args, index));
    return text ? text : "";
}

// A new byte set block from the runtime's allocator; the empty byte set is null, as
// every reader takes it.
inline uint64_t byte_set_result(const RuntimeServices* runtime, const void* bytes, uint32_t size)
{
    if (size == 0)
        return 0;
    void* block = runtime->allocate(uint32_t(qx::array_block_size(size, 1)));
    qx::write_array_header(block, size);
    memcpy(qx::array_elements(block), bytes, size);
    return reinterpret_cast<uintptr_t>(block);
}

}  // namespace nimbra::support
