// The kernel commands that act on the window: served by whichever window backend the
// runtime starts. The dispatcher forwards to the installed backend; with none
// installed these commands do nothing and give empty results.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corert {

// A control as the image names it: the run-time window and unit ids of a control
// reference argument, and its data-type id (the argument's tag).
struct ControlRef {
    uint32_t window = 0;
    uint32_t unit = 0;
    uint32_t type = 0;
};

// Texts cross this interface as GBK bytes, like every text inside the system.
class WindowCommands {
public:
    virtual ~WindowCommands() = default;

    // A modal box; returns the number of the button that closed it.
    virtual int32_t message_box(std::string_view message, int32_t flags, std::string_view title, bool has_title) = 0;
    // Handles the pending window events before it returns; handlers may run nested.
    virtual void process_events() = 0;
    virtual int32_t item_count(const ControlRef& combo) = 0;
    // Item indexes count from 0; an index outside the list gives the empty text.
    virtual std::string item_text(const ControlRef& combo, int32_t index) = 0;
    virtual void add_item(const ControlRef& combo, std::string_view text, int32_t data, bool has_data) = 0;
    virtual void delete_item(const ControlRef& combo, int32_t index) = 0;
};

// Installs the backend the window commands go to; null removes it. Not owned: it must
// outlive every command call made while it is installed.
void set_window_commands(WindowCommands* backend);
WindowCommands* window_commands();

}  // namespace corert
