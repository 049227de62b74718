#include "corert/window/window_backend.h"

#include "corert/diagnostics.h"
#include "platform/desktop.h"

#include <cstdlib>
#include <string_view>

namespace corert {

std::vector<int32_t> box_buttons(int32_t flags)
{
    switch (flags & 0xf) {
    case 1: return {kButtonOk, kButtonCancel};
    case 2: return {kButtonAbort, kButtonRetry, kButtonIgnore};
    case 3: return {kButtonYes, kButtonNo, kButtonCancel};
    case 4: return {kButtonYes, kButtonNo};
    case 5: return {kButtonRetry, kButtonCancel};
    default: return {kButtonOk};
    }
}

namespace {

constexpr std::pair<int32_t, const char*> kButtonNames[] = {
    {kButtonOk, "ok"},         {kButtonCancel, "cancel"}, {kButtonAbort, "abort"}, {kButtonRetry, "retry"},
    {kButtonIgnore, "ignore"}, {kButtonYes, "yes"},       {kButtonNo, "no"},
};

}  // namespace

const char* button_name(int32_t button)
{
    for (auto& [number, name] : kButtonNames) {
        if (number == button)
            return name;
    }
    return "?";
}

std::optional<int32_t> button_by_name(std::string_view name)
{
    for (auto& [number, button] : kButtonNames) {
        if (name == button)
            return number;
    }
    return std::nullopt;
}

std::unique_ptr<WindowBackend> make_window_backend(BackendOptions options, GtkWindowMaker make_gtk)
{
    const char* asked = std::getenv("CORERT_BACKEND");
    std::string_view choice = asked && *asked ? asked : (nimbra::platform::display_available() ? "gtk" : "headless");
    if (choice == "gtk") {
        if (std::unique_ptr<WindowBackend> gtk = make_gtk ? make_gtk(options) : nullptr)
            return gtk;
        say("the gtk window backend cannot open the display; using headless");
    } else if (choice != "headless") {
        say("CORERT_BACKEND=%s is not a window backend (headless, gtk); using headless", asked);
    }
    return make_headless_window(std::move(options));
}

}  // namespace corert
