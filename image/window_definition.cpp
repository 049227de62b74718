#include "image/window_definition.h"

#include "image/gbk_text.h"

#include <stdexcept>

namespace qx {

namespace {

// Fixed places of the section head.
constexpr size_t kUnitCountAt = 28;
constexpr size_t kRestLengthAt = 32;
constexpr size_t kUnitListAt = 36;

// Every type data starts with this many zero bytes; the style words follow.
constexpr size_t kTypeDataZeros = 20;
constexpr uint32_t kCursorBytes = 4;

// "form unit 3 (组合框1)": units count from 1, as a reader of a dump counts them.
// Names are GBK and error messages are read in a UTF-8 terminal; a byte that does not
// convert is shown escaped, so the message stays exact and on one line.
std::string unit_label(size_t number, std::string_view name)
{
    std::string label = "form unit " + std::to_string(number);
    if (!name.empty())
        label += " (" + printable_gbk(name) + ")";
    return label;
}

// ---- reading ----

// A counted text that must lie inside the block the reader covers.
std::string read_block_text(ByteReader& block, const std::string& field)
{
    size_t at = block.position();
    uint32_t count = block.u32(field);
    if (count > block.remaining())
        block.fail_at(at, field,
                      "count " + std::to_string(count) + " overruns its block (" + std::to_string(block.remaining()) +
                          " bytes left)");
    auto bytes = block.bytes(count, field);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes read_block_bytes(ByteReader& block, const std::string& field)
{
    std::string text = read_block_text(block, field);
    return Bytes(text.begin(), text.end());
}

std::vector<uint32_t> read_style(ByteReader& block, uint32_t type_id, const std::string& label)
{
    block.zeros(kTypeDataZeros, label + " type data");
    std::vector<uint32_t> style(style_word_count(type_id));
    for (size_t i = 0; i < style.size(); ++i)
        style[i] = block.u32(label + " style word " + std::to_string(i + 1));
    return style;
}

WindowData read_window(ByteReader& block, const std::string& label)
{
    WindowData d;
    d.style = read_style(block, kTypeWindow, label);
    d.icon = read_block_bytes(block, label + " icon");
    d.extra = read_block_bytes(block, label + " bytes after the icon");
    d.title = read_block_text(block, label + " title");
    d.last_word = block.u32(label + " last word");
    return d;
}

LabelData read_label(ByteReader& block, const std::string& label)
{
    LabelData d;
    d.style = read_style(block, kTypeLabel, label);
    d.caption = read_block_text(block, label + " caption");
    d.trailing[0] = block.u32(label + " word after the caption");
    d.trailing[1] = block.u32(label + " word after the caption");
    return d;
}

ButtonData read_button(ByteReader& block, const std::string& label)
{
    ButtonData d;
    d.style = read_style(block, kTypeButton, label);
    d.caption = read_block_text(block, label + " caption");
    return d;
}

ComboBoxData read_combo_box(ByteReader& block, const std::string& label)
{
    ComboBoxData d;
    d.style = read_style(block, kTypeComboBox, label);
    size_t count_at = block.position();
    uint16_t count = block.u16(label + " item count");
    // Each item needs at least its count word, and 12 zero bytes close the list.
    if (size_t(count) * 4 + 12 > block.remaining())
        block.fail_at(count_at, label + " item count",
                      "count " + std::to_string(count) + " overruns its block (" + std::to_string(block.remaining()) +
                          " bytes left)");
    d.items.reserve(count);
    for (size_t i = 0; i < count; ++i)
        d.items.push_back(read_block_text(block, label + " item " + std::to_string(i + 1)));
    block.zeros(12, label + " bytes after the items");
    return d;
}

BrowserData read_browser(ByteReader& block, const std::string& label)
{
    BrowserData d;
    d.style = read_style(block, kTypeBrowser, label);
    d.address = read_block_text(block, label + " address");
    return d;
}

EditBoxData read_edit_box(ByteReader& block, const std::string& label)
{
    EditBoxData d;
    d.style = read_style(block, kTypeEditBox, label);
    block.zeros(10, label + " bytes after the style words");
    d.word_at_0x4a = block.u32(label + " word at 0x4a");
    block.zeros(12, label + " bytes after the word at 0x4a");
    d.text = read_block_text(block, label + " text");
    d.trailing[0] = block.u32(label + " word after the text");
    d.trailing[1] = block.u32(label + " word after the text");
    return d;
}

TypeData read_type_data(ByteReader& block, uint32_t type_id, const std::string& label)
{
    switch (type_id) {
    case kTypeWindow: return read_window(block, label);
    case kTypeLabel: return read_label(block, label);
    case kTypeButton: return read_button(block, label);
    case kTypeComboBox: return read_combo_box(block, label);
    case kTypeBrowser: return read_browser(block, label);
    case kTypeEditBox: return read_edit_box(block, label);
    }
    auto rest = block.bytes(block.remaining(), label + " type data");
    return RawTypeData{Bytes(rest.begin(), rest.end())};
}

uint32_t read_cursor(ByteReader& block, const std::string& label)
{
    std::string field = label + " cursor";
    size_t at = block.position();
    uint32_t count = block.u32(field);
    if (count == 0)
        return kCursorDefault;
    if (count != kCursorBytes)
        block.fail_at(at, field, "is " + std::to_string(count) + " bytes, expected 4 (or 0 for the default cursor)");
    return block.u32(field);
}

// `block` covers the bytes after the block's size word.
Unit read_unit(ByteReader& block, size_t number, uint32_t id)
{
    Unit u;
    u.id = id;
    std::string label = unit_label(number, "");
    u.type_id = block.u32(label + " type id");
    block.zeros(20, label + " reserved bytes");
    u.name = block.nul_text(label + " name");
    label = unit_label(number, u.name);
    u.comment = block.nul_text(label + " comment");
    block.zeros(4, label + " reserved word");
    u.left = block.i32(label + " left");
    u.top = block.i32(label + " top");
    u.width = block.i32(label + " width");
    u.height = block.i32(label + " height");
    block.zeros(12, label + " reserved words");
    u.cursor = read_cursor(block, label);
    u.tag = block.nul_text(label + " tag");
    block.zeros(4, label + " reserved word");
    u.flags = block.u32(label + " flags");
    block.zeros(4, label + " reserved word");

    size_t count_at = block.position();
    uint32_t count = block.u32(label + " event binding count");
    if (count > block.remaining() / 8)
        block.fail_at(count_at, label + " event binding count",
                      "count " + std::to_string(count) + " overruns its block (" + std::to_string(block.remaining()) +
                          " bytes left)");
    u.events.resize(count);
    for (auto& binding : u.events) {
        binding.event = block.u32(label + " event number");
        binding.code_offset = block.u32(label + " handler offset");
    }

    u.data = read_type_data(block, u.type_id, label);
    if (!block.at_end())
        block.fail(label + " type data", std::to_string(block.remaining()) + " bytes left over at the end of the " +
                                             type_name(u.type_id) + " block");
    return u;
}

// ---- writing ----

template <typename T>
const T& expect_data(const Unit& u, size_t number)
{
    const T* d = std::get_if<T>(&u.data);
    if (!d)
        throw std::invalid_argument(unit_label(number, u.name) + ": type data does not match type " + hex32(u.type_id) +
                                    " (" + type_name(u.type_id) + ")");
    return *d;
}

void write_style(ByteWriter& w, const Unit& u, size_t number, const std::vector<uint32_t>& style)
{
    size_t expected = style_word_count(u.type_id);
    if (style.size() != expected)
        throw std::invalid_argument(unit_label(number, u.name) + ": " + std::to_string(style.size()) +
                                    " style words, a " + type_name(u.type_id) + " stores " + std::to_string(expected));
    w.zeros(kTypeDataZeros);
    for (uint32_t word : style)
        w.u32(word);
}

void write_type_data(ByteWriter& w, const Unit& u, size_t number)
{
    switch (u.type_id) {
    case kTypeWindow: {
        const auto& d = expect_data<WindowData>(u, number);
        write_style(w, u, number, d.style);
        w.counted_bytes(d.icon);
        w.counted_bytes(d.extra);
        w.counted_text(d.title);
        w.u32(d.last_word);
        return;
    }
    case kTypeLabel: {
        const auto& d = expect_data<LabelData>(u, number);
        write_style(w, u, number, d.style);
        w.counted_text(d.caption);
        w.u32(d.trailing[0]);
        w.u32(d.trailing[1]);
        return;
    }
    case kTypeButton: {
        const auto& d = expect_data<ButtonData>(u, number);
        write_style(w, u, number, d.style);
        w.counted_text(d.caption);
        return;
    }
    case kTypeComboBox: {
        const auto& d = expect_data<ComboBoxData>(u, number);
        if (d.items.size() > 0xffff)
            throw std::invalid_argument(unit_label(number, u.name) + ": " + std::to_string(d.items.size()) +
                                        " items, the count word holds at most 65535");
        write_style(w, u, number, d.style);
        w.u16(static_cast<uint16_t>(d.items.size()));
        for (const auto& item : d.items)
            w.counted_text(item);
        w.zeros(12);
        return;
    }
    case kTypeBrowser: {
        const auto& d = expect_data<BrowserData>(u, number);
        write_style(w, u, number, d.style);
        w.counted_text(d.address);
        return;
    }
    case kTypeEditBox: {
        const auto& d = expect_data<EditBoxData>(u, number);
        write_style(w, u, number, d.style);
        w.zeros(10);
        w.u32(d.word_at_0x4a);
        w.zeros(12);
        w.counted_text(d.text);
        w.u32(d.trailing[0]);
        w.u32(d.trailing[1]);
        return;
    }
    }
    w.bytes(expect_data<RawTypeData>(u, number).bytes);
}

void write_unit(ByteWriter& w, const Unit& u, size_t number)
{
    size_t size_at = w.size();
    w.u32(0);
    w.u32(u.type_id);
    w.zeros(20);
    w.nul_text(u.name);
    w.nul_text(u.comment);
    w.u32(0);
    w.i32(u.left);
    w.i32(u.top);
    w.i32(u.width);
    w.i32(u.height);
    w.zeros(12);
    w.u32(kCursorBytes);
    w.u32(u.cursor);
    w.nul_text(u.tag);
    w.u32(0);
    w.u32(u.flags);
    w.u32(0);
    w.u32(checked_u32(u.events.size(), "event binding count"));
    for (const auto& binding : u.events) {
        w.u32(binding.event);
        w.u32(binding.code_offset);
    }
    write_type_data(w, u, number);
    w.patch_u32(size_at, checked_u32(w.size() - size_at - 4, "unit block size"));
}

}  // namespace

size_t style_word_count(uint32_t type_id)
{
    switch (type_id) {
    case kTypeWindow: return 21;
    case kTypeLabel: return 19;
    case kTypeButton: return 6;
    case kTypeComboBox: return 13;
    case kTypeBrowser: return 4;
    case kTypeEditBox: return 11;
    }
    return 0;
}

const char* type_name(uint32_t type_id)
{
    switch (type_id) {
    case kTypeWindow: return "window";
    case kTypeLabel: return "label";
    case kTypeButton: return "button";
    case kTypeComboBox: return "combo box";
    case kTypeBrowser: return "hypertext browser";
    case kTypeEditBox: return "edit box";
    }
    return "unknown type";
}

const Unit* FormSection::find_unit(uint32_t id) const
{
    // Code names the window by the window id, the unit list by its own entry.
    if (id == window_id && id != kWindowUnitListId) {
        for (const auto& u : units) {
            if (u.id == kWindowUnitListId)
                return &u;
        }
    }
    for (const auto& u : units) {
        if (u.id == id)
            return &u;
    }
    return nullptr;
}

const Unit* FormSection::find_unit_by_name(std::string_view name) const
{
    for (const auto& u : units) {
        if (u.name == name)
            return &u;
    }
    return nullptr;
}

Bytes write_form(const FormSection& form)
{
    Bytes out;
    ByteWriter w(out);
    w.u32(form.window_list_word);
    w.u32(form.window_id);
    for (uint32_t word : form.window_words)
        w.u32(word);
    w.zeros(8);
    w.u32(checked_u32(form.units.size(), "form unit count"));
    w.u32(0);  // rest length, patched at the end
    for (const auto& u : form.units)
        w.u32(u.id);
    size_t offsets_at = w.size();
    w.zeros(4 * form.units.size());
    size_t first_block = w.size();
    for (size_t i = 0; i < form.units.size(); ++i) {
        w.patch_u32(offsets_at + 4 * i, checked_u32(w.size() - first_block, "form block offset"));
        write_unit(w, form.units[i], i + 1);
    }
    w.patch_u32(kRestLengthAt, checked_u32(w.size() - kUnitListAt, "form rest length"));
    return out;
}

// Reads the head up to and including the block offsets. The unit count is checked
// against the data before anything is sized by it.
static void read_head(ByteReader& r, FormSection* form, std::vector<uint32_t>& ids, FormPlacement& place)
{
    uint32_t list_word = r.u32("form window-list word");
    uint32_t window_id = r.u32("form window id");
    uint32_t words[3];
    for (auto& word : words)
        word = r.u32("form window word");
    r.zeros(8, "form zero words");
    if (form) {
        form->window_list_word = list_word;
        form->window_id = window_id;
        for (size_t i = 0; i < 3; ++i)
            form->window_words[i] = words[i];
    }
    uint32_t count = r.u32("form unit count");
    place.rest_length = r.u32("form rest length");
    if (place.rest_length != r.remaining())
        r.fail_at(kRestLengthAt, "form rest length",
                  "says " + std::to_string(place.rest_length) + " bytes follow, the section has " +
                      std::to_string(r.remaining()));
    if (count > r.remaining() / 8)
        r.fail_at(kUnitCountAt, "form unit count",
                  std::to_string(count) + " units do not fit in " + std::to_string(r.remaining()) + " bytes");
    ids.resize(count);
    for (auto& id : ids)
        id = r.u32("form unit id");
    place.block_offsets.resize(count);
    for (auto& offset : place.block_offsets)
        offset = r.u32("form block offset");
    place.first_block = static_cast<uint32_t>(r.position());
}

FormPlacement form_placement(std::span<const uint8_t> data)
{
    ByteReader r(data);
    std::vector<uint32_t> ids;
    FormPlacement place;
    read_head(r, nullptr, ids, place);
    return place;
}

FormSection read_form(std::span<const uint8_t> data, size_t origin)
{
    ByteReader r(data, origin);
    FormSection form;
    std::vector<uint32_t> ids;
    FormPlacement place;
    read_head(r, &form, ids, place);

    size_t offsets_at = place.first_block - 4 * ids.size();
    size_t expected = 0;  // where the next block must start, from the first block
    form.units.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        std::string label = unit_label(i + 1, "");
        if (place.block_offsets[i] != expected)
            r.fail_at(offsets_at + 4 * i, label + " block offset",
                      "is " + std::to_string(place.block_offsets[i]) + ", the previous block ends at " +
                          std::to_string(expected));
        uint32_t size = r.u32(label + " block size");
        if (size > r.remaining())
            r.fail_at(r.position() - 4, label + " block size",
                      std::to_string(size) + " overruns the section (" + std::to_string(r.remaining()) +
                          " bytes left)");
        size_t block_at = r.position();
        ByteReader block(data.subspan(block_at, size), origin + block_at);
        form.units.push_back(read_unit(block, i + 1, ids[i]));
        r.seek(block_at + size, label + " block");
        expected += 4 + size_t(size);
    }
    if (!r.at_end())
        r.fail("form unit blocks",
               "the last block ends " + std::to_string(r.remaining()) + " bytes before the section's end");
    return form;
}

}  // namespace qx
