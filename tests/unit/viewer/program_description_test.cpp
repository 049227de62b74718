// This file is compiled with the default (UTF-8) character set: expected GBK bytes are
// produced here with iconv, independently of the library's -fexec-charset.
#include "viewer/program_description.h"
#include "viewer/unit_ids.h"
#include "tests/unit/viewer/main_window_units.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <stdexcept>

namespace {

using namespace nimbra;

std::string gbk(const std::string& utf8)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("iconv_open GBK");
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* dst = out.data();
    size_t out_left = out.size();
    size_t rc = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        throw std::runtime_error("not convertible to GBK: " + utf8);
    out.resize(out.size() - out_left);
    return out;
}

bool is_gbk(const std::string& bytes)
{
    iconv_t cd = iconv_open("UTF-8", "GBK");
    std::string out(bytes.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t in_left = bytes.size();
    char* dst = out.data();
    size_t out_left = out.size();
    size_t rc = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    return rc != static_cast<size_t>(-1) && in_left == 0;
}

std::vector<std::string> split_crlf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 2;
    }
}

const ProgramHosts kDefaultHosts{"127.0.0.1:8370", "127.0.0.1:8370"};

template <typename T>
const T& data_of(const qx::FormSection& form, uint32_t id)
{
    const qx::Unit* unit = form.find_unit(id);
    if (!unit)
        throw std::runtime_error("no unit " + qx::hex32(id));
    return std::get<T>(unit->data);
}

TEST(ProgramManifest, ListsTheFiveLibrariesInIndexOrder)
{
    struct Expected {
        const char* name;
        const char* major;
        const char* minor;
    };
    const Expected expected[] = {
        {"corert", "5", "0"}, {"WebPane", "2", "0"}, {"xtool", "3", "0"}, {"netlib", "2", "0"}, {"sysapi", "3", "0"},
    };
    auto manifest = program_manifest();
    ASSERT_EQ(manifest.size(), std::size(expected));
    std::vector<std::string> identifiers;
    for (size_t i = 0; i < manifest.size(); ++i) {
        SCOPED_TRACE(manifest[i].name);
        EXPECT_EQ(manifest[i].name, expected[i].name);
        EXPECT_EQ(manifest[i].major, expected[i].major);
        EXPECT_EQ(manifest[i].minor, expected[i].minor);
        ASSERT_EQ(manifest[i].identifier.size(), 32u);
        for (char c : manifest[i].identifier)
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(c))) << manifest[i].identifier;
        identifiers.push_back(manifest[i].identifier);
        // The title is the entry's last field: a CR or NUL in it would break the manifest.
        EXPECT_FALSE(manifest[i].title.empty());
        EXPECT_EQ(manifest[i].title.find_first_of(std::string("\r\0", 2)), std::string::npos);
        EXPECT_TRUE(is_gbk(manifest[i].title));
    }
    std::sort(identifiers.begin(), identifiers.end());
    EXPECT_EQ(std::adjacent_find(identifiers.begin(), identifiers.end()), identifiers.end());
}

TEST(DllCommands, AreTheEightWinInetFunctionsInCommandOrder)
{
    EXPECT_STREQ(kDllLibraryName, "wininet.dll");
    EXPECT_EQ(dll_function_names(), (std::vector<std::string>{"InternetOpenA", "InternetConnectA", "HttpOpenRequestA",
                                                              "HttpSendRequestA", "InternetReadFile", "HttpQueryInfoA",
                                                              "InternetCloseHandle", "InternetSetCookieA"}));
}

TEST(MainWindowForm, HasTheThirteenUnitsInListOrder)
{
    const auto& expected = nimbra::testing::kMainWindowUnits;
    qx::FormSection form = main_window_form(kDefaultHosts);
    EXPECT_EQ(form.window_id, 0x52010001u);
    ASSERT_EQ(form.units.size(), std::size(expected));
    for (size_t i = 0; i < form.units.size(); ++i) {
        const qx::Unit& u = form.units[i];
        const nimbra::testing::ExpectedUnit& e = expected[i];
        SCOPED_TRACE("unit " + std::to_string(i + 1) + " " + qx::hex32(u.id));
        EXPECT_EQ(u.id, e.id);
        EXPECT_EQ(u.name, gbk(e.name));
        EXPECT_EQ(u.type_id, e.type);
        EXPECT_EQ(u.left, e.left);
        EXPECT_EQ(u.top, e.top);
        EXPECT_EQ(u.width, e.width);
        EXPECT_EQ(u.height, e.height);
        EXPECT_EQ(u.flags, e.flags);
        EXPECT_EQ(u.cursor, e.cursor);
        EXPECT_TRUE(u.comment.empty());
        EXPECT_TRUE(u.tag.empty());
        EXPECT_TRUE(u.events.empty());
        EXPECT_EQ(u.data.index(), static_cast<size_t>([&] {
                      switch (e.type) {
                      case qx::kTypeWindow: return 0;
                      case qx::kTypeLabel: return 1;
                      case qx::kTypeButton: return 2;
                      case qx::kTypeComboBox: return 3;
                      case qx::kTypeBrowser: return 4;
                      default: return 5;
                      }
                  }()));
    }
}

TEST(MainWindowForm, StoresEveryStyleWord)
{
    qx::FormSection form = main_window_form(kDefaultHosts);
    auto style_of = [](const qx::Unit& u) {
        return std::visit(
            [](const auto& d) -> std::vector<uint32_t> {
                if constexpr (requires { d.style; })
                    return d.style;
                else
                    return {};
            },
            u.data);
    };
    const std::vector<uint32_t> window = {6, 2, 1, 0xff000000, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const std::vector<uint32_t> label = {2, 0,          8, 0, 0x00808080, 0x00ffffff, 0x00808080,
                                         0, 0xff000000, 1, 0, 0x00808080, 0x00ffffff, 0x00808080,
                                         0, 1,          0, 0, 0};
    const std::vector<uint32_t> button = {1, 0, 1, 1, 0, 0};
    const std::vector<uint32_t> combo = {3, 1, 0, 0, 0, 0, 1, 0, 0x00ffffff, 0xffffffff, 0, 0, 0};
    const std::vector<uint32_t> edit = {2, 1, 0, 0x00ffffff, 1, 0, 0, 0, 0, 0, 42};
    for (const qx::Unit& u : form.units) {
        SCOPED_TRACE(qx::hex32(u.id));
        std::vector<uint32_t> style = style_of(u);
        EXPECT_EQ(style.size(), qx::style_word_count(u.type_id));
        switch (u.type_id) {
        case qx::kTypeWindow: EXPECT_EQ(style, window); break;
        case qx::kTypeLabel: EXPECT_EQ(style, label); break;
        case qx::kTypeButton: EXPECT_EQ(style, button); break;
        case qx::kTypeComboBox: EXPECT_EQ(style, combo); break;
        case qx::kTypeEditBox: EXPECT_EQ(style, edit); break;
        case qx::kTypeBrowser:
            EXPECT_EQ(style, (std::vector<uint32_t>{1, 2, 0, u.id == kUnitBrowser4 ? 1u : 0u}));
            break;
        default: ADD_FAILURE() << "unexpected type " << qx::hex32(u.type_id);
        }
    }
    EXPECT_EQ(data_of<qx::EditBoxData>(form, kUnitEditBox1).word_at_0x4a, 100u);
}

TEST(MainWindowForm, TitleAndCaptionsAreGbk)
{
    qx::FormSection form = main_window_form(kDefaultHosts);
    // "Nimbra天气预报器 V1.0" in GBK, written out so no converter is trusted here.
    const std::string title_bytes = "Nimbra\xcc\xec\xc6\xf8\xd4\xa4\xb1\xa8\xc6\xf7 V1.0";
    const qx::WindowData& window = data_of<qx::WindowData>(form, kUnitWindow);
    EXPECT_EQ(window.title, title_bytes);
    EXPECT_EQ(window.title, gbk("Nimbra天气预报器 V1.0"));
    EXPECT_TRUE(window.extra.empty());
    EXPECT_EQ(window.last_word, 0u);

    EXPECT_EQ(data_of<qx::LabelData>(form, kUnitLabel2).caption, gbk("下次打开将自动填"));
    EXPECT_EQ(data_of<qx::ButtonData>(form, kUnitButton1).caption, gbk("天气预报"));
    EXPECT_EQ(data_of<qx::ButtonData>(form, kUnitButton2).caption, gbk("整点天气实况"));
    EXPECT_EQ(data_of<qx::ButtonData>(form, kUnitButton3).caption, gbk("今日生活指数"));
}

TEST(MainWindowForm, ContactCaptionEndsInANineDigitNumber)
{
    const std::string caption = data_of<qx::LabelData>(main_window_form(kDefaultHosts), kUnitLabel1).caption;
    const std::string lead = gbk("如网速较慢请耐心等待,如不能用请等待更新,作者：");
    EXPECT_EQ(caption.size(), 55u);
    ASSERT_EQ(caption.size(), lead.size() + 9);
    EXPECT_EQ(caption.substr(0, lead.size()), lead);
    for (char c : caption.substr(lead.size()))
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << caption.substr(lead.size());
}

TEST(MainWindowForm, ProvinceListKeepsItsFullStops)
{
    const std::pair<const char*, size_t> expected[] = {
        {"广东", 4}, {"北京.", 5},  {"上海.", 5}, {"重庆.", 5}, {"黑龙江", 6}, {"吉林", 4},
        {"辽林", 4}, {"内蒙古", 6}, {"河北", 4},  {"山西", 4},  {"陕西", 4},   {"山东", 4},
    };
    qx::FormSection form = main_window_form(kDefaultHosts);
    const auto& items = data_of<qx::ComboBoxData>(form, kUnitCombo1).items;
    ASSERT_EQ(items.size(), std::size(expected));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i], gbk(expected[i].first)) << "item " << i + 1;
        EXPECT_EQ(items[i].size(), expected[i].second) << "item " << i + 1;
    }
    EXPECT_TRUE(data_of<qx::ComboBoxData>(form, kUnitCombo2).items.empty());
    EXPECT_TRUE(data_of<qx::ComboBoxData>(form, kUnitCombo3).items.empty());
}

TEST(MainWindowForm, BrowsersOpenTheNoticeServersPages)
{
    qx::FormSection form = main_window_form({"notice.example:81", "weather.example"});
    EXPECT_EQ(data_of<qx::BrowserData>(form, kUnitBrowser4).address, "http://notice.example:81/day/shenzhen1.htm");
    EXPECT_EQ(data_of<qx::BrowserData>(form, kUnitBrowser2).address, "http://notice.example:81/day/shenzhen.htm");
    EXPECT_EQ(data_of<qx::BrowserData>(form, kUnitBrowser1).address, "");
}

TEST(PageHead, HasTwentyLinesJoinedByCrLf)
{
    const std::string host = "weather.example:8080";
    const std::string text = data_of<qx::EditBoxData>(main_window_form({"n.example", host}), kUnitEditBox1).text;
    EXPECT_EQ(text, page_head_text(host));
    EXPECT_TRUE(is_gbk(text));
    std::vector<std::string> lines = split_crlf(text);
    ASSERT_EQ(lines.size(), 20u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find('\r'), std::string::npos);
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    EXPECT_EQ(lines[0],
              "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">");
    EXPECT_EQ(lines[1], "<html xmlns=\"http://www.w3.org/1999/xhtml\">");
    EXPECT_EQ(lines[2], "<head>");
    EXPECT_EQ(lines[4], gbk("<title>深圳天气预报-今日_明日_一周天气预报</title>"));
    const std::string site = "http://" + host;
    EXPECT_EQ(lines[9], "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + site + "/m2/c/public/public.css\" />");
    EXPECT_EQ(lines[10], "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + site + "/m2/c/public/mainBox.css\" />");
    EXPECT_EQ(lines[11],
              "<script src=\"" + site + "/m2/j/public/jquerytop101104.js\" type=\"text/javascript\"></script>");
    EXPECT_EQ(lines[12], "<script src=\"" + site + "/m2/j/public/main.js\" type=\"text/javascript\"></script>");
    EXPECT_EQ(lines[13],
              "<script src=\"" + site + "/m2/j/public/maintop101104.js\" type=\"text/javascript\"></script>");
    for (size_t i = 14; i < 19; ++i)
        EXPECT_EQ(lines[i], "") << "line " << i + 1;
    EXPECT_EQ(lines[19], "</head>");
}

// The head is a fixed part plus five copies of the weather service's address. The
// stored reference head was 1,243 bytes with an 18-character host: 1,118 + 5 x 25. A
// lost or altered character in the fixed lines breaks that relation.
TEST(PageHead, LengthIsFixedPartPlusFiveAddresses)
{
    constexpr size_t kFixedPart = 1118;
    static_assert((1243 - kFixedPart) % 5 == 0 && (1243 - kFixedPart) / 5 == std::string_view("http://").size() + 18);
    for (const std::string host : {"127.0.0.1:8370", "w.example", "a-rather-long-weather-host.example:65535"}) {
        SCOPED_TRACE(host);
        const std::string text = data_of<qx::EditBoxData>(main_window_form({"n", host}), kUnitEditBox1).text;
        EXPECT_EQ(text.size(), kFixedPart + 5 * ("http://" + host).size());
    }
}

std::optional<uint32_t> fake_offsets(const std::string& routine)
{
    static const std::map<std::string, uint32_t> offsets = {
        {"OnWindowCreated", 0x10},   {"FillCityList", 0x200}, {"FillDistrictList", 0x300},
        {"ShowForecastPage", 0x400}, {"ShowLivePage", 0x500}, {"ShowLivingIndexPage", 0x600},
    };
    auto it = offsets.find(routine);
    if (it == offsets.end())
        return std::nullopt;
    return it->second;
}

TEST(BindEvents, BindsTheSixHandlersToEventZero)
{
    qx::FormSection form = main_window_form(kDefaultHosts);
    bind_events(form, main_window_bindings(), fake_offsets);
    const std::map<uint32_t, uint32_t> expected = {
        {kUnitWindow, 0x10},   {kUnitCombo1, 0x200},  {kUnitCombo2, 0x300},
        {kUnitButton1, 0x400}, {kUnitButton2, 0x500}, {kUnitButton3, 0x600},
    };
    for (const qx::Unit& u : form.units) {
        SCOPED_TRACE(qx::hex32(u.id));
        auto it = expected.find(u.id);
        if (it == expected.end()) {
            EXPECT_TRUE(u.events.empty());
        } else {
            EXPECT_EQ(u.events, (std::vector<qx::EventBinding>{{0, it->second}}));
        }
    }
    // Binding again replaces the handler instead of adding a second one.
    bind_events(form, main_window_bindings(), fake_offsets);
    EXPECT_EQ(form.find_unit(kUnitButton1)->events.size(), 1u);
}

TEST(BindEvents, MissingRoutineIsNamedAndLeavesTheFormAlone)
{
    qx::FormSection form = main_window_form(kDefaultHosts);
    const qx::FormSection before = form;
    auto without_live_page = [](const std::string& routine) -> std::optional<uint32_t> {
        return routine == "ShowLivePage" ? std::nullopt : fake_offsets(routine);
    };
    try {
        bind_events(form, main_window_bindings(), without_live_page);
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("ShowLivePage"), std::string::npos) << e.what();
    }
    EXPECT_EQ(form, before);

    EXPECT_THROW(bind_events(form, {{0x16019999, 0, "OnWindowCreated"}}, fake_offsets), std::runtime_error);
}

TEST(MainWindowForm, SurvivesWriteAndRead)
{
    qx::FormSection form = main_window_form(kDefaultHosts);
    bind_events(form, main_window_bindings(), fake_offsets);
    qx::Bytes bytes = qx::write_form(form);
    EXPECT_EQ(qx::read_form(bytes), form);
    // The rest-length word covers everything after it up to the section's end.
    ASSERT_GE(bytes.size(), 36u);
    EXPECT_EQ(qx::load_u32(bytes.data() + 28), 13u);
    EXPECT_EQ(qx::load_u32(bytes.data() + 32), bytes.size() - 36);
}

}  // namespace
