// The GTK 3 backend: the window of the form section as a real window. It lives in a
// module of its own (corert-gtk.so), loaded only where the window is shown on a display,
// so that a headless program never loads GTK (gtk_window_loader.h).
//
//   gtk_window.cpp         the window and its widgets, their signals, the event loop
//   gtk_message_boxes.cpp  message boxes as modal dialogs
//   gtk_automation.cpp     what only a window on a screen can answer: page loads, page
//                          text, screenshots
#pragma once

#include "corert/window/window_core.h"

#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corert {

struct UiCall;

// Texts are GBK inside the system and UTF-8 in GTK: converted at the widget boundary.
std::string utf8(std::string_view gbk);

class GtkWindowBackend final : public WindowCore {
public:
    explicit GtkWindowBackend(BackendOptions options);
    ~GtkWindowBackend() override;
    void load_window(const qx::FormSection& form, uint32_t window_id) override;
    void run_event_loop() override;
    void process_events() override;
    int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) override;
    std::string wait_page(uint32_t unit, std::chrono::milliseconds timeout, std::stop_token stop) override;
    std::string page_text(uint32_t unit, std::chrono::milliseconds timeout, std::string& text) override;
    std::string page_layout(uint32_t unit, std::chrono::milliseconds timeout, std::string& layout) override;
    std::string screenshot(const std::string& path, std::chrono::milliseconds timeout) override;

protected:
    void build_widgets(const WindowState& state) override;
    void unit_changed(const UnitState& unit, PropertyChange change) override;
    void wake_ui() override;
    void box_closed_elsewhere(uint32_t number) override;
    void window_closed() override;

private:
    GtkWidget* make_widget(const UnitState& unit);
    static void place(GtkWidget* widget, const Geometry& geometry);
    static void on_layout_allocated(GtkWidget*, GdkRectangle*, gpointer data);
    void show_unit_text(GtkWidget* widget, const UnitState& unit);
    void rebuild_items(GtkComboBoxText* combo, const std::vector<std::string>& items);
    std::string on_ui(std::function<void(const std::shared_ptr<UiCall>&)> task, std::chrono::milliseconds timeout,
                      std::string& text);
    static gboolean on_ui_task(gpointer data);
    static gboolean on_dispatch(gpointer);
    static gboolean on_box_closed_elsewhere(gpointer data);
    static uint32_t unit_of(GtkWidget* widget);
    static void on_clicked(GtkButton* button, gpointer data);
    static void on_combo_changed(GtkComboBox* combo, gpointer data);
    static gboolean on_first_draw(GtkWidget* window, cairo_t*, gpointer);
    static void on_entry_changed(GtkEditable* entry, gpointer data);
    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data);
    static gboolean on_hand_enter(GtkWidget* widget, GdkEventCrossing*, gpointer);
    static gboolean on_hand_leave(GtkWidget* widget, GdkEventCrossing*, gpointer);
    static inline std::atomic<GtkWindowBackend*> live_{nullptr};
    const bool auto_answer_;
    // UI thread only.
    GtkWidget* window_ = nullptr;
    GtkWidget* layout_ = nullptr;
    GdkPixbuf* icon_ = nullptr;
    std::string window_title_;
    static constexpr std::chrono::milliseconds kMainIterationInterval{1};
    std::chrono::steady_clock::time_point last_main_iteration_{};
    std::map<uint32_t, GtkWidget*> widgets_;
    // The items each combo box's GTK model holds, so that an added or a deleted item changes
    // one row: a whole new list per item made every list fill cost a rebuild per item.
    std::map<uint32_t, std::vector<std::string>> shown_items_;
    int updating_ = 0;
    GMainLoop* loop_ = nullptr;
    std::vector<std::pair<uint32_t, GtkWidget*>> dialogs_;
    std::atomic<bool> dispatch_scheduled_{false};
};

}  // namespace corert
