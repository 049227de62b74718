// Array blocks: a u32 dimension count, one u32 size per dimension, then the elements.
// Elements are counted from 1 over the whole block (the product of the sizes); every
// indexed access is checked first, and a bad index raises run-time error 1 (above the
// count) or 4 (below 1) through slot 0. Whatever the runtime does after the error, the
// access itself is not made: a read yields a zero element and a write is dropped.
//
// Byte sets are one-dimensional arrays of bytes; text arrays hold one pointer per
// element, each element its own block.
#pragma once

#include "runtime/calls.h"

namespace qx::rt {

inline uint32_t load_word(const uint8_t* p)
{
    uint32_t v;
    __builtin_memcpy(&v, p, 4);
    return v;
}
inline void store_word(uint8_t* p, uint32_t v) { __builtin_memcpy(p, &v, 4); }

inline uint32_t ArrayDimensionCount(const void* block)
{
    return block ? load_word(static_cast<const uint8_t*>(block)) : 0;
}

// Element count; a null block and a dimension count of 0 both mean an empty array.
inline uint32_t ArrayElementCount(const void* block)
{
    uint32_t dimensions = ArrayDimensionCount(block);
    if (dimensions == 0)
        return 0;
    const uint8_t* sizes = static_cast<const uint8_t*>(block) + 4;
    uint64_t count = 1;
    for (uint32_t d = 0; d < dimensions; ++d) {
        count *= load_word(sizes + 4 * d);
        if (count > 0xffffffffu)
            count = 0xffffffffu;
    }
    return uint32_t(count);
}

inline uint8_t* array_elements(void* block)
{
    return static_cast<uint8_t*>(block) + 4 + 4 * ArrayDimensionCount(block);
}
inline const uint8_t* array_elements(const void* block)
{
    return static_cast<const uint8_t*>(block) + 4 + 4 * ArrayDimensionCount(block);
}

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
    uint32_t bytes = 8 + count * element_size;
    uint8_t* block = static_cast<uint8_t*>(Allocate(bytes));
    if (!block)
        return nullptr;
    __builtin_memset(block, 0, bytes);
    store_word(block, 1);
    store_word(block + 4, count);
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
