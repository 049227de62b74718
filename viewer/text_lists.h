// Growing and shrinking a text array held in a variable, as the settings readers do.
//
// The array lives in the caller's variable (by reference): every change in its size
// is announced to the runtime first (slot 12, sub-function 2, kind 4), then the block is
// resized, so the variable always holds the current block. A null variable, or one whose
// block has no dimensions, is an empty list.
#pragma once

#include "runtime/arrays.h"
#include "runtime/commands.h"

namespace nimbra {

// A new empty text list: one dimension of size 0, like the const empty array literal.
inline void* NewTextList() { return qx::rt::NewArray(0, sizeof(char*)); }

// Appends `text` (which the list then owns) after the elements the list holds.
inline void AppendToTextList(void** list, char* text)
{
    using namespace qx::rt;
    uint32_t count = ArrayElementCount(*list);
    RegisterArrayVariable(list);
    void* grown = ArrayDimensionCount(*list) == 1
                      ? Reallocate(*list, uint32_t(qx::array_block_size(count + 1, sizeof(char*))))
                      : nullptr;
    if (!grown) {
        // Not a plain one-dimensional list: start one holding the same elements.
        grown = NewArray(count + 1, sizeof(char*));
        if (!grown) {
            Free(text);
            return;
        }
        if (*list)
            __builtin_memcpy(array_elements(grown), array_elements(*list), count * sizeof(char*));
        Free(*list);
    }
    qx::write_array_header(grown, count + 1);
    *list = grown;
    SetArrayElement<char*>(grown, int32_t(count + 1), text);
}

// Frees element `index` (1-based, checked) and moves the later ones up one place.
inline void RemoveFromTextList(void** list, int32_t index)
{
    using namespace qx::rt;
    if (!CheckArrayIndex(*list, index))
        return;
    uint32_t count = ArrayElementCount(*list);
    Free(TextElement(*list, index));
    RegisterArrayVariable(list);
    uint8_t* elements = array_elements(*list);
    __builtin_memmove(elements + (uint32_t(index) - 1) * sizeof(char*), elements + uint32_t(index) * sizeof(char*),
                      (count - uint32_t(index)) * sizeof(char*));
    if (ArrayDimensionCount(*list) == 1) {
        qx::write_array_header(*list, count - 1);
        return;
    }
    // Several dimensions: what is left becomes one dimension (the header is no longer).
    void* flat = NewArray(count - 1, sizeof(char*));
    if (flat)
        __builtin_memcpy(array_elements(flat), elements, (count - 1) * sizeof(char*));
    Free(*list);
    *list = flat;
}

}  // namespace nimbra
