// The GTK 3 backend: the window of the form section as a real window.
//
// Every control is a widget at its stored position inside a GtkLayout, whose size is
// the window's client size whatever its children need (the banner strip starts left of
// the client area and reaches past its right edge). The state lives in WindowCore as in
// the headless window; the widgets follow it. Events, whether they come from the
// widgets or from automation, go through WindowCore's queue and are dispatched from
// an idle source of GTK's main loop, so a handler that calls ProcessEvents (which
// iterates the main loop) sees further events run nested inside it, as on the
// original platform.
//
// Texts are GBK inside the system and UTF-8 in GTK: converted here, and nowhere else.
#include "corert/gbk.h"
#include "corert/run_time_error.h"
#include "corert/window/window_core.h"
#include "platform/desktop.h"

#include <gtk/gtk.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace corert {

namespace {

// The stored geometry is laid out for a small dialog font (9 points) whose Latin letters
// and digits are half as wide as a Chinese character, as a CJK font's are; the paddings
// go so that a 20-pixel combo box and a 24-pixel button fit their text.
constexpr const char* kStyleSheet = R"css(
* { font-size: 9pt; font-family: "WenQuanYi Zen Hei", "Noto Sans CJK SC", sans-serif; }
button { padding: 0 2px; min-height: 0; min-width: 0; }
combobox button, combobox box { padding: 0 2px; min-height: 0; }
combobox arrow { min-height: 0; min-width: 8px; }
label { padding: 0; }
label.nimbra-label { background-color: @theme_bg_color; }
)css";

// Where a task run on the UI thread leaves its answer for the thread that asked.
struct UiCall {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::string problem;
    std::string text;

    void finish(std::string why_not = {}, std::string result = {})
    {
        std::lock_guard lock(mutex);
        if (done)
            return;
        done = true;
        problem = std::move(why_not);
        text = std::move(result);
        done_changed.notify_all();
    }
};

struct UiTask {
    std::function<void(const std::shared_ptr<UiCall>&)> run;
    std::shared_ptr<UiCall> call;
};

std::string utf8(std::string_view gbk)
{
    return gbk_to_utf8(gbk);
}

GdkPixbuf* icon_from_ico(const qx::Bytes& ico)
{
    if (ico.empty())
        return nullptr;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("ico", nullptr);
    if (!loader)
        return nullptr;
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, ico.data(), ico.size(), nullptr) && gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf)
            g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return pixbuf;
}

const char* button_label(int32_t button)
{
    switch (button) {
    case kButtonOk: return "确定";
    case kButtonCancel: return "取消";
    case kButtonAbort: return "中止";
    case kButtonRetry: return "重试";
    case kButtonIgnore: return "忽略";
    case kButtonYes: return "是";
    case kButtonNo: return "否";
    default: return "?";
    }
}

GtkMessageType message_type(int32_t flags)
{
    switch (flags & 0xf0) {
    case 0x10: return GTK_MESSAGE_ERROR;
    case 0x20: return GTK_MESSAGE_QUESTION;
    case 0x30: return GTK_MESSAGE_WARNING;
    case 0x40: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_OTHER;
    }
}

// A box closed from the window frame takes Cancel where it has one, as on the
// original platform, else its default button.
int32_t dismissed_answer(int32_t flags)
{
    std::vector<int32_t> buttons = box_buttons(flags);
    for (int32_t b : buttons) {
        if (b == kButtonCancel)
            return b;
    }
    return buttons.front();
}

class GtkWindowBackend final : public WindowCore {
public:
    explicit GtkWindowBackend(BackendOptions options)
        : WindowCore(with_pane_browsers(std::move(options))),
          auto_answer_(options.auto_answer)  // a bool: moving the options left it as it was
    {
        GtkCssProvider* css = gtk_css_provider_new();
        gtk_css_provider_load_from_data(css, kStyleSheet, -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        g_object_unref(css);
        set_error_dialog([](const std::string& message) { nimbra::platform::show_error_dialog("Nimbra", message); });
        live_ = this;
    }

    ~GtkWindowBackend() override
    {
        live_ = nullptr;
        set_error_dialog(nullptr);
        if (loop_)
            g_main_loop_unref(loop_);
        if (window_)
            gtk_widget_destroy(window_);
        if (icon_)
            g_object_unref(icon_);
    }

    void load_window(const qx::FormSection& form, uint32_t window_id) override
    {
        if (!form.units.empty()) {
            if (auto* data = std::get_if<qx::WindowData>(&form.units.front().data)) {
                if (!icon_)
                    icon_ = icon_from_ico(data->icon);
            }
        }
        WindowCore::load_window(form, window_id);
    }

    void run_event_loop() override
    {
        if (!window_ || is_closed())
            return;
        loop_ = g_main_loop_new(nullptr, FALSE);
        g_main_loop_run(loop_);
    }

    // Lets GTK handle what is pending (drawing, input, the browsers' loads), which also
    // dispatches queued events through the idle source; then whatever is still queued.
    void process_events() override
    {
        // A bound, so a source that is always ready cannot hold the program here.
        for (int i = 0; i < 1000 && gtk_events_pending(); ++i)
            gtk_main_iteration_do(FALSE);
        dispatch_pending();
    }

    int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) override
    {
        if (auto_answer_ || !window_)
            return box_answer(open_box_record(message, flags, title, has_title, true));
        uint32_t number = open_box_record(message, flags, title, has_title, false);
        GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, message_type(flags),
                                                   GTK_BUTTONS_NONE, "%s", utf8(message).c_str());
        gtk_window_set_title(GTK_WINDOW(dialog), has_title ? utf8(title).c_str() : window_title_.c_str());
        std::vector<int32_t> buttons = box_buttons(flags);
        for (int32_t button : buttons)
            gtk_dialog_add_button(GTK_DIALOG(dialog), button_label(button), button);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), buttons.front());
        dialogs_.push_back({number, dialog});
        int response = gtk_dialog_run(GTK_DIALOG(dialog));
        dialogs_.pop_back();
        gtk_widget_destroy(dialog);
        close_box_record(number, response > 0 ? response : dismissed_answer(flags));
        // Events that came while the box was up were held back.
        wake_ui();
        return box_answer(number);
    }

    // ---- automation extras ----

    std::string wait_page(uint32_t unit, std::chrono::milliseconds timeout, std::stop_token stop) override
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
            std::string answer;
            std::string problem = on_ui(
                [this, unit](const std::shared_ptr<UiCall>& call) {
                    BrowserControl* control = browser(unit);
                    if (!control)
                        return call->finish("not a browser unit");
                    call->finish({}, control->loading() ? "loading" : "loaded");
                },
                std::max(left, std::chrono::milliseconds(1)), answer);
            if (!problem.empty())
                return problem;
            if (answer == "loaded")
                return {};
            if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline)
                return "still loading after " + std::to_string(timeout.count() / 1000) + " s";
            // The load ends on the UI thread; looking again every 50 ms costs nothing.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::string page_text(uint32_t unit, std::chrono::milliseconds timeout, std::string& text) override
    {
        return on_ui(
            [this, unit](const std::shared_ptr<UiCall>& call) {
                BrowserControl* control = browser(unit);
                if (!control)
                    return call->finish("not a browser unit");
                auto* held = new std::shared_ptr<UiCall>(call);
                control->visible_text(
                    [](void* context, const char* result) {
                        auto* waiting = static_cast<std::shared_ptr<UiCall>*>(context);
                        if (result)
                            (*waiting)->finish({}, result);
                        else
                            (*waiting)->finish("the browser cannot tell its text");
                        delete waiting;
                    },
                    held);
            },
            timeout, text);
    }

    std::string screenshot(const std::string& path, std::chrono::milliseconds timeout) override
    {
        std::string ignored;
        return on_ui(
            [this, path](const std::shared_ptr<UiCall>& call) {
                GdkWindow* surface = window_ ? gtk_widget_get_window(layout_) : nullptr;
                if (!surface || !gtk_widget_get_mapped(window_))
                    return call->finish("the window is not on the screen");
                gdk_display_sync(gdk_window_get_display(surface));
                GtkAllocation area;
                gtk_widget_get_allocation(layout_, &area);
                GdkPixbuf* picture = gdk_pixbuf_get_from_window(surface, 0, 0, area.width, area.height);
                if (!picture)
                    return call->finish("the window's picture cannot be read");
                GError* error = nullptr;
                bool saved = gdk_pixbuf_save(picture, path.c_str(), "png", &error, nullptr);
                g_object_unref(picture);
                if (!saved) {
                    std::string why = path + ": " + (error ? error->message : "cannot be written");
                    g_clear_error(&error);
                    return call->finish(why);
                }
                call->finish();
            },
            timeout, ignored);
    }

protected:
    void build_widgets(const WindowState& state) override
    {
        const UnitState& window = state.units.front();
        window_title_ = utf8(window.caption);
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window_), window_title_.c_str());
        if (icon_)
            gtk_window_set_icon(GTK_WINDOW(window_), icon_);
        gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
        gtk_window_move(GTK_WINDOW(window_), window.geometry.left, window.geometry.top);
        g_signal_connect(window_, "delete-event", G_CALLBACK(on_delete), this);
        if (std::getenv("CORERT_TRACE"))
            g_signal_connect(window_, "draw", G_CALLBACK(on_first_draw), nullptr);

        // Width and height are the client size; the layout holds the controls at their
        // stored positions and clips what lies outside it.
        layout_ = gtk_layout_new(nullptr, nullptr);
        gtk_widget_set_size_request(layout_, window.geometry.width, window.geometry.height);
        g_signal_connect_after(layout_, "size-allocate", G_CALLBACK(on_layout_allocated), this);
        gtk_container_add(GTK_CONTAINER(window_), layout_);

        for (const UnitState& unit : state.units) {
            if (unit.kind == UnitKind::Window)
                continue;
            GtkWidget* widget = make_widget(unit);
            if (!widget)
                continue;
            widgets_[unit.id] = widget;
            // The signal handlers (and tests) tell the widgets' units by this.
            g_object_set_data(G_OBJECT(widget), "nimbra-unit", GUINT_TO_POINTER(unit.id));
            gtk_layout_put(GTK_LAYOUT(layout_), widget, unit.geometry.left, unit.geometry.top);
            place(widget, unit.geometry);
            if ((unit.flags & qx::kUnitVisible) && unit.geometry.width > 0 && unit.geometry.height > 0)
                gtk_widget_show_all(widget);
        }
        gtk_widget_show(layout_);
        gtk_widget_show(window_);
    }

    void unit_changed(const UnitState& unit, PropertyChange change) override
    {
        auto found = widgets_.find(unit.id);
        if (unit.kind == UnitKind::Window) {
            if (window_ && change == PropertyChange::Text)
                gtk_window_set_title(GTK_WINDOW(window_), utf8(unit.caption).c_str());
            return;
        }
        if (found == widgets_.end())
            return;
        GtkWidget* widget = found->second;
        ++updating_;
        switch (change) {
        case PropertyChange::Geometry:
            gtk_layout_move(GTK_LAYOUT(layout_), widget, unit.geometry.left, unit.geometry.top);
            place(widget, unit.geometry);
            break;
        case PropertyChange::Text:
        case PropertyChange::Selection: show_unit_text(widget, unit); break;
        case PropertyChange::Address:
        case PropertyChange::None: break;
        }
        --updating_;
    }

    void wake_ui() override
    {
        if (!dispatch_scheduled_.exchange(true))
            g_idle_add(on_dispatch, nullptr);
    }

    void box_closed_elsewhere(uint32_t number) override
    {
        auto* closing = new uint32_t(number);
        g_idle_add(on_box_closed_elsewhere, closing);
    }

    void window_closed() override
    {
        if (window_)
            gtk_widget_hide(window_);
        if (loop_)
            g_main_loop_quit(loop_);
    }

private:
    static BackendOptions with_pane_browsers(BackendOptions options)
    {
        if (options.browsers)
            return options;
        if (options.browser_pane && options.browser_pane->version == kBrowserPaneVersion &&
            options.browser_pane->create_gtk_factory) {
            options.browsers.reset(options.browser_pane->create_gtk_factory());
        }
        if (!options.browsers)
            std::fprintf(stderr, "corert: WebPane offers no browser control; the browser panes stay empty\n");
        return options;
    }

    GtkWidget* make_widget(const UnitState& unit)
    {
        switch (unit.kind) {
        case UnitKind::Label: {
            GtkWidget* label = gtk_label_new(utf8(unit.caption).c_str());
            gtk_label_set_xalign(GTK_LABEL(label), 0);
            gtk_label_set_yalign(GTK_LABEL(label), 0.5);
            // Opaque like the platform's static text: 标签1 lies over the lower pane.
            gtk_style_context_add_class(gtk_widget_get_style_context(label), "nimbra-label");
            return label;
        }
        case UnitKind::Button: {
            GtkWidget* button = gtk_button_new_with_label(utf8(unit.caption).c_str());
            g_signal_connect(button, "clicked", G_CALLBACK(on_clicked), this);
            if (unit.cursor == qx::kCursorHand) {
                g_signal_connect(button, "enter-notify-event", G_CALLBACK(on_hand_enter), nullptr);
                g_signal_connect(button, "leave-notify-event", G_CALLBACK(on_hand_leave), nullptr);
            }
            return button;
        }
        case UnitKind::ComboBox: {
            GtkWidget* combo = gtk_combo_box_text_new();
            show_unit_text(combo, unit);
            g_signal_connect(combo, "changed", G_CALLBACK(on_combo_changed), this);
            return combo;
        }
        case UnitKind::EditBox: {
            GtkWidget* entry = gtk_entry_new();
            show_unit_text(entry, unit);
            g_signal_connect(entry, "changed", G_CALLBACK(on_entry_changed), this);
            return entry;
        }
        case UnitKind::Browser: {
            BrowserControl* control = browser(unit.id);
            auto* widget = control ? static_cast<GtkWidget*>(control->widget()) : nullptr;
            return widget;
        }
        case UnitKind::Window:
        case UnitKind::Other: return nullptr;
        }
        return nullptr;
    }

    static void place(GtkWidget* widget, const Geometry& geometry)
    {
        gtk_widget_set_size_request(widget, std::max(geometry.width, 0), std::max(geometry.height, 0));
    }

    // The layout gives a child at least what the child asks for; a theme or font that
    // makes a control want more than its stored size would push it out of place. So
    // every visible control gets exactly its stored rectangle, after the layout's own
    // allocation.
    static void on_layout_allocated(GtkWidget*, GdkRectangle*, gpointer data)
    {
        auto* self = static_cast<GtkWindowBackend*>(data);
        WindowState state = self->snapshot();
        for (const auto& [id, widget] : self->widgets_) {
            const UnitState* unit = state.find(id);
            if (!unit || !gtk_widget_get_visible(widget))
                continue;
            GtkAllocation exact = {unit->geometry.left, unit->geometry.top, unit->geometry.width,
                                   unit->geometry.height};
            GtkAllocation now;
            gtk_widget_get_allocation(widget, &now);
            if (now.x != exact.x || now.y != exact.y || now.width != exact.width || now.height != exact.height) {
                int ignored;
                gtk_widget_get_preferred_width(widget, &ignored, nullptr);
                gtk_widget_get_preferred_height(widget, &ignored, nullptr);
                gtk_widget_size_allocate(widget, &exact);
            }
        }
    }

    // Mirrors a unit's texts into its widget without raising the widget's signals as
    // the user's input: `updating_` tells the signal handlers apart.
    void show_unit_text(GtkWidget* widget, const UnitState& unit)
    {
        ++updating_;
        switch (unit.kind) {
        case UnitKind::Label: gtk_label_set_text(GTK_LABEL(widget), utf8(unit.caption).c_str()); break;
        case UnitKind::Button: gtk_button_set_label(GTK_BUTTON(widget), utf8(unit.caption).c_str()); break;
        case UnitKind::EditBox: gtk_entry_set_text(GTK_ENTRY(widget), utf8(unit.text).c_str()); break;
        case UnitKind::ComboBox: {
            auto* combo = GTK_COMBO_BOX_TEXT(widget);
            gtk_combo_box_text_remove_all(combo);
            for (const std::string& item : unit.items)
                gtk_combo_box_text_append_text(combo, utf8(item).c_str());
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), unit.selected);
            break;
        }
        default: break;
        }
        --updating_;
    }

    // Runs `task` on the UI thread and waits for it to finish its call (maybe later,
    // from a callback); empty when it finished in time, else why not.
    std::string on_ui(std::function<void(const std::shared_ptr<UiCall>&)> task, std::chrono::milliseconds timeout,
                      std::string& text)
    {
        auto call = std::make_shared<UiCall>();
        g_idle_add(on_ui_task, new UiTask{std::move(task), call});
        std::unique_lock lock(call->mutex);
        if (!call->done_changed.wait_for(lock, timeout, [&] { return call->done; }))
            return "the window did not answer within " + std::to_string(timeout.count() / 1000) +
                   " s (a handler holds it)";
        text = call->text;
        return call->problem;
    }

    static gboolean on_ui_task(gpointer data)
    {
        std::unique_ptr<UiTask> task(static_cast<UiTask*>(data));
        if (!live_)
            task->call->finish("the window is gone");
        else
            task->run(task->call);
        return G_SOURCE_REMOVE;
    }

    static gboolean on_dispatch(gpointer)
    {
        if (GtkWindowBackend* self = live_) {
            self->dispatch_scheduled_ = false;
            self->dispatch_pending();
        }
        return G_SOURCE_REMOVE;
    }

    static gboolean on_box_closed_elsewhere(gpointer data)
    {
        std::unique_ptr<uint32_t> number(static_cast<uint32_t*>(data));
        if (GtkWindowBackend* self = live_) {
            for (const auto& [open, dialog] : self->dialogs_) {
                if (open == *number)
                    gtk_dialog_response(GTK_DIALOG(dialog), self->box_answer(open));
            }
        }
        return G_SOURCE_REMOVE;
    }

    static uint32_t unit_of(GtkWidget* widget)
    {
        return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(widget), "nimbra-unit"));
    }

    static void on_clicked(GtkButton* button, gpointer data)
    {
        auto* self = static_cast<GtkWindowBackend*>(data);
        self->queue_user_action({UserAction::Kind::Click, unit_of(GTK_WIDGET(button)), 0});
    }

    static void on_combo_changed(GtkComboBox* combo, gpointer data)
    {
        auto* self = static_cast<GtkWindowBackend*>(data);
        int index = gtk_combo_box_get_active(combo);
        if (self->updating_ || index < 0)
            return;
        self->queue_user_action({UserAction::Kind::Pick, unit_of(GTK_WIDGET(combo)), index});
    }

    // For measuring start-up: the moment the window is first drawn.
    static gboolean on_first_draw(GtkWidget* window, cairo_t*, gpointer)
    {
        g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(on_first_draw), nullptr);
        std::fprintf(stderr, "corert: window drawn\n");
        std::fflush(stderr);
        return FALSE;
    }

    static void on_entry_changed(GtkEditable* entry, gpointer data)
    {
        auto* self = static_cast<GtkWindowBackend*>(data);
        if (!self->updating_)
            self->user_edited_text(unit_of(GTK_WIDGET(entry)), utf8_to_gbk(gtk_entry_get_text(GTK_ENTRY(entry))));
    }

    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data)
    {
        static_cast<GtkWindowBackend*>(data)->queue_user_action({UserAction::Kind::Close, 0, 0});
        return TRUE;  // hidden when the close is handled, not destroyed by GTK now
    }

    // Buttons have no window of their own: the hand is set on their parent's window
    // while the pointer is over them.
    static gboolean on_hand_enter(GtkWidget* widget, GdkEventCrossing*, gpointer)
    {
        GdkWindow* surface = gtk_widget_get_window(widget);
        GdkCursor* hand = gdk_cursor_new_from_name(gdk_window_get_display(surface), "pointer");
        gdk_window_set_cursor(surface, hand);
        if (hand)
            g_object_unref(hand);
        return FALSE;
    }

    static gboolean on_hand_leave(GtkWidget* widget, GdkEventCrossing*, gpointer)
    {
        gdk_window_set_cursor(gtk_widget_get_window(widget), nullptr);
        return FALSE;
    }

    static inline std::atomic<GtkWindowBackend*> live_{nullptr};

    const bool auto_answer_;
    // UI thread only.
    GtkWidget* window_ = nullptr;
    GtkWidget* layout_ = nullptr;
    GdkPixbuf* icon_ = nullptr;
    std::string window_title_;
    std::map<uint32_t, GtkWidget*> widgets_;
    int updating_ = 0;
    GMainLoop* loop_ = nullptr;
    std::vector<std::pair<uint32_t, GtkWidget*>> dialogs_;

    std::atomic<bool> dispatch_scheduled_{false};
};

}  // namespace

std::unique_ptr<WindowBackend> make_gtk_window(BackendOptions& options)
{
    if (!gtk_init_check(nullptr, nullptr))
        return nullptr;
    return std::make_unique<GtkWindowBackend>(std::move(options));
}

}  // namespace corert
