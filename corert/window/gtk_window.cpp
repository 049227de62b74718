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
// Texts are GBK inside the system and UTF-8 in GTK: converted where they meet a widget
// or a dialog (utf8() below, utf8_to_gbk for what the user types), and nowhere else.
#include "corert/window/gtk_window.h"

#include "corert/diagnostics.h"
#include "corert/gbk.h"
#include "corert/run_time_error.h"
#include "platform/desktop.h"

#include <algorithm>
#include <cstdlib>

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

}  // namespace

std::string utf8(std::string_view gbk) { return gbk_to_utf8(gbk); }

GtkWindowBackend::GtkWindowBackend(BackendOptions options)
    : WindowCore(std::move(options)), auto_answer_(options.auto_answer)  // a bool: moving the options left it as it was
{
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kStyleSheet, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    set_error_dialog([](const std::string& message) { nimbra::platform::show_error_dialog("Nimbra", message); });
    live_ = this;
}

GtkWindowBackend::~GtkWindowBackend()
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

void GtkWindowBackend::load_window(const qx::FormSection& form, uint32_t window_id)
{
    if (!form.units.empty()) {
        if (auto* data = std::get_if<qx::WindowData>(&form.units.front().data)) {
            if (!icon_)
                icon_ = icon_from_ico(data->icon);
        }
    }
    WindowCore::load_window(form, window_id);
}

void GtkWindowBackend::run_event_loop()
{
    if (!window_ || is_closed())
        return;
    loop_ = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop_);
}

// Lets GTK handle what is pending (drawing, input, the browsers' loads), which also
// dispatches queued events through the idle source; then whatever is still queued.
//
// A routine may call this thousands of times in a row (cleaning a list of repeats does,
// after every comparison), and each look at GTK's sources costs tens of microseconds
// with the browsers' sources among them: so GTK is looked at no more often than once a
// millisecond, which no one can see or feel, while the queue is dispatched every time.
void GtkWindowBackend::process_events()
{
    auto now = std::chrono::steady_clock::now();
    if (now - last_main_iteration_ >= kMainIterationInterval) {
        // A bound, so a source that is always ready cannot hold the program here.
        for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
        last_main_iteration_ = std::chrono::steady_clock::now();
    }
    dispatch_pending();
}

void GtkWindowBackend::build_widgets(const WindowState& state)
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

void GtkWindowBackend::unit_changed(const UnitState& unit, PropertyChange change)
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

void GtkWindowBackend::wake_ui()
{
    if (!dispatch_scheduled_.exchange(true))
        g_idle_add(on_dispatch, nullptr);
}

void GtkWindowBackend::window_closed()
{
    if (window_)
        gtk_widget_hide(window_);
    if (loop_)
        g_main_loop_quit(loop_);
}

GtkWidget* GtkWindowBackend::make_widget(const UnitState& unit)
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

void GtkWindowBackend::place(GtkWidget* widget, const Geometry& geometry)
{
    gtk_widget_set_size_request(widget, std::max(geometry.width, 0), std::max(geometry.height, 0));
}

// The layout gives a child at least what the child asks for; a theme or font that
// makes a control want more than its stored size would push it out of place. So
// every visible control gets exactly its stored rectangle, after the layout's own
// allocation.
void GtkWindowBackend::on_layout_allocated(GtkWidget*, GdkRectangle*, gpointer data)
{
    auto* self = static_cast<GtkWindowBackend*>(data);
    WindowState state = self->snapshot();
    for (const auto& [id, widget] : self->widgets_) {
        const UnitState* unit = state.find(id);
        if (!unit || !gtk_widget_get_visible(widget))
            continue;
        GtkAllocation exact = {unit->geometry.left, unit->geometry.top, unit->geometry.width, unit->geometry.height};
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
void GtkWindowBackend::show_unit_text(GtkWidget* widget, const UnitState& unit)
{
    ++updating_;
    switch (unit.kind) {
    case UnitKind::Label: gtk_label_set_text(GTK_LABEL(widget), utf8(unit.caption).c_str()); break;
    case UnitKind::Button: gtk_button_set_label(GTK_BUTTON(widget), utf8(unit.caption).c_str()); break;
    case UnitKind::EditBox: gtk_entry_set_text(GTK_ENTRY(widget), utf8(unit.text).c_str()); break;
    case UnitKind::ComboBox: {
        auto* combo = GTK_COMBO_BOX_TEXT(widget);
        std::vector<std::string>& shown = shown_items_[unit.id];
        const std::vector<std::string>& items = unit.items;
        // Every row change makes GTK measure and signal; AddItem and DeleteItem change one
        // item, so one row follows, and only another change rebuilds the list.
        auto same_prefix = [&](size_t count) {
            return std::equal(items.begin(), items.begin() + count, shown.begin());
        };
        if (items.size() == shown.size() + 1 && same_prefix(shown.size())) {
            gtk_combo_box_text_append_text(combo, utf8(items.back()).c_str());
        } else if (items.size() + 1 == shown.size()) {
            size_t gone = std::mismatch(items.begin(), items.end(), shown.begin()).first - items.begin();
            if (std::equal(items.begin() + gone, items.end(), shown.begin() + gone + 1))
                gtk_combo_box_text_remove(combo, static_cast<int>(gone));
            else
                rebuild_items(combo, items);
        } else if (items != shown) {
            rebuild_items(combo, items);
        }
        shown = items;
        if (gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) != unit.selected)
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), unit.selected);
        break;
    }
    default: break;
    }
    --updating_;
}

void GtkWindowBackend::rebuild_items(GtkComboBoxText* combo, const std::vector<std::string>& items)
{
    gtk_combo_box_text_remove_all(combo);
    for (const std::string& item : items)
        gtk_combo_box_text_append_text(combo, utf8(item).c_str());
}

gboolean GtkWindowBackend::on_dispatch(gpointer)
{
    if (GtkWindowBackend* self = live_) {
        self->dispatch_scheduled_ = false;
        self->dispatch_pending();
    }
    return G_SOURCE_REMOVE;
}

uint32_t GtkWindowBackend::unit_of(GtkWidget* widget)
{
    return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(widget), "nimbra-unit"));
}

void GtkWindowBackend::on_clicked(GtkButton* button, gpointer data)
{
    auto* self = static_cast<GtkWindowBackend*>(data);
    self->queue_user_action({UserAction::Kind::Click, unit_of(GTK_WIDGET(button)), 0});
}

void GtkWindowBackend::on_combo_changed(GtkComboBox* combo, gpointer data)
{
    auto* self = static_cast<GtkWindowBackend*>(data);
    int index = gtk_combo_box_get_active(combo);
    if (self->updating_ || index < 0)
        return;
    self->queue_user_action({UserAction::Kind::Pick, unit_of(GTK_WIDGET(combo)), index});
}

// For measuring start-up: the moment the window is first drawn.
gboolean GtkWindowBackend::on_first_draw(GtkWidget* window, cairo_t*, gpointer)
{
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(on_first_draw), nullptr);
    say("window drawn");
    return FALSE;
}

void GtkWindowBackend::on_entry_changed(GtkEditable* entry, gpointer data)
{
    auto* self = static_cast<GtkWindowBackend*>(data);
    if (!self->updating_)
        self->user_edited_text(unit_of(GTK_WIDGET(entry)), utf8_to_gbk(gtk_entry_get_text(GTK_ENTRY(entry))));
}

gboolean GtkWindowBackend::on_delete(GtkWidget*, GdkEvent*, gpointer data)
{
    static_cast<GtkWindowBackend*>(data)->queue_user_action({UserAction::Kind::Close, 0, 0});
    return TRUE;  // hidden when the close is handled, not destroyed by GTK now
}

// Buttons have no window of their own: the hand is set on their parent's window
// while the pointer is over them.
gboolean GtkWindowBackend::on_hand_enter(GtkWidget* widget, GdkEventCrossing*, gpointer)
{
    GdkWindow* surface = gtk_widget_get_window(widget);
    GdkCursor* hand = gdk_cursor_new_from_name(gdk_window_get_display(surface), "pointer");
    gdk_window_set_cursor(surface, hand);
    if (hand)
        g_object_unref(hand);
    return FALSE;
}

gboolean GtkWindowBackend::on_hand_leave(GtkWidget* widget, GdkEventCrossing*, gpointer)
{
    gdk_window_set_cursor(gtk_widget_get_window(widget), nullptr);
    return FALSE;
}

namespace {

// WebPane's controls: its WebKit part is loaded here, before GTK opens the display. Loaded
// after, the same libraries made the first paint some 25 ms later (tests/bench/gtk_start.py).
std::unique_ptr<BrowserFactory> pane_browsers(const BackendOptions& options)
{
    std::unique_ptr<BrowserFactory> panes;
    const BrowserPaneExtension* pane = options.browser_pane;
    if (pane && pane->version == kBrowserPaneVersion && pane->create_gtk_factory)
        panes.reset(pane->create_gtk_factory());
    if (!panes)
        say("WebPane offers no browser control; the browser panes stay empty");
    return panes;
}

}  // namespace

std::unique_ptr<WindowBackend> make_gtk_window(BackendOptions& options)
{
    std::unique_ptr<BrowserFactory> panes = options.browsers ? nullptr : pane_browsers(options);
    if (!gtk_init_check(nullptr, nullptr))
        return nullptr;
    if (!options.browsers)
        options.browsers = std::move(panes);
    return std::make_unique<GtkWindowBackend>(std::move(options));
}

}  // namespace corert
