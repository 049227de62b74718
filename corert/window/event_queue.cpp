// WindowCore's event queue: user input (from widgets or automation) is queued and
// dispatched on the UI thread, one event at a time, each to the routine bound to it;
// a handler that processes events runs the next ones nested inside itself.
#include "corert/window/window_core.h"

#include <algorithm>

namespace corert {

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
        deepest_handler_depth_ = std::max(deepest_handler_depth_, handler_depth_);
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

}  // namespace corert
