// The window model: the state built from the form, the unit properties the program
// reads and writes, and the combo-box commands. The other parts of WindowCore are in
// event_queue.cpp, message_boxes.cpp, browser_pages.cpp and window_automation.cpp.
#include "corert/window/window_core.h"

#include "corert/command_args.h"
#include "corert/diagnostics.h"

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

void WindowCore::set_property(uint32_t window, uint32_t unit, uint32_t property, int32_t, uint32_t low, uint32_t high)
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
            note_once(unit, property,
                      "writes property " + std::to_string(property) + ", which this unit does not have");
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

void WindowCore::user_edited_text(uint32_t unit, std::string gbk_text)
{
    std::lock_guard lock(mutex_);
    UnitState* state = state_.find(unit);
    if (state && state->kind == UnitKind::EditBox)
        state->text = std::move(gbk_text);
}

bool WindowCore::is_closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
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

// A program that misuses a unit would repeat the same note on every click.
void WindowCore::note_once(uint32_t id, uint32_t key, const std::string& what)
{
    if (noted_.insert({id, key}).second)
        say("window unit 0x%08x: %s", id, what.c_str());
}

}  // namespace corert
