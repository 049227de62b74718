#include "corert/window/window_state.h"

#include "runtime/service_abi.h"

namespace corert {

const char* kind_name(UnitKind kind)
{
    switch (kind) {
    case UnitKind::Window: return "window";
    case UnitKind::Label: return "label";
    case UnitKind::Button: return "button";
    case UnitKind::ComboBox: return "combo";
    case UnitKind::EditBox: return "edit";
    case UnitKind::Browser: return "browser";
    case UnitKind::Other: return "other";
    }
    return "other";
}

UnitKind unit_kind(uint32_t type_id)
{
    switch (type_id) {
    case qx::kTypeWindow: return UnitKind::Window;
    case qx::kTypeLabel: return UnitKind::Label;
    case qx::kTypeButton: return UnitKind::Button;
    case qx::kTypeComboBox: return UnitKind::ComboBox;
    case qx::kTypeEditBox: return UnitKind::EditBox;
    case qx::kTypeBrowser: return UnitKind::Browser;
    default: return UnitKind::Other;
    }
}

namespace {

// Copies the texts of the type data into the unit; a type data that does not match
// the kind (a raw block) leaves them empty.
struct TypeTexts {
    UnitState& unit;
    void operator()(const qx::WindowData& data) const { unit.caption = data.title; }
    void operator()(const qx::LabelData& data) const { unit.caption = data.caption; }
    void operator()(const qx::ButtonData& data) const { unit.caption = data.caption; }
    void operator()(const qx::ComboBoxData& data) const { unit.items = data.items; }
    void operator()(const qx::BrowserData& data) const { unit.address = data.address; }
    void operator()(const qx::EditBoxData& data) const { unit.text = data.text; }
    void operator()(const qx::RawTypeData&) const {}
};

UnitState unit_state(const qx::Unit& unit, uint32_t code_id)
{
    UnitState state;
    state.id = code_id;
    state.list_id = unit.id;
    state.type_id = unit.type_id;
    state.kind = unit_kind(unit.type_id);
    state.name = unit.name;
    state.geometry = {unit.left, unit.top, unit.width, unit.height};
    state.flags = unit.flags;
    state.cursor = unit.cursor;
    std::visit(TypeTexts{state}, unit.data);
    for (const qx::EventBinding& binding : unit.events) {
        if (binding.event == 0) {
            state.handler = binding.code_offset;
            break;
        }
    }
    return state;
}

}  // namespace

WindowState build_window_state(const qx::FormSection& form)
{
    WindowState window;
    window.window_id = form.window_id;
    for (size_t i = 0; i < form.units.size(); ++i) {
        const qx::Unit& unit = form.units[i];
        // Code names the first unit, the window, by the window id.
        uint32_t code_id = i == 0 ? form.window_id : unit.id;
        window.units.push_back(unit_state(unit, code_id));
    }
    return window;
}

UnitState* WindowState::find(uint32_t id)
{
    for (UnitState& unit : units) {
        if (unit.id == id || unit.list_id == id)
            return &unit;
    }
    return nullptr;
}

const UnitState* WindowState::find(uint32_t id) const { return const_cast<WindowState*>(this)->find(id); }

const UnitState* WindowState::find_by_name(std::string_view gbk_name) const
{
    for (const UnitState& unit : units) {
        if (!unit.name.empty() && unit.name == gbk_name)
            return &unit;
    }
    return nullptr;
}

bool is_text_property(uint32_t property) { return property == qx::kPropText || property == qx::kPropAddress; }

PropertyValue read_property(const UnitState& unit, uint32_t property)
{
    switch (property) {
    case qx::kPropLeft: return unit.geometry.left;
    case qx::kPropTop: return unit.geometry.top;
    case qx::kPropWidth: return unit.geometry.width;
    case qx::kPropHeight: return unit.geometry.height;
    case qx::kPropText:
        switch (unit.kind) {
        case UnitKind::EditBox: return unit.text;
        case UnitKind::ComboBox: return item_text(unit, unit.selected);
        case UnitKind::Window:
        case UnitKind::Label:
        case UnitKind::Button: return unit.caption;
        default: return std::monostate{};
        }
    case qx::kPropAddress:
        if (unit.kind == UnitKind::Browser)
            return unit.address;
        return std::monostate{};
    case qx::kPropSelectedIndex:
        if (unit.kind == UnitKind::ComboBox)
            return unit.selected;
        return std::monostate{};
    default: return std::monostate{};
    }
}

PropertyChange write_property(UnitState& unit, uint32_t property, int32_t integer, std::string_view text)
{
    switch (property) {
    case qx::kPropLeft: unit.geometry.left = integer; return PropertyChange::Geometry;
    case qx::kPropTop: unit.geometry.top = integer; return PropertyChange::Geometry;
    case qx::kPropWidth: unit.geometry.width = integer; return PropertyChange::Geometry;
    case qx::kPropHeight: unit.geometry.height = integer; return PropertyChange::Geometry;
    case qx::kPropText:
        switch (unit.kind) {
        case UnitKind::EditBox: unit.text = text; return PropertyChange::Text;
        case UnitKind::Window:
        case UnitKind::Label:
        case UnitKind::Button: unit.caption = text; return PropertyChange::Text;
        default: return PropertyChange::None;
        }
    case qx::kPropAddress:
        if (unit.kind != UnitKind::Browser)
            return PropertyChange::None;
        unit.address = text;
        return PropertyChange::Address;
    case qx::kPropSelectedIndex:
        if (unit.kind != UnitKind::ComboBox)
            return PropertyChange::None;
        unit.selected = integer >= 0 && static_cast<size_t>(integer) < unit.items.size() ? integer : -1;
        return PropertyChange::Selection;
    default: return PropertyChange::None;
    }
}

void append_item(UnitState& combo, std::string_view text) { combo.items.emplace_back(text); }

void delete_item(UnitState& combo, int32_t index)
{
    if (index < 0 || static_cast<size_t>(index) >= combo.items.size())
        return;
    combo.items.erase(combo.items.begin() + index);
    if (combo.selected == index)
        combo.selected = -1;
    else if (combo.selected > index)
        --combo.selected;
}

std::string item_text(const UnitState& combo, int32_t index)
{
    if (index < 0 || static_cast<size_t>(index) >= combo.items.size())
        return {};
    return combo.items[static_cast<size_t>(index)];
}

}  // namespace corert
