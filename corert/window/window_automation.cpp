// WindowCore's automation side: what any thread may ask of the window (its state, the
// records, whether it is idle) and the user actions it may post.
#include "corert/window/window_core.h"

namespace corert {

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
    status.deepest_handler_depth = deepest_handler_depth_;
    status.queued = queue_.size();
    if (const MessageBoxRecord* box = open_box())
        status.open_box = box->number;
    return status;
}

std::string WindowCore::post(const UserAction& action) { return queue_user_action(action); }

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

}  // namespace corert
