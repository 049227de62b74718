// The program's text routines. TextBetween and ReplacePairs are built on the runtime's
// text commands and keep each intermediate text only until the next one exists; the
// others stand alone.
#include "text/text_routines.h"

#include "runtime/commands.h"
#include "runtime/owned.h"

using namespace qx::rt;

namespace {

// The const empty text stands for "no result"; receivers free it like any result.
char* const_empty_result() { return const_cast<char*>(const_empty_text()); }

}  // namespace

extern "C" {

int32_t TextByteCount(const char* text)
{
    if (!text)
        return 0;
    const char* end = text;
    while (*end)
        ++end;
    return int32_t(end - text);
}

char* JoinTexts(int32_t count, const char* const* texts)
{
    uint32_t bytes = 1;
    for (int32_t i = 0; i < count; ++i)
        bytes += uint32_t(TextByteCount(texts[i]));

    char* joined = static_cast<char*>(Allocate(bytes));
    if (!joined)
        return nullptr;
    char* out = joined;
    for (int32_t i = 0; i < count; ++i) {
        for (const char* in = texts[i]; in && *in; ++in)
            *out++ = *in;
    }
    *out = 0;
    return joined;
}

char* TextBetween(const char* text, const char* start, const char* end)
{
    int32_t p = FindText(text, start, omitted, false);
    if (p == -1)
        return const_empty_result();

    // Every byte after the whole start marker: the end marker may not overlap it.
    int32_t after = int32_t(TruncToInteger(double(TextLength(text)) - p - TextLength(start) + 1));
    Text rest(RightText(text, after));
    int32_t q = FindText(rest.get(), end, omitted, false);
    if (q == -1)
        return const_empty_result();
    // LeftText's block is already new and ours: it is the result.
    return LeftText(rest.get(), q - 1);
}

char* ReplacePairs(const char* source, Optional<int32_t> count, Optional<int32_t> start, Optional<bool> flag,
                   const char* sought1, const char* replacement1, Optional<const char*> sought2,
                   Optional<const char*> replacement2, Optional<const char*> sought3,
                   Optional<const char*> replacement3, Optional<const char*> sought4,
                   Optional<const char*> replacement4, Optional<const char*> sought5,
                   Optional<const char*> replacement5)
{
    int32_t from = start.present ? start.value : 0;
    if (from == 0)
        from = 1;
    bool ignore_case = flag.present && flag.value;

    // A left-out text is null, which every command receives as the empty text.
    const char* sought[] = {sought2.value, sought3.value, sought4.value, sought5.value};
    const char* replacement[] = {replacement2.value, replacement3.value, replacement4.value, replacement5.value};

    Text result(ReplaceAll(source, sought1, replacement1, from, count, ignore_case));
    for (int i = 0; i < 4; ++i)
        result = Text(ReplaceAll(result.get(), sought[i], replacement[i], from, count, ignore_case));
    return result.release();
}

int32_t CompareTextBytes(const char* a, const char* b)
{
    if (!a)
        return !b || !*b ? 0 : -1;
    if (!b)
        return *a ? 1 : 0;
    auto x = reinterpret_cast<const unsigned char*>(a);
    auto y = reinterpret_cast<const unsigned char*>(b);
    while (*x && *x == *y) {
        ++x;
        ++y;
    }
    return *x < *y ? -1 : *x > *y ? 1 : 0;
}

// cvttsd2si always truncates: the rounding control in MXCSR governs cvtsd2si only, so
// nothing has to be switched and restored. Written out rather than left to a cast,
// whose result outside the int64 range is undefined; the instruction gives INT64_MIN.
int64_t TruncToInteger(double x)
{
    int64_t result;
    asm("cvttsd2si %1, %0" : "=r"(result) : "x"(x));
    return result;
}

}  // extern "C"
