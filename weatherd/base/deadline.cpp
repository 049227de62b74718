#include "weatherd/base/deadline.h"

#include <algorithm>

namespace weatherd {

void StopSignal::raise()
{
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard guard(lock_);
        raised_ = true;
        wakes = wakes_;
    }
    for (const auto& wake : wakes)
        wake();
}

void StopSignal::on_raise(std::function<void()> wake)
{
    {
        std::lock_guard guard(lock_);
        if (!raised_) {
            wakes_.push_back(std::move(wake));
            return;
        }
    }
    wake();
}

Deadline Deadline::seconds_from_now(double seconds, const StopSignal* stop)
{
    return Deadline(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
                    stop);
}

Deadline Deadline::already_passed() { return Deadline(Clock::time_point(), nullptr); }

Deadline Deadline::sooner(double seconds) const
{
    return Deadline(at_ - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)), stop_);
}

bool Deadline::passed() const { return stopping() || Clock::now() >= at_; }

double Deadline::seconds_left() const
{
    if (stopping())
        return 0;
    return std::max(0.0, std::chrono::duration<double>(at_ - Clock::now()).count());
}

}  // namespace weatherd
