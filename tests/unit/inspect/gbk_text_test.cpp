#include "image/gbk_text.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct Case {
    const char* what;
    std::string in;
    std::string out;
};

TEST(GbkText, ConvertsValidTextAndEscapesEverythingElse)
{
    // 广 = b9 e3, 东 = b6 ab in GBK.
    const Case cases[] = {
        {"empty", "", ""},
        {"ascii", "abc.htm", "abc.htm"},
        {"double-byte", "\xb9\xe3\xb6\xab", "广东"},
        {"mixed", "V1.0 \xb9\xe3!", "V1.0 广!"},
        {"byte that starts nothing", "\xb9\xe3\xff\xb6\xab", "广\\xff东"},
        {"lead byte cut off at the end", "ab\xb9", "ab\\xb9"},
        {"lead byte before an ASCII space", "\x81 x", "\\x81 x"},
        {"NUL inside a counted text", "a\0b"s, "a\0b"s},
        {"only bad bytes", "\xff\xff", "\\xff\\xff"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qx::gbk_to_utf8(c.in), c.out) << c.what;
}

TEST(GbkText, ShowsControlCharactersOnOneLine)
{
    const Case cases[] = {
        {"CR LF", "a\r\nb", "a\\r\\nb"},
        {"tab, other controls and DEL", "\t\x01\x1f\x7f", "\\t\\x01\\x1f\\x7f"},
        {"NUL", "x\0y"s, "x\\x00y"},
        {"UTF-8 passes", "天气", "天气"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qx::show_controls(c.in), c.out) << c.what;
    EXPECT_EQ(qx::printable_gbk("\xb9\xe3\r\n\xff"), "广\\r\\n\\xff");
}

}  // namespace
