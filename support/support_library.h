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

// ---- reading arguments (records beyond the count read as omitted) ----

inline const qx::ArgRecord* argument(const qx::ArgBlock* args, uint32_t index)
{
    return args && index < args->count ? &args->records[index] : nullptr;
}

inline int32_t integer_argument(const qx::ArgBlock* args, uint32_t index, int32_t fallback = 0)
{
    const qx::ArgRecord* r = argument(args, index);
    if (!r || (r->type != qx::kTagInteger && r->type != qx::kTagByte && r->type != qx::kTagLogical))
        return fallback;
    return static_cast<int32_t>(r->low);
}

// A text argument's bytes; null, omitted or another type reads as the empty text.
inline const char* text_argument(const qx::ArgBlock* args, uint32_t index)
{
    const qx::ArgRecord* r = argument(args, index);
    if (!r || r->type != qx::kTagText)
        return "";
    const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(uint64_t(r->high) << 32 | r->low));
    return text ? text : "";
}

// A new byte set block (dimension count 1, size, bytes) from the runtime's allocator;
// the empty byte set is null, as every reader takes it.
inline uint64_t byte_set_result(const RuntimeServices* runtime, const void* bytes, uint32_t size)
{
    if (size == 0)
        return 0;
    auto* block = static_cast<uint8_t*>(runtime->allocate(8 + size));
    uint32_t header[2] = {1, size};
    memcpy(block, header, sizeof header);
    memcpy(block + 8, bytes, size);
    return reinterpret_cast<uintptr_t>(block);
}

}  // namespace nimbra::support
