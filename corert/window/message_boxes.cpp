// WindowCore's message-box bookkeeping: every box the program shows is recorded, and
// answered by the user, by automation, or at once with its default button.
#include "corert/window/window_core.h"

#include "corert/diagnostics.h"
#include "corert/gbk.h"

#include <utility>

namespace corert {

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
    say("message box %u: %s", box.number, gbk_to_utf8(message).c_str());
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

const MessageBoxRecord* WindowCore::open_box() const
{
    for (const MessageBoxRecord& box : boxes_) {
        if (box.open)
            return &box;
    }
    return nullptr;
}

MessageBoxRecord* WindowCore::open_box() { return const_cast<MessageBoxRecord*>(std::as_const(*this).open_box()); }

}  // namespace corert
