#include "image/window_definition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace qx {
namespace {

// GBK bytes of the names and texts used below.
const std::string kComboName = "\xd7\xe9\xba\xcf\xbf\xf2\x31";  // 组合框1
const std::string kButtonName = "\xb0\xb4\xc5\xa5\x31";         // 按钮1
const std::string kItems[] = {
    "\xb9\xe3\xb6\xab",      // 广东
    "\xb1\xb1\xbe\xa9\x2e",  // 北京.
    "\xc9\xcf\xba\xa3\x2e",  // 上海.
};

constexpr uint32_t kTypeUnknown = 0x00030007;
constexpr size_t kCombo = 2, kRaw = 3, kBrowser4 = 4, kButton = 5, kEdit = 6, kLastBrowser = 7;

Unit make_unit(uint32_t id, uint32_t type, std::string name, int32_t left, int32_t top, uint32_t flags, TypeData data)
{
    Unit u;
    u.id = id;
    u.type_id = type;
    u.name = std::move(name);
    u.left = left;
    u.top = top;
    u.width = 80;
    u.height = 24;
    u.flags = flags;
    u.data = std::move(data);
    return u;
}

FormSection make_form()
{
    FormSection f;
    Unit window = make_unit(kWindowUnitListId, kTypeWindow, "", 50, 50, 1,
                            WindowData{{6, 2, 1, 0xff000000, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0},
                                       Bytes{0, 0, 1, 0, 1, 0, 48, 48},
                                       {},
                                       "Nimbra\xcc\xec\xc6\xf8 V1.0",
                                       0});
    window.events = {{0, 0x40}};
    f.units.push_back(window);
    f.units.push_back(make_unit(0x16011e1c, kTypeLabel, "\xb1\xea\xc7\xa9\x31", 8, 280, 1,
                                LabelData{{2, 0, 8, 0, 0x808080, 0xffffff, 0x808080, 0, 0xff000000, 1, 0, 0x808080,
                                           0xffffff, 0x808080, 0, 1, 0, 0, 0},
                                          "caption",
                                          {0, 0}}));
    Unit combo = make_unit(
        0x16011dae, kTypeComboBox, kComboName, 328, 0, 5,
        ComboBoxData{{3, 1, 0, 0, 0, 0, 1, 0, 0xffffff, 0xffffffff, 0, 0, 0}, {kItems[0], kItems[1], kItems[2]}});
    combo.events = {{0, 0x80}};
    f.units.push_back(combo);
    f.units.push_back(make_unit(0x16011234, kTypeUnknown, "x", 1, 2, 5, RawTypeData{{1, 2, 3, 4, 5}}));
    f.units.push_back(make_unit(0x16011d9f, kTypeBrowser, "\xb3\xac\xce\xc4\xb1\xbe\xe4\xaf\xc0\xc0\xbf\xf2\x34", -136,
                                23, 5, BrowserData{{1, 2, 0, 1}, "http://127.0.0.1:8370/day/shenzhen1.htm"}));
    Unit button = make_unit(0x16010a2e, kTypeButton, kButtonName, 20, -1, 5,
                            ButtonData{{1, 0, 1, 1, 0, 0}, "\xcc\xec\xc6\xf8\xd4\xa4\xb1\xa8"});
    button.cursor = kCursorHand;
    button.events = {{0, 0x1c0}};
    f.units.push_back(button);
    f.units.push_back(
        make_unit(0x16010a2d, kTypeEditBox, "\xb1\xe0\xbc\xad\xbf\xf2\x31", 536, 8, 5,
                  EditBoxData{{2, 1, 0, 0xffffff, 1, 0, 0, 0, 0, 0, 42}, 100, "<head>\r\n</head>", {0, 0}}));
    f.units.push_back(make_unit(0x16010002, kTypeBrowser, "b1", 0, 56, 5, BrowserData{{1, 2, 0, 0}, ""}));
    return f;
}

// ---- reading the written bytes without the reader ----

uint32_t word_at(const Bytes& b, size_t at) { return load_u32(&b[at]); }

size_t first_block(const Bytes& b) { return 36 + 8 * word_at(b, 28); }

size_t block_at(const Bytes& b, size_t unit) { return first_block(b) + word_at(b, 36 + 4 * word_at(b, 28) + 4 * unit); }

size_t after_nul(const Bytes& b, size_t at)
{
    const void* nul = std::memchr(&b[at], 0, b.size() - at);
    return static_cast<const uint8_t*>(nul) - b.data() + 1;
}

// Positions of the head fields of one block, found by walking its bytes.
struct BlockPlaces {
    size_t start, name, left, cursor, bindings, type_data, end;
};

BlockPlaces places(const Bytes& b, size_t unit)
{
    BlockPlaces p{};
    p.start = block_at(b, unit);
    p.end = p.start + 4 + word_at(b, p.start);
    p.name = p.start + 28;
    size_t comment = after_nul(b, p.name);
    p.left = after_nul(b, comment) + 4;
    p.cursor = p.left + 16 + 12;
    size_t tag = p.cursor + 8;
    size_t count = after_nul(b, tag) + 12;
    p.bindings = count + 4;
    p.type_data = p.bindings + 8 * word_at(b, count);
    return p;
}

std::string text_at(const Bytes& b, size_t at, size_t length)
{
    return std::string(reinterpret_cast<const char*>(&b[at]), length);
}

// Inserts (or with erase, removes) bytes inside one block and mends the block's size,
// the offsets of the blocks after it and the rest length, so only the block is wrong.
void splice(Bytes& b, size_t unit, size_t at, size_t erase, const Bytes& insert)
{
    size_t n = word_at(b, 28);
    int64_t delta = int64_t(insert.size()) - int64_t(erase);
    size_t start = block_at(b, unit);
    b.erase(b.begin() + at, b.begin() + at + erase);
    b.insert(b.begin() + at, insert.begin(), insert.end());
    store_u32(&b[start], uint32_t(word_at(b, start) + delta));
    for (size_t i = unit + 1; i < n; ++i) {
        size_t slot = 36 + 4 * n + 4 * i;
        store_u32(&b[slot], uint32_t(word_at(b, slot) + delta));
    }
    store_u32(&b[32], uint32_t(b.size() - 36));
}

// ---- tests ----

TEST(WindowDefinition, RoundTripKeepsModelAndBytes)
{
    FormSection form = make_form();
    Bytes bytes = write_form(form);
    FormSection back = read_form(bytes);
    EXPECT_EQ(back, form);
    EXPECT_EQ(write_form(back), bytes);
}

TEST(WindowDefinition, SectionHead)
{
    Bytes b = write_form(make_form());
    EXPECT_EQ(word_at(b, 0), 8u);
    EXPECT_EQ(word_at(b, 4), kMainWindowId);
    EXPECT_EQ(word_at(b, 8), 0x00bef260u);
    EXPECT_EQ(word_at(b, 16), 0x19010003u);
    EXPECT_EQ(word_at(b, 20), 0u);
    EXPECT_EQ(word_at(b, 24), 0u);
    EXPECT_EQ(word_at(b, 28), 8u);
    // The rest length counts from the end of its own word (offset 36) to the
    // section's end: it is always the section size minus 36.
    EXPECT_EQ(word_at(b, 32), b.size() - 36);
    // The window's entry in the unit list is not the window id code uses.
    EXPECT_EQ(word_at(b, 36), kWindowUnitListId);
    EXPECT_EQ(word_at(b, 40), 0x16011e1cu);
}

TEST(WindowDefinition, BlocksChainFromAfterTheOffsetList)
{
    Bytes b = write_form(make_form());
    size_t n = word_at(b, 28);
    size_t offsets = 36 + 4 * n;
    EXPECT_EQ(word_at(b, offsets), 0u);  // block 1 starts right after the offsets
    for (size_t i = 1; i < n; ++i) {
        uint32_t previous = word_at(b, offsets + 4 * (i - 1));
        uint32_t previous_size = word_at(b, first_block(b) + previous);
        EXPECT_EQ(word_at(b, offsets + 4 * i), previous + 4 + previous_size) << "unit " << i + 1;
    }
    EXPECT_EQ(places(b, n - 1).end, b.size());

    FormPlacement place = form_placement(b);
    EXPECT_EQ(place.first_block, first_block(b));
    EXPECT_EQ(place.rest_length, b.size() - 36);
    ASSERT_EQ(place.block_offsets.size(), n);
    EXPECT_EQ(place.block_offsets[kButton], block_at(b, kButton) - first_block(b));
}

TEST(WindowDefinition, HeadFieldsInPlace)
{
    Bytes b = write_form(make_form());

    BlockPlaces browser = places(b, kBrowser4);
    EXPECT_EQ(word_at(b, browser.start + 4), uint32_t(kTypeBrowser));
    const uint8_t minus_136[] = {0x78, 0xff, 0xff, 0xff};  // two's complement
    EXPECT_EQ(std::memcmp(&b[browser.left], minus_136, 4), 0);

    BlockPlaces button = places(b, kButton);
    EXPECT_EQ(text_at(b, button.name, kButtonName.size() + 1), kButtonName + std::string(1, '\0'));
    EXPECT_EQ(word_at(b, button.left), 20u);
    EXPECT_EQ(word_at(b, button.left + 4), 0xffffffffu);  // top -1
    EXPECT_EQ(word_at(b, button.cursor), 4u);
    EXPECT_EQ(word_at(b, button.cursor + 4), kCursorHand);
    EXPECT_EQ(word_at(b, button.bindings - 12), 5u);  // flags
    EXPECT_EQ(word_at(b, button.bindings - 4), 1u);   // one binding
    EXPECT_EQ(word_at(b, button.bindings + 4), 0x1c0u);

    // Without bindings the count word is followed at once by the type data.
    BlockPlaces label = places(b, 1);
    EXPECT_EQ(word_at(b, label.bindings - 4), 0u);
    EXPECT_EQ(label.type_data, label.bindings);
}

TEST(WindowDefinition, TypeDataLayouts)
{
    Bytes b = write_form(make_form());

    // Combo box: u16 count at 0x48, then at once (unaligned) the first item's count.
    size_t combo = places(b, kCombo).type_data;
    EXPECT_EQ(std::count(&b[combo], &b[combo + 20], 0), 20);
    EXPECT_EQ(word_at(b, combo + 0x14), 3u);
    EXPECT_EQ(b[combo + 0x48], 3);
    EXPECT_EQ(b[combo + 0x49], 0);
    EXPECT_EQ(word_at(b, combo + 0x4a), kItems[0].size());
    EXPECT_EQ(text_at(b, combo + 0x4e, 4), kItems[0]);
    EXPECT_EQ(word_at(b, combo + 0x52), kItems[1].size());
    EXPECT_EQ(text_at(b, combo + 0x56, 5), kItems[1]);  // the full stop stays
    size_t after_items = combo + 0x4a + 3 * 4 + 4 + 5 + 5;
    EXPECT_EQ(after_items + 12, places(b, kCombo).end);

    // Edit box: the word 100 sits 0x4a bytes in, the text's count at 0x5a.
    BlockPlaces edit = places(b, kEdit);
    EXPECT_EQ(word_at(b, edit.type_data + 0x4a), 100u);
    EXPECT_EQ(word_at(b, edit.type_data + 0x5a), 15u);
    EXPECT_EQ(text_at(b, edit.type_data + 0x5e, 15), "<head>\r\n</head>");
    EXPECT_EQ(edit.type_data + 0x5e + 15 + 8, edit.end);

    // Counted texts carry no terminating zero: the button block ends with its caption.
    BlockPlaces button = places(b, kButton);
    EXPECT_EQ(word_at(b, button.type_data + 0x2c), 8u);
    EXPECT_EQ(button.type_data + 0x30 + 8, button.end);

    BlockPlaces browser = places(b, kBrowser4);
    EXPECT_EQ(word_at(b, browser.type_data + 0x20), 1u);  // fourth style word
    EXPECT_EQ(button.start, browser.type_data + 0x28 + word_at(b, browser.type_data + 0x24));

    // A browser with no address: count 0, and the block (and section) ends there.
    BlockPlaces last = places(b, kLastBrowser);
    EXPECT_EQ(word_at(b, last.type_data + 0x24), 0u);
    EXPECT_EQ(last.type_data + 0x28, b.size());

    // Window: icon counted at 0x68, then the empty extra bytes, then the title.
    size_t window = places(b, 0).type_data;
    EXPECT_EQ(word_at(b, window + 0x68), 8u);
    EXPECT_EQ(word_at(b, window + 0x68 + 4 + 8), 0u);
    EXPECT_EQ(word_at(b, window + 0x68 + 12 + 4), 15u);

    // Unknown type data passes through as it was.
    BlockPlaces raw = places(b, kRaw);
    EXPECT_EQ(raw.end - raw.type_data, 5u);
    EXPECT_EQ(b[raw.type_data], 1);
}

TEST(WindowDefinition, FindsUnits)
{
    FormSection form = make_form();
    ASSERT_NE(form.find_unit(kMainWindowId), nullptr);
    EXPECT_EQ(form.find_unit(kMainWindowId)->type_id, uint32_t(kTypeWindow));
    EXPECT_EQ(form.find_unit(kWindowUnitListId), form.find_unit(kMainWindowId));
    EXPECT_EQ(form.find_unit(0x16010a2e), form.find_unit_by_name(kButtonName));
    EXPECT_EQ(form.find_unit_by_name(kComboName)->id, 0x16011daeu);
    EXPECT_EQ(form.find_unit(0x16019999), nullptr);
    EXPECT_EQ(form.find_unit_by_name("none"), nullptr);
}

TEST(WindowDefinition, ZeroByteCursorReadsAsDefault)
{
    Bytes b = write_form(make_form());
    size_t cursor = places(b, 1).cursor;
    store_u32(&b[cursor], 0);
    splice(b, 1, cursor + 4, 4, {});
    FormSection form = read_form(b);
    EXPECT_EQ(form.units[1].cursor, kCursorDefault);
    EXPECT_EQ(form.units[1].data, make_form().units[1].data);
}

// Every cut of the section must be refused: as cut, with the rest length mended to
// match (gets past the head), and with the cut block's size mended too (so every field
// read inside a block meets the end of its block).
TEST(WindowDefinition, EveryTruncationIsRefused)
{
    const Bytes whole = write_form(make_form());
    const size_t n = word_at(whole, 28);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes part(whole.begin(), whole.begin() + cut);  // exact size, so ASan sees over-reads
        EXPECT_THROW(read_form(part, 0x400), FormatError) << "cut at " << cut;
        if (cut < 36)
            continue;
        store_u32(&part[32], uint32_t(cut - 36));
        EXPECT_THROW(read_form(part, 0x400), FormatError) << "cut at " << cut << ", rest mended";
        for (size_t unit = 0; unit < n; ++unit) {
            size_t start = block_at(whole, unit);
            if (cut >= start + 4 && cut < places(whole, unit).end) {
                store_u32(&part[start], uint32_t(cut - start - 4));
                EXPECT_THROW(read_form(part, 0x400), FormatError) << "cut at " << cut << ", block mended";
            }
        }
    }
}

struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
    const char* field;  // expected in the message
};

TEST(WindowDefinition, RejectsDamagedSections)
{
    const Damage cases[] = {
        {"rest length one short", [](Bytes& b) { store_u32(&b[32], word_at(b, 32) - 1); }, "form rest length"},
        {"rest length one long", [](Bytes& b) { store_u32(&b[32], word_at(b, 32) + 1); }, "form rest length"},
        {"huge unit count", [](Bytes& b) { store_u32(&b[28], 0x40000000); }, "form unit count"},
        {"first offset not 0", [](Bytes& b) { store_u32(&b[36 + 32], 4); }, "form unit 1 block offset"},
        {"broken chain", [](Bytes& b) { store_u32(&b[36 + 32 + 12], word_at(b, 36 + 32 + 12) + 4); },
         "form unit 4 block offset"},
        {"block size overruns",
         [](Bytes& b) {
             size_t at = block_at(b, kLastBrowser);
             store_u32(&b[at], word_at(b, at) + 1);
         },
         "form unit 8 block size"},
        {"bytes after last block",
         [](Bytes& b) {
             b.insert(b.end(), 4, 0);
             store_u32(&b[32], uint32_t(b.size() - 36));
         },
         "form unit blocks"},
        {"caption overruns", [](Bytes& b) { store_u32(&b[places(b, kButton).type_data + 0x2c], 9); },
         "form unit 6 (按钮1) caption"},
        {"item count overruns", [](Bytes& b) { b[places(b, kCombo).type_data + 0x48] = 200; }, "item count"},
        {"item overruns", [](Bytes& b) { store_u32(&b[places(b, kCombo).type_data + 0x52], 500); },
         "form unit 3 (组合框1) item 2"},
        {"edit text overruns", [](Bytes& b) { store_u32(&b[places(b, kEdit).type_data + 0x5a], 0xffffffff); }, "text"},
        {"binding count overruns", [](Bytes& b) { store_u32(&b[places(b, kButton).bindings - 4], 0x20000000); },
         "event binding count"},
        {"cursor of 8 bytes", [](Bytes& b) { store_u32(&b[places(b, 1).cursor], 8); }, "cursor"},
        {"name without its zero",
         [](Bytes& b) {
             BlockPlaces p = places(b, kLastBrowser);
             std::memset(&b[p.name], 'a', p.end - p.name);
         },
         "name"},
        {"reserved byte set", [](Bytes& b) { b[block_at(b, 1) + 10] = 1; }, "reserved"},
        {"type data zeros set", [](Bytes& b) { b[places(b, kEdit).type_data + 3] = 1; }, "type data"},
        {"combo tail not zero", [](Bytes& b) { b[places(b, kCombo).end - 1] = 1; }, "after the items"},
        {"bytes left over in a button",
         [](Bytes& b) {
             BlockPlaces p = places(b, kButton);
             splice(b, kButton, p.end, 0, {0, 0});
         },
         "left over"},
        // One style word too many: the extra word reads as an empty caption and the
        // real caption is left over.
        {"extra style word",
         [](Bytes& b) {
             BlockPlaces p = places(b, kButton);
             splice(b, kButton, p.type_data + 0x2c, 0, {0, 0, 0, 0});
         },
         "left over"},
        {"style word missing",
         [](Bytes& b) {
             BlockPlaces p = places(b, kLastBrowser);
             splice(b, kLastBrowser, p.type_data + 0x20, 4, {});
         },
         "address"},
    };
    const Bytes whole = write_form(make_form());
    for (const auto& c : cases) {
        Bytes b = whole;
        c.apply(b);
        try {
            read_form(b, 0x1000);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(c.field), std::string::npos) << c.what << ": " << e.what();
            EXPECT_GE(e.offset(), 0x1000u) << c.what;
            EXPECT_LE(e.offset(), 0x1000u + b.size()) << c.what;
        }
    }
}

TEST(WindowDefinition, ErrorsNameImageOffsets)
{
    Bytes b = write_form(make_form());
    size_t item2 = places(b, kCombo).type_data + 0x52;
    store_u32(&b[item2], 500);
    try {
        read_form(b, 0x2000);
        FAIL() << "accepted";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.offset(), 0x2000 + item2);
        EXPECT_NE(std::string(e.what()).find("count 500 overruns its block"), std::string::npos) << e.what();
    }
}

TEST(WindowDefinition, WriterRefusesMismatchedTypeData)
{
    FormSection wrong_style = make_form();
    std::get<ButtonData>(wrong_style.units[kButton].data).style.push_back(0);
    EXPECT_THROW(write_form(wrong_style), std::invalid_argument);

    FormSection wrong_kind = make_form();
    wrong_kind.units[kButton].data = LabelData{};
    EXPECT_THROW(write_form(wrong_kind), std::invalid_argument);

    FormSection raw_for_known = make_form();
    raw_for_known.units[kEdit].data = RawTypeData{{1, 2}};
    EXPECT_THROW(write_form(raw_for_known), std::invalid_argument);

    FormSection too_many_items = make_form();
    std::get<ComboBoxData>(too_many_items.units[kCombo].data).items.resize(0x10000);
    EXPECT_THROW(write_form(too_many_items), std::invalid_argument);
}

}  // namespace
}  // namespace qx
