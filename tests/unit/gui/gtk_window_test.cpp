// The GTK window in this process, on a private Xvfb display, with stand-in handlers:
// what the widgets show and where, which input raises which event, modal message
// boxes, nested dispatch through ProcessEvents, and closing from the window frame.
//
// GTK belongs to one thread: the test's main thread builds the window and runs its
// event loop; a driver thread acts and checks, touching widgets only through on_ui.
#include "tests/support/xvfb.h"
#include "tests/unit/window/window_harness.h"

#include "corert/window/window_backend.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "support/support_library.h"

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <future>

using namespace window_test;
using corert::UserAction;

namespace {

nimbra::testing::Xvfb* screen = nullptr;

uint32_t unit_of(GtkWidget* widget) { return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(widget), "nimbra-unit")); }

// The window's toplevel: the one titled like the window unit.
GtkWidget* main_window()
{
    GList* all = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* w = all; w; w = w->next) {
        const char* title = gtk_window_get_title(GTK_WINDOW(w->data));
        if (title && std::string_view(title).starts_with("Nimbra") && !GTK_IS_DIALOG(w->data))
            found = GTK_WIDGET(w->data);
    }
    g_list_free(all);
    return found;
}

GtkWidget* layout_of(GtkWidget* window) { return window ? gtk_bin_get_child(GTK_BIN(window)) : nullptr; }

GtkWidget* widget_of(uint32_t unit)
{
    GtkWidget* layout = layout_of(main_window());
    if (!layout)
        return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(layout));
    GtkWidget* found = nullptr;
    for (GList* c = children; c; c = c->next) {
        if (unit_of(GTK_WIDGET(c->data)) == unit)
            found = GTK_WIDGET(c->data);
    }
    g_list_free(children);
    return found;
}

GtkWidget* open_dialog()
{
    GList* all = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* w = all; w; w = w->next) {
        if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
            found = GTK_WIDGET(w->data);
    }
    g_list_free(all);
    return found;
}

class GtkWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        screen = new nimbra::testing::Xvfb();
        if (screen->running())
            setenv("DISPLAY", screen->display().c_str(), 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("NIMBRA_NO_DIALOG", "1", 1);
    }
    static void TearDownTestSuite()
    {
        delete screen;
        screen = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(screen->running()) << screen->problem();
        if (!std::string_view(::testing::UnitTest::GetInstance()->current_test_info()->name()).starts_with("WebPane"))
            make_window(nullptr);
    }

    // With `pane` null the browser units are recording controls that show nothing.
    void make_window(const corert::BrowserPaneExtension* pane)
    {
        corert::BackendOptions options;
        options.invoke_handler = [this](uint32_t offset) { handlers.invoke(offset); };
        options.browser_pane = pane;
        if (!pane)
            options.browsers = corert::make_recording_browser_factory();
        window_ = corert::make_gtk_window(options);
        ASSERT_TRUE(window_) << "GTK cannot open " << screen->display();
        window_->load_window(bound_main_window(), qx::kMainWindowId);
    }

    // Runs the event loop here while `driver` runs on a thread of its own; the window is
    // closed when the driver is done, if it has not closed it itself.
    void run(const std::function<void()>& driver)
    {
        std::thread thread([&] {
            driver();
            window_->post({UserAction::Kind::Close, 0, 0});
        });
        window_->run_event_loop();
        thread.join();
    }

    // Runs `task` on the UI thread and waits for its result.
    template <class Task>
    auto on_ui(Task task) -> decltype(task())
    {
        using Result = decltype(task());
        auto job = new std::packaged_task<Result()>(std::move(task));
        auto result = job->get_future();
        g_idle_add(
            [](gpointer data) -> gboolean {
                std::unique_ptr<std::packaged_task<Result()>> owned(static_cast<std::packaged_task<Result()>*>(data));
                (*owned)();
                return G_SOURCE_REMOVE;
            },
            job);
        return result.get();
    }

    void wait_idle(corert::IdleState expected = corert::IdleState::Idle)
    {
        EXPECT_EQ(window_->wait_idle(std::chrono::seconds(60)), expected);
    }

    Handlers handlers;
    std::unique_ptr<corert::WindowBackend> window_;
};

TEST_F(GtkWindowTest, ControlsStandAtTheirStoredPlacesInAClientAreaOfTheStoredSize)
{
    run([&] {
        wait_idle();
        corert::WindowState state = window_->snapshot();
        on_ui([&] {
            GtkWidget* window = main_window();
            EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Nimbra天气预报器 V1.0");
            GdkPixbuf* icon = gtk_window_get_icon(GTK_WINDOW(window));
            ASSERT_TRUE(icon);
            EXPECT_EQ(gdk_pixbuf_get_width(icon), 48);
            GtkAllocation client;
            gtk_widget_get_allocation(layout_of(window), &client);
            EXPECT_EQ(client.width, 662);
            EXPECT_EQ(client.height, 411);
            for (const corert::UnitState& unit : state.units) {
                if (unit.kind == corert::UnitKind::Window || unit.kind == corert::UnitKind::Browser)
                    continue;
                GtkWidget* widget = widget_of(unit.id);
                ASSERT_TRUE(widget) << corert::gbk_to_utf8(unit.name);
                if (unit.geometry.width == 0) {  // the hidden edit box
                    EXPECT_FALSE(gtk_widget_get_visible(widget));
                    continue;
                }
                GtkAllocation at;
                gtk_widget_get_allocation(widget, &at);
                EXPECT_EQ(corert::Geometry({at.x, at.y, at.width, at.height}), unit.geometry)
                    << corert::gbk_to_utf8(unit.name) << " stands at " << at.x << "," << at.y << " " << at.width << "x"
                    << at.height;
            }
            EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(widget_of(nimbra::kUnitButton1))), "天气预报");
        });
    });
}

TEST_F(GtkWindowTest, AUsersPickRaisesTheEventAndTheProgramsListChangesDoNot)
{
    const corert::ControlRef cities{qx::kMainWindowId, nimbra::kUnitCombo2, qx::kTypeComboBox};
    handlers.on(kFillCityList, [&] {
        // What FillCityList does: empty the next list and fill it again.
        while (window_->item_count(cities) > 0)
            window_->delete_item(cities, 0);
        for (const char* city : {"广州", "深圳"})
            window_->add_item(cities, gbk(city), 0, false);
    });
    run([&] {
        wait_idle();
        on_ui([] { gtk_combo_box_set_active(GTK_COMBO_BOX(widget_of(nimbra::kUnitCombo1)), 2); });
        wait_idle();
        EXPECT_EQ(window_->snapshot().find(nimbra::kUnitCombo1)->selected, 2);
        // Automation picks like the user and the widget follows.
        ASSERT_EQ(window_->post({UserAction::Kind::Pick, nimbra::kUnitCombo1, 1}), "");
        wait_idle();
        on_ui([] {
            EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(widget_of(nimbra::kUnitCombo1))), 1);
            gchar* shown = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(widget_of(nimbra::kUnitCombo1)));
            EXPECT_STREQ(shown, "北京.");
            g_free(shown);
            GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(widget_of(nimbra::kUnitCombo2)));
            EXPECT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 2);
        });
    });
    std::vector<std::string> log = handlers.log();
    // Window created, then one FillCityList per pick; the refilled city list raised nothing.
    EXPECT_EQ(log, (std::vector<std::string>{"call 0x100", "call 0x200", "call 0x200"}));
}

// The box's rows follow the program's list through single adds and deletes (changed row
// by row) and through a list that changes at once (the pick's selection), repeats included.
TEST_F(GtkWindowTest, TheRowsShownAreTheProgramsListAfterEveryChange)
{
    const corert::ControlRef cities{qx::kMainWindowId, nimbra::kUnitCombo2, qx::kTypeComboBox};
    auto rows = [] {
        std::vector<std::string> shown;
        GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(widget_of(nimbra::kUnitCombo2)));
        GtkTreeIter at;
        for (gboolean more = gtk_tree_model_get_iter_first(model, &at); more;
             more = gtk_tree_model_iter_next(model, &at)) {
            gchar* text = nullptr;
            gtk_tree_model_get(model, &at, 0, &text, -1);
            shown.push_back(gbk(text));
            g_free(text);
        }
        return shown;
    };
    std::vector<std::string> steps;
    handlers.on(kFillCityList, [&] {
        auto check = [&](const char* step) {
            std::vector<std::string> listed;
            for (int i = 0; i < window_->item_count(cities); ++i)
                listed.push_back(window_->item_text(cities, i));
            EXPECT_EQ(rows(), listed) << step;
            steps.push_back(step);
        };
        for (const char* city : {"广州", "深圳", "深圳", "珠海", "佛山"}) {
            window_->add_item(cities, gbk(city), 0, false);
            check("add");
        }
        for (int index : {1, 0, 2, 0, 0, 0}) {
            window_->delete_item(cities, index);
            check("delete");
        }
        window_->add_item(cities, gbk("汕头"), 0, false);
        check("add after emptied");
    });
    run([&] {
        wait_idle();
        ASSERT_EQ(window_->post({UserAction::Kind::Pick, nimbra::kUnitCombo1, 0}), "");
        wait_idle();
    });
    EXPECT_EQ(steps.size(), 12u);
}

TEST_F(GtkWindowTest, TextTypedIntoTheEditBoxIsWhatTheProgramReads)
{
    run([&] {
        wait_idle();
        on_ui([] { gtk_entry_set_text(GTK_ENTRY(widget_of(nimbra::kUnitEditBox1)), "<head>天气</head>"); });
        EXPECT_EQ(window_->snapshot().find(nimbra::kUnitEditBox1)->text, gbk("<head>天气</head>"));
    });
}

TEST_F(GtkWindowTest, AButtonClickRunsItsHandler)
{
    run([&] {
        wait_idle();
        on_ui([] { gtk_button_clicked(GTK_BUTTON(widget_of(nimbra::kUnitButton2))); });
        wait_idle();
    });
    EXPECT_EQ(handlers.log(), (std::vector<std::string>{"call 0x100", "call 0x500"}));
}

TEST_F(GtkWindowTest, AMessageBoxIsAModalDialogThatHoldsBackInputUntilAnswered)
{
    std::atomic<int32_t> answer{0};
    handlers.on(kShowForecastPage, [&] { answer = window_->message_box(gbk("要更新吗?"), 4, "", false); });
    run([&] {
        wait_idle();
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton1, 0});
        wait_idle(corert::IdleState::BoxOpen);
        on_ui([] {
            GtkWidget* dialog = open_dialog();
            ASSERT_TRUE(dialog);
            EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
            gchar* text = nullptr;
            g_object_get(dialog, "text", &text, nullptr);
            EXPECT_STREQ(text, "要更新吗?");
            g_free(text);
        });
        // Input that comes while the box is up waits for it.
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton2, 0});
        EXPECT_EQ(window_->status().queued, 1u);
        EXPECT_EQ(window_->answer_box(corert::kButtonNo), "");
        wait_idle();
        on_ui([] { EXPECT_FALSE(open_dialog()); });
    });
    EXPECT_EQ(answer, corert::kButtonNo);
    EXPECT_EQ(handlers.log(), (std::vector<std::string>{"call 0x100", "call 0x400", "call 0x500"}));
    EXPECT_FALSE(window_->message_boxes().at(0).open);
}

TEST_F(GtkWindowTest, ProcessEventsRunsAQueuedHandlerNestedInsideTheRunningOne)
{
    std::atomic<bool> inner_ran{false};
    handlers.on(kShowForecastPage, [&] {
        handlers.note("outer starts");
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!inner_ran && std::chrono::steady_clock::now() < limit)
            window_->process_events();
        handlers.note("outer ends");
    });
    handlers.on(kShowLivePage, [&] {
        handlers.note("inner");
        inner_ran = true;
    });
    run([&] {
        wait_idle();
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton1, 0});
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton2, 0});
        wait_idle();
    });
    EXPECT_EQ(handlers.log(), (std::vector<std::string>{"call 0x100", "call 0x400", "outer starts", "call 0x500",
                                                        "inner", "outer ends"}));
}

TEST_F(GtkWindowTest, ClosingFromTheWindowFrameEndsTheLoop)
{
    std::thread driver([&] {
        EXPECT_EQ(window_->wait_idle(std::chrono::seconds(60)), corert::IdleState::Idle);
        on_ui([] { gtk_window_close(GTK_WINDOW(main_window())); });
    });
    window_->run_event_loop();  // returns once the close is handled
    driver.join();
    EXPECT_TRUE(window_->status().closed);
    EXPECT_NE(window_->post({UserAction::Kind::Click, nimbra::kUnitButton2, 0}), "");
}

// WebPane.sle's own views, as the program gets them.
const corert::BrowserPaneExtension* web_pane()
{
    static const nimbra::support::RuntimeServices services = {nimbra::support::kSupportAbiVersion,
                                                              [](uint32_t size) { return std::malloc(size); },
                                                              std::free, [](const char*) {}};
    void* library = dlopen(NIMBRA_WEBPANE, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return nullptr;
    auto entry = reinterpret_cast<nimbra::support::EntryFunction>(dlsym(library, nimbra::support::kEntryName));
    return entry ? static_cast<const corert::BrowserPaneExtension*>(entry(&services)->extension) : nullptr;
}

// The page builders write the page file, point the pane at it and delete it 10 ms
// later: the pane still shows the page, and its relative references resolve beside
// where the file was.
TEST_F(GtkWindowTest, WebPaneShowsALocalPageReadAtOnceWithItsDirectoryAsTheBase)
{
    const corert::BrowserPaneExtension* pane = web_pane();
    ASSERT_TRUE(pane) << dlerror();
    make_window(pane);
    namespace fs = std::filesystem;
    char scratch[] = "/tmp/nimbra-pane-XXXXXX";
    ASSERT_TRUE(mkdtemp(scratch));
    const fs::path dir = fs::path(scratch) / "页面";
    fs::create_directories(dir);
    std::ofstream(dir / "hide.css") << ".gone { display: none; }\n";
    std::ofstream(dir / "显示页.htm") << "<html><head><link rel=\"stylesheet\" href=\"hide.css\"></head><body>"
                                      << "<p>天气预报 shown</p><p class=\"gone\">hidden by the relative sheet</p>"
                                      << "</body></html>";
    std::string address = gbk(dir.string() + "\\显示页.htm");
    handlers.on(kShowForecastPage, [&] {
        window_->set_property(qx::kMainWindowId, nimbra::kUnitBrowser1, 11, -1,
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address.c_str())),
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address.c_str()) >> 32));
        fs::remove(dir / "显示页.htm");
    });
    run([&] {
        wait_idle();
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton1, 0});
        wait_idle();
        EXPECT_EQ(window_->wait_page(nimbra::kUnitBrowser1, std::chrono::seconds(120)), "");
        std::string text;
        EXPECT_EQ(window_->page_text(nimbra::kUnitBrowser1, std::chrono::seconds(60), text), "");
        EXPECT_NE(text.find("天气预报 shown"), std::string::npos) << text;
        EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    });
    fs::remove_all(scratch);
}

}  // namespace

// What the pane-fit checks of the weather pages rely on: a page wider than its pane, text
// that runs past the pane's edge, and text below the pane's foot are all told apart.
TEST_F(GtkWindowTest, WebPaneMeasuresWhereThePageAndItsTextLie)
{
    const corert::BrowserPaneExtension* pane = web_pane();
    ASSERT_TRUE(pane) << dlerror();
    make_window(pane);
    namespace fs = std::filesystem;
    char scratch[] = "/tmp/nimbra-layout-XXXXXX";
    ASSERT_TRUE(mkdtemp(scratch));
    const fs::path page = fs::path(scratch) / "layout.htm";
    std::ofstream(page) << "<!DOCTYPE html><html><head><meta charset=\"UTF-8\"><style>"
                        << "body { margin: 0; font: 12px/20px sans-serif; } p { margin: 0; }</style></head><body>"
                        << "<p>第一行 in view</p>"
                        << "<p style=\"white-space: nowrap\">" << std::string(150, 'w') << " 右边</p>"
                        << "<div style=\"width: 900px; height: 8px\"></div>"
                        << "<p style=\"margin-top: 400px\">below the pane</p></body></html>";
    std::string address = page.string();
    handlers.on(kShowForecastPage, [&] {
        window_->set_property(qx::kMainWindowId, nimbra::kUnitBrowser1, 11, -1,
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address.c_str())),
                              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address.c_str()) >> 32));
    });
    run([&] {
        wait_idle();
        window_->post({UserAction::Kind::Click, nimbra::kUnitButton1, 0});
        wait_idle();
        ASSERT_EQ(window_->wait_page(nimbra::kUnitBrowser1, std::chrono::seconds(120)), "");
        std::string layout;
        ASSERT_EQ(window_->page_layout(nimbra::kUnitBrowser1, std::chrono::seconds(60), layout), "");
        auto measure = [&](const std::string& name) {
            size_t at = layout.find(name + "=");
            return at == std::string::npos ? -1 : std::atoi(layout.c_str() + at + name.size() + 1);
        };
        // The pane is 672 x 216; a scroll bar may take its share of either.
        EXPECT_LE(measure("client-width"), 672) << layout;
        EXPECT_GT(measure("client-width"), 640) << layout;
        EXPECT_LE(measure("client-height"), 216) << layout;
        EXPECT_GE(measure("scroll-width"), 900) << layout;
        EXPECT_GE(measure("scroll-height"), 450) << layout;
        EXPECT_GT(measure("text-right"), measure("client-width")) << layout;
        std::string in_view = layout.substr(layout.find('\n') + 1);
        EXPECT_EQ(in_view, "第一行 in view") << layout;
    });
    fs::remove_all(scratch);
}
