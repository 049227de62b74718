#include "weatherd/pages/weather_page.h"

#include <cmath>
#include <cstdio>

#include "weatherd/pages/gif_art.h"
#include "weatherd/weather/living_indexes.h"
#include "weatherd/weather/weather_model.h"
#include "weatherd/weather/wmo_weather.h"
#include "web/page_contract.h"

namespace weatherd {

namespace {

namespace page_contract = nimbra::page_contract;

const char kMissing[] = "—";

const char kModelHoursText[] = "逐时数值是 Open-Meteo.com 数值天气模式的分析和预报值，不是气象站的实测观测。";
const char kModelHoursShort[] = "逐时数值为模式值，不是气象站的实测观测";

unsigned month_of(std::chrono::year_month_day date) { return static_cast<unsigned>(date.month()); }

unsigned day_of(std::chrono::year_month_day date) { return static_cast<unsigned>(date.day()); }

std::string format_number(const char* format, auto... values)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, values...);
    return buffer;
}

// A number as the page shows it, with its unit; "—" when the source left it out.
std::string shown_text(std::optional<double> value, const char* format)
{
    return value ? format_number(format, *value) : kMissing;
}

std::string degrees_text(std::optional<double> value)
{
    return value ? format_number("%ld℃", std::lround(*value)) : kMissing;
}

std::string place_title(const Place& place) { return escape_html(place.city) + " " + escape_html(place.district); }

std::string page_url(const Place& place) { return "/weather/" + escape_html(place.code) + ".shtml"; }

std::string clock_text(const LocalTime& time)
{
    return format_number("%u月%u日 %02d:%02d", month_of(time.date), day_of(time.date), time.hour, time.minute);
}

// The model's forecasts are "issued" at 08:00 and 18:00.
std::string model_issue_time(const LocalTime& now)
{
    std::chrono::year_month_day date = now.date;
    int hour = now.hour >= 18 ? 18 : 8;
    if (now.hour < 8) {
        date = std::chrono::sys_days(date) - std::chrono::days(1);
        hour = 18;
    }
    return format_number("%04d-%02u-%02u %02d:00发布", static_cast<int>(date.year()), month_of(date), day_of(date),
                         hour);
}

long minutes_old(int64_t fetched_at, int64_t now_unix)
{
    return std::max<long>(0, static_cast<long>((now_unix - fetched_at) / 60));
}

// A line below a block's numbers about where they came from: short enough for one line
// of the pane, the whole sentence in its tooltip.
std::string source_paragraph(const std::string& shown, const std::string& whole)
{
    std::string html = "<p class=\"dataSource\"";
    if (whole != shown)
        html += " title=\"" + escape_html(whole) + "\"";
    return html + ">" + shown + "</p>\n";
}

// The hourly block adds that its values are the provider's model's, not observations.
std::string source_line(const Provenance& provenance, const LocalTime& now, bool model_hours = false)
{
    std::string shown = short_provenance_text(provenance, to_unix_seconds(now));
    std::string whole = provenance_text(provenance, to_unix_seconds(now));
    if (model_hours) {
        shown += std::string("；") + kModelHoursShort;
        whole += std::string("。") + kModelHoursText;
    }
    return source_paragraph(shown, whole);
}

std::string weather_text(std::optional<int> code)
{
    std::optional<WeatherKind> kind = code ? kind_of_weather_code(*code) : std::nullopt;
    return kind ? kind->text : kMissing;
}

std::string weather_image(std::optional<int> code, bool night)
{
    std::optional<WeatherKind> kind = code ? kind_of_weather_code(*code) : std::nullopt;
    if (!kind)
        return "";
    return "<img src=\"" + weather_icon_path(kind->icon, night) + "\" width=\"29\" height=\"20\" alt=\"" + kind->text +
           "\" />";
}

// `last_cell` ends the row (the day row's air quality, which spans both rows).
std::string half_day_row(const HalfDay& half, bool night, const std::string& last_cell = "")
{
    std::string row = night ? "<tr>\n" : "";
    row += format_number("<td class=\"half\">%s</td>\n", night ? "夜间" : "白天");
    row += "<td class=\"icon\">" + weather_image(half.weather_code, night) + "</td>\n";
    row += "<td class=\"text\">" + weather_text(half.weather_code) + "</td>\n";
    std::string temperature = half.temperature ? format_number("%ld℃", std::lround(*half.temperature)) : kMissing;
    row +=
        format_number("<td class=\"temp\">%s <strong>%s</strong></td>\n", night ? "低温" : "高温", temperature.c_str());
    std::string wind = wind_text(half.wind_speed, half.wind_direction);
    size_t space = wind.find(' ');
    row += "<td class=\"wind\">" + wind.substr(0, space) + "</td>\n<td class=\"force\">" + wind.substr(space + 1) +
           "</td>\n" + last_cell + "</tr>\n";
    return row;
}

std::string air_quality_line(const WeatherReport& report, const Provenance& provenance, const LocalTime& now)
{
    if (provenance.kind == Provenance::Kind::kNoData)
        return "";  // a page without numbers says so once, in its own line
    return source_paragraph(short_air_quality_source_text(report.air_quality_source, to_unix_seconds(now)),
                            air_quality_source_text(report.air_quality_source, to_unix_seconds(now)));
}

std::string level_text(const std::optional<AirQuality>& quality)
{
    return quality ? quality->level->category : kMissing;
}

// Concatenated rather than formatted: it is written for every hour of every page.
std::string aqi_text(const std::optional<AirQuality>& quality)
{
    return quality ? std::to_string(quality->aqi) + " " + quality->level->category : kMissing;
}

std::string primary_text(const AirQuality& quality)
{
    if (quality.primary.empty())
        return "无";
    std::string names;
    for (Pollutant pollutant : quality.primary)
        names += (names.empty() ? "" : "、") + std::string(pollutant_name(pollutant));
    return names;
}

// Today's air quality as one more living index, after the eight.
std::string air_quality_item(const Place& place, const std::optional<AirQuality>& today)
{
    std::string html = "<dl class=\"livingItem\">\n<dt><a href=\"" + page_url(place) + "#index\"><img src=\"" +
                       living_icon_path("kongqi") +
                       "\" width=\"22\" height=\"22\" alt=\"空气质量\" /></a>空气质量</dt>\n";
    if (!today)
        return html + "<dd><b>—</b>暂无空气质量数据。</dd>\n</dl>\n";
    const AqiLevel& level = *today->level;
    html += std::string("<dd><b>") + level.category +
            "</b><span class=\"aqiColor\" style=\"background-color:" + level.color +
            "\">&nbsp;&nbsp;</span>空气质量指数 " + std::to_string(today->aqi) + "（" + level.color_name + "，" +
            std::to_string(level.level) + "级），首要污染物：" + primary_text(*today) + "。" + level.health +
            level.advice + "</dd>\n</dl>\n";
    return html;
}

std::string forecast_heading(const Place& place, const Provenance& provenance, const LocalTime& now)
{
    std::string heading = "<h1 class=\"weatheH1\">" + place_title(place) + " 7天天气预报";
    if (provenance.kind == Provenance::Kind::kModel)
        heading += " <span>(" + model_issue_time(now) + ")</span>";
    else if (provenance.kind == Provenance::Kind::kProvider)
        heading += " <span>(" + clock_text(china_time(provenance.fetched_at)) + "获取)</span>";
    return heading + "</h1>\n";
}

std::string forecast_block_html(const Place& place, const WeatherReport& report, const Provenance& provenance,
                                const LocalTime& now)
{
    std::string html =
        std::string(page_contract::kForecastStart) + "\n<div class=\"weatherYubao\" id=\"weatherYubao1\">\n";
    html += forecast_heading(place, provenance, now);
    html += "<table class=\"yuBaoTable\" cellspacing=\"0\" cellpadding=\"0\">\n";
    for (size_t i = 0; i < report.days.size(); ++i) {
        const DailyForecast& day = report.days[i];
        html += format_number(
            "<tr class=\"day%zu\">\n<td rowspan=\"2\" class=\"date\"><a href=\"%s#day%zu\">%u日%s</a></td>\n", i + 1,
            page_url(place).c_str(), i + 1, day_of(day.date), weekday_name(day.date));
        html += half_day_row(day.day, false,
                             "<td rowspan=\"2\" class=\"aqi\">空气" + level_text(day.air_quality) + "</td>\n");
        html += half_day_row(day.night, true);
    }
    html += "</table>\n" + source_line(provenance, now) + air_quality_line(report, provenance, now) + "</div>\n";
    html += std::string(page_contract::kForecastEnd) + "\n<h2>未来天气趋势</h2>\n";
    if (!report.days.empty()) {
        const DailyForecast& last = report.days.back();
        html +=
            format_number("<p>%u日前后%s，气温%s～%s。", day_of(last.date), weather_text(last.day.weather_code).c_str(),
                          degrees_text(last.night.temperature).c_str(), degrees_text(last.day.temperature).c_str());
    } else {
        html += "<p>";
    }
    html += "<a href=\"/\">查看其他城市</a></p>\n</div>\n</div>\n";
    return html;
}

std::string station_name(const StationSource& station)
{
    return escape_html(station.name) + "（" + escape_html(station.icao) + "）";
}

// Where the hourly rows came from when the place has an airport weather station in reach:
// its reports, or why they are not shown, before the page's own line for its own rows.
std::string station_lines(const StationSource& station, const Provenance& provenance, const LocalTime& now)
{
    std::string distance = format_number("%.0f", station.distance_km);
    std::string newest = station.newest_report ? clock_text(china_time(station.newest_report)) : "";
    switch (station.kind) {
    case StationSource::Kind::kObserved:
        return "<p class=\"dataSource\">实况观测：" + station_name(station) + "机场气象站，距本地约 " + distance +
               " 公里，数据来源 NOAA Aviation Weather Center（美国国家海洋和大气管理局航空天气中心，公共数据），"
               "最新报告时间 " +
               newest + "。降水量不逐时报告，以“—”表示。</p>\n";
    case StationSource::Kind::kMadeUp:
        return "<p class=\"dataSource\">演示数据（非实况）：模拟的" + station_name(station) +
               "机场气象站观测，距本地约 " + distance + " 公里，由 Nimbra 天气模型生成，不是真实的观测。</p>\n";
    case StationSource::Kind::kTooOld:
        return "<p class=\"dataSource\">" + station_name(station) + "机场气象站" +
               (newest.empty() ? "近两小时没有报告" : "的最新报告时间为 " + newest + "，已超过两小时") +
               "，因此下表不是实况观测。</p>\n" +
               source_line(provenance, now, provenance.kind == Provenance::Kind::kProvider);
    case StationSource::Kind::kNotHad: break;
    }
    return "<p class=\"dataSource\">暂时无法获得" + station_name(station) +
           "机场气象站的报告（NOAA Aviation Weather Center），因此下表不是实况观测。</p>\n" +
           source_line(provenance, now, provenance.kind == Provenance::Kind::kProvider);
}

// The hourly table has no inner div, so the first "</div>" after the block's start ends
// it, and no images, since the viewer does not rewrite this block's addresses.
std::string live_block_html(const Place& place, const WeatherReport& report, const Provenance& provenance,
                            const LocalTime& now)
{
    std::string html = std::string("<div class=\"liveBox\">\n") + page_contract::kLiveStart + "\n";
    html += "<h2>" + place_title(place) + " 整点天气实况</h2>\n";
    if (!report.hours.empty())
        html += "<p class=\"liveTime\">更新时间：" + clock_text(report.hours.front().time) + "</p>\n";
    html += "<table class=\"liveTable\" cellspacing=\"0\" cellpadding=\"0\">\n";
    html +=
        "<tr><th>时间</th><th>天气</th><th>气温</th><th>相对湿度</th><th>降水量</th><th>风向风力</th><th>空气质量</th></tr>\n";
    for (const HourlyObservation& hour : report.hours) {
        html += format_number(
            "<tr><td>%02d:00</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
            hour.time.hour, weather_text(hour.weather_code).c_str(), shown_text(hour.temperature, "%.1f℃").c_str(),
            shown_text(hour.humidity, "%.0f%%").c_str(), shown_text(hour.precipitation, "%.1f毫米").c_str(),
            hour.wind_words.empty() ? wind_text(hour.wind_speed, hour.wind_direction).c_str() : hour.wind_words.c_str(),
            aqi_text(hour.air_quality).c_str());
    }
    html += "</table>\n";
    // The provider's hours are its model's analyses and forecasts: the line says so, whatever
    // the heading calls them. Observed hours name their station instead.
    if (report.station)
        html += station_lines(*report.station, provenance, now);
    else
        html += source_line(provenance, now, provenance.kind == Provenance::Kind::kProvider);
    html += air_quality_line(report, provenance, now);
    html += std::string(page_contract::kLiveEnd) + "\n</div>\n";
    return html;
}

std::string living_block_html(const Place& place, const WeatherReport& report, const Provenance& provenance,
                              const LocalTime& now)
{
    std::string html = std::string(page_contract::kLivingStart) + "\n";
    html += "<h2>" + place_title(place) + " 今日生活指数";
    if (!report.days.empty())
        html += format_number(" <span>%u月%u日</span>", month_of(report.days[0].date), day_of(report.days[0].date));
    html += "</h2>\n";
    if (!report.days.empty()) {
        const DailyForecast* tomorrow = report.days.size() > 1 ? &report.days[1] : nullptr;
        for (const LivingIndex& index : today_living_indexes(report.days[0], tomorrow)) {
            html += "<dl class=\"livingItem\">\n<dt><a href=\"" + page_url(place) + "#index\"><img src=\"" +
                    living_icon_path(index.key) + "\" width=\"22\" height=\"22\" alt=\"" + index.name + "\" /></a>" +
                    index.name + "</dt>\n";
            html += "<dd><b>" + index.level + "</b>" + index.advice + "</dd>\n</dl>\n";
        }
        html += air_quality_item(place, report.days[0].air_quality);
    }
    html += source_line(provenance, now) + air_quality_line(report, provenance, now);
    html += std::string(page_contract::kLivingEnd) + "</div>\n</div>\n";
    return html;
}

}  // namespace

std::string provenance_text(const Provenance& provenance, int64_t now_unix)
{
    switch (provenance.kind) {
    case Provenance::Kind::kModel: return "演示数据（非实况）：本页天气由 Nimbra 天气模型生成，不是真实的观测或预报。";
    case Provenance::Kind::kNoData:
        return "数据来源 Open-Meteo.com 暂时无法访问，也没有保存的数据，因此无法显示天气。请稍后再试。";
    case Provenance::Kind::kProvider: break;
    }
    std::string text = "数据来源 Open-Meteo.com（CC BY 4.0），获取于 " + clock_text(china_time(provenance.fetched_at));
    if (provenance.stale)
        text += "，暂时无法更新：" + std::to_string(minutes_old(provenance.fetched_at, now_unix)) + " 分钟前的数据";
    return text;
}

std::string short_provenance_text(const Provenance& provenance, int64_t now_unix)
{
    switch (provenance.kind) {
    case Provenance::Kind::kModel: return "演示数据（非实况）：Nimbra 天气模型生成";
    case Provenance::Kind::kNoData: return provenance_text(provenance, now_unix);
    case Provenance::Kind::kProvider: break;
    }
    std::string text = "数据来源 Open-Meteo.com（CC BY 4.0），";
    // Kept data: its age says more than the time it was fetched, which the tooltip keeps.
    if (provenance.stale)
        return text + std::to_string(minutes_old(provenance.fetched_at, now_unix)) + " 分钟前的数据，暂时无法更新";
    return text + "获取于 " + clock_text(china_time(provenance.fetched_at));
}

std::string air_quality_source_text(const AirQualitySource& source, int64_t now_unix)
{
    switch (source.kind) {
    case AirQualitySource::Kind::kModel:
        return "空气质量：演示数据（非实况），由 Nimbra 天气模型生成，不是真实的监测或预报。";
    case AirQualitySource::Kind::kNone: return "空气质量：数据来源 Open-Meteo.com 暂时无法访问，空气质量以“—”表示。";
    case AirQualitySource::Kind::kProvider: break;
    }
    std::string text = "空气质量：CAMS 数据，经 Open-Meteo.com（CC BY 4.0），为大气成分模式的数值，"
                       "按 HJ 633-2012 算出指数，不是监测站发布的数据";
    if (source.stale)
        text += "；暂时无法更新，为 " + std::to_string(minutes_old(source.fetched_at, now_unix)) + " 分钟前获取";
    return text + "。";
}

std::string short_air_quality_source_text(const AirQualitySource& source, int64_t now_unix)
{
    switch (source.kind) {
    case AirQualitySource::Kind::kModel: return "空气质量：演示数据（非实况），Nimbra 模型生成";
    case AirQualitySource::Kind::kNone: return "空气质量：数据来源 Open-Meteo.com 暂时无法访问，以“—”表示";
    case AirQualitySource::Kind::kProvider: break;
    }
    std::string text = "空气质量：CAMS 模式值（非监测站数据），经 Open-Meteo.com（CC BY 4.0），";
    if (source.stale)
        return text + std::to_string(minutes_old(source.fetched_at, now_unix)) + " 分钟前获取，暂时无法更新";
    return text + "按 HJ 633-2012 计算指数";
}

std::string escape_html(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string weather_page(const Place& place, const WeatherReport& report, const Provenance& provenance,
                         const LocalTime& now)
{
    static const WeatherReport kEmpty;
    const WeatherReport& shown = provenance.kind == Provenance::Kind::kNoData ? kEmpty : report;
    std::string html = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
                       "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
                       "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n<head>\n"
                       "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />\n";
    html += "<title>" + place_title(place) + "天气预报 - Nimbra气象服务</title>\n";
    html += "<link rel=\"stylesheet\" type=\"text/css\" href=\"/m2/c/public/public.css\" />\n"
            "<link rel=\"stylesheet\" type=\"text/css\" href=\"/m2/c/public/mainBox.css\" />\n"
            "<script src=\"/m2/j/public/jquerytop101104.js\" type=\"text/javascript\"></script>\n"
            "<script src=\"/m2/j/public/main.js\" type=\"text/javascript\"></script>\n"
            "<script src=\"/m2/j/public/maintop101104.js\" type=\"text/javascript\"></script>\n"
            "</head>\n<body>\n";
    html +=
        "<div class=\"topNav\"><a href=\"/\"><img src=\"/m2/i/public/logo.gif\" width=\"40\" height=\"28\" alt=\"Nimbra气象\" /></a>"
        " <a href=\"/\">首页</a> | <a href=\"" +
        page_url(place) + "\">" + escape_html(place.district) + "天气</a></div>\n";
    html += "<div class=\"crumbs\">当前位置：<a href=\"/\">首页</a> &gt; " + escape_html(place.province) + " &gt; " +
            escape_html(place.city) + " &gt; " + escape_html(place.district) + "</div>\n";
    html += forecast_block_html(place, shown, provenance, now);
    html += live_block_html(place, shown, provenance, now);
    html += living_block_html(place, shown, provenance, now);
    html += "<div class=\"footer\">" + provenance_text(provenance, to_unix_seconds(now)) + "</div>\n</body>\n</html>\n";
    return html;
}

}  // namespace weatherd
