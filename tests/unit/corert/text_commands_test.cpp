#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "command_harness.h"
#include "corert/gbk.h"

namespace corert::test {
namespace {

using std::nullopt;
using std::optional;

Args& maybe(Args& args, optional<int32_t> value) { return value ? args.integer(*value) : args.omitted(); }

// "\x81\x41" and "\x81\x61" are two different double-byte characters whose trail bytes
// happen to be 'A' and 'a'; folding must leave them apart.
const std::string kTrailUpper = "\x81\x41";
const std::string kTrailLower = "\x81\x61";

using TextCommandTest = CommandTest;

struct FindCase {
    std::string text, sought;
    optional<int32_t> start;
    bool ignore_case;
    int32_t expected;
};

TEST_F(TextCommandTest, FindText)
{
    const FindCase cases[] = {
        {"abcabc", "c", nullopt, false, 3},
        {"abcabc", "c", 4, false, 6},
        {"abcabc", "c", 0, false, 3},
        {"abcabc", "c", -5, false, 3},
        {"abcabc", "c", 6, false, 6},
        {"abcabc", "c", 7, false, -1},
        {"abc", "x", nullopt, false, -1},
        {"abc", "", nullopt, false, -1},
        {"", "a", nullopt, false, -1},
        {"Set-Cookie: a=b", "set-cookie: ", 1, true, 1},
        {"Set-Cookie: a=b", "set-cookie: ", 1, false, -1},
        {"x" + kTrailUpper, kTrailLower, nullopt, true, -1},
        {kTrailUpper + "a", "A", nullopt, true, 3},
        {"\xcf\xd4\xca\xbe\xd2\xb3", "\xca\xbe", nullopt, true, 3},
    };
    for (const FindCase& c : cases) {
        Args args;
        args.text(c.text).text(c.sought);
        maybe(args, c.start).logical(c.ignore_case);
        EXPECT_EQ(call_integer(qx::kCmdFindText, args), c.expected)
            << "FindText(\"" << c.text << "\", \"" << c.sought << "\", " << c.start.value_or(-99) << ", "
            << c.ignore_case << ")";
    }
}

TEST_F(TextCommandTest, FindTextTakesANullTextAsEmpty)
{
    Args args;
    args.null_text().text("a").omitted().logical(false);
    EXPECT_EQ(call_integer(qx::kCmdFindText, args), -1);
}

struct SplitCase {
    std::string text, separator;
    optional<int32_t> limit;
    std::vector<std::string> expected;
};

TEST_F(TextCommandTest, SplitText)
{
    const SplitCase cases[] = {
        {"", ",", nullopt, {}},
        {"a", ",", nullopt, {"a"}},
        {"a,,b", ",", nullopt, {"a", "", "b"}},
        {",a,", ",", nullopt, {"", "a", ""}},
        {",", ",", nullopt, {"", ""}},
        {"a--b--", "--", nullopt, {"a", "b", ""}},
        {"a,b,c", ",", 2, {"a", "b"}},
        {"a,b,c", ",", 0, {"a", "b", "c"}},
        {"a,b,c", ",", 9, {"a", "b", "c"}},
        {"abc", "", nullopt, {"abc"}},
        {"1.0|\xb8\xfc\xd0\xc2", "|", nullopt, {"1.0", "\xb8\xfc\xd0\xc2"}},
    };
    for (const SplitCase& c : cases) {
        Args args;
        args.text(c.text).text(c.separator);
        maybe(args, c.limit);
        EXPECT_EQ(take_text_array(call(qx::kCmdSplitText, args)), c.expected)
            << "SplitText(\"" << c.text << "\", \"" << c.separator << "\")";
    }
}

struct ReplaceCase {
    std::string text, sought, replacement;
    optional<int32_t> start, count;
    bool ignore_case;
    std::string expected;
};

TEST_F(TextCommandTest, ReplaceAll)
{
    const ReplaceCase cases[] = {
        {"aXbXc", "", "-", nullopt, nullopt, false, "aXbXc"},
        {"aXbXc", "X", "--", nullopt, nullopt, false, "a--b--c"},
        {"aXbXc", "X", "", 3, nullopt, false, "aXbc"},
        {"aXbXc", "X", "-", 0, nullopt, false, "a-b-c"},
        {"aXbXc", "X", "-", 6, nullopt, false, "aXbXc"},
        {"aXbXc", "X", "-", nullopt, 1, false, "a-bXc"},
        {"aXbXc", "X", "-", nullopt, 0, false, "aXbXc"},
        {"aXbXc", "X", "-", 3, 1, false, "aXb-c"},
        {"HTTP://host/x", "http://", "", nullopt, nullopt, true, "host/x"},
        {"HTTP://host/x", "http://", "", nullopt, nullopt, false, "HTTP://host/x"},
        {"aa", "a", "aa", nullopt, nullopt, false, "aaaa"},
        {"aaa", "aa", "b", nullopt, nullopt, false, "ba"},
        {"", "a", "b", nullopt, nullopt, false, ""},
        {kTrailUpper + "A", "a", "b", nullopt, nullopt, true, kTrailUpper + "b"},
    };
    for (const ReplaceCase& c : cases) {
        Args args;
        args.text(c.text).text(c.sought).text(c.replacement);
        maybe(args, c.start);
        maybe(args, c.count).logical(c.ignore_case);
        EXPECT_EQ(call_text(qx::kCmdReplaceAll, args), c.expected)
            << "ReplaceAll(\"" << c.text << "\", \"" << c.sought << "\", \"" << c.replacement << "\")";
    }
}

struct SpanCase {
    uint32_t command;
    std::string text;
    int32_t a;
    optional<int32_t> b;
    std::string expected;
};

// Counts and positions outside the text clamp; none may read past it.
TEST_F(TextCommandTest, CutsClampToTheText)
{
    const SpanCase cases[] = {
        {qx::kCmdLeftText, "abc", 2, nullopt, "ab"},
        {qx::kCmdLeftText, "abc", 5, nullopt, "abc"},
        {qx::kCmdLeftText, "abc", -2, nullopt, ""},
        {qx::kCmdRightText, "abc", 2, nullopt, "bc"},
        {qx::kCmdRightText, "abc", 4, nullopt, "abc"},
        {qx::kCmdRightText, "abc", -1, nullopt, ""},
        {qx::kCmdMidText, "abcdef", 2, 3, "bcd"},
        {qx::kCmdMidText, "abcdef", 5, 10, "ef"},
        {qx::kCmdMidText, "abcdef", 0, 2, "ab"},
        {qx::kCmdMidText, "abcdef", 7, 1, ""},
        {qx::kCmdMidText, "abcdef", 2, -1, ""},
        {qx::kCmdMidText, "abcdef", 3, nullopt, "cdef"},
        {qx::kCmdReplaceSpan, "Set-Cookie: a=b", 1, 12, "a=b"},
        {qx::kCmdReplaceSpan, "abc", 2, 100, "a"},
        {qx::kCmdReplaceSpan, "abc", 10, 1, "abc"},
        {qx::kCmdReplaceSpan, "abc", -3, 1, "bc"},
    };
    for (const SpanCase& c : cases) {
        Args args;
        args.text(c.text).integer(c.a);
        if (c.b)
            args.integer(*c.b);
        EXPECT_EQ(call_text(c.command, args), c.expected)
            << std::hex << c.command << " on \"" << c.text << "\" " << std::dec << c.a << ", " << c.b.value_or(-99);
    }
    Args insert;
    insert.text("abc").integer(2).integer(1).text("XY");
    EXPECT_EQ(call_text(qx::kCmdReplaceSpan, insert), "aXYc");
}

TEST_F(TextCommandTest, SmallTextCommands)
{
    struct Case {
        uint32_t command;
        std::string text;
        std::string expected;
    } cases[] = {
        {qx::kCmdKernelCommand0x154, "WWW.Example.COM", "www.example.com"},
        {qx::kCmdKernelCommand0x154, kTrailUpper + "B" + kTrailUpper, kTrailUpper + "b" + kTrailUpper},
        {qx::kCmdKernelCommand0x154, "\xd5", "\xd5"},
        {qx::kCmdKernelCommand0x178, " \t a b \t ", "a b"},
        {qx::kCmdKernelCommand0x178, "   ", ""},
        {qx::kCmdToText, "copy", "copy"},
    };
    for (const Case& c : cases) {
        Args args;
        args.text(c.text);
        EXPECT_EQ(call_text(c.command, args), c.expected) << std::hex << c.command;
    }
}

TEST_F(TextCommandTest, CompareText)
{
    struct Case {
        std::string a, b;
        bool ignore_case;
        int32_t expected;
    } cases[] = {
        {"http://", "http://", false, 0},
        {"HTTP://", "http://", false, -1},
        {"HTTP://", "http://", true, 0},
        {"a", "ab", false, -1},
        {"\xb1", "A", false, 1},
        {"", "", false, 0},
        {kTrailUpper, kTrailLower, true, -1},
    };
    for (const Case& c : cases) {
        Args args;
        args.text(c.a).text(c.b).logical(c.ignore_case);
        EXPECT_EQ(call_integer(qx::kCmdCompareText, args), c.expected) << c.a << " vs " << c.b;
    }
}

TEST_F(TextCommandTest, CharTextAndBlanks)
{
    Args zero, letter, integer_code;
    zero.byte(0);
    letter.byte('A');
    integer_code.integer(0x141);
    EXPECT_EQ(call_text(qx::kCmdCharText, zero), "");
    EXPECT_EQ(call_text(qx::kCmdCharText, letter), "A");
    EXPECT_EQ(call_text(qx::kCmdCharText, integer_code), "A");

    Args three, negative;
    three.integer(3);
    negative.integer(-1);
    EXPECT_EQ(call_text(qx::kCmdBlankText, three), "   ");
    EXPECT_EQ(call_text(qx::kCmdBlankText, negative), "");
    EXPECT_EQ(take_byte_set(call(qx::kCmdBlankBytes, three)), std::string(3, '\0'));
    EXPECT_EQ(call(qx::kCmdBlankBytes, negative), 0u);
}

TEST_F(TextCommandTest, ToTextOfByteSetKeepsEveryByte)
{
    Args args;
    args.byte_set(std::string("a\0b", 3));
    auto text = reinterpret_cast<char*>(call(qx::kCmdToText, args));
    ASSERT_TRUE(memory_owns(text));
    EXPECT_EQ(std::memcmp(text, "a\0b\0", 4), 0);
    memory_free(text);

    Args null_set, number, negative, omitted;
    null_set.null_byte_set();
    number.integer(1024);
    negative.integer(-42);
    omitted.omitted();
    EXPECT_EQ(call_text(qx::kCmdToText, null_set), "");
    EXPECT_EQ(call_text(qx::kCmdToText, number), "1024");
    EXPECT_EQ(call_text(qx::kCmdToText, negative), "-42");
    EXPECT_EQ(call_text(qx::kCmdToText, omitted), "");
    EXPECT_EQ(format_number(3.0), "3");
    EXPECT_EQ(format_number(0.1), "0.1");
    EXPECT_EQ(format_number(-2.5), "-2.5");
}

TEST_F(TextCommandTest, ToNumber)
{
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, double> cases[] = {
        {"80", 80},
        {"  -3.5e2x", -350},
        {"\t+.5", 0.5},
        {"7.", 7},
        {"1e", 1},
        {"2e+3", 2000},
        {"abc", 0},
        {"", 0},
        {".", 0},
        {"-", 0},
        {"0x10", 0},
        {"1e999", inf},
        {"-1e999", -inf},
        {"1e-999", 0},
        {"12:34", 12},
        {"\xb1"
         "5",
         0},
    };
    for (const auto& [text, expected] : cases) {
        Args args;
        args.text(text);
        EXPECT_EQ(std::bit_cast<double>(call(qx::kCmdToNumber, args)), expected) << "\"" << text << "\"";
    }
    Args integer;
    integer.integer(-7);
    EXPECT_EQ(std::bit_cast<double>(call(qx::kCmdToNumber, integer)), -7.0);
}

TEST_F(TextCommandTest, ByteSetCommands)
{
    Args length, null_length, left, left_all, left_none, to_set, to_empty;
    length.byte_set(std::string("ab\0d", 4));
    null_length.null_byte_set();
    left.byte_set("abcd").integer(2);
    left_all.byte_set("abcd").integer(99);
    left_none.byte_set("abcd").integer(-1);
    to_set.text("ab");
    to_empty.text("");
    EXPECT_EQ(call_integer(qx::kCmdByteSetLength, length), 4);
    EXPECT_EQ(call_integer(qx::kCmdByteSetLength, null_length), 0);
    EXPECT_EQ(take_byte_set(call(qx::kCmdLeftBytes, left)), "ab");
    EXPECT_EQ(take_byte_set(call(qx::kCmdLeftBytes, left_all)), "abcd");
    EXPECT_EQ(call(qx::kCmdLeftBytes, left_none), 0u);
    EXPECT_EQ(take_byte_set(call(qx::kCmdToByteSet, to_set)), "ab");
    EXPECT_EQ(call(qx::kCmdToByteSet, to_empty), 0u);
}

TEST(GbkText, ConversionsNeverFail)
{
    const std::string shown = "\xcf\xd4\xca\xbe\xd2\xb3";  // 显示页
    EXPECT_EQ(gbk_to_utf8(shown), "显示页");
    EXPECT_EQ(utf8_to_gbk("显示页"), shown);
    EXPECT_EQ(gbk_to_utf8("a\xff"
                          "b\xd5"),
              "a\uFFFD"
              "b\uFFFD");
    EXPECT_EQ(gbk_to_utf8("\x80"), "€");
    EXPECT_EQ(utf8_to_gbk("a\xc3"), "a?");
    EXPECT_EQ(gbk_to_utf8(utf8_to_gbk("😀")), "😀");
}

TEST(GbkText, PathsAreDecodedBeforeBackslashesTurn)
{
    // 0xD5 0x5C is one character (誠) whose trail byte is a backslash.
    EXPECT_EQ(windows_path_to_posix("/dir\\\xd5\x5c\\a.htm"), "/dir/誠/a.htm");
    EXPECT_EQ(windows_path_to_posix("/dir\\\xcf\xd4\xca\xbe\xd2\xb3.htm"), "/dir/显示页.htm");
}

}  // namespace
}  // namespace corert::test
