// Runs the qxinspect binary on small images written with the image writer and checks the
// lines a person or a script would look for, and the single error line on bad input.
#include "image/byte_io.h"
#include "image/code_linkage.h"
#include "image/image_layout.h"
#include "image/window_definition.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <iconv.h>
#include <set>
#include <sstream>
#include <sys/wait.h>

namespace {

// The test sources are UTF-8; the image stores GBK.
std::string gbk(std::string_view utf8)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(utf8.size() * 2, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* dst = out.data();
    size_t room = out.size();
    EXPECT_NE(iconv(cd, &in, &in_left, &dst, &room), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - room);
    return out;
}

// Offsets inside the test image's code data; each holds a marked 32-bit operand.
constexpr uint32_t kCodeSize = 0x40;
struct Operand {
    uint32_t offset;
    uint32_t value;
};
constexpr Operand kSlot3{0x10, 0x0c}, kSlot12{0x14, 0x30}, kConstRef{0x18, qx::kConstEmptyText}, kVarRef{0x1c, 4},
    kCodeRef{0x20, 0x08}, kUnitRef{0x24, 0x16011dae}, kDllRef{0x28, 1}, kLibRef{0x2c, 1}, kTypeRef{0x30, 0x1000e};
constexpr uint32_t kOutsideCode = 0x1000;

qx::Section code_section()
{
    qx::Bytes data(kCodeSize, 0x90);
    for (Operand op : {kSlot3, kSlot12, kConstRef, kVarRef, kCodeRef, kUnitRef, kDllRef, kLibRef, kTypeRef})
        qx::store_u32(data.data() + op.offset, op.value);
    qx::Section code = qx::make_data_section("code", std::move(data));
    code.kind = qx::kCodeSection;
    code.relocations = {
        qx::encode_relocation({qx::kRelocConst, kConstRef.offset}),
        qx::encode_relocation({qx::kRelocServiceSlot, kSlot12.offset}),
        qx::encode_relocation({qx::kRelocCode, kCodeRef.offset}),
        qx::encode_relocation({qx::kRelocServiceSlot, kSlot3.offset}),
        qx::encode_relocation({qx::kRelocVar, kVarRef.offset}),
    };
    return code;
}

qx::Unit unit(uint32_t id, uint32_t type, std::string_view name, int32_t left, int32_t top, int32_t width,
              int32_t height, qx::TypeData data)
{
    qx::Unit u;
    u.id = id;
    u.type_id = type;
    u.name = gbk(name);
    u.left = left;
    u.top = top;
    u.width = width;
    u.height = height;
    u.flags = type == qx::kTypeWindow || type == qx::kTypeLabel ? 1 : 5;
    u.data = std::move(data);
    return u;
}

qx::FormSection small_form()
{
    qx::FormSection form;
    qx::WindowData window{std::vector<uint32_t>(21, 1), qx::Bytes(30, 0xaa), {}, gbk("Nimbra天气预报器 V1.0"), 0};
    form.units.push_back(unit(qx::kWindowUnitListId, qx::kTypeWindow, "", 50, 50, 662, 411, window));
    form.units.back().events = {{0, 0x08}};

    qx::ComboBoxData combo{std::vector<uint32_t>(13, 0), {gbk("广东"), gbk("北京.")}};
    form.units.push_back(unit(0x16011dae, qx::kTypeComboBox, "组合框1", 328, 0, 80, 20, combo));

    qx::ButtonData button{{1, 0, 1, 1, 0, 0}, gbk("天气预报")};
    form.units.push_back(unit(0x16010a2e, qx::kTypeButton, "按钮1", 20, -1, 80, 24, button));
    form.units.back().cursor = qx::kCursorHand;
    form.units.back().events = {{0, 0x3c}};

    qx::BrowserData browser{{1, 2, 0, 1}, "http://127.0.0.1:8370/day/shenzhen1.htm"};
    form.units.push_back(unit(0x16011d9f, qx::kTypeBrowser, "超文本浏览框4", -136, 23, 809, 33, browser));

    qx::EditBoxData edit;
    edit.style = std::vector<uint32_t>(11, 0);
    edit.text = gbk("<head>\r\n<title>深圳</title>");
    form.units.push_back(unit(0x16010a2d, qx::kTypeEditBox, "编辑框1", 536, 8, 0, 0, edit));
    return form;
}

qx::Image test_image()
{
    qx::ConstPool pool;
    uint32_t library = pool.add_text("wininet.dll");
    uint32_t open = pool.add_text("InternetOpenA");
    uint32_t connect = pool.add_text("InternetConnectA");
    pool.add_text(gbk("天气预报"));

    qx::Image image;
    image.entry_offset = 0;
    image.dll_commands = {{library, open}, {library, connect}};
    image.manifest = {
        {"corert", "0123456789abcdef0123456789abcdef", "5", "0", gbk("核心库")},
        {"WebPane", "FEDCBA9876543210FEDCBA9876543210", "2", "0", gbk("超文本浏览框")},
    };
    qx::MarkGroups groups = {{{kUnitRef.offset}, {kDllRef.offset, kOutsideCode}, {kLibRef.offset}, {kTypeRef.offset}}};
    image.sections = {
        qx::make_data_section("const", pool.data()),     qx::make_data_section("form", qx::write_form(small_form())),
        qx::make_data_section("help", qx::Bytes(52, 0)), code_section(),
        qx::make_zero_filled_section("var", 8),          qx::make_mark_section(groups),
    };
    return image;
}

struct ToolRun {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::vector<std::string> err_lines;
};

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Inspect : public testing::Test {
protected:
    std::string dir = testing::TempDir();
    mutable std::set<std::string> written;

    void TearDown() override
    {
        for (const std::string& file : written)
            std::remove(file.c_str());
    }

    std::string path(const std::string& name) const
    {
        return dir + "qxinspect_test_" + std::to_string(getpid()) + "_" + name;
    }

    std::string write(const std::string& name, const qx::Bytes& bytes) const
    {
        std::string p = path(name);
        written.insert(p);
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return p;
    }

    ToolRun run(const std::string& arguments) const
    {
        std::string err = path("stderr");
        written.insert(err);
        std::string command = std::string("'") + QXINSPECT_PATH + "' " + arguments + " 2>'" + err + "'";
        ToolRun r;
        FILE* pipe = popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            r.out.append(buffer, got);
        int status = pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err_lines = split_lines(slurp(err));
        return r;
    }

    void expect_one_error_line(const ToolRun& r, const std::string& starts_with) const
    {
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.out.empty()) << r.out;
        ASSERT_EQ(r.err_lines.size(), 1u);
        EXPECT_EQ(r.err_lines[0].rfind(starts_with, 0), 0u) << r.err_lines[0];
    }
};

TEST_F(Inspect, ListsEveryPartOfAnImage)
{
    qx::Image image = test_image();
    qx::ImageLayoutInfo info;
    qx::Bytes bytes = qx::write_image(image, &info);
    ToolRun r = run("'" + write("good.qx", bytes) + "'");
    ASSERT_EQ(r.status, 0) << (r.err_lines.empty() ? "" : r.err_lines[0]);
    EXPECT_TRUE(r.err_lines.empty());

    auto placement = [&](const std::string& name) {
        for (const auto& p : info.sections)
            if (p.name == name)
                return p;
        ADD_FAILURE() << "no placement for " << name;
        return qx::SectionPlacement{};
    };
    qx::SectionPlacement code = placement("code");
    qx::SectionPlacement mark = placement("@reloc1");
    std::set<std::string> lines;
    for (auto& line : split_lines(r.out))
        lines.insert(line);

    const std::string expected[] = {
        "file bytes=" + std::to_string(bytes.size()),
        "header 0x00 magic QX",
        "header 0x34 word 79285",
        "header 0x38 dll-count 2",
        "header 0x4c code-header " + qx::hex32(code.header_offset),
        "header 0x24 first-section " + qx::hex32(info.sections.front().header_offset),
        "manifest 1 WebPane id=FEDCBA9876543210FEDCBA9876543210 version=2.0 title=\"超文本浏览框\"",
        "dll 1 wininet.dll InternetConnectA library-offset=" + qx::hex32(image.dll_commands[1].library_name) +
            " function-offset=" + qx::hex32(image.dll_commands[1].function_name),
        "section code kind=0x5 memory=64 stored=64 data=" + qx::hex32(code.data_offset) +
            " relocations=5 header=" + qx::hex32(code.header_offset),
        "section var kind=0x13 memory=8 stored=0 data=none relocations=0 header=" +
            qx::hex32(placement("var").header_offset),
        // Kind 0 operands are slot byte offsets; the listing shows the slot number too.
        "relocs service-slot count=2",
        "reloc service-slot 0x14 operand=0x30 slot=12",
        "reloc service-slot 0x10 operand=0xc slot=3",
        "relocs const count=1",
        "reloc const 0x18 operand=0x36",
        "reloc var 0x1c operand=0x4",
        "reloc code 0x20 operand=0x8",
        "reloc1-group 0 unit-id count=1",
        "reloc1 unit-id 0x24 value=0x16011dae",
        "reloc1-group 1 dll-command count=2",
        "reloc1 dll-command 0x28 value=0x00000001",
        "reloc1 dll-command 0x1000 value=outside-code",
        "reloc1 data-type 0x30 value=0x0001000e",
        "form window-id 0x52010001",
        "form units 5",
        "unit 0x06010000 \"\" window left=50 top=50 width=662 height=411 flags=1 cursor=0",
        "unit 0x06010000 event 0 code=0x8",
        "unit 0x06010000 title \"Nimbra天气预报器 V1.0\"",
        "unit 0x06010000 icon bytes=30",
        "unit 0x16011dae 组合框1 combo-box left=328 top=0 width=80 height=20 flags=5 cursor=0",
        "unit 0x16011dae items 2",
        "unit 0x16011dae item 1 \"北京.\"",
        "unit 0x16010a2e 按钮1 button left=20 top=-1 width=80 height=24 flags=5 cursor=32649",
        "unit 0x16010a2e caption \"天气预报\"",
        "unit 0x16010a2e style 0x00000001 0x00000000 0x00000001 0x00000001 0x00000000 0x00000000",
        "unit 0x16011d9f 超文本浏览框4 hypertext-browser left=-136 top=23 width=809 height=33 flags=5 cursor=0",
        "unit 0x16011d9f address \"http://127.0.0.1:8370/day/shenzhen1.htm\"",
        "unit 0x16010a2d text bytes=27 \"<head>\\r\\n<title>深圳</title>\"",
        "unit 0x16010a2d word-0x4a 100",
    };
    for (const std::string& line : expected)
        EXPECT_TRUE(lines.count(line)) << "missing line: " << line << "\n--- output ---\n" << r.out;

    // The @reloc1 stored-size field is smaller than the bytes it carries; both are shown.
    std::string mark_line = "section @reloc1 kind=0x1 memory=";
    bool found = false;
    for (const auto& line : lines)
        found |= line.rfind(mark_line, 0) == 0 && line.find(" bytes=") != std::string::npos &&
                 line.find(" data=" + qx::hex32(mark.data_offset)) != std::string::npos;
    EXPECT_TRUE(found) << r.out;
}

TEST_F(Inspect, SectionFilterPrintsOnlyThatSection)
{
    std::string file = write("filter.qx", qx::write_image(test_image()));

    ToolRun help = run("'" + file + "' --section help");
    ASSERT_EQ(help.status, 0);
    std::vector<std::string> lines = split_lines(help.out);
    ASSERT_EQ(lines.size(), 1u + 4u);  // header line and 52 bytes in rows of 16
    EXPECT_EQ(lines[0].rfind("section help kind=0x1 memory=52 stored=52 ", 0), 0u);
    EXPECT_EQ(lines[4], "data 00000030  00 00 00 00");

    ToolRun form = run("'" + file + "' --section form");
    ASSERT_EQ(form.status, 0);
    EXPECT_NE(form.out.find("\nunit 0x16011dae item 0 \"广东\"\n"), std::string::npos);
    EXPECT_EQ(form.out.find("\nreloc"), std::string::npos);

    ToolRun missing = run("'" + file + "' --section nosuch");
    expect_one_error_line(missing, "qxinspect: " + file + ": no section named");
}

// Each damaged file must give one error line naming the file and the offset at fault.
TEST_F(Inspect, BadInputGivesOneLineAndExitTwo)
{
    qx::ImageLayoutInfo info;
    qx::Bytes good = qx::write_image(test_image(), &info);
    uint32_t form_data = 0, code_header = 0;
    for (const auto& p : info.sections) {
        if (p.name == "form")
            form_data = p.data_offset;
        if (p.name == "code")
            code_header = p.header_offset;
    }

    qx::Bytes truncated(good.begin(), good.begin() + good.size() / 2);
    qx::Bytes bad_magic = good;
    bad_magic[1] = 'Y';
    // The form's rest-length word (after 28 bytes of window words and the unit count).
    qx::Bytes bad_form = good;
    qx::store_u32(bad_form.data() + form_data + 32, 12345);
    // The fourth relocation entry given kind 5.
    qx::Bytes bad_kind = good;
    size_t entry_at = code_header + qx::kSectionHeaderSize + 4 * 3;
    qx::store_u32(bad_kind.data() + entry_at, (kSlot3.offset << 3) | 5);

    // A section name with a line break, quoted by the reader in its error message.
    qx::Image odd = test_image();
    odd.sections.back() = qx::make_data_section("odd\nname", {1, 2, 3});
    qx::ImageLayoutInfo odd_info;
    qx::Bytes odd_name = qx::write_image(odd, &odd_info);
    uint32_t odd_header = odd_info.sections.back().header_offset;
    qx::store_u32(odd_name.data() + odd_header, 60);

    struct Case {
        const char* name;
        const qx::Bytes& bytes;
        std::string offset;  // empty: any offset
    };
    const Case cases[] = {
        {"truncated", truncated, ""},
        {"bad-magic", bad_magic, "0x0"},
        {"bad-form", bad_form, qx::hex32(form_data + 32)},
        {"bad-kind", bad_kind, qx::hex32(uint32_t(entry_at))},
        {"empty", qx::Bytes{}, ""},
        {"odd-name", odd_name, qx::hex32(odd_header) + ": section odd\\nname header size:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = write(c.name, c.bytes);
        ToolRun r = run("'" + file + "'");
        expect_one_error_line(r, "qxinspect: " + file + ": offset " + c.offset);
    }

    std::string missing = path("does-not-exist");
    expect_one_error_line(run("'" + missing + "'"), "qxinspect: " + missing + ": cannot open");

    // A unit named in an error reads as it does in a listing, not decoded twice: the
    // first item of 组合框1 ("广东", GBK) given a count that overruns its block.
    qx::Bytes bad_item = good;
    const qx::Bytes guangdong = {0xb9, 0xe3, 0xb6, 0xab};
    auto item = std::search(bad_item.begin() + form_data, bad_item.end(), guangdong.begin(), guangdong.end());
    ASSERT_NE(item, bad_item.end());
    qx::store_u32(&*item - 4, 500);
    ToolRun r = run("'" + write("bad-item", bad_item) + "'");
    ASSERT_EQ(r.err_lines.size(), 1u);
    EXPECT_NE(r.err_lines[0].find("(组合框1) item 1: count 500 overruns its block"), std::string::npos)
        << r.err_lines[0];
}

// Damage spread over the whole image: every run ends with a listing or one error line.
TEST_F(Inspect, SurvivesDamagedImages)
{
    qx::Bytes good = qx::write_image(test_image());
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 48; ++i) {
        qx::Bytes damaged = good;
        size_t at = (good.size() * i) / 48;
        for (int k = 0; k < 4 && at + k < damaged.size(); ++k)
            damaged[at + k] = uint8_t(next() >> 16);
        std::string file = write("damaged", damaged);
        ToolRun r = run("'" + file + "'");
        SCOPED_TRACE("damage at " + std::to_string(at));
        ASSERT_TRUE(r.status == 0 || r.status == 2) << "status " << r.status;
        if (r.status == 2)
            EXPECT_EQ(r.err_lines.size(), 1u);
        else
            EXPECT_TRUE(r.err_lines.empty());
    }
}

}  // namespace
