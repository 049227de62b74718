// The array block, as image code, the runtime and the support libraries all read and
// write it: a u32 dimension count, one u32 size per dimension, then the elements, with
// as many elements as the product of the sizes. Byte sets and text arrays are blocks of
// one dimension (bytes; one pointer per text).
//
// Blocks come from image code too, so a header is read as untrusted: more than
// kMaxArrayDimensions dimensions, or more than 2^32 - 1 elements, is a damaged block with
// no elements at all. Plain integers and builtins only: freestanding image code uses
// this header as well.
#pragma once

#include <stdint.h>

namespace qx {

inline constexpr uint32_t kMaxArrayDimensions = 8;

inline uint32_t array_word(const void* at)
{
    uint32_t value;
    __builtin_memcpy(&value, at, 4);
    return value;
}

inline uint32_t array_dimension_count(const void* block) { return block ? array_word(block) : 0; }

// The element count; 0 for a null block, no dimensions, or a damaged header.
inline uint32_t array_element_count(const void* block)
{
    uint32_t dimensions = array_dimension_count(block);
    if (dimensions == 0 || dimensions > kMaxArrayDimensions)
        return 0;
    const uint8_t* sizes = static_cast<const uint8_t*>(block) + 4;
    uint64_t count = 1;
    for (uint32_t d = 0; d < dimensions; ++d) {
        count *= array_word(sizes + 4 * d);
        if (count > 0xffffffffu)
            return 0;
    }
    return uint32_t(count);
}

// The first element. Only meaningful where array_element_count is not 0.
inline uint8_t* array_elements(void* block)
{
    return static_cast<uint8_t*>(block) + 4 + 4 * array_dimension_count(block);
}
inline const uint8_t* array_elements(const void* block)
{
    return static_cast<const uint8_t*>(block) + 4 + 4 * array_dimension_count(block);
}

// Bytes of a one-dimensional block of `count` elements of `element_size` bytes.
inline uint64_t array_block_size(uint32_t count, uint32_t element_size) { return 8 + uint64_t(count) * element_size; }

// Writes the header of a one-dimensional block of `count` elements.
inline void write_array_header(void* block, uint32_t count)
{
    uint32_t header[2] = {1, count};
    __builtin_memcpy(block, header, sizeof header);
}

}  // namespace qx
