#include "corert/window/window_core.h"

#include "corert/command_args.h"
#include "corert/gbk.h"

#include <cstdio>
#include <utility>

namespace corert {

WindowCore::WindowCore(BackendOptions options)
    : invoke_(std::move(options.invoke_handler)),
      browser_factory_(options.browsers ? std::move(options.browsers) : make_recording_browser_factory()),
      boxes_wait_(options.boxes_wait_for_answer)
{
}

WindowCore::~WindowCore()
{
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    changed_.notify_all();
}

// ---- services ----

void WindowCore::load_window(const qx::FormSection& form, uint32_t window_id)
{
    WindowState built;
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
        built = state_;
    }
    // Browser controls and widgets are outside code: called without the lock.
    for (const UnitState& unit : built.units) {
        if (unit.kind == UnitKind::Browser)
            browsers_[unit.id] = browser_factory_->create(unit.id, unit.geometry);
    }
    build_widgets(built);
    for (const UnitState& unit : built.units) {
        if (unit.kind == UnitKind::Browser && !unit.address.empty())
            open_in_browser(unit.id, unit.address);
    }
    {
        std::lock_guard lock(mutex_);
        loaded_ = true;
        queue_.push_back({Event::Kind::Created, state_.window_id, 0});
        changed_.notify_all();
    }
    wake_ui();
}

uint64_t WindowCore::get_property(uint32_t window, uint32_t unit, uint32_t property, int32_t)
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

void WindowCore::set_property(uint32_t window, uint32_t unit, uint32_t property, int32_t, uint32_t low,
                              uint32_t high)
{
    std::string text;
    if (is_text_property(property)) {
        auto pointer =
            reinterpret_cast<const char*>(static_cast<uintptr_t>(low) | (static_cast<uintptr_t>(high) << 32));
        if (pointer)
            text = pointer;
    }
    PropertyChange change;
    UnitState changed;
    {
        std::lock_guard lock(mutex_);
        UnitState* state = code_unit(window, unit);
        if (!state)
            return;
        change = write_property(*state, property, static_cast<int32_t>(low), text);
        if (change == PropertyChange::None) {
            note_once(unit, property, "writes property " + std::to_string(property) + ", which this unit does not have");
            return;
        }
        changed = *state;
    }
    unit_changed(changed, change);
    if (BrowserControl* control = browser(unit)) {
        if (change == PropertyChange::Geometry)
            control->move(changed.geometry);
        else if (change == PropertyChange::Address)
            open_in_browser(unit, text);
    }
}

// ---- window commands ----

int32_t WindowCore::item_count(const ControlRef& combo)
{
    std::lock_guard lock(mutex_);
    const UnitState* unit = combo_unit(combo);
    return unit ? static_cast<int32_t>(unit->items.size()) : 0;
}

std::string WindowCore::item_text(const ControlRef& combo, int32_t index)
{
    std::lock_guard lock(mutex_);
    const UnitState* unit = combo_unit(combo);
    return unit ? corert::item_text(*unit, index) : std::string();
}

void WindowCore::add_item(const ControlRef& combo, std::string_view text, int32_t, bool)
{
    UnitState changed;
    {
        std::lock_guard lock(mutex_);
        UnitState* unit = combo_unit(combo);
        if (!unit)
            return;
        append_item(*unit, text);
        changed = *unit;
    }
    unit_changed(changed, PropertyChange::Text);
}

void WindowCore::delete_item(const ControlRef& combo, int32_t index)
{
    UnitState changed;
    {
        std::lock_guard lock(mutex_);
        UnitState* unit = combo_unit(combo);
        if (!unit)
            return;
        corert::delete_item(*unit, index);
        changed = *unit;
    }
    unit_changed(changed, PropertyChange::Text);
}

// ---- automation ----

WindowState WindowCore::snapshot() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

std::vector<MessageBoxRecord> WindowCore::message_boxes() const
{
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::vector<BrowserVisit> WindowCore::browser_visits() const
{
    std::lock_guard lock(mutex_);
    return visits_;
}

WindowStatus WindowCore::status() const
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

std::string WindowCore::post(const UserAction& action)
{
    return queue_user_action(action);
}

std::string WindowCore::queue_user_action(const UserAction& action)
{
    std::optional<uint32_t> closed_box;
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
                closed_box = box->number;
            }
            event.kind = Event::Kind::Close;
            break;
        }
        queue_.push_back(event);
        changed_.notify_all();
    }
    if (closed_box)
        box_closed_elsewhere(*closed_box);
    wake_ui();
    return {};
}

std::string WindowCore::answer_box(std::optional<int32_t> button)
{
    uint32_t number = 0;
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
        number = box->number;
        changed_.notify_all();
    }
    box_closed_elsewhere(number);
    wake_ui();
    return {};
}

IdleState WindowCore::wait_idle(std::chrono::milliseconds timeout, std::stop_token stop)
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

// ---- for the backends ----

void WindowCore::user_edited_text(uint32_t unit, std::string gbk_text)
{
    std::lock_guard lock(mutex_);
    UnitState* state = state_.find(unit);
    if (state && state->kind == UnitKind::EditBox)
        state->text = std::move(gbk_text);
}

void WindowCore::dispatch_pending()
{
    std::unique_lock lock(mutex_);
    while (!queue_.empty() && !closed_ && !shutting_down_ && !open_box())
        dispatch_next(lock);
}

void WindowCore::wait_and_dispatch_until_closed()
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

uint32_t WindowCore::open_box_record(std::string_view message, int32_t flags, std::string_view title, bool has_title,
                                     bool answer_now)
{
    std::lock_guard lock(mutex_);
    MessageBoxRecord box;
    box.number = static_cast<uint32_t>(boxes_.size() + 1);
    box.message = message;
    box.title = title;
    box.has_title = has_title;
    box.flags = flags;
    std::fprintf(stderr, "corert: message box %u: %s\n", box.number, gbk_to_utf8(message).c_str());
    if (answer_now || shutting_down_ || closed_) {
        box.open = false;
        box.answer = box_buttons(flags).front();
    }
    boxes_.push_back(box);
    changed_.notify_all();
    return box.number;
}

int32_t WindowCore::wait_for_box(uint32_t number)
{
    std::unique_lock lock(mutex_);
    MessageBoxRecord& box = boxes_.at(number - 1);
    changed_.wait(lock, [&] { return !box.open || shutting_down_; });
    if (box.open) {
        box.open = false;
        box.answer = box_buttons(box.flags).front();
    }
    return box.answer;
}

bool WindowCore::close_box_record(uint32_t number, int32_t answer)
{
    std::lock_guard lock(mutex_);
    MessageBoxRecord& box = boxes_.at(number - 1);
    if (!box.open)
        return false;
    box.open = false;
    box.answer = answer;
    changed_.notify_all();
    return true;
}

int32_t WindowCore::box_answer(uint32_t number) const
{
    std::lock_guard lock(mutex_);
    return boxes_.at(number - 1).answer;
}

bool WindowCore::is_closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

BrowserControl* WindowCore::browser(uint32_t unit)
{
    auto found = browsers_.find(unit);
    return found == browsers_.end() ? nullptr : found->second.get();
}

// ---- inside ----

// Takes the next event and handles it without the lock; `lock` is held on entry and
// on return. An event counts as active until its handler has returned, so wait_idle
// never sees the gap between taking an event and running its handler.
void WindowCore::dispatch_next(std::unique_lock<std::mutex>& lock)
{
    Event event = queue_.front();
    queue_.pop_front();
    ++active_;
    std::optional<uint32_t> handler = take_event(event);
    std::optional<UnitState> picked;
    if (event.kind == Event::Kind::Pick) {
        if (const UnitState* unit = state_.find(event.unit))
            picked = *unit;
    }
    lock.unlock();
    if (event.kind == Event::Kind::Close)
        window_closed();
    else if (picked)
        unit_changed(*picked, PropertyChange::Selection);
    if (handler) {
        lock.lock();
        ++handler_depth_;
        lock.unlock();
        invoke_(*handler);
        lock.lock();
        --handler_depth_;
    } else {
        lock.lock();
    }
    --active_;
    changed_.notify_all();
}

// Applies what the event changes in the window and says which handler follows.
std::optional<uint32_t> WindowCore::take_event(const Event& event)
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

void WindowCore::open_in_browser(uint32_t unit, const std::string& address)
{
    // Read now, before the property write returns: the page builders delete the file
    // 10 ms later.
    PageLoad load = load_page_source(address);
    browsers_.at(unit)->show(load);
    std::lock_guard lock(mutex_);
    BrowserVisit visit;
    visit.number = static_cast<uint32_t>(visits_.size() + 1);
    visit.unit = unit;
    visit.load = std::move(load);
    visits_.push_back(std::move(visit));
}

UnitState* WindowCore::code_unit(uint32_t window, uint32_t unit)
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

UnitState* WindowCore::combo_unit(const ControlRef& combo)
{
    if (!loaded_ || combo.window != state_.window_id)
        return nullptr;
    UnitState* unit = state_.find(combo.unit);
    return unit && unit->kind == UnitKind::ComboBox ? unit : nullptr;
}

const MessageBoxRecord* WindowCore::open_box() const
{
    for (const MessageBoxRecord& box : boxes_) {
        if (box.open)
            return &box;
    }
    return nullptr;
}

MessageBoxRecord* WindowCore::open_box()
{
    return const_cast<MessageBoxRecord*>(std::as_const(*this).open_box());
}

// A program that misuses a unit would repeat the same note on every click.
void WindowCore::note_once(uint32_t id, uint32_t key, const std::string& what)
{
    if (noted_.insert({id, key}).second)
        std::fprintf(stderr, "corert: window unit 0x%08x: %s\n", id, what.c_str());
}

}  // namespace corert
