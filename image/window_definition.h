// The form section: the program's window and its controls.
//
//   window-list word, window id, three window words, two zero words   (28 bytes)
//   unit count n, byte length of everything after that word
//   n unit ids, n block offsets (counted from the first byte after the offsets)
//   n unit blocks, back to back, the last one ending at the section's end
//
// A unit block: size (bytes after the size word), type id, 20 zero bytes, name (NUL
// text), comment (NUL text), 0, left, top, width, height (signed), three zero words,
// cursor (counted bytes, a u32 cursor id), tag (NUL text), 0, flags, 0, event binding
// count, bindings (event, code offset), then type data laid out by the type id. Every
// type data starts with 20 zero bytes followed by the type's style words.
//
// Captions, list items, addresses, the title and the edit text are counted texts; names,
// comments and tags are NUL texts. Texts are GBK bytes, kept as they are.
#pragma once

#include "image/byte_io.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qx {

inline constexpr uint32_t kMainWindowId = 0x52010001;
inline constexpr uint32_t kWindowUnitListId = 0x06010000;  // the window's own entry in the unit list

enum TypeId : uint32_t {
    kTypeWindow = 0x00010001,
    kTypeEditBox = 0x00010005,
    kTypeLabel = 0x0001000a,
    kTypeButton = 0x0001000b,
    kTypeComboBox = 0x0001000e,
    kTypeBrowser = 0x00020001,  // from the second library of the manifest
};

inline constexpr uint32_t kCursorDefault = 0;
inline constexpr uint32_t kCursorHand = 32649;

enum UnitFlags : uint32_t {
    kUnitVisible = 1u << 0,
    kUnitTakesFocus = 1u << 2,
};

struct EventBinding {
    uint32_t event = 0;
    uint32_t code_offset = 0;  // from the start of the code section's data
    bool operator==(const EventBinding&) const = default;
};

struct WindowData {
    std::vector<uint32_t> style;  // 21 words
    Bytes icon;                   // a Windows icon file
    Bytes extra;                  // the counted bytes after the icon (empty here)
    std::string title;
    uint32_t last_word = 0;
    bool operator==(const WindowData&) const = default;
};

struct LabelData {
    std::vector<uint32_t> style;  // 19 words
    std::string caption;
    uint32_t trailing[2] = {0, 0};
    bool operator==(const LabelData&) const = default;
};

struct ButtonData {
    std::vector<uint32_t> style;  // 6 words
    std::string caption;
    bool operator==(const ButtonData&) const = default;
};

struct ComboBoxData {
    std::vector<uint32_t> style;  // 13 words
    std::vector<std::string> items;
    bool operator==(const ComboBoxData&) const = default;
};

struct BrowserData {
    std::vector<uint32_t> style;  // 4 words
    std::string address;          // empty: opens nothing when the window is created
    bool operator==(const BrowserData&) const = default;
};

struct EditBoxData {
    std::vector<uint32_t> style;  // 11 words
    uint32_t word_at_0x4a = 100;
    std::string text;
    uint32_t trailing[2] = {0, 0};
    bool operator==(const EditBoxData&) const = default;
};

// Type data of a type this reader does not know: kept as bytes.
struct RawTypeData {
    Bytes bytes;
    bool operator==(const RawTypeData&) const = default;
};

using TypeData = std::variant<WindowData, LabelData, ButtonData, ComboBoxData, BrowserData, EditBoxData, RawTypeData>;

// Number of style words each known type stores (the browser's count is 4); 0 for
// a type this reader does not know.
size_t style_word_count(uint32_t type_id);

struct Unit {
    uint32_t id = 0;  // as listed in the unit list
    uint32_t type_id = 0;
    std::string name;
    std::string comment;
    int32_t left = 0, top = 0, width = 0, height = 0;
    uint32_t cursor = kCursorDefault;
    std::string tag;
    uint32_t flags = 0;
    std::vector<EventBinding> events;
    TypeData data;

    bool operator==(const Unit&) const = default;
};

struct FormSection {
    uint32_t window_list_word = 8;
    uint32_t window_id = kMainWindowId;
    uint32_t window_words[3] = {0x00bef260, 0x00b99210, 0x19010003};
    std::vector<Unit> units;  // the window itself first

    // By unit-list id; the form's window id (what code passes) also finds the window unit.
    const Unit* find_unit(uint32_t id) const;
    const Unit* find_unit_by_name(std::string_view name) const;
    bool operator==(const FormSection&) const = default;
};

// Throws std::invalid_argument when a unit's type data does not fit its type id (wrong
// kind, wrong number of style words, more than 65535 combo items).
Bytes write_form(const FormSection& form);

// `origin` is the image offset of the section data, so errors name image offsets.
// Anything malformed throws FormatError; nonzero reserved bytes are malformed too, so
// what reads back writes back byte for byte (except a 0-byte cursor, read as default).
FormSection read_form(std::span<const uint8_t> data, size_t origin = 0);

// Where each block landed, for tools and tests: offsets inside the form data. Checks
// only the head (rest length, room for the lists), not the block chain.
struct FormPlacement {
    uint32_t rest_length = 0;
    uint32_t first_block = 0;
    std::vector<uint32_t> block_offsets;  // as stored (from the first byte after the offset list)
};
FormPlacement form_placement(std::span<const uint8_t> data);

const char* type_name(uint32_t type_id);

}  // namespace qx
