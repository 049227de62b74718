// Reading one argument record, for every reader: the kernel commands (corert's
// CommandArgs) and the support libraries (support/support_library.h).
//
// A record of another type than the one asked for reads as absent, so a mismatched
// caller cannot make a command read memory through a number. Plain integers only: the
// support libraries meet the runtime through C types.
#pragma once

#include "runtime/service_abi.h"

#include <stdint.h>

namespace qx {

// The record at `index`; null beyond the caller's count (an omitted trailing argument).
inline const ArgRecord* arg_record(const ArgBlock* args, uint32_t index)
{
    return args && index < args->count ? &args->records[index] : nullptr;
}

// Integer, byte and logical records as a number: a byte is its low eight bits, a
// logical 0 or 1. False for any other record, omitted included.
inline bool arg_integer(const ArgRecord* r, int32_t* value)
{
    if (!r)
        return false;
    switch (r->type) {
    case kTagInteger: *value = int32_t(r->low); return true;
    case kTagByte: *value = int32_t(r->low & 0xff); return true;
    case kTagLogical: *value = r->low != 0 ? 1 : 0; return true;
    default: return false;
    }
}

// The pointer a text or byte set record carries in low and high; null for other records.
inline const void* arg_pointer(const ArgRecord* r, uint32_t tag)
{
    if (!r || r->type != tag)
        return nullptr;
    return reinterpret_cast<const void*>(uintptr_t((uint64_t(r->high) << 32) | r->low));
}

// A text record's bytes; null for a null text or another record.
inline const char* arg_text(const ArgRecord* r) { return static_cast<const char*>(arg_pointer(r, kTagText)); }

// True for the fixed type tags; any other tag is a data-type id (a control reference).
inline bool is_fixed_tag(uint32_t tag)
{
    switch (tag) {
    case kTagOmitted:
    case kTagInteger:
    case kTagText:
    case kTagByteSet:
    case kTagLogical:
    case kTagByte: return true;
    default: return false;
    }
}

}  // namespace qx
