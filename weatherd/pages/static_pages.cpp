#include "weatherd/pages/static_pages.h"

#include <cstdio>

#include "weatherd/pages/weather_page.h"

namespace weatherd {

namespace {

// Sized for the viewer's pane (672 x 216, or 300 wide for the living indexes) as much as
// for a normal browser window. The window's client area is 662 wide and clips the wide
// pane, so the page is at most 660 wide; the body holds the rule because the viewer
// shows a block without the box that holds it on the page. Rows are tight enough for
// three forecast days (below the viewer's blank line) and six hourly rows in 216; long
// words wrap.
const char kPublicCss[] = R"(/* Nimbra weather service: base styles */
body { margin: 0; padding: 0; max-width: 660px; overflow-wrap: anywhere; font: 12px/1.6 "Noto Sans CJK SC", "WenQuanYi Micro Hei", sans-serif; color: #333; background: #fff; }
a { color: #1f5fa8; text-decoration: none; }
a:hover { text-decoration: underline; }
img { border: 0; vertical-align: middle; }
h1, h2 { margin: 0; padding: 4px 8px; font-size: 14px; line-height: 20px; color: #fff; background: #3a7bc8; }
h1 span, h2 span { font-size: 12px; font-weight: normal; color: #dce9f8; white-space: nowrap; }
.topNav { padding: 4px 8px; background: #eef4fb; border-bottom: 1px solid #c9dbef; }
.crumbs { padding: 2px 8px; color: #777; }
.footer { margin-top: 8px; padding: 6px 8px; color: #999; border-top: 1px solid #ddd; }
.cleardiv { clear: both; height: 0; overflow: hidden; }
)";

const char kMainBoxCss[] = R"(/* Nimbra weather service: the three weather blocks */
.weatherYubaoBox { border: 1px solid #c9dbef; margin: 0 0 6px 0; }
.yuBaoTable { width: 100%; border-collapse: collapse; }
.yuBaoTable td { padding: 0 4px; line-height: 20px; border-bottom: 1px solid #eef1f5; white-space: nowrap; }
.yuBaoTable td.date { font-weight: bold; background: #f6f9fd; border-right: 1px solid #e3eaf3; }
.yuBaoTable td.temp strong { color: #d2452f; }
.yuBaoTable tr.day1 td.date { color: #d2452f; }
#weatherYubao2 { padding: 0 8px; }
#weatherYubao2 h2 { color: #3a7bc8; background: none; padding: 4px 0 0 0; }
.live { border: 1px solid #c9dbef; margin: 0 0 6px 0; }
.liveTime { margin: 0 8px; line-height: 18px; color: #777; }
.liveTable { width: 100%; border-collapse: collapse; text-align: center; }
.liveTable th { background: #f0f5fb; font-weight: normal; color: #555; padding: 0 2px; line-height: 18px; }
.liveTable td { border-bottom: 1px solid #eef1f5; padding: 0 2px; line-height: 18px; }
.dataSource { margin: 0; padding: 1px 8px 0 8px; font-size: 11px; line-height: 16px; color: #888; }
.dataSource + .dataSource { padding-top: 0; }
.liveNote { margin: 2px 8px; color: #999; }
.todayLiving { border: 1px solid #c9dbef; }
.livingItem { margin: 0; padding: 4px 8px; border-bottom: 1px dashed #e3eaf3; }
.livingItem dt { font-weight: bold; }
.livingItem dt img { margin-right: 4px; }
.livingItem dd { margin: 0 0 0 26px; }
.livingItem dd b { color: #d2452f; margin-right: 6px; }
)";

// The page head names these scripts; the pages need no behaviour from them.
const char kJqueryTopJs[] = "/* Nimbra weather service: top-of-page helpers (none needed) */\n"
                            "window.nimbraWeather = window.nimbraWeather || {};\n";
const char kMainJs[] = "/* Nimbra weather service: page script (none needed) */\n"
                       "window.nimbraWeather = window.nimbraWeather || {};\n"
                       "window.nimbraWeather.loaded = true;\n";
const char kMainTopJs[] = "/* Nimbra weather service: header script (none needed) */\n"
                          "window.nimbraWeather = window.nimbraWeather || {};\n";

const StaticFile kStaticFiles[] = {
    {"/m2/c/public/public.css", "text/css; charset=utf-8", kPublicCss},
    {"/m2/c/public/mainBox.css", "text/css; charset=utf-8", kMainBoxCss},
    {"/m2/j/public/jquerytop101104.js", "application/javascript; charset=utf-8", kJqueryTopJs},
    {"/m2/j/public/main.js", "application/javascript; charset=utf-8", kMainJs},
    {"/m2/j/public/maintop101104.js", "application/javascript; charset=utf-8", kMainTopJs},
};

std::string date_line(const LocalTime& now)
{
    char text[96];
    std::snprintf(text, sizeof text, "%d年%u月%u日 %s", static_cast<int>(now.date.year()),
                  static_cast<unsigned>(now.date.month()), static_cast<unsigned>(now.date.day()),
                  weekday_name(now.date));
    return text;
}

std::string small_page(const std::string& title, const std::string& style, const std::string& body)
{
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n<title>" + title + "</title>\n<style>\n" +
           style + "</style>\n</head>\n<body>\n" + body + "</body>\n</html>\n";
}

}  // namespace

const StaticFile* static_files_begin() { return std::begin(kStaticFiles); }

const StaticFile* static_files_end() { return std::end(kStaticFiles); }

const StaticFile* find_static_file(std::string_view path)
{
    for (const StaticFile& file : kStaticFiles) {
        if (path == file.path)
            return &file;
    }
    return nullptr;
}

// The viewer places this strip 136 pixels left of its window's edge, so the text starts
// beyond that.
std::string strip_banner_page(const LocalTime& now)
{
    return small_page(
        "Nimbra天气 提示条",
        "html, body { margin: 0; width: 809px; height: 33px; overflow: hidden; }\n"
        "body { font: 12px/33px sans-serif; color: #fff; background: linear-gradient(#4a8ad4, #2f6db5); }\n"
        ".strip { padding-left: 144px; white-space: nowrap; }\n"
        "b { color: #ffe38a; margin-right: 10px; }\n",
        "<div class=\"strip\"><b>Nimbra天气</b>今天是 " + date_line(now) +
            " · 先选省份、城市和区县，再点上方的按钮查看天气</div>\n");
}

std::string welcome_banner_page(const LocalTime& now)
{
    return small_page(
        "欢迎使用 Nimbra天气预报器",
        "html, body { margin: 0; width: 673px; height: 125px; overflow: hidden; }\n"
        "body { font: 12px/1.7 sans-serif; color: #2c4a6b; background: #eef5fc; }\n"
        ".panel { box-sizing: border-box; height: 125px; padding: 10px 16px; border: 1px solid #c3d8ee; }\n"
        "h1 { margin: 0 0 4px 0; font-size: 16px; color: #2f6db5; }\n"
        "ul { margin: 0; padding-left: 18px; }\n"
        ".date { float: right; color: #7a93ad; }\n",
        "<div class=\"panel\">\n<span class=\"date\">" + date_line(now) +
            "</span>\n<h1>欢迎使用 Nimbra天气预报器</h1>\n<ul>\n"
            "<li>天气预报：未来七天的白天和夜间天气、气温与风力。</li>\n"
            "<li>整点天气实况：最近十二个小时的气温、湿度、降水和风。</li>\n"
            "<li>今日生活指数：穿衣、紫外线、洗车、运动、感冒等出行参考。</li>\n"
            "</ul>\n</div>\n");
}

std::string download_page()
{
    return small_page(
        "下载 Nimbra天气预报器", "body { font: 14px/1.7 sans-serif; margin: 24px; color: #333; }\n",
        "<h1>下载 Nimbra天气预报器</h1>\n<p>这是本地演示服务的下载页。正式版本发布后，安装包会出现在这里。</p>\n");
}

std::string index_page(const PlaceTable& places)
{
    std::string body =
        "<h1>Nimbra 天气演示服务</h1>\n<p>本服务为 Nimbra天气预报器提供版本通知和各地天气页面，数据为模拟数据。</p>\n<ul>\n";
    for (const Place& place : places.places) {
        body += "<li><a href=\"/weather/" + escape_html(place.code) + ".shtml\">" + escape_html(place.province) + " " +
                escape_html(place.city) + " " + escape_html(place.district) + "</a> " + escape_html(place.code) +
                "</li>\n";
    }
    body += "</ul>\n";
    return small_page("Nimbra 天气演示服务", "body { font: 13px/1.6 sans-serif; margin: 16px; }\n", body);
}

std::string not_found_page(std::string_view path)
{
    return small_page("404 找不到页面", "body { font: 14px/1.7 sans-serif; margin: 24px; color: #333; }\n",
                      "<h1>404 找不到页面</h1>\n<p>本服务没有 " + escape_html(path) +
                          " 这个页面。</p>\n<p><a href=\"/\">返回首页</a></p>\n");
}

}  // namespace weatherd
