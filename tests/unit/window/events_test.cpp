// Events on the UI thread: the window's creation, picks, clicks, nesting through
// ProcessEvents, message boxes and closing.
#include "window_harness.h"

#include "runtime/service_abi.h"

namespace window_test {
namespace {

using corert::IdleState;
using corert::UserAction;
using namespace nimbra;
using Log = std::vector<std::string>;

UserAction click(uint32_t unit) { return {UserAction::Kind::Click, unit, 0}; }
UserAction pick(uint32_t unit, int32_t index) { return {UserAction::Kind::Pick, unit, index}; }
const UserAction kClose{UserAction::Kind::Close, 0, 0};

TEST_F(WindowTest, WindowCreatedRunsOnceWhenTheLoopStarts)
{
    make_window();
    EXPECT_EQ(window().post(click(kUnitButton1)), "the window is not loaded yet");
    window().run_event_loop();  // nothing loaded: returns at once
    load();
    EXPECT_EQ(window().status().queued, 1u);
    EXPECT_TRUE(handlers.log().empty());  // not before the program hands over control
    start_ui();
    wait_idle();
    EXPECT_EQ(handlers.log(), Log{"call 0x100"});
    EXPECT_EQ(window().post(kClose), "");
    ASSERT_TRUE(join_ui());
    EXPECT_EQ(window().post(click(kUnitButton1)), "the window is closed");
    EXPECT_EQ(window().wait_idle(std::chrono::seconds(60)), IdleState::Closed);
}

TEST_F(WindowTest, PickSelectsTheItemBeforeItsHandlerRuns)
{
    make_window();
    corert::ControlRef combo1{kWindowId, kUnitCombo1, qx::kTypeComboBox};
    handlers.on(kFillCityList, [&] {
        auto index = static_cast<int32_t>(window().get_property(kWindowId, kUnitCombo1, qx::kPropSelectedIndex, -1));
        handlers.note("sees " + std::to_string(index) + " " + corert::gbk_to_utf8(window().item_text(combo1, index)));
    });
    load();
    start_ui();
    ASSERT_EQ(window().post(pick(kUnitCombo1, 2)), "");
    ASSERT_EQ(window().post(pick(kUnitCombo3, 0)), "item 0 is outside the list of 0 items");  // 组合框3 is empty
    wait_idle();
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "call 0x200", "sees 2 上海."}));

    // 组合框3 has no handler: the pick only selects.
    corert::ControlRef combo3{kWindowId, kUnitCombo3, qx::kTypeComboBox};
    window().add_item(combo3, gbk("南山"), 0, false);
    ASSERT_EQ(window().post(pick(kUnitCombo3, 0)), "");
    wait_idle();
    EXPECT_EQ(window().snapshot().find(kUnitCombo3)->selected, 0);
    EXPECT_EQ(handlers.log().size(), 3u);

    EXPECT_NE(window().post(pick(kUnitCombo1, 12)), "");
    EXPECT_NE(window().post(pick(kUnitButton1, 0)), "");
}

// A click that arrives while a handler is inside ProcessEvents runs to its end inside
// it; then the outer handler resumes.
TEST_F(WindowTest, NestedDispatchRunsTheInnerHandlerToItsEnd)
{
    make_window();
    handlers.on(kShowForecastPage, [&] {
        handlers.note("forecast starts");
        window().post(click(kUnitButton2));
        window().process_events();
        handlers.note("forecast ends");
    });
    handlers.on(kShowLivePage, [&] {
        handlers.note("live runs at depth " + std::to_string(window().status().handler_depth));
        window().process_events();  // nothing left: returns at once
        handlers.note("live ends");
    });
    load();
    start_ui();
    wait_idle();
    ASSERT_EQ(window().post(click(kUnitButton1)), "");
    wait_idle();
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "call 0x400", "forecast starts", "call 0x500", "live runs at depth 2",
                                   "live ends", "forecast ends"}));
}

TEST_F(WindowTest, CloseDuringANestedDispatchEndsTheLoopAfterTheOuterHandler)
{
    make_window();
    handlers.on(kShowForecastPage, [&] {
        window().post(click(kUnitButton2));
        window().post(kClose);
        window().process_events();
        handlers.note("forecast ends");
    });
    load();
    start_ui();
    wait_idle();
    ASSERT_EQ(window().post(click(kUnitButton1)), "");
    ASSERT_TRUE(join_ui());
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "call 0x400", "call 0x500", "forecast ends"}));
    EXPECT_TRUE(window().status().closed);
}

TEST_F(WindowTest, MessageBoxBlocksTheHandlerUntilAnswered)
{
    make_window();
    handlers.on(kOnWindowCreated, [&] {
        int32_t answer = window().message_box(gbk("服务器正在更新或你未连接到网络"), 0, "", false);
        handlers.note("answered " + std::to_string(answer));
        answer = window().message_box(gbk("再试一次?"), 4, gbk("标题"), true);
        handlers.note("answered " + std::to_string(answer));
    });
    load();
    EXPECT_EQ(window().answer_box(std::nullopt), "no message box is open");
    start_ui();
    ASSERT_EQ(window().wait_idle(std::chrono::seconds(60)), IdleState::BoxOpen);
    EXPECT_EQ(window().status().handler_depth, 1);
    EXPECT_EQ(window().status().open_box, 1u);
    EXPECT_EQ(window().answer_box(corert::kButtonYes), "this box has no button 6");
    EXPECT_EQ(window().answer_box(std::nullopt), "");  // its default: OK

    ASSERT_EQ(window().wait_idle(std::chrono::seconds(60)), IdleState::BoxOpen);
    EXPECT_EQ(window().answer_box(corert::kButtonNo), "");
    wait_idle();
    EXPECT_EQ(handlers.log(), (Log{"call 0x100", "answered 1", "answered 7"}));

    std::vector<corert::MessageBoxRecord> boxes = window().message_boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].message, gbk("服务器正在更新或你未连接到网络"));
    EXPECT_FALSE(boxes[0].has_title);
    EXPECT_FALSE(boxes[0].open);
    EXPECT_EQ(boxes[1].title, gbk("标题"));
    EXPECT_EQ(boxes[1].answer, corert::kButtonNo);
}

TEST_F(WindowTest, WithNobodyToAnswerABoxTakesItsDefaultButton)
{
    make_window(false);
    load();
    EXPECT_EQ(window().message_box("a", 0, "", false), corert::kButtonOk);
    EXPECT_EQ(window().message_box("b", 4, "", false), corert::kButtonYes);
    EXPECT_EQ(window().message_box("c", 1, "", false), corert::kButtonOk);
    EXPECT_EQ(window().message_boxes().size(), 3u);
    EXPECT_FALSE(window().message_boxes().back().open);
}

}  // namespace
}  // namespace window_test
