#include "demo/weather_model.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace demo {

namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

const WeatherKind kSunny{0, "晴"};
const WeatherKind kCloudy{1, "多云"};
const WeatherKind kOvercast{2, "阴"};
const WeatherKind kShower{3, "阵雨"};
const WeatherKind kThunderShower{4, "雷阵雨"};
const WeatherKind kLightRain{7, "小雨"};
const WeatherKind kModerateRain{8, "中雨"};
const WeatherKind kHeavyRain{9, "大雨"};
const WeatherKind kSnowShower{13, "阵雪"};
const WeatherKind kLightSnow{14, "小雪"};
const WeatherKind kModerateSnow{15, "中雪"};
const WeatherKind kFog{18, "雾"};
const WeatherKind kHaze{53, "霾"};

const char* const kDirections[] = {"北风", "东北风", "东风", "东南风", "南风", "西南风", "西风", "西北风"};

struct Climate {
  const char* province;
  double january_mean;  // daily mean temperature, degrees Celsius
  double july_mean;
  double daily_range;   // typical high minus low
  double wet_share;     // chance of a day with precipitation, at the wettest time of year
  bool winter_haze;
};

// Rough figures for each province's chief city; enough to make pages look right.
const Climate kClimates[] = {
    {"广东", 14, 29, 7, 0.45, false},   {"北京.", -3, 27, 10, 0.30, true},
    {"上海.", 5, 29, 7, 0.40, false},   {"重庆.", 8, 29, 7, 0.40, true},
    {"黑龙江", -18, 23, 11, 0.30, false}, {"吉林", -15, 23, 11, 0.30, false},
    {"辽林", -10, 25, 9, 0.30, true},   {"内蒙古", -12, 23, 13, 0.20, false},
    {"河北", -2, 27, 10, 0.25, true},   {"山西", -5, 24, 12, 0.25, true},
    {"陕西", 0, 27, 10, 0.30, true},    {"山东", -1, 27, 9, 0.30, true},
};
const Climate kMildClimate{"", 6, 26, 9, 0.30, false};

const Climate& ClimateOf(const std::string& province) {
  for (const Climate& climate : kClimates) {
    if (province == climate.province)
      return climate;
  }
  return kMildClimate;
}

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint64_t HashText(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text)
    h = (h ^ c) * 1099511628211ull;
  return h;
}

// A small deterministic stream of numbers for one place, one day and one purpose.
class Dice {
 public:
  Dice(const std::string& code, year_month_day date, uint64_t purpose)
      : state_(Mix(HashText(code) ^ Mix(static_cast<uint64_t>(sys_days(date).time_since_epoch().count()) * 31 + purpose))) {}

  double Unit() {  // [0, 1)
    state_ = Mix(state_);
    return static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }
  double Between(double low, double high) { return low + (high - low) * Unit(); }
  int Pick(int count) { return std::min(count - 1, static_cast<int>(Unit() * count)); }

 private:
  uint64_t state_;
};

int DayOfYear(year_month_day date) {
  sys_days start{year_month_day{date.year(), std::chrono::January, std::chrono::day{1}}};
  return static_cast<int>((sys_days(date) - start).count());
}

// 0 in mid-January, 1 in mid-July.
double Summerness(year_month_day date) {
  return (1 - std::cos(2 * std::numbers::pi * (DayOfYear(date) - 15) / 365.0)) / 2;
}

// Correlated from one day to the next, so a week does not jump about.
double Anomaly(const std::string& code, year_month_day date) {
  double sum = 0;
  const double weights[] = {0.5, 0.3, 0.2};
  for (int back = 0; back < 3; ++back) {
    Dice dice(code, sys_days(date) - days(back), 1);
    sum += weights[back] * dice.Between(-5, 5);
  }
  return sum;
}

WeatherKind Precipitation(Dice& dice, double high, double summer) {
  double r = dice.Unit();
  if (high < 2)
    return r < 0.3 ? kSnowShower : r < 0.8 ? kLightSnow : kModerateSnow;
  if (summer > 0.6)
    return r < 0.35 ? kShower : r < 0.6 ? kThunderShower : r < 0.85 ? kLightRain : r < 0.95 ? kModerateRain : kHeavyRain;
  return r < 0.3 ? kShower : r < 0.75 ? kLightRain : r < 0.95 ? kModerateRain : kHeavyRain;
}

WeatherKind DryKind(Dice& dice, const Climate& climate, double summer) {
  double r = dice.Unit();
  if (climate.winter_haze && summer < 0.3 && r < 0.12)
    return kHaze;
  if (r < 0.16)
    return summer < 0.5 ? kFog : kOvercast;  // fog in the cool half of the year
  return r < 0.45 ? kSunny : r < 0.8 ? kCloudy : kOvercast;
}

Wind DrawWind(Dice& dice) {
  double r = dice.Unit();
  if (r < 0.25)
    return {"无持续风向", "微风"};
  return {kDirections[dice.Pick(8)], r < 0.7 ? "3-4级" : r < 0.92 ? "4-5级" : "5-6级"};
}

bool IsWet(WeatherKind kind) {
  return kind.icon >= 3 && kind.icon <= 17;
}

DayForecast ForecastFor(const std::string& province, const std::string& code, year_month_day date) {
  const Climate& climate = ClimateOf(province);
  double summer = Summerness(date);
  double district_offset = static_cast<double>(HashText(code) % 3) - 1;
  double mean = climate.january_mean + (climate.july_mean - climate.january_mean) * summer + district_offset +
                Anomaly(code, date);
  Dice dice(code, date, 2);
  double range = climate.daily_range + dice.Between(-2, 2);

  DayForecast forecast;
  forecast.date = date;
  forecast.high = static_cast<int>(std::lround(mean + range / 2));
  forecast.low = static_cast<int>(std::lround(mean - range / 2));
  double wet_share = climate.wet_share * (0.5 + 0.5 * summer);
  bool wet_day = dice.Unit() < wet_share;
  forecast.day = wet_day ? Precipitation(dice, forecast.high, summer) : DryKind(dice, climate, summer);
  double night_turn = dice.Unit();
  if (night_turn < 0.6)
    forecast.night = forecast.day;
  else if (wet_day)
    forecast.night = night_turn < 0.8 ? kOvercast : kCloudy;
  else
    forecast.night = night_turn < 0.8 ? kCloudy : kSunny;
  forecast.day_wind = DrawWind(dice);
  forecast.night_wind = dice.Unit() < 0.5 ? forecast.day_wind : DrawWind(dice);
  return forecast;
}

// Temperature through the day: lowest near 06:00, highest near 14:00.
double HourTemperature(const DayForecast& forecast, int hour) {
  double share;
  if (hour >= 6 && hour <= 14)
    share = (1 - std::cos(std::numbers::pi * (hour - 6) / 8.0)) / 2;
  else {
    int since_peak = (hour + 24 - 14) % 24;  // 0..15
    share = (1 + std::cos(std::numbers::pi * since_peak / 16.0)) / 2;
  }
  return forecast.low + (forecast.high - forecast.low) * share;
}

std::string Level(double value, std::initializer_list<std::pair<double, const char*>> steps, const char* last) {
  for (const auto& [limit, name] : steps) {
    if (value < limit)
      return name;
  }
  return last;
}

}  // namespace

const std::vector<WeatherKind>& AllWeatherKinds() {
  static const std::vector<WeatherKind> kinds = {kSunny,     kCloudy,        kOvercast,  kShower,      kThunderShower,
                                                  kLightRain, kModerateRain,  kHeavyRain, kSnowShower,  kLightSnow,
                                                  kModerateSnow, kFog,        kHaze};
  return kinds;
}

const char* WeekdayName(year_month_day date) {
  static const char* const names[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
  return names[std::chrono::weekday(sys_days(date)).c_encoding()];
}

std::vector<DayForecast> ForecastWeek(const std::string& province, const std::string& code, year_month_day first) {
  std::vector<DayForecast> week;
  for (int i = 0; i < 7; ++i)
    week.push_back(ForecastFor(province, code, sys_days(first) + days(i)));
  return week;
}

std::vector<Observation> RecentObservations(const std::string& province, const std::string& code,
                                            const LocalTime& now, int count) {
  std::vector<Observation> observations;
  for (int back = 0; back < count; ++back) {
    int hour = now.hour - back;
    year_month_day date = now.date;
    if (hour < 0) {
      hour += 24;
      date = sys_days(date) - days(1);
    }
    DayForecast forecast = ForecastFor(province, code, date);
    bool daytime = hour >= 7 && hour < 19;
    Dice dice(code, date, 100 + static_cast<uint64_t>(hour));
    Observation observation;
    observation.hour = hour;
    observation.kind = daytime ? forecast.day : forecast.night;
    observation.temperature = static_cast<int>(std::lround(HourTemperature(forecast, hour) + dice.Between(-0.8, 0.8)));
    bool wet = IsWet(observation.kind);
    observation.humidity = static_cast<int>(std::lround((wet ? 82 : 45) + dice.Between(-12, 12) +
                                                         (forecast.high - HourTemperature(forecast, hour)) * 2));
    observation.humidity = std::clamp(observation.humidity, 12, 100);
    observation.rain_mm = wet && dice.Unit() < 0.7 ? std::round(dice.Between(0.1, observation.kind.icon == 9 ? 12 : 3.5) * 10) / 10 : 0;
    observation.wind = daytime ? forecast.day_wind : forecast.night_wind;
    observations.push_back(observation);
  }
  return observations;
}

std::vector<LivingIndex> TodayLivingIndexes(const DayForecast& today, const DayForecast& tomorrow) {
  double mean = (today.high + today.low) / 2.0;
  bool wet_today = IsWet(today.day) || IsWet(today.night);
  bool wet_soon = wet_today || IsWet(tomorrow.day);
  bool sunny = today.day.icon <= 1;
  int swing = today.high - today.low;
  std::vector<LivingIndex> indexes;

  std::string dress = Level(mean, {{-10, "寒冷"}, {0, "冷"}, {8, "较冷"}, {15, "较舒适"}, {22, "舒适"}, {28, "热"}}, "炎热");
  indexes.push_back({"chuanyi", "穿衣指数", dress,
                     mean < 8    ? "天气寒冷，建议着棉衣、羽绒服、皮夹克加羊毛衫等冬季服装。"
                     : mean < 18 ? "建议着夹克、风衣或薄毛衣，早晚注意添加衣物。"
                                 : "建议着短袖衬衫、薄长裙、T恤等清凉夏季服装。"});
  indexes.push_back({"ziwaixian", "紫外线指数", sunny ? (today.high > 25 ? "强" : "中等") : (wet_today ? "最弱" : "弱"),
                     sunny ? "外出请涂擦防晒霜，戴遮阳帽或太阳镜。" : "紫外线强度较弱，外出时可适当涂擦防晒护肤品。"});
  indexes.push_back({"xiche", "洗车指数", wet_soon ? "不宜" : "适宜",
                     wet_soon ? "未来一两天有降水，洗车后容易再被弄脏。" : "未来一两天无雨，风力不大，适宜洗车。"});
  indexes.push_back({"yundong", "运动指数", wet_today ? "较不宜" : (mean < 0 || mean > 30 ? "较适宜" : "适宜"),
                     wet_today ? "有降水，建议在室内进行适量运动。" : "天气较好，适宜户外运动，请注意补充水分。"});
  indexes.push_back({"ganmao", "感冒指数", swing >= 10 || mean < 5 ? "较易发" : "少发",
                     swing >= 10 ? "昼夜温差较大，请适当增减衣服，体质较弱的朋友注意防护。" : "各项气象条件适宜，发生感冒的机率较低。"});
  indexes.push_back({"liangshai", "晾晒指数", wet_today ? "不宜" : (sunny ? "极适宜" : "基本适宜"),
                     wet_today ? "有降水，不适宜晾晒，请在室内通风处晾干。" : "天气不错，抓紧时机让衣物晒晒太阳吧。"});
  indexes.push_back({"lvyou", "旅游指数", wet_today ? "一般" : "适宜",
                     wet_today ? "有降水，外出旅游请带上雨具。" : "天气较好，是个出游的好日子。"});
  indexes.push_back({"shushidu", "舒适度指数", Level(mean, {{0, "很不舒适"}, {10, "较不舒适"}, {26, "舒适"}}, "较不舒适"),
                     mean >= 10 && mean < 26 ? "白天温度适宜，风力不大，感觉舒适。" : "温度偏离舒适范围，请注意冷暖调节。"});
  return indexes;
}

}  // namespace demo
