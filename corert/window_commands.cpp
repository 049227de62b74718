// The kernel commands that act on the window, forwarded to the installed backend;
// with none installed they do nothing and give empty results.
#include "corert/command_handlers.h"
#include "corert/window_commands.h"

#include <atomic>

namespace corert {

namespace {

std::atomic<WindowCommands*> window_backend{nullptr};

}  // namespace

void set_window_commands(WindowCommands* backend) { window_backend.store(backend); }
WindowCommands* window_commands() { return window_backend.load(); }

namespace handlers {

// MessageBox(message, flags, [title]); with no backend nobody can answer: 0.
uint64_t message_box(const CommandArgs& args)
{
    WindowCommands* backend = window_commands();
    if (!backend)
        return integer_result(0);
    return integer_result(backend->message_box(args.text(0), args.integer(1), args.text(2), !args.omitted(2)));
}

uint64_t process_events(const CommandArgs&)
{
    if (WindowCommands* backend = window_commands())
        backend->process_events();
    return 0;
}

uint64_t item_count(const CommandArgs& args)
{
    WindowCommands* backend = window_commands();
    auto combo = args.control(0);
    return integer_result(backend && combo ? backend->item_count(*combo) : 0);
}

uint64_t item_text(const CommandArgs& args)
{
    WindowCommands* backend = window_commands();
    auto combo = args.control(0);
    if (!backend || !combo)
        return text_result({});
    return text_result(backend->item_text(*combo, args.integer(1)));
}

uint64_t add_item(const CommandArgs& args)
{
    WindowCommands* backend = window_commands();
    if (auto combo = args.control(0); backend && combo)
        backend->add_item(*combo, args.text(1), args.integer(2), !args.omitted(2));
    return 0;
}

uint64_t delete_item(const CommandArgs& args)
{
    WindowCommands* backend = window_commands();
    if (auto combo = args.control(0); backend && combo)
        backend->delete_item(*combo, args.integer(1));
    return 0;
}

}  // namespace handlers
}  // namespace corert
