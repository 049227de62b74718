// CollectFields and RemoveDuplicates, host-built, against a real corert instance: the
// exact survivors of one pass, every parameter of CollectFields, the announcements to the
// runtime before each change in a list's size, the events handled after each comparison,
// and no block left behind.
#include "runtime/arrays.h"
#include "tests/support/hosted_corert.h"
#include "viewer/city_selection.h"
#include "viewer/text_lists.h"

#include <gtest/gtest.h>

using nimbra::testing::HostedCorert;
using nimbra::testing::HostedCorertTest;
using Texts = std::vector<std::string>;

namespace {

class ListRoutines : public HostedCorertTest {
protected:
    void SetUp() override
    {
        runtime.register_service = [this](uint32_t function, uint64_t a, uint64_t b) {
            EXPECT_EQ(function, 2u);
            EXPECT_EQ(a, 4u) << "kind 4";
            announced.push_back(reinterpret_cast<void**>(uintptr_t(b)));
        };
    }

    void* list_of(const Texts& texts)
    {
        void* list = qx::rt::NewArray(uint32_t(texts.size()), sizeof(char*));
        for (size_t i = 0; i < texts.size(); ++i)
            qx::rt::SetArrayElement<char*>(list, int32_t(i + 1), new_text(texts[i]));
        return list;
    }

    static Texts texts_of(const void* list)
    {
        Texts texts;
        for (uint32_t i = 1; i <= qx::rt::ArrayElementCount(list); ++i)
            texts.push_back(std::string(qx::rt::TextElement(list, int32_t(i))));
        return texts;
    }
    // The texts, and the list freed.
    static Texts take(void* list)
    {
        Texts texts = texts_of(list);
        qx::rt::FreeTextArray(list);
        return texts;
    }

    size_t process_events_calls() const
    {
        return size_t(std::count(runtime.kernel_commands.begin(), runtime.kernel_commands.end(),
                                 uint32_t(qx::kCmdProcessEvents)));
    }

    std::vector<void**> announced;  // list variables passed to slot 12, sub-function 2
};

TEST_F(ListRoutines, RemoveDuplicatesOnePassAndTwo)
{
    struct Case {
        Texts list, one_pass, two_passes;
    } cases[] = {
        {{}, {}, {}},
        {{"A"}, {"A"}, {"A"}},
        {{"A", "B", "A", "A"}, {"B", "A"}, {"B", "A"}},
        {{"A", "A", "A", "A", "A"}, {"A", "A"}, {"A"}},
        {{"X", "X", "X", "Y"}, {"X", "Y"}, {"X", "Y"}},
        {{"A", "B", "C"}, {"A", "B", "C"}, {"A", "B", "C"}},
        {{"", "", "a"}, {"", "a"}, {"", "a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.list));
        void* list = list_of(c.list);
        RemoveDuplicates(&list);
        EXPECT_EQ(texts_of(list), c.one_pass);
        RemoveDuplicates(&list);
        EXPECT_EQ(take(list), c.two_passes);
    }
    EXPECT_TRUE(runtime.run_time_errors.empty());
}

// Every removal is announced first, with the caller's variable; after every comparison
// the window's events are handled, so a long list stays responsive.
TEST_F(ListRoutines, RemoveDuplicatesAnnouncesEachRemovalAndHandlesEvents)
{
    void* list = list_of({"A", "B", "A", "A"});
    RemoveDuplicates(&list);
    EXPECT_EQ(announced, (std::vector<void**>{&list, &list}));
    // A B A A: i=1 meets j=1..3 (removing the third), i=2 meets j=1..3, i=3 meets j=1
    // (removing the first); then the counts end both loops.
    EXPECT_EQ(process_events_calls(), 7u);
    EXPECT_EQ(take(list), (Texts{"B", "A"}));
}

TEST_F(ListRoutines, CollectFieldsTakesTheBytesBeforeTheTerminator)
{
    struct Case {
        const char* what;
        std::string source, key, terminator;
        bool ignore_case;
        int32_t maximum;
        std::string before, after;
        bool prepend, append;
        Texts fields;
    } cases[] = {
        {"plain", "head k-a-1@x# k-b-2@y#", "k-", "-", false, 0, "", "", false, false, {"a", "b"}},
        {"source begins with the key", "k-a-1k-b-2", "k-", "-", false, 0, "", "", false, false, {"a", "b"}},
        {"no key", "abc", "k-", "-", false, 0, "", "", false, false, {}},
        {"empty source", "", "k-", "-", false, 0, "", "", false, false, {}},
        {"entry without terminator skipped", "k-a-k-bk-c-", "k-", "-", false, 0, "", "", false, false, {"a", "c"}},
        {"terminator right after the key", "k--x", "k-", "-", false, 0, "", "", false, false, {""}},
        {"maximum", "k-ab-k-abc-k-a-", "k-", "-", false, 2, "", "", false, false, {"ab", "a"}},
        {"before and after", "k-a-", "k-", "-", false, 0, "[", "]", false, false, {"[a]"}},
        {"prepend wins over append", "k-a-", "k-", "-", false, 0, "", "", true, true, {"k-a"}},
        {"append", "k-a-", "k-", "-", false, 0, "(", "", false, true, {"(a-"}},
        {"letter case counts", "k-aXbxc", "k-", "x", false, 0, "", "", false, false, {"aXb"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        announced.clear();
        void* list = nimbra::NewTextList();
        int32_t count = CollectFields(c.source.c_str(), c.key.c_str(), c.terminator.c_str(), &list, c.ignore_case,
                                      c.maximum, c.before.c_str(), c.after.c_str(), c.prepend, c.append);
        EXPECT_EQ(count, int32_t(c.fields.size()));
        // One announcement per field appended to the caller's list (the first piece's
        // removal is announced for the routine's own piece list).
        EXPECT_EQ(std::count(announced.begin(), announced.end(), &list), std::ptrdiff_t(c.fields.size()));
        EXPECT_EQ(take(list), c.fields);
    }
    EXPECT_TRUE(runtime.run_time_errors.empty());
}

TEST_F(ListRoutines, CollectFieldsAppendsAfterWhatTheListHolds)
{
    void* list = list_of({"old"});
    EXPECT_EQ(CollectFields("k-a-k-b-", "k-", "-", &list, false, 0, "", "", false, false), 3);
    EXPECT_EQ(take(list), (Texts{"old", "a", "b"}));

    void* none = nullptr;  // a variable that holds no list yet
    EXPECT_EQ(CollectFields("k-a-", "k-", "-", &none, false, 0, "", "", false, false), 1);
    EXPECT_EQ(take(none), Texts{"a"});
}

}  // namespace
