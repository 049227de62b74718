// Compiled with -fexec-charset=GBK: every narrow literal below is stored as GBK bytes,
// which is what the image and the runtime expect.
#include "viewer/program_description.h"

#include "viewer/icon_art.h"
#include "viewer/unit_ids.h"

#include <stdexcept>
#include <utility>

#ifndef NIMBRA_NOTICE_HOST
#error "NIMBRA_NOTICE_HOST must be defined by the build"
#endif
#ifndef NIMBRA_WEATHER_HOST
#error "NIMBRA_WEATHER_HOST must be defined by the build"
#endif

namespace nimbra {

std::vector<qx::LibraryEntry> program_manifest()
{
    return {
        {"corert", "4A2C041E21945BF043B41503566D5AAF", "5", "0", "Nimbra 核心运行库"},
        {"WebPane", "383A450A5AEBB4822608750610F33AE6", "2", "0", "网页浏览控件库"},
        {"xtool", "8E7BD7B57A093F79E5F048D8EF6D5D09", "3", "0", "常用工具命令库"},
        {"netlib", "EB0C207F0C2599A5AA44A52ED2D6535F", "2", "0", "网络下载命令库"},
        {"sysapi", "2D8534770788F768A0BD85B9A7BF31EF", "3", "0", "系统接口命令库"},
    };
}

std::vector<std::string> dll_function_names()
{
    return {
        "InternetOpenA",    "InternetConnectA", "HttpOpenRequestA",    "HttpSendRequestA",
        "InternetReadFile", "HttpQueryInfoA",   "InternetCloseHandle", "InternetSetCookieA",
    };
}

ProgramHosts configured_hosts() { return {NIMBRA_NOTICE_HOST, NIMBRA_WEATHER_HOST}; }

std::string page_head_text(const std::string& weather_host)
{
    const std::string site = "http://" + weather_host;
    const std::string script_tail = "\" type=\"text/javascript\"></script>";
    const std::vector<std::string> lines = {
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">",
        "<html xmlns=\"http://www.w3.org/1999/xhtml\">",
        "<head>",
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />",
        "<title>深圳天气预报-今日_明日_一周天气预报</title>",
        "<meta http-equiv='X-UA-Compatible' content='IE=7' />",
        "<meta http-equiv=\"Content-Language\" content=\"zh-cn\">",
        "<meta name=\"keywords\" content=\"深圳天气预报,深圳今日天气,深圳明日天气,深圳一周天气预报\" />",
        "<meta name=\"description\" content=\"深圳天气预报，及时准确发布中央气象台天气信息，便捷查询深圳今日天气，深圳明日天气，深圳一周天气预报，深圳天气预报还提供深圳各区县的生活指数、健康指数、交通指数、旅游指数，及时发布深圳气象预警信号、各类气象资讯。\" />",
        "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + site + "/m2/c/public/public.css\" />",
        "<link rel=\"stylesheet\" type=\"text/css\" href=\"" + site + "/m2/c/public/mainBox.css\" />",
        "<script src=\"" + site + "/m2/j/public/jquerytop101104.js" + script_tail,
        "<script src=\"" + site + "/m2/j/public/main.js" + script_tail,
        "<script src=\"" + site + "/m2/j/public/maintop101104.js" + script_tail,
        "",
        "",
        "",
        "",
        "",
        "</head>",
    };
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += lines[i];
    }
    return text;
}

namespace {

qx::Unit make_unit(uint32_t id, uint32_t type_id, std::string name, int32_t left, int32_t top, int32_t width,
                   int32_t height, uint32_t flags, qx::TypeData data)
{
    qx::Unit unit;
    unit.id = id;
    unit.type_id = type_id;
    unit.name = std::move(name);
    unit.left = left;
    unit.top = top;
    unit.width = width;
    unit.height = height;
    unit.flags = flags;
    unit.data = std::move(data);
    return unit;
}

constexpr uint32_t kShown = qx::kUnitVisible;
constexpr uint32_t kShownFocusable = qx::kUnitVisible | qx::kUnitTakesFocus;

qx::Unit window_unit()
{
    qx::WindowData data;
    data.style = {6, 2, 1, 0xff000000, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    data.icon = draw_window_icon();
    data.title = "Nimbra天气预报器 V1.0";
    return make_unit(kUnitWindow, qx::kTypeWindow, "", 50, 50, 662, 411, kShown, std::move(data));
}

qx::Unit label_unit(uint32_t id, std::string name, int32_t left, int32_t top, int32_t width, int32_t height,
                    std::string caption)
{
    qx::LabelData data;
    data.style = {2, 0,          8,          0,          0x00808080, 0x00ffffff, 0x00808080, 0, 0xff000000, 1,
                  0, 0x00808080, 0x00ffffff, 0x00808080, 0,          1,          0,          0, 0};
    data.caption = std::move(caption);
    return make_unit(id, qx::kTypeLabel, std::move(name), left, top, width, height, kShown, std::move(data));
}

qx::Unit combo_unit(uint32_t id, std::string name, int32_t left, int32_t width, std::vector<std::string> items)
{
    qx::ComboBoxData data;
    data.style = {3, 1, 0, 0, 0, 0, 1, 0, 0x00ffffff, 0xffffffff, 0, 0, 0};
    data.items = std::move(items);
    return make_unit(id, qx::kTypeComboBox, std::move(name), left, 0, width, 20, kShownFocusable, std::move(data));
}

qx::Unit browser_unit(uint32_t id, std::string name, int32_t left, int32_t top, int32_t width, int32_t height,
                      uint32_t last_style, std::string address)
{
    qx::BrowserData data;
    data.style = {1, 2, 0, last_style};
    data.address = std::move(address);
    return make_unit(id, qx::kTypeBrowser, std::move(name), left, top, width, height, kShownFocusable, std::move(data));
}

qx::Unit button_unit(uint32_t id, std::string name, int32_t left, std::string caption)
{
    qx::ButtonData data;
    data.style = {1, 0, 1, 1, 0, 0};
    data.caption = std::move(caption);
    qx::Unit unit = make_unit(id, qx::kTypeButton, std::move(name), left, -1, 80, 24, kShownFocusable, std::move(data));
    unit.cursor = qx::kCursorHand;
    return unit;
}

qx::Unit edit_box_unit(std::string text)
{
    qx::EditBoxData data;
    data.style = {2, 1, 0, 0x00ffffff, 1, 0, 0, 0, 0, 0, '*'};
    data.word_at_0x4a = 100;
    data.text = std::move(text);
    // Zero size: the box is never seen, it only carries the page head.
    return make_unit(kUnitEditBox1, qx::kTypeEditBox, "编辑框1", 536, 8, 0, 0, kShownFocusable, std::move(data));
}

// The trailing full stops belong to the items: they enter the settings-file keys as they are.
std::vector<std::string> province_items()
{
    return {"广东", "北京.", "上海.", "重庆.", "黑龙江", "吉林", "辽林", "内蒙古", "河北", "山西", "陕西", "山东"};
}

}  // namespace

qx::FormSection main_window_form(const ProgramHosts& hosts)
{
    const std::string notice_site = "http://" + hosts.notice_host;
    qx::FormSection form;
    form.units = {
        window_unit(),
        label_unit(kUnitLabel2, "标签2", 556, 0, 104, 24, "下次打开将自动填"),
        combo_unit(kUnitCombo3, "组合框3", 480, 72, {}),
        combo_unit(kUnitCombo2, "组合框2", 408, 72, {}),
        combo_unit(kUnitCombo1, "组合框1", 328, 80, province_items()),
        browser_unit(kUnitBrowser4, "超文本浏览框4", -136, 23, 809, 33, 1, notice_site + "/day/shenzhen1.htm"),
        label_unit(kUnitLabel1, "标签1", 8, 280, 336, 24, "如网速较慢请耐心等待,如不能用请等待更新,作者：555018370"),
        browser_unit(kUnitBrowser2, "超文本浏览框2", 0, 272, 673, 125, 0, notice_site + "/day/shenzhen.htm"),
        button_unit(kUnitButton3, "按钮3", 219, "今日生活指数"),
        button_unit(kUnitButton2, "按钮2", 120, "整点天气实况"),
        button_unit(kUnitButton1, "按钮1", 20, "天气预报"),
        edit_box_unit(page_head_text(hosts.weather_host)),
        browser_unit(kUnitBrowser1, "超文本浏览框1", 0, 56, 672, 216, 0, ""),
    };
    return form;
}

std::vector<NamedBinding> main_window_bindings()
{
    return {
        {kUnitWindow, 0, "OnWindowCreated"},  {kUnitCombo1, 0, "FillCityList"},
        {kUnitCombo2, 0, "FillDistrictList"}, {kUnitButton1, 0, "ShowForecastPage"},
        {kUnitButton2, 0, "ShowLivePage"},    {kUnitButton3, 0, "ShowLivingIndexPage"},
    };
}

void bind_events(qx::FormSection& form, const std::vector<NamedBinding>& bindings,
                 const std::function<std::optional<uint32_t>(const std::string&)>& code_offset_of)
{
    // Resolve everything before touching the form, so a failure leaves it as it was.
    std::vector<std::pair<qx::Unit*, qx::EventBinding>> resolved;
    for (const NamedBinding& binding : bindings) {
        qx::Unit* unit = nullptr;
        for (qx::Unit& candidate : form.units) {
            if (candidate.id == binding.unit_id)
                unit = &candidate;
        }
        if (!unit)
            throw std::runtime_error("event binding for routine " + binding.routine + ": no unit " +
                                     qx::hex32(binding.unit_id) + " in the form");
        std::optional<uint32_t> offset = code_offset_of(binding.routine);
        if (!offset)
            throw std::runtime_error("event handler " + binding.routine + " of unit " + qx::hex32(binding.unit_id) +
                                     " is not in the code section");
        resolved.push_back({unit, {binding.event, *offset}});
    }
    // A unit holds one handler per event: binding again replaces, never duplicates.
    for (auto& [unit, binding] : resolved) {
        const uint32_t event = binding.event;
        std::erase_if(unit->events, [event](const qx::EventBinding& e) { return e.event == event; });
        unit->events.push_back(binding);
    }
}

}  // namespace nimbra
