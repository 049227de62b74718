// The headless backend: the window as state in memory, with an event queue that the
// event loop and ProcessEvents drain on the UI thread.
#include "corert/window/window_core.h"

namespace corert {

namespace {

class HeadlessWindow final : public WindowCore {
public:
    explicit HeadlessWindow(BackendOptions options) : WindowCore(std::move(options)) {}

    void run_event_loop() override { wait_and_dispatch_until_closed(); }

    int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) override
    {
        uint32_t number = open_box_record(message, flags, title, has_title, !boxes_wait());
        return wait_for_box(number);
    }

    void process_events() override { dispatch_pending(); }
};

}  // namespace

std::unique_ptr<WindowBackend> make_headless_window(BackendOptions options)
{
    return std::make_unique<HeadlessWindow>(std::move(options));
}

}  // namespace corert
