// The text routines, host-built, against corert's real commands and memory service.
// Every test also fails when a block leaked (HostedCorertTest).
#include "corert/memory.h"
#include "tests/support/hosted_corert.h"
#include "text/text_routines.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <xmmintrin.h>

using nimbra::testing::HostedCorertTest;
using qx::rt::omitted;

extern "C" const uint8_t qx_hosted_const_start[];

namespace {

const char* const_empty_text() { return reinterpret_cast<const char*>(qx_hosted_const_start + 0x36); }

class TextRoutines : public HostedCorertTest {};

TEST_F(TextRoutines, JoinTextsAllocatesOnceAndAlwaysGivesANewText)
{
    struct Case {
        std::vector<const char*> texts;
        std::string joined;
    };
    const Case cases[] = {
        {{nullptr, nullptr}, ""},
        {{"", ""}, ""},
        {{"ab", nullptr, "c"}, "abc"},
        {{"\xb3\xc7\xca\xd0", "-", "\xc7\xf8", "!"}, "\xb3\xc7\xca\xd0-\xc7\xf8!"},
        {{"<", "a", "", "b", nullptr, ">"}, "<ab>"},
        {{"only"}, "only"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.joined);
        uint64_t allocations = corert::memory_counters().allocations;
        char* joined = JoinTexts(int32_t(c.texts.size()), c.texts.data());
        EXPECT_EQ(corert::memory_counters().allocations - allocations, 1u);
        ASSERT_NE(joined, nullptr);
        EXPECT_TRUE(corert::memory_owns(joined));
        EXPECT_EQ(take_text(joined), c.joined);
    }
    EXPECT_TRUE(runtime.kernel_commands.empty());
    // The fixed arities the program uses reach the same routine.
    EXPECT_EQ(take_text(JoinTexts("a", "b")), "ab");
    EXPECT_EQ(take_text(JoinTexts("a", "b", "c", "d", "e", "f")), "abcdef");
}

TEST_F(TextRoutines, TextBetweenCutsAfterTheWholeFirstStartMarker)
{
    struct Case {
        const char* text;
        const char* start;
        const char* end;
        const char* between;
    };
    const Case cases[] = {
        {"xx[a]yy", "[", "]", "a"},  {"key=101280601;rest", "key=", ";", "101280601"},
        {"a-b-c", "-", "-", "b"},     // one marker for both sides
        {"ab[]cd", "[", "]", ""},     // end marker right after the start marker
        {"]x]y[z]w", "[", "]", "z"},  // end markers before the start do not count
        {"[a][b]", "[", "]", "a"},    // first occurrences only
        {"[[a]]", "[", "]", "[a"},   {"<td>\xcc\xec\xc6\xf8</td>", "<td>", "</td>", "\xcc\xec\xc6\xf8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + c.start + " " + c.end);
        char* between = TextBetween(c.text, c.start, c.end);
        EXPECT_TRUE(corert::memory_owns(between));
        EXPECT_EQ(take_text(between), c.between);
    }
}

TEST_F(TextRoutines, TextBetweenGivesTheConstEmptyTextWhenAMarkerIsMissing)
{
    struct Case {
        const char* text;
        const char* start;
        const char* end;
    };
    const Case cases[] = {
        {"abc[", "[", "]"},    // start marker at the very end
        {"abc", "[", "]"},     // no start marker
        {"x]y[z", "[", "]"},   // end marker only before the start marker
        {"a[b", "[", "]"},     // no end marker
        {"abaX", "ab", "ba"},  // the end marker may not overlap the start marker
        {"Ab[x]", "a", "]"},   // case counts
        {nullptr, "[", "]"},   // absent text
        {"", "[", "]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        char* between = TextBetween(c.text, c.start, c.end);
        EXPECT_EQ(between, const_empty_text());
        qx::rt::Free(between);  // as receivers do; the free service leaves it alone
    }
}

struct ReplaceCase {
    const char* name;
    const char* source;
    qx::rt::Optional<int32_t> count;
    qx::rt::Optional<int32_t> start;
    qx::rt::Optional<bool> flag;
    std::vector<const char*> pairs;  // sought, replacement, ...
    const char* result;
};

char* replace(const ReplaceCase& c)
{
    auto at = [&](size_t i) -> qx::rt::Optional<const char*> {
        if (i < c.pairs.size())
            return c.pairs[i];
        return omitted;
    };
    return ReplacePairs(c.source, c.count, c.start, c.flag, c.pairs.at(0), c.pairs.at(1), at(2), at(3), at(4), at(5),
                        at(6), at(7), at(8), at(9));
}

TEST_F(TextRoutines, ReplacePairsRunsEachPairOverTheResultOfThePairBefore)
{
    const ReplaceCase cases[] = {
        {"chained pairs", "a-b@c-", omitted, omitted, omitted, {"-", "@", "@", "#"}, "a#b#c#"},
        {"later pair sees inserted text", "x", omitted, omitted, omitted, {"x", "yz", "z", "!"}, "y!"},
        {"five pairs", "abcde", omitted, omitted, omitted, {"a", "1", "b", "2", "c", "3", "d", "4", "e", "5"}, "12345"},
        {"left-out pairs change nothing", "a-b", omitted, omitted, omitted, {"-", "+"}, "a+b"},
        {"start 0", "-a-b-", omitted, 0, omitted, {"-", "@"}, "@a@b@"},
        {"start 1", "-a-b-", omitted, 1, omitted, {"-", "@"}, "@a@b@"},
        {"start 3", "-a-b-", omitted, 3, omitted, {"-", "@"}, "-a@b@"},
        {"count absent replaces all", "----", omitted, omitted, omitted, {"-", "@"}, "@@@@"},
        {"count 2", "----", 2, omitted, omitted, {"-", "@"}, "@@--"},
        {"count applies to each pair", "@-@-", 1, omitted, omitted, {"-", "@", "@", "#"}, "#@@-"},
        {"count and start", "----", 1, 2, omitted, {"-", "@"}, "-@--"},
        {"flag left out: case counts", "ABC-abc", omitted, omitted, omitted, {"abc", "x"}, "ABC-x"},
        {"flag true ignores case", "ABC-abc", omitted, omitted, true, {"abc", "x"}, "x-x"},
        {"absent source", nullptr, omitted, omitted, omitted, {"a", "b"}, ""},
        {"GBK replacement",
         "src=\"/img/a.gif\"",
         omitted,
         omitted,
         false,
         {"src=\"/", "src=\"http://127.0.0.1/", "gif", "\xcd\xbc"},
         "src=\"http://127.0.0.1/img/a.\xcd\xbc\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char* result = replace(c);
        EXPECT_TRUE(corert::memory_owns(result));
        EXPECT_EQ(take_text(result), c.result);
    }
}

TEST_F(TextRoutines, CompareTextBytesOrdersUnsignedBytesWithoutFolding)
{
    struct Case {
        const char* a;
        const char* b;
        int32_t order;
    };
    const Case cases[] = {
        {nullptr, nullptr, 0},      {nullptr, "", 0},        {"", nullptr, 0},
        {nullptr, "a", -1},         {"a", nullptr, 1},       {"", "", 0},
        {"same", "same", 0},        {"abc", "abcd", -1},     {"", "a", -1},
        {"\xb1", "\x41", 1},        {"x\xb1y", "x\x41z", 1}, {"A", "a", -1},
        {"Version", "version", -1}, {"1.0", "1.1", -1},      {"\xff", "\x01", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)"));
        EXPECT_EQ(CompareTextBytes(c.a, c.b), c.order);
        EXPECT_EQ(CompareTextBytes(c.b, c.a), -c.order);
    }
}

TEST_F(TextRoutines, TextByteCountCountsBytes)
{
    EXPECT_EQ(TextByteCount(nullptr), 0);
    EXPECT_EQ(TextByteCount(""), 0);
    EXPECT_EQ(TextByteCount("abc"), 3);
    EXPECT_EQ(TextByteCount("\xcc\xec\xc6\xf8"), 4);  // two double-byte characters
    EXPECT_EQ(TextByteCount("ab\0cd"), 2);
}

TEST_F(TextRoutines, TruncToIntegerTruncatesTowardZeroInEveryRoundingModeAndKeepsIt)
{
    const std::pair<double, int64_t> cases[] = {
        {3.0, 3},
        {2.9, 2},
        {-2.9, -2},
        {-0.5, 0},
        {0.5, 0},
        {2.5, 2},
        {-3.5, -3},
        {-0.0, 0},
        {1e15 + 0.5, 1000000000000000},
        {4294967296.75, 4294967296},
        {1e300, INT64_MIN},
        {-1e300, INT64_MIN},
        {std::nan(""), INT64_MIN},
    };
    const std::pair<int, const char*> modes[] = {
        {FE_TONEAREST, "to nearest"}, {FE_DOWNWARD, "downward"}, {FE_UPWARD, "upward"}, {FE_TOWARDZERO, "toward zero"}};
    const int saved = std::fegetround();
    for (auto [mode, name] : modes) {
        SCOPED_TRACE(name);
        ASSERT_EQ(std::fesetround(mode), 0);
        const unsigned mxcsr = _mm_getcsr();
        for (auto [value, truncated] : cases) {
            EXPECT_EQ(TruncToInteger(value), truncated) << value;
            EXPECT_EQ(std::fegetround(), mode);
            EXPECT_EQ(_mm_getcsr() & 0x6000, mxcsr & 0x6000);
        }
    }
    std::fesetround(saved);
}

}  // namespace
