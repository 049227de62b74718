// Array blocks: a u32 dimension count, one u32 size per dimension, then the elements.
// Elements are counted from 1 over the whole block (the product of the sizes); every
// indexed access is checked first, and a bad index raises run-time error 1 (above the
// count) or 4 (below 1) through slot 0. Whatever the runtime does after the error, the
// access itself is not made: a read yields a zero element and a write is dropped.
//
// Byte sets are one-dimensional arrays of bytes; text arrays hold one pointer per
// element, each element its own block.
#pragma once

#include "runtime/array_block.h"
#include "runtime/calls.h"

namespace qx::rt {

// The block layout and its rules are runtime/array_block.h's, shared with the runtime.

inline uint32_t ArrayDimensionCount(const void* block) { return qx::array_dimension_count(block); }

// Element count; a null block, no dimensions and a damaged header all mean an empty array.
inline uint32_t ArrayElementCount(const void* block) { return qx::array_element_count(block); }

using qx::array_elements;

// True when `index` may be used; otherwise raises the run-time error and returns false.
inline bool CheckArrayIndex(const void* block, int32_t index)
{
    if (index < 1) {
        RaiseRunTimeError(kErrorIndexTooSmall);
        return false;
    }
    if (uint32_t(index) > ArrayElementCount(block)) {
        RaiseRunTimeError(kErrorIndexTooLarge);
        return false;
    }
    return true;
}

template <typename T>
inline T ArrayElement(const void* block, int32_t index)
{
    T value{};
    if (CheckArrayIndex(block, index))
        __builtin_memcpy(&value, array_elements(block) + sizeof(T) * (uint32_t(index) - 1), sizeof(T));
    return value;
}

template <typename T>
inline void SetArrayElement(void* block, int32_t index, T value)
{
    if (CheckArrayIndex(block, index))
        __builtin_memcpy(array_elements(block) + sizeof(T) * (uint32_t(index) - 1), &value, sizeof(T));
}

inline char* TextElement(const void* array, int32_t index) { return ArrayElement<char*>(array, index); }
inline uint8_t ByteElement(const void* byte_set, int32_t index) { return ArrayElement<uint8_t>(byte_set, index); }

// A new one-dimensional block of `count` zeroed elements of `element_size` bytes.
inline void* NewArray(uint32_t count, uint32_t element_size)
{
    uint32_t bytes = uint32_t(qx::array_block_size(count, element_size));
    void* block = Allocate(bytes);
    if (!block)
        return nullptr;
    __builtin_memset(block, 0, bytes);
    qx::write_array_header(block, count);
    return block;
}

// Frees each element of a text array, then the block.
inline void FreeTextArray(void* array)
{
    if (!array)
        return;
    uint32_t count = ArrayElementCount(array);
    for (uint32_t i = 1; i <= count; ++i)
        Free(ArrayElement<char*>(array, int32_t(i)));
    Free(array);
}

}  // namespace qx::rt
