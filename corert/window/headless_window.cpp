// The headless backend: the window as state in memory, with an event queue that the
// event loop and ProcessEvents drain on the UI thread.
#include "corert/gbk.h"
#include "corert/command_args.h"
#include "corert/window/window_backend.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace corert {

namespace {

struct Event {
    enum class Kind { Created, Pick, Click, Close };
    Kind kind = Kind::Created;
    uint32_t unit = 0;
    int32_t index = 0;
};

class HeadlessWindow final : public WindowBackend {
public:
    explicit HeadlessWindow(BackendOptions options)
        : invoke_(std::move(options.invoke_handler)),
          browser_factory_(options.browsers ? std::move(options.browsers) : make_recording_browser_factory()),
          boxes_wait_(options.boxes_wait_for_answer)
    {
    }

    ~HeadlessWindow() override
    {
        std::lock_guard lock(mutex_);
        shutting_down_ = true;
        changed_.notify_all();
    }

    // ---- services ----

    void load_window(const qx::FormSection& form, uint32_t window_id) override
    {
        struct StartingBrowser {
            uint32_t unit;
            Geometry geometry;
            std::string address;
        };
        std::vector<StartingBrowser> starting;
        {
            std::lock_guard lock(mutex_);
            if (loaded_) {
                note_once(window_id, kNoteLoad, "load_window: the window is already loaded");
                return;
            }
            if (form.window_id != window_id || form.units.empty()) {
                note_once(window_id, kNoteLoad, "load_window: the form holds no such window");
                return;
            }
            state_ = build_window_state(form);
            for (const UnitState& unit : state_.units) {
                if (unit.kind == UnitKind::Browser)
                    starting.push_back({unit.id, unit.geometry, unit.address});
            }
        }
        // Browser controls are outside code: called without the lock.
        for (const StartingBrowser& browser : starting) {
            browsers_[browser.unit] = browser_factory_->create(browser.unit, browser.geometry);
            if (!browser.address.empty())
                open_in_browser(browser.unit, browser.address);
        }
        std::lock_guard lock(mutex_);
        loaded_ = true;
        queue_.push_back({Event::Kind::Created, state_.window_id, 0});
        changed_.notify_all();
    }

    uint64_t get_property(uint32_t window, uint32_t unit, uint32_t property, int32_t) override
    {
        PropertyValue value;
        {
            std::lock_guard lock(mutex_);
            const UnitState* state = code_unit(window, unit);
            if (!state)
                return 0;
            value = read_property(*state, property);
            if (std::holds_alternative<std::monostate>(value)) {
                note_once(unit, property, "reads property " + std::to_string(property) + ", which this unit does not have");
                return 0;
            }
        }
        if (const int32_t* number = std::get_if<int32_t>(&value))
            return integer_result(*number);
        return text_result(std::get<std::string>(value));
    }

    void set_property(uint32_t window, uint32_t unit, uint32_t property, int32_t, uint32_t low,
                      uint32_t high) override
    {
        std::string text;
        if (is_text_property(property)) {
            auto pointer = reinterpret_cast<const char*>(static_cast<uintptr_t>(low) |
                                                         (static_cast<uintptr_t>(high) << 32));
            if (pointer)
                text = pointer;
        }
        PropertyChange change;
        Geometry geometry;
        {
            std::lock_guard lock(mutex_);
            UnitState* state = code_unit(window, unit);
            if (!state)
                return;
            change = write_property(*state, property, static_cast<int32_t>(low), text);
            if (change == PropertyChange::None)
                note_once(unit, property, "writes property " + std::to_string(property) + ", which this unit does not have");
            geometry = state->geometry;
        }
        auto browser = browsers_.find(unit);
        if (browser == browsers_.end())
            return;
        if (change == PropertyChange::Geometry)
            browser->second->move(geometry);
        else if (change == PropertyChange::Address)
            open_in_browser(unit, text);
    }

    void hand_over() override {}

    void run_event_loop() override
    {
        std::unique_lock lock(mutex_);
        if (!loaded_)
            return;
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty() || closed_ || shutting_down_; });
            if (closed_ || shutting_down_)
                return;
            dispatch_next(lock);
        }
    }

    // ---- window commands ----

    int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) override
    {
        std::unique_lock lock(mutex_);
        MessageBoxRecord box;
        box.number = static_cast<uint32_t>(boxes_.size() + 1);
        box.message = message;
        box.title = title;
        box.has_title = has_title;
        box.flags = flags;
        std::fprintf(stderr, "corert: message box %u: %s\n", box.number, gbk_to_utf8(message).c_str());
        if (!boxes_wait_ || shutting_down_) {
            box.open = false;
            box.answer = box_buttons(flags).front();
            boxes_.push_back(box);
            return box.answer;
        }
        size_t index = boxes_.size();
        boxes_.push_back(box);
        changed_.notify_all();
        changed_.wait(lock, [&] { return !boxes_[index].open || shutting_down_; });
        if (boxes_[index].open) {
            boxes_[index].open = false;
            boxes_[index].answer = box_buttons(flags).front();
        }
        return boxes_[index].answer;
    }

    void process_events() override
    {
        std::unique_lock lock(mutex_);
        while (!queue_.empty() && !closed_ && !shutting_down_)
            dispatch_next(lock);
    }

    int32_t item_count(const ControlRef& combo) override
    {
        std::lock_guard lock(mutex_);
        const UnitState* unit = combo_unit(combo);
        return unit ? static_cast<int32_t>(unit->items.size()) : 0;
    }

    std::string item_text(const ControlRef& combo, int32_t index) override
    {
        std::lock_guard lock(mutex_);
        const UnitState* unit = combo_unit(combo);
        return unit ? corert::item_text(*unit, index) : std::string();
    }

    void add_item(const ControlRef& combo, std::string_view text, int32_t, bool) override
    {
        std::lock_guard lock(mutex_);
        if (UnitState* unit = combo_unit(combo))
            append_item(*unit, text);
    }

    void delete_item(const ControlRef& combo, int32_t index) override
    {
        std::lock_guard lock(mutex_);
        if (UnitState* unit = combo_unit(combo))
            corert::delete_item(*unit, index);
    }

    // ---- automation ----

    WindowState snapshot() const override
    {
        std::lock_guard lock(mutex_);
        return state_;
    }

    std::vector<MessageBoxRecord> message_boxes() const override
    {
        std::lock_guard lock(mutex_);
        return boxes_;
    }

    std::vector<BrowserVisit> browser_visits() const override
    {
        std::lock_guard lock(mutex_);
        return visits_;
    }

    WindowStatus status() const override
    {
        std::lock_guard lock(mutex_);
        WindowStatus status;
        status.loaded = loaded_;
        status.closed = closed_;
        status.handler_depth = handler_depth_;
        status.queued = queue_.size();
        if (const MessageBoxRecord* box = open_box())
            status.open_box = box->number;
        return status;
    }

    std::string post(const UserAction& action) override
    {
        std::lock_guard lock(mutex_);
        if (!loaded_)
            return "the window is not loaded yet";
        if (closed_)
            return "the window is closed";
        Event event;
        event.unit = action.unit;
        event.index = action.index;
        switch (action.kind) {
        case UserAction::Kind::Pick: {
            const UnitState* unit = state_.find(action.unit);
            if (!unit || unit->kind != UnitKind::ComboBox)
                return "not a combo box";
            if (action.index < 0 || static_cast<size_t>(action.index) >= unit->items.size())
                return "item " + std::to_string(action.index) + " is outside the list of " +
                       std::to_string(unit->items.size()) + " items";
            event.kind = Event::Kind::Pick;
            break;
        }
        case UserAction::Kind::Click: {
            const UnitState* unit = state_.find(action.unit);
            if (!unit || unit->kind != UnitKind::Button)
                return "not a button";
            event.kind = Event::Kind::Click;
            break;
        }
        case UserAction::Kind::Close:
            // The box would otherwise hold the UI thread, and the close behind it, for
            // good. Closing the window ends the box as with its default button.
            if (MessageBoxRecord* box = open_box()) {
                box->answer = box_buttons(box->flags).front();
                box->open = false;
            }
            event.kind = Event::Kind::Close;
            break;
        }
        queue_.push_back(event);
        changed_.notify_all();
        return {};
    }

    std::string answer_box(std::optional<int32_t> button) override
    {
        std::lock_guard lock(mutex_);
        MessageBoxRecord* box = open_box();
        if (!box)
            return "no message box is open";
        std::vector<int32_t> buttons = box_buttons(box->flags);
        int32_t answer = button.value_or(buttons.front());
        bool shown = false;
        for (int32_t b : buttons)
            shown = shown || b == answer;
        if (!shown)
            return std::string("this box has no button ") + std::to_string(answer);
        box->answer = answer;
        box->open = false;
        changed_.notify_all();
        return {};
    }

    IdleState wait_idle(std::chrono::milliseconds timeout, std::stop_token stop) override
    {
        std::unique_lock lock(mutex_);
        auto settled = [&] { return closed_ || open_box() || (loaded_ && queue_.empty() && active_ == 0); };
        if (!changed_.wait_for(lock, stop, timeout, settled))
            return IdleState::Busy;
        if (closed_)
            return IdleState::Closed;
        if (open_box())
            return IdleState::BoxOpen;
        return IdleState::Idle;
    }

private:
    // Takes the next event and handles it without the lock; `lock` is held on entry
    // and on return. An event counts as active until its handler has returned, so
    // wait_idle never sees the gap between taking an event and running its handler.
    void dispatch_next(std::unique_lock<std::mutex>& lock)
    {
        Event event = queue_.front();
        queue_.pop_front();
        ++active_;
        std::optional<uint32_t> handler = take_event(event);
        if (handler) {
            ++handler_depth_;
            lock.unlock();
            invoke_(*handler);
            lock.lock();
            --handler_depth_;
        }
        --active_;
        changed_.notify_all();
    }

    // Applies what the event changes in the window and says which handler follows.
    std::optional<uint32_t> take_event(const Event& event)
    {
        UnitState* unit = state_.find(event.unit);
        switch (event.kind) {
        case Event::Kind::Close:
            closed_ = true;
            queue_.clear();
            return std::nullopt;
        case Event::Kind::Pick:
            // The list may have changed since the pick was queued.
            if (!unit || event.index < 0 || static_cast<size_t>(event.index) >= unit->items.size())
                return std::nullopt;
            unit->selected = event.index;
            break;
        case Event::Kind::Created:
        case Event::Kind::Click: break;
        }
        if (!unit || !invoke_)
            return std::nullopt;
        return unit->handler;
    }

    void open_in_browser(uint32_t unit, const std::string& address)
    {
        PageLoad load = browsers_.at(unit)->open(address);
        std::lock_guard lock(mutex_);
        BrowserVisit visit;
        visit.number = static_cast<uint32_t>(visits_.size() + 1);
        visit.unit = unit;
        visit.load = std::move(load);
        visits_.push_back(std::move(visit));
    }

    UnitState* code_unit(uint32_t window, uint32_t unit)
    {
        if (!loaded_ || window != state_.window_id) {
            note_once(window, kNoteWindow, "names a window that is not loaded");
            return nullptr;
        }
        UnitState* state = state_.find(unit);
        if (!state)
            note_once(unit, kNoteUnit, "names a unit the window does not have");
        return state;
    }

    UnitState* combo_unit(const ControlRef& combo)
    {
        if (!loaded_ || combo.window != state_.window_id)
            return nullptr;
        UnitState* unit = state_.find(combo.unit);
        return unit && unit->kind == UnitKind::ComboBox ? unit : nullptr;
    }

    const MessageBoxRecord* open_box() const
    {
        for (const MessageBoxRecord& box : boxes_) {
            if (box.open)
                return &box;
        }
        return nullptr;
    }
    MessageBoxRecord* open_box() { return const_cast<MessageBoxRecord*>(std::as_const(*this).open_box()); }

    // A program that misuses a unit would repeat the same note on every click.
    // Keys for notes that are not about one property.
    static constexpr uint32_t kNoteLoad = ~0u, kNoteWindow = ~1u, kNoteUnit = ~2u;
    void note_once(uint32_t id, uint32_t key, const std::string& what)
    {
        if (noted_.insert({id, key}).second)
            std::fprintf(stderr, "corert: window unit 0x%08x: %s\n", id, what.c_str());
    }

    HandlerInvoker invoke_;
    std::unique_ptr<BrowserFactory> browser_factory_;
    const bool boxes_wait_;
    // UI thread only.
    std::map<uint32_t, std::unique_ptr<BrowserControl>> browsers_;

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    WindowState state_;
    bool loaded_ = false;
    bool closed_ = false;
    bool shutting_down_ = false;
    std::deque<Event> queue_;
    int active_ = 0;
    int handler_depth_ = 0;
    std::vector<MessageBoxRecord> boxes_;
    std::vector<BrowserVisit> visits_;
    std::set<std::pair<uint32_t, uint32_t>> noted_;
};

}  // namespace

std::unique_ptr<WindowBackend> make_headless_window(BackendOptions options)
{
    return std::make_unique<HeadlessWindow>(std::move(options));
}

}  // namespace corert
