// The program's own text routines, shared by the version notice, the page builders,
// the settings code and web access.
//
// Texts are NUL-terminated GBK bytes and a null text is the empty text. No argument is
// ever changed. Every text returned is a new block of the allocation service that the
// receiver frees, except that TextBetween hands back the const section's empty text
// itself when a marker is missing (the free service ignores it like any const pointer).
#pragma once

#include "runtime/calls.h"

#include <stdint.h>

extern "C" {

// The concatenation of `count` texts, measured first and allocated once; a new block
// even when every text is empty.
char* JoinTexts(int32_t count, const char* const* texts);

// The bytes between the first `start` and the first `end` after it (case counts).
char* TextBetween(const char* text, const char* start, const char* end);

// Up to five ReplaceAll passes, each over the result of the one before. A start of 0
// (or none) is 1; the count and the flag go to every pass as given (flag false when
// left out); left-out pairs are empty texts, which change nothing.
char* ReplacePairs(const char* source, qx::rt::Optional<int32_t> count, qx::rt::Optional<int32_t> start,
                   qx::rt::Optional<bool> flag, const char* sought1, const char* replacement1,
                   qx::rt::Optional<const char*> sought2 = qx::rt::omitted,
                   qx::rt::Optional<const char*> replacement2 = qx::rt::omitted,
                   qx::rt::Optional<const char*> sought3 = qx::rt::omitted,
                   qx::rt::Optional<const char*> replacement3 = qx::rt::omitted,
                   qx::rt::Optional<const char*> sought4 = qx::rt::omitted,
                   qx::rt::Optional<const char*> replacement4 = qx::rt::omitted,
                   qx::rt::Optional<const char*> sought5 = qx::rt::omitted,
                   qx::rt::Optional<const char*> replacement5 = qx::rt::omitted);

// -1, 0 or +1 by the first differing byte, unsigned; no case folding, no code page.
int32_t CompareTextBytes(const char* a, const char* b);

// Bytes before the NUL; 0 for a null text.
int32_t TextByteCount(const char* text);

// `x` truncated toward zero, whatever rounding mode is in force (which stays as it was).
// Values outside the 64-bit range and NaN give INT64_MIN.
int64_t TruncToInteger(double x);

}  // extern "C"

// The fixed arities the program joins, passed on as a count and an array on the stack.
inline char* JoinTexts(const char* a)
{
    const char* texts[] = {a};
    return JoinTexts(1, texts);
}
inline char* JoinTexts(const char* a, const char* b)
{
    const char* texts[] = {a, b};
    return JoinTexts(2, texts);
}
inline char* JoinTexts(const char* a, const char* b, const char* c)
{
    const char* texts[] = {a, b, c};
    return JoinTexts(3, texts);
}
inline char* JoinTexts(const char* a, const char* b, const char* c, const char* d)
{
    const char* texts[] = {a, b, c, d};
    return JoinTexts(4, texts);
}
inline char* JoinTexts(const char* a, const char* b, const char* c, const char* d, const char* e, const char* f)
{
    const char* texts[] = {a, b, c, d, e, f};
    return JoinTexts(6, texts);
}
