#include "platform/gbk_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace nimbra::gbk;

namespace {

// 广 = b9 e3 in GBK; 😀 = 94 39 fc 36 in GB18030, which GBK cannot hold.
constexpr const char* kEmoji = "\xF0\x9F\x98\x80";
constexpr const char* kEmojiGb18030 = "\x94\x39\xfc\x36";

struct Case {
    const char* what;
    std::string in;
    Charset charset;
    OnInvalid policy;
    std::optional<std::string> out;
};

// What the callers' own tests do not show: refusal, the two code pages telling apart
// what GBK lacks, and invalid input on the UTF-8 side under each policy.
TEST(GbkCodec, DecodesUnderEachPolicy)
{
    const Case cases[] = {
        {"valid text", "a\xb9\xe3", Charset::gbk, OnInvalid::refuse, "a广"},
        {"bad byte refused", "a\xff", Charset::gbk, OnInvalid::refuse, std::nullopt},
        {"cut-off lead refused", "a\xb9", Charset::gbk, OnInvalid::refuse, std::nullopt},
        {"euro sign is GBK", "\x80", Charset::gbk, OnInvalid::refuse, "€"},
        {"euro sign in GB18030 too", "\x80", Charset::gb18030, OnInvalid::refuse, "€"},
        {"four bytes are not GBK", kEmojiGb18030, Charset::gbk, OnInvalid::refuse, std::nullopt},
        {"four bytes escaped bytewise", kEmojiGb18030, Charset::gbk, OnInvalid::escape, "\\x949\\xfc6"},
        {"four bytes are GB18030", kEmojiGb18030, Charset::gb18030, OnInvalid::refuse, kEmoji},
        {"cut-off four bytes replaced bytewise", "\x94\x39\xfc", Charset::gb18030, OnInvalid::replace,
         "\uFFFD"
         "9\uFFFD"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(to_utf8(c.in, c.charset, c.policy), c.out) << c.what;
}

TEST(GbkCodec, EncodesUnderEachPolicy)
{
    const Case cases[] = {
        {"valid text", "a广", Charset::gbk, OnInvalid::refuse, "a\xb9\xe3"},
        {"euro sign", "€", Charset::gbk, OnInvalid::refuse, "\x80"},
        {"not UTF-8 refused", "a\xc3", Charset::gb18030, OnInvalid::refuse, std::nullopt},
        {"not UTF-8 escaped", "a\xc3(", Charset::gb18030, OnInvalid::escape, "a\\xc3("},
        {"GBK cannot hold it", kEmoji, Charset::gbk, OnInvalid::refuse, std::nullopt},
        {"GBK marks each byte of it", kEmoji, Charset::gbk, OnInvalid::replace, "????"},
        {"GB18030 holds it", kEmoji, Charset::gb18030, OnInvalid::refuse, kEmojiGb18030},
    };
    for (const Case& c : cases)
        EXPECT_EQ(from_utf8(c.in, c.charset, c.policy), c.out) << c.what;
}

// Longer than one pass of the conversion buffer, with the output three times the input
// (every 0x80 becomes three bytes) and a bad byte past the first pass.
TEST(GbkCodec, LongTextsConvertWhole)
{
    const std::string euros(3000, '\x80');
    std::string expected;
    for (int i = 0; i < 3000; ++i)
        expected += "€";
    EXPECT_EQ(to_utf8(euros, Charset::gbk, OnInvalid::refuse), expected);
    EXPECT_EQ(from_utf8(expected, Charset::gbk, OnInvalid::refuse), euros);
    EXPECT_EQ(to_utf8(euros + "\xff", Charset::gb18030, OnInvalid::replace), expected + "\uFFFD");
    EXPECT_EQ(to_utf8(euros + "\xff", Charset::gbk, OnInvalid::refuse), std::nullopt);
}

TEST(GbkCodec, CharacterSizes)
{
    struct SizeCase {
        const char* what;
        std::string text;
        size_t at;
        size_t size;
    };
    const SizeCase cases[] = {
        {"ASCII", "ab", 0, 1},
        {"lead and trail", "\xb9\xe3", 0, 2},
        {"trail byte that is a backslash", "\xd5\\", 0, 2},
        {"trail byte that is a letter",
         "\x81"
         "A",
         0, 2},
        {"lead before DEL", "\x81\x7f", 0, 1},
        {"lead cut off by the end", "a\xb9", 1, 1},
        {"0x80 alone", "\x80\xb9", 0, 1},
        {"lead before a GB18030 digit", "\x94\x39", 0, 1},
    };
    for (const SizeCase& c : cases)
        EXPECT_EQ(character_size(c.text, c.at), c.size) << c.what;
}

}  // namespace
