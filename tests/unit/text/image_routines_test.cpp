// The text and URL routines as the program image holds them: their freestanding objects
// linked by the image linker, mapped below 2 GiB, linked against a service table whose
// services are corert's real kernel commands and memory service, and called natively.
#include "image/image_linker.h"
#include "image/mapped_image.h"
#include "image/service_slots.h"
#include "tests/support/hosted_corert.h"
#include "text_image_objects.h"
#include "viewer/globals.h"
#include "viewer/program_description.h"
#include "viewer/text_routines.h"
#include "web/url_parsing.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <memory>

using nimbra::testing::HostedCorert;
using nimbra::testing::HostedCorertTest;

namespace {

qx::LinkedImage link_text_image()
{
    std::vector<qx::ObjectFile> objects;
    for (const char* path : kTextImageObjects)
        objects.push_back(qx::read_object_file(path));
    qx::ImageRecipe recipe;
    recipe.manifest = nimbra::program_manifest();
    for (const auto& f : nimbra::dll_function_names())
        recipe.dll_functions.push_back({nimbra::kDllLibraryName, f});
    recipe.globals.assign(std::begin(nimbra::kGlobalNames), std::end(nimbra::kGlobalNames));
    recipe.entry_routine = "TextTestEntry";
    recipe.form = [](const qx::RoutineLookup&) {
        return qx::write_form(nimbra::main_window_form(nimbra::configured_hosts()));
    };
    return qx::link_image(objects, recipe);
}

class TextRoutinesInImage : public HostedCorertTest {
protected:
    static void SetUpTestSuite()
    {
        linked_ = new qx::LinkedImage(link_text_image());
        // The trampolines live at fixed addresses: one table for the whole test program.
        slots_ = new qx::ServiceSlots(HostedCorert::service_functions());
        image_ = new qx::MappedImage(linked_->bytes);
        image_->link_and_seal(image_->targets(slots_->table_base(), [](size_t, uint32_t value) { return value; }));
    }
    static void TearDownTestSuite()
    {
        delete image_;
        delete slots_;
        delete linked_;
    }

    // The routine called `name` in the mapped image, typed like its host-built twin.
    template <typename F>
    static F* routine(const char* name, F* = nullptr)
    {
        auto it = linked_->routines.find(name);
        if (it == linked_->routines.end())
            throw std::runtime_error(std::string("the test image has no routine ") + name);
        return image_->routine<F*>(it->second);
    }
#define IMAGE_ROUTINE(name) routine(#name, &::name)

    static const char* const_empty_text()
    {
        return reinterpret_cast<const char*>(image_->const_data() + qx::kConstEmptyText);
    }

    static inline qx::LinkedImage* linked_ = nullptr;
    static inline qx::ServiceSlots* slots_ = nullptr;
    static inline qx::MappedImage* image_ = nullptr;
};

TEST_F(TextRoutinesInImage, RoutinesRunAtTheirCodeOffsets)
{
    auto text_between = IMAGE_ROUTINE(TextBetween);
    auto at = reinterpret_cast<uintptr_t>(text_between);
    ASSERT_TRUE(at >= image_->code_data() && at < image_->code_data() + image_->code_size());

    EXPECT_EQ(take_text(text_between("a-b-c", "-", "-")), "b");
    EXPECT_EQ(take_text(text_between("key=101280601;", "key=", ";")), "101280601");
    // A missing marker gives the image's own const empty text.
    char* missing = text_between("abc[", "[", "]");
    EXPECT_EQ(missing, const_empty_text());
    qx::rt::Free(missing);

    const char* parts[] = {"\xb3\xc7", nullptr, "-", ""};
    EXPECT_EQ(take_text(routine<char*(int32_t, const char* const*)>("JoinTexts")(4, parts)), "\xb3\xc7-");

    auto replace_pairs = IMAGE_ROUTINE(ReplacePairs);
    EXPECT_EQ(take_text(replace_pairs("a-b@c", qx::rt::omitted, 0, qx::rt::omitted, "-", "@", "@", "#",
                                      qx::rt::omitted, qx::rt::omitted, qx::rt::omitted, qx::rt::omitted,
                                      qx::rt::omitted, qx::rt::omitted)),
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
