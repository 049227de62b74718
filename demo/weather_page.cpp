#include "demo/weather_page.h"

#include <cstdio>

#include "demo/gif_art.h"

namespace demo {

namespace {

unsigned MonthOf(std::chrono::year_month_day date) {
  return static_cast<unsigned>(date.month());
}

unsigned DayOf(std::chrono::year_month_day date) {
  return static_cast<unsigned>(date.day());
}

std::string Format(const char* format, auto... values) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, values...);
  return buffer;
}

std::string PlaceTitle(const Place& place) {
  return EscapeHtml(place.city) + " " + EscapeHtml(place.district);
}

std::string PageUrl(const Place& place) {
  return "/weather/" + EscapeHtml(place.code) + ".shtml";
}

// Forecasts are issued at 08:00 and 18:00.
std::string IssueTime(const LocalTime& now) {
  std::chrono::year_month_day date = now.date;
  int hour = now.hour >= 18 ? 18 : 8;
  if (now.hour < 8) {
    date = std::chrono::sys_days(date) - std::chrono::days(1);
    hour = 18;
  }
  return Format("%04d-%02u-%02u %02d:00", static_cast<int>(date.year()), MonthOf(date), DayOf(date), hour);
}

std::string WeatherImage(WeatherKind kind, bool night) {
  return "<img src=\"" + WeatherIconPath(kind.icon, night) + "\" width=\"29\" height=\"20\" alt=\"" + kind.text + "\" />";
}

std::string HalfDayRow(const DayForecast& day, bool night) {
  const WeatherKind& kind = night ? day.night : day.day;
  const Wind& wind = night ? day.night_wind : day.day_wind;
  std::string row = night ? "<tr>\n" : "";
  row += Format("<td class=\"half\">%s</td>\n", night ? "夜间" : "白天");
  row += "<td class=\"icon\">" + WeatherImage(kind, night) + "</td>\n";
  row += Format("<td class=\"text\">%s</td>\n", kind.text);
  row += Format("<td class=\"temp\">%s <strong>%d℃</strong></td>\n", night ? "低温" : "高温", night ? day.low : day.high);
  row += Format("<td class=\"wind\">%s</td>\n<td class=\"force\">%s</td>\n</tr>\n", wind.direction, wind.force);
  return row;
}

std::string ForecastBlock(const Place& place, const std::vector<DayForecast>& week, const LocalTime& now) {
  std::string html = "<div class=\"weatherYubaoBox\">\n<div class=\"weatherYubao\" id=\"weatherYubao1\">\n";
  html += "<h1 class=\"weatheH1\">" + PlaceTitle(place) + " 7天天气预报 <span>(" + IssueTime(now) + "发布)</span></h1>\n";
  html += "<table class=\"yuBaoTable\" cellspacing=\"0\" cellpadding=\"0\">\n";
  for (size_t i = 0; i < week.size(); ++i) {
    const DayForecast& day = week[i];
    html += Format("<tr class=\"day%zu\">\n<td rowspan=\"2\" class=\"date\"><a href=\"%s#day%zu\">%u日%s</a></td>\n", i + 1,
                   PageUrl(place).c_str(), i + 1, DayOf(day.date), WeekdayName(day.date));
    html += HalfDayRow(day, false);
    html += HalfDayRow(day, true);
  }
  html += "</table>\n</div>\n";
  const DayForecast& last = week.back();
  html += "<div class=\"weatherYubao\" id=\"weatherYubao2\">\n<h2>未来天气趋势</h2>\n";
  html += Format("<p>%u日前后%s，气温%d～%d℃。<a href=\"/\">查看其他城市</a></p>\n</div>\n</div>\n", DayOf(last.date),
                 last.day.text, last.low, last.high);
  return html;
}

// The hourly table has no inner div, so the first "</div>" after the block's start ends it.
std::string LiveBlock(const Place& place, const std::vector<Observation>& hours, const LocalTime& now) {
  std::string html = "<div class=\"liveBox\">\n <div class=\"live\">\n";
  html += "<h2>" + PlaceTitle(place) + " 整点天气实况</h2>\n";
  html += Format("<p class=\"liveTime\">更新时间：%u月%u日 %02d:00</p>\n", MonthOf(now.date), DayOf(now.date), now.hour);
  html += "<table class=\"liveTable\" cellspacing=\"0\" cellpadding=\"0\">\n";
  html += "<tr><th>时间</th><th>天气</th><th>气温</th><th>相对湿度</th><th>降水量</th><th>风向风力</th></tr>\n";
  for (const Observation& hour : hours) {
    html += Format("<tr><td>%02d:00</td><td>%s</td><td>%d℃</td><td>%d%%</td><td>%.1f毫米</td><td>%s %s</td></tr>\n", hour.hour,
                   hour.kind.text, hour.temperature, hour.humidity, hour.rain_mm, hour.wind.direction, hour.wind.force);
  }
  html += "</table>\n<p class=\"liveNote\">数据来自本地自动气象站，每小时整点更新。</p>\n</div>\n</div>\n";
  return html;
}

std::string LivingBlock(const Place& place, const std::vector<LivingIndex>& indexes, const LocalTime& now) {
  std::string html = "<div class=\"todayLiving\" id=\"index\">\n";
  html += "<h2>" + PlaceTitle(place) + Format(" 今日生活指数 <span>%u月%u日</span></h2>\n", MonthOf(now.date), DayOf(now.date));
  for (const LivingIndex& index : indexes) {
    html += "<dl class=\"livingItem\">\n<dt><a href=\"" + PageUrl(place) + "#index\"><img src=\"" + LivingIconPath(index.key) +
            "\" width=\"22\" height=\"22\" alt=\"" + index.name + "\" /></a>" + index.name + "</dt>\n";
    html += "<dd><b>" + index.level + "</b>" + index.advice + "</dd>\n</dl>\n";
  }
  html += "<div class=\"cleardiv\"></div>\n</div>\n";
  return html;
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
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

std::string WeatherPage(const Place& place, const LocalTime& now) {
  std::vector<DayForecast> week = ForecastWeek(place.province, place.code, now.date);
  std::vector<Observation> hours = RecentObservations(place.province, place.code, now, 12);
  std::vector<LivingIndex> indexes = TodayLivingIndexes(week[0], week[1]);

  std::string html =
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
      "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
      "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n<head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />\n";
  html += "<title>" + PlaceTitle(place) + "天气预报 - Nimbra演示气象服务</title>\n";
  html +=
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/m2/c/public/public.css\" />\n"
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/m2/c/public/mainBox.css\" />\n"
      "<script src=\"/m2/j/public/jquerytop101104.js\" type=\"text/javascript\"></script>\n"
      "<script src=\"/m2/j/public/main.js\" type=\"text/javascript\"></script>\n"
      "<script src=\"/m2/j/public/maintop101104.js\" type=\"text/javascript\"></script>\n"
      "</head>\n<body>\n";
  html += "<div class=\"topNav\"><a href=\"/\"><img src=\"/m2/i/public/logo.gif\" width=\"40\" height=\"28\" alt=\"Nimbra演示气象\" /></a>"
          " <a href=\"/\">首页</a> | <a href=\"" + PageUrl(place) + "\">" + EscapeHtml(place.district) + "天气</a></div>\n";
  html += "<div class=\"crumbs\">当前位置：<a href=\"/\">首页</a> &gt; " + EscapeHtml(place.province) + " &gt; " +
          EscapeHtml(place.city) + " &gt; " + EscapeHtml(place.district) + "</div>\n";
  html += ForecastBlock(place, week, now);
  html += LiveBlock(place, hours, now);
  html += LivingBlock(place, indexes, now);
  html += "<div class=\"footer\">本页由 Nimbra 天气演示服务生成，天气数据为模拟数据，仅供演示。</div>\n</body>\n</html>\n";
  return html;
}

}  // namespace demo
