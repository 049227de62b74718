// The program image as the build writes it: the program's description lands at the
// offsets the format fixes (checked on the raw bytes), and reading the file gives back
// the description itself.
#include "image/code_linkage.h"
#include "runtime/service_abi.h"
#include "image/image_layout.h"
#include "image/window_definition.h"
#include "viewer/program_description.h"
#include "viewer/unit_ids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

using namespace qx;

namespace {

Bytes program_image_file()
{
    std::ifstream in(NIMBRA_PROGRAM_IMAGE_FILE, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t word_at(const Bytes& b, size_t offset) { return load_u32(b.data() + offset); }

std::string text_at(const Bytes& b, size_t offset) { return reinterpret_cast<const char*>(b.data() + offset); }

}  // namespace

TEST(ProgramImage, HeaderManifestAndDllTableSitAtTheirOffsets)
{
    Bytes b = program_image_file();
    ASSERT_GT(b.size(), 0x100u) << "no image at " << NIMBRA_PROGRAM_IMAGE_FILE;
    const auto functions = nimbra::dll_function_names();
    const uint32_t n = static_cast<uint32_t>(functions.size());

    EXPECT_EQ(0, std::memcmp(b.data(), "QX\0\0", 4));
    EXPECT_EQ(word_at(b, 0x28), 1u);
    EXPECT_EQ(word_at(b, 0x2c), 3u);
    EXPECT_EQ(word_at(b, 0x30), 0u);
    EXPECT_EQ(word_at(b, 0x34), 79285u);
    EXPECT_EQ(word_at(b, 0x38), 8u);

    // The names section is const; its data follows its 56-byte header.
    uint32_t const_header = word_at(b, 0x54);
    EXPECT_EQ(const_header, word_at(b, 0x40));
    uint32_t const_data = word_at(b, const_header + 0x2c);
    EXPECT_EQ(const_data, const_header + 56);
    EXPECT_EQ(text_at(b, const_data + kConstVersionText), "1.0");
    EXPECT_EQ(word_at(b, const_data + kConstEmptyArray), 1u);
    EXPECT_EQ(word_at(b, const_data + kConstEmptyArray + 4), 0u);
    EXPECT_EQ(b[const_data + kConstEmptyText], 0);

    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(word_at(b, 0x58 + 4 * i), word_at(b, 0x58)) << "one shared library name";
        EXPECT_EQ(text_at(b, const_data + word_at(b, 0x58 + 4 * i)), "wininet.dll");
        EXPECT_EQ(text_at(b, const_data + word_at(b, 0x58 + 4 * (n + i))), functions[i]);
    }

    size_t at = 0x58 + 8 * n;
    for (const LibraryEntry& entry : nimbra::program_manifest()) {
        EXPECT_EQ(text_at(b, at), manifest_entry_text(entry));
        at += manifest_entry_text(entry).size() + 1;
    }
    EXPECT_EQ(b[at], 0) << "the empty entry ends the manifest";
    EXPECT_EQ(word_at(b, 0x24), at + 1) << "the first section header follows it";
}

TEST(ProgramImage, SectionChainHasTheFixedOrderAndKinds)
{
    Bytes b = program_image_file();
    ASSERT_FALSE(b.empty());
    struct Expect {
        const char* name;
        uint32_t kind;
        size_t header_field;  // where the image header points at it, 0 for none
    } expected[] = {
        {"const", 1, 0x40}, {"form", 1, 0x44},   {"help", 1, 0x48},
        {"code", 5, 0x4c},  {"var", 0x13, 0x50}, {"@reloc1", 1, 0},
    };
    uint32_t header = word_at(b, 0x24);
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.name);
        ASSERT_LT(header + 56u, b.size());
        EXPECT_EQ(text_at(b, header + 0x0c), e.name);
        EXPECT_EQ(word_at(b, header + 0x08), e.kind);
        if (e.header_field) {
            EXPECT_EQ(word_at(b, e.header_field), header);
        }
        std::string name = e.name;
        if (name == "help") {
            EXPECT_EQ(word_at(b, header + 0x24), 52u);
            uint32_t data = word_at(b, header + 0x2c);
            EXPECT_TRUE(std::all_of(b.begin() + data, b.begin() + data + 52, [](uint8_t x) { return x == 0; }));
        }
        if (name == "var") {
            EXPECT_EQ(word_at(b, header + 0x24), 16u) << "two globals, one pointer wide each";
            EXPECT_EQ(word_at(b, header + 0x28), 0u);
            EXPECT_EQ(word_at(b, header + 0x2c), kNoOffset);
        }
        uint32_t next = word_at(b, header + 0x04);
        if (name == "@reloc1") {
            EXPECT_EQ(next, kNoOffset);
        }
        header = next;
    }
}

TEST(ProgramImage, ReadsBackAsTheProgramDescription)
{
    Bytes b = program_image_file();
    ASSERT_FALSE(b.empty());
    Image image = read_image(b);
    EXPECT_EQ(image.manifest, nimbra::program_manifest());
    ASSERT_EQ(image.dll_commands.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(image.const_text(image.dll_commands[i].library_name), nimbra::kDllLibraryName);
        EXPECT_EQ(image.const_text(image.dll_commands[i].function_name), nimbra::dll_function_names()[i]);
    }

    const Section& form_section = image.section("form");
    FormSection form = read_form(form_section.data);
    FormSection described = nimbra::main_window_form(nimbra::configured_hosts());
    ASSERT_EQ(form.units.size(), described.units.size());
    // The description carries no code offsets; compare with the bindings taken out.
    for (Unit& u : form.units)
        u.events.clear();
    EXPECT_EQ(form, described);

    // Writing what was read gives the same bytes.
    EXPECT_EQ(write_image(image), b);
}

TEST(ProgramImage, FormLengthFollowsTheConfiguredHosts)
{
    // The hosts appear in the two browser start addresses and five times in the page
    // head; everything else in the form is fixed. So the form grows by two bytes per
    // byte of the notice host and by five per byte of the weather host, and the rest
    // length word always counts everything after itself (the section less 36 bytes).
    auto form_bytes = [](const std::string& notice, const std::string& weather) {
        return write_form(nimbra::main_window_form({notice, weather}));
    };
    Bytes base = form_bytes("a:1", "b:1");
    Bytes longer_notice = form_bytes("a.example:8370", "b:1");
    Bytes longer_weather = form_bytes("a:1", "b.example.org:8370");
    EXPECT_EQ(longer_notice.size() - base.size(), 2 * (std::strlen("a.example:8370") - 3));
    EXPECT_EQ(longer_weather.size() - base.size(), 5 * (std::strlen("b.example.org:8370") - 3));
    for (const Bytes* f : {&base, &longer_notice, &longer_weather})
        EXPECT_EQ(word_at(*f, 32), f->size() - 36);

    // The shipped form also carries the event bindings, which the description leaves out.
    FormSection shipped_form = read_form(read_image(program_image_file()).section("form").data);
    for (Unit& u : shipped_form.units)
        u.events.clear();
    Bytes shipped = write_form(shipped_form);
    auto hosts = nimbra::configured_hosts();
    EXPECT_EQ(shipped.size(), base.size() + 2 * (hosts.notice_host.size() - 3) + 5 * (hosts.weather_host.size() - 3));
}

// The servers come from the build's cache variables and nowhere else: the image the build
// wrote names them in the browsers' start addresses, in the page head, and in the
// routines' own texts (the notice address, the weather pages).
TEST(ProgramImage, CarriesTheConfiguredServers)
{
    Image image = read_image(program_image_file());
    FormSection form = read_form(image.section("form").data);
    const std::string notice = "http://" NIMBRA_NOTICE_HOST, weather = "http://" NIMBRA_WEATHER_HOST;
    EXPECT_EQ(std::get<BrowserData>(form.find_unit(nimbra::kUnitBrowser4)->data).address,
              notice + "/day/shenzhen1.htm");
    EXPECT_EQ(std::get<BrowserData>(form.find_unit(nimbra::kUnitBrowser2)->data).address, notice + "/day/shenzhen.htm");
    const std::string& head = std::get<EditBoxData>(form.find_unit(nimbra::kUnitEditBox1)->data).text;
    EXPECT_NE(head.find(weather + "/m2/c/public/public.css"), std::string::npos);

    const Bytes& constants = image.section("const").data;
    const std::string texts(constants.begin(), constants.end());
    EXPECT_NE(texts.find(notice + "/day/shenzhen.txt"), std::string::npos);
    EXPECT_NE(texts.find(std::string(NIMBRA_WEATHER_HOST)), std::string::npos);
}

// The unit ids the routines name (the code's marker group 0) are units of the window the
// image holds: each is the window id or a control's id, and together they are the units
// the handlers read and fill. The runtime refuses an image whose code names another.
TEST(ProgramImage, RoutinesNameOnlyTheWindowsUnits)
{
    Image image = read_image(program_image_file());
    FormSection form = read_form(image.section("form").data);
    const Section* marks = image.find("@reloc1");
    ASSERT_NE(marks, nullptr);
    MarkGroups groups = read_mark_groups(marks->data);
    const Bytes& code = image.section("code").data;
    std::set<uint32_t> named;
    for (uint32_t offset : groups[qx::kGroupUnitId]) {
        ASSERT_LE(offset + 4u, code.size());
        named.insert(load_u32(code.data() + offset));
    }
    for (uint32_t id : named) {
        SCOPED_TRACE(hex32(id));
        EXPECT_TRUE(id == form.window_id || (form.find_unit(id) && id != kWindowUnitListId));
    }
    // Written out, not taken from unit_ids.h: the window, the three lists, the hidden
    // edit box with the page head, and the large browser pane.
    const std::set<uint32_t> expected = {0x52010001, 0x16011dae, 0x16011db0, 0x16011db3, 0x16010a2d, 0x16010002};
    EXPECT_EQ(named, expected);
}
