// The window as state in memory: what every backend keeps about each unit, built from
// the form section, and the rules of the unit properties.
//
// A backend holds one WindowState under its own lock; the GTK backend mirrors it into
// widgets, the headless backend is nothing more. Automation reads it, so every query
// gets the same answer whichever backend runs.
#pragma once

#include "image/window_definition.h"
#include "support/browser_pane.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corert {

enum class UnitKind { Window, Label, Button, ComboBox, EditBox, Browser, Other };

const char* kind_name(UnitKind kind);

// The kind of unit a type id stands for; Other for a type id this runtime does not know.
// The one list of the type ids the runtime serves: the loader refuses any other.
UnitKind unit_kind(uint32_t type_id);

// The browser controls are told the same geometry, so the type is theirs.
using nimbra::support::Geometry;

struct UnitState {
    uint32_t id = 0;       // as code names it: the window by the form's window id
    uint32_t list_id = 0;  // as the form's unit list stores it
    uint32_t type_id = 0;
    UnitKind kind = UnitKind::Other;
    std::string name;  // GBK, like every text below
    Geometry geometry;
    uint32_t flags = 0;
    uint32_t cursor = 0;
    std::string caption;  // window title, label and button caption
    std::string text;     // edit box text
    std::string address;  // browser: the address it was last given (start address first)
    std::vector<std::string> items;
    int32_t selected = -1;            // combo box: -1 while nothing is selected
    std::optional<uint32_t> handler;  // code offset bound to event 0
};

struct WindowState {
    uint32_t window_id = 0;
    std::vector<UnitState> units;  // the window first, then the controls in list order

    UnitState* find(uint32_t id);
    const UnitState* find(uint32_t id) const;
    const UnitState* find_by_name(std::string_view gbk_name) const;
};

// The window and its controls as the form describes them, nothing selected. The
// window unit answers to both the form's window id and its unit-list id.
WindowState build_window_state(const qx::FormSection& form);

// A property's value: an integer, a text (GBK), or nothing for a property the unit
// does not have.
using PropertyValue = std::variant<std::monostate, int32_t, std::string>;

PropertyValue read_property(const UnitState& unit, uint32_t property);

// What a write changed, so the backend can tell a widget or browser control.
enum class PropertyChange { None, Geometry, Text, Address, Selection };

// Integer properties take the low word; text properties take a text. A write to a
// property the unit does not have changes nothing. A selection outside the list
// clears the selection, as the combo box of the original platform does.
PropertyChange write_property(UnitState& unit, uint32_t property, int32_t integer, std::string_view text);

// Whether `property` takes a text when written (the caller then reads the pointer).
bool is_text_property(uint32_t property);

// Combo box list changes made by the program. Deleting the selected item clears the
// selection; deleting one above it keeps the same item selected. Out-of-range deletes
// are ignored.
void append_item(UnitState& combo, std::string_view text);
void delete_item(UnitState& combo, int32_t index);
std::string item_text(const UnitState& combo, int32_t index);

}  // namespace corert
