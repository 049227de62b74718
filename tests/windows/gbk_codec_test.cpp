// The Windows build's own GBK converter against bytes the Linux one gives (its tables come
// from there): the program's texts, a path with a 0x5C trail byte, and the policies.
#include "platform/gbk_codec.h"
#include "platform/windows/wide_text.h"

#include <gtest/gtest.h>

using nimbra::gbk::Charset;
using nimbra::gbk::OnInvalid;

namespace {

struct Case {
    const char* gbk;
    const char* utf8;
};

// Bytes as GBK spells them; u8 literals for the characters.
const Case kTexts[] = {
    {"\xB9\xE3\xB6\xAB", reinterpret_cast<const char*>(u8"广东")},
    {"\xD4\xBD\xD0\xE3\xC7\xF8", reinterpret_cast<const char*>(u8"越秀区")},
    {"\xCF\xD4\xCA\xBE\xD2\xB3.htm", reinterpret_cast<const char*>(u8"显示页.htm")},
    {"\xB6\xE0\x5C", reinterpret_cast<const char*>(u8"多\\")},  // 0x5C stands after a whole character
    {"\x80", reinterpret_cast<const char*>(u8"€")},
    {"C:\\Program Files\\Nimbra", "C:\\Program Files\\Nimbra"},
};

TEST(GbkCodec, ProgramTextsRoundTrip)
{
    for (const Case& c : kTexts) {
        EXPECT_EQ(nimbra::gbk::to_utf8(c.gbk, Charset::gbk, OnInvalid::refuse), std::optional<std::string>(c.utf8))
            << c.utf8;
        // The euro sign is written as GBK's double-byte one; only reading takes 0x80.
        if (std::string(c.gbk) != "\x80") {
            EXPECT_EQ(nimbra::gbk::from_utf8(c.utf8, Charset::gbk, OnInvalid::refuse),
                      std::optional<std::string>(c.gbk))
                << c.utf8;
        }
    }
}

TEST(GbkCodec, TrailByte5CIsPartOfItsCharacter)
{
    // 0x95 0x5C is one character (U+661E) whose trail byte is '\'.
    auto decoded = nimbra::gbk::to_utf8("\x95\x5C", Charset::gbk, OnInvalid::refuse);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, "\xE6\x98\x9E");
}

TEST(GbkCodec, PoliciesForBadBytes)
{
    EXPECT_EQ(nimbra::gbk::to_utf8("a\xFF", Charset::gbk, OnInvalid::refuse), std::nullopt);
    EXPECT_EQ(*nimbra::gbk::to_utf8("a\xFF", Charset::gbk, OnInvalid::replace), "a\xEF\xBF\xBD");
    EXPECT_EQ(*nimbra::gbk::to_utf8("a\xFF", Charset::gbk, OnInvalid::escape), "a\\xff");
    // A lead byte cut off by the end.
    EXPECT_EQ(*nimbra::gbk::to_utf8("\xB9", Charset::gbk, OnInvalid::escape), "\\xb9");
    // A character GBK has not: '?' for each of its bytes.
    EXPECT_EQ(*nimbra::gbk::from_utf8("\xF0\x9F\x98\x80", Charset::gbk, OnInvalid::replace), "????");
    EXPECT_EQ(nimbra::gbk::from_utf8("\xC3", Charset::gbk, OnInvalid::refuse), std::nullopt);
}

TEST(GbkCodec, Gb18030FourByteSequences)
{
    // U+00A5 (BMP, four bytes) and U+1F600 (above the BMP).
    EXPECT_EQ(*nimbra::gbk::from_utf8("\xC2\xA5", Charset::gb18030, OnInvalid::refuse), "\x81\x30\x84\x36");
    EXPECT_EQ(*nimbra::gbk::from_utf8("\xF0\x9F\x98\x80", Charset::gb18030, OnInvalid::refuse), "\x94\x39\xFC\x36");
    EXPECT_EQ(*nimbra::gbk::to_utf8("\x94\x39\xFC\x36", Charset::gb18030, OnInvalid::refuse), "\xF0\x9F\x98\x80");
}

TEST(WideText, GbkReachesTheSystemAsUtf16)
{
    EXPECT_EQ(nimbra::platform::gbk_to_wide("\xB9\xE3\xD6\xDD"), L"\u5E7F\u5DDE");  // 广州
    EXPECT_EQ(nimbra::platform::wide_to_gbk(L"\u5E7F\u5DDE"), "\xB9\xE3\xD6\xDD");
}

}  // namespace
