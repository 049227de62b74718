// The text and URL routines as the program image holds them: their freestanding objects
// linked by the image linker, mapped below 2 GiB, linked against a service table whose
// services are corert's real kernel commands and memory service, and called natively.
#include "image/image_layout.h"
#include "tests/support/hosted_corert.h"
#include "tests/support/hosted_image.h"
#include "text_image_objects.h"
#include "text/text_routines.h"
#include "web/url_parsing.h"

#include <gtest/gtest.h>

#include <cfenv>

using nimbra::testing::HostedCorert;
using nimbra::testing::HostedCorertTest;
using nimbra::testing::HostedImage;

namespace {

class TextRoutinesInImage : public HostedCorertTest {
protected:
    static void SetUpTestSuite() { image_ = new HostedImage(kTextImageObjects, "JoinTexts"); }
    static void TearDownTestSuite() { delete image_; }

    // The routine `name` in the image, typed like its host-built twin.
    template <typename F>
    static F* routine(const char* name)
    {
        return image_->routine<F>(name);
    }
#define IMAGE_ROUTINE(name) routine<decltype(::name)>(#name)

    static inline HostedImage* image_ = nullptr;
};

TEST_F(TextRoutinesInImage, RoutinesRunAtTheirCodeOffsets)
{
    auto text_between = IMAGE_ROUTINE(TextBetween);
    ASSERT_TRUE(image_->in_code(reinterpret_cast<void*>(text_between)));

    EXPECT_EQ(take_text(text_between("a-b-c", "-", "-")), "b");
    EXPECT_FALSE(runtime.kernel_commands.empty()) << "the image's stubs reached corert's commands";
    EXPECT_EQ(take_text(text_between("key=101280601;", "key=", ";")), "101280601");
    // A missing marker gives the image's own const empty text.
    char* missing = text_between("abc[", "[", "]");
    EXPECT_EQ(missing, image_->const_text(qx::kConstEmptyText));
    qx::rt::Free(missing);

    const char* parts[] = {"\xb3\xc7", nullptr, "-", ""};
    EXPECT_EQ(take_text(routine<char*(int32_t, const char* const*)>("JoinTexts")(4, parts)), "\xb3\xc7-");

    auto replace_pairs = IMAGE_ROUTINE(ReplacePairs);
    EXPECT_EQ(
        take_text(replace_pairs("a-b@c", qx::rt::omitted, 0, qx::rt::omitted, "-", "@", "@", "#", qx::rt::omitted,
                                qx::rt::omitted, qx::rt::omitted, qx::rt::omitted, qx::rt::omitted, qx::rt::omitted)),
        "a#b#c");

    auto compare = IMAGE_ROUTINE(CompareTextBytes);
    EXPECT_EQ(compare("\xb1", "\x41"), 1);
    EXPECT_EQ(compare(nullptr, ""), 0);
    EXPECT_EQ(compare("abc", "abcd"), -1);
    EXPECT_EQ(IMAGE_ROUTINE(TextByteCount)("\xcc\xec\xc6\xf8"), 4);
}

TEST_F(TextRoutinesInImage, TruncToIntegerIgnoresTheRoundingMode)
{
    auto trunc = IMAGE_ROUTINE(TruncToInteger);
    const int saved = std::fegetround();
    for (int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        EXPECT_EQ(trunc(2.9), 2) << mode;
        EXPECT_EQ(trunc(-2.9), -2) << mode;
        EXPECT_EQ(trunc(-0.5), 0) << mode;
        EXPECT_EQ(std::fegetround(), mode);
    }
    std::fesetround(saved);
}

TEST_F(TextRoutinesInImage, UrlRoutinesRewriteTheCallersText)
{
    auto url_host = IMAGE_ROUTINE(UrlHost);
    auto url_path = IMAGE_ROUTINE(UrlPath);
    auto url_port = IMAGE_ROUTINE(UrlPort);

    char* address = HostedCorert::new_text("HTTP://Weather.Example:8370/r?to=http://b/c");
    EXPECT_EQ(take_text(url_host(&address)), "weather.example:8370");
    EXPECT_STREQ(address, "Weather.Example:8370/r?to=http://b/c");
    EXPECT_EQ(take_text(url_path(&address)), "/r?to=http://b/c");
    EXPECT_EQ(url_port(address), 8370);
    EXPECT_EQ(url_port("http://h:81/x"), 81);
    EXPECT_EQ(url_port(""), 80);
    take_text(address);
    EXPECT_TRUE(runtime.run_time_errors.empty());
}

}  // namespace
