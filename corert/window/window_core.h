// What every window backend shares: the window as state in memory, the event queue,
// the records of message boxes and browser visits, and the automation side.
//
// A backend derives from WindowCore and adds what shows the window: the headless
// backend adds nothing but a loop that waits for events; the GTK backend mirrors the
// state into widgets through the hooks below and drains the queue from its main loop.
// All state lives under one lock so automation threads read it while the UI thread is
// inside a handler; handlers, browser controls and widgets are called without it.
//
// One class, one file per part:
//   window_core.cpp        the window model: state, unit properties, combo-box commands
//   event_queue.cpp        queued input and its dispatch to the bound routines
//   message_boxes.cpp      the records of message boxes and their answers
//   browser_pages.cpp      what the browser units are given, and the visit log
//   window_automation.cpp  what automation asks and posts, from any thread
#pragma once

#include "corert/window/window_backend.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace corert {

class WindowCore : public WindowBackend {
public:
    explicit WindowCore(BackendOptions options);
    ~WindowCore() override;

    // ---- services ----
    void load_window(const qx::FormSection& form, uint32_t window_id) override;
    uint64_t get_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element) override;
    void set_property(uint32_t window, uint32_t unit, uint32_t property, int32_t element, uint32_t low,
                      uint32_t high) override;
    void hand_over() override {}

    // ---- window commands ----
    int32_t item_count(const ControlRef& combo) override;
    std::string item_text(const ControlRef& combo, int32_t index) override;
    void add_item(const ControlRef& combo, std::string_view text, int32_t data, bool has_data) override;
    void delete_item(const ControlRef& combo, int32_t index) override;

    // ---- automation ----
    WindowState snapshot() const override;
    std::vector<MessageBoxRecord> message_boxes() const override;
    std::vector<BrowserVisit> browser_visits() const override;
    WindowStatus status() const override;
    std::string post(const UserAction& action) override;
    std::string answer_box(std::optional<int32_t> button) override;
    IdleState wait_idle(std::chrono::milliseconds timeout, std::stop_token stop) override;

protected:
    struct Event {
        enum class Kind { Created, Pick, Click, Close };
        Kind kind = Kind::Created;
        uint32_t unit = 0;
        int32_t index = 0;
    };

    // ---- hooks for the backend (all default to nothing) ----
    // UI thread, after the state is built and before the start addresses open.
    virtual void build_widgets(const WindowState&) {}
    // UI thread, without the lock: the program (or an event) changed this unit.
    virtual void unit_changed(const UnitState&, PropertyChange) {}
    // Any thread, without the lock: something was queued or a box was answered, so the
    // UI thread should look at the queue.
    virtual void wake_ui() {}
    // Any thread, without the lock: box `number` was closed from outside (automation,
    // or the window being closed) while its dialog was up.
    virtual void box_closed_elsewhere(uint32_t) {}
    // UI thread, without the lock: the window was closed.
    virtual void window_closed() {}

    // ---- for the backends ----
    // Queues an event as user input (the GTK widgets' own signals come in here).
    std::string queue_user_action(const UserAction& action);
    // The user typed into an edit box: its text (GBK) as the program will read it.
    void user_edited_text(uint32_t unit, std::string gbk_text);
    // Runs queued events until none is left, the window is closed, or a message box
    // is open. UI thread. Handlers may run nested inside one another through it.
    void dispatch_pending();
    // Headless: blocks until the window closes, dispatching as events come.
    void wait_and_dispatch_until_closed();

    // A message box record: opened (returns its number) and closed with an answer.
    // `answer_now` closes it at once with its default button.
    uint32_t open_box_record(std::string_view message, int32_t flags, std::string_view title, bool has_title,
                             bool answer_now);
    // Blocks until the box is answered (or the backend goes away); its answer.
    int32_t wait_for_box(uint32_t number);
    // Records the answer of a box the user closed in its dialog; false when it was
    // closed already (then its recorded answer stands).
    bool close_box_record(uint32_t number, int32_t answer);
    int32_t box_answer(uint32_t number) const;

    bool is_closed() const;
    bool boxes_wait() const { return boxes_wait_; }
    BrowserControl* browser(uint32_t unit);

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    WindowState state_;
    bool loaded_ = false;
    bool closed_ = false;
    bool shutting_down_ = false;

private:
    void dispatch_next(std::unique_lock<std::mutex>& lock);
    std::optional<uint32_t> take_event(const Event& event);
    void open_in_browser(uint32_t unit, const std::string& address);
    UnitState* code_unit(uint32_t window, uint32_t unit);
    UnitState* combo_unit(const ControlRef& combo);
    const MessageBoxRecord* open_box() const;
    MessageBoxRecord* open_box();

    static constexpr uint32_t kNoteLoad = ~0u, kNoteWindow = ~1u, kNoteUnit = ~2u;
    void note_once(uint32_t id, uint32_t key, const std::string& what);

    HandlerInvoker invoke_;
    std::unique_ptr<BrowserFactory> browser_factory_;
    const bool boxes_wait_;
    // UI thread only.
    std::map<uint32_t, std::unique_ptr<BrowserControl>> browsers_;

    std::deque<Event> queue_;
    int active_ = 0;
    int handler_depth_ = 0;
    int deepest_handler_depth_ = 0;
    std::vector<MessageBoxRecord> boxes_;
    std::vector<BrowserVisit> visits_;
    std::set<std::pair<uint32_t, uint32_t>> noted_;
};

}  // namespace corert
