#include "weatherd/weather/living_indexes.h"

#include <algorithm>

#include "weatherd/weather/wmo_weather.h"

namespace weatherd {

namespace {

const char kNoLevel[] = "—";
const char kNoAdvice[] = "缺少所需的预报数据，暂不提供此项指数。";

// What the rules read off the forecast; each is empty when the data lacks it.
struct Conditions {
    std::optional<double> feels;       // mean of today's apparent high and low
    std::optional<double> uv;          // today's highest UV index
    std::optional<double> rain_today;  // mm
    std::optional<double> rain_two_days;
    std::optional<int> wind_force;   // strongest half-day wind, Beaufort
    std::optional<double> range;     // high minus low
    std::optional<double> humidity;  // today's mean, percent
    std::optional<int> day_code;
};

std::optional<double> sum_of(std::optional<double> a, std::optional<double> b)
{
    if (!a || !b)
        return std::nullopt;
    return *a + *b;
}

Conditions read_conditions(const DailyForecast& today, const DailyForecast* tomorrow)
{
    Conditions c;
    if (today.apparent_max && today.apparent_min)
        c.feels = (*today.apparent_max + *today.apparent_min) / 2;
    c.uv = today.uv_index_max;
    c.rain_today = today.precipitation;
    c.rain_two_days = tomorrow ? sum_of(today.precipitation, tomorrow->precipitation) : today.precipitation;
    if (today.day.wind_speed || today.night.wind_speed)
        c.wind_force = beaufort_force(std::max(today.day.wind_speed.value_or(0), today.night.wind_speed.value_or(0)));
    if (today.day.temperature && today.night.temperature)
        c.range = *today.day.temperature - *today.night.temperature;
    c.humidity = today.humidity_mean;
    c.day_code = today.day.weather_code;
    return c;
}

LivingIndex missing_index(const char* key, const char* name) { return {key, name, kNoLevel, kNoAdvice}; }

LivingIndex dressing(const Conditions& c)
{
    const char* key = "chuanyi";
    const char* name = "穿衣指数";
    if (!c.feels)
        return missing_index(key, name);
    double t = *c.feels;
    const char* level = t < -10  ? "寒冷"
                        : t < 0  ? "冷"
                        : t < 8  ? "较冷"
                        : t < 15 ? "较舒适"
                        : t < 22 ? "舒适"
                        : t < 28 ? "热"
                                 : "炎热";
    const char* advice = t < 8 ? "天气寒冷，建议着棉衣、羽绒服、皮夹克加羊毛衫等冬季服装。"
                         : t < 18 ? "建议着夹克、风衣或薄毛衣，早晚注意添加衣物。"
                                  : "建议着短袖衬衫、薄长裙、T恤等清凉夏季服装。";
    return {key, name, level, advice};
}

LivingIndex ultraviolet(const Conditions& c)
{
    const char* key = "ziwaixian";
    const char* name = "紫外线指数";
    if (!c.uv)
        return missing_index(key, name);
    double uv = *c.uv;
    const char* level = uv < 3 ? "最弱" : uv < 5 ? "弱" : uv < 7 ? "中等" : uv < 10 ? "强" : "很强";
    const char* advice = uv < 5   ? "紫外线强度较弱，外出时可适当涂擦防晒护肤品。"
                         : uv < 7 ? "外出请涂擦防晒霜，戴遮阳帽或太阳镜。"
                                  : "紫外线很强，避免正午外出，外出请做好防晒。";
    return {key, name, level, advice};
}

LivingIndex car_washing(const Conditions& c)
{
    const char* key = "xiche";
    const char* name = "洗车指数";
    if (!c.rain_two_days || !c.wind_force)
        return missing_index(key, name);
    if (*c.rain_two_days >= 1)
        return {key, name, "不宜", "未来两天有降水，洗车后容易再被弄脏。"};
    if (*c.rain_two_days > 0 || *c.wind_force >= 5)
        return {key, name, "较不宜", "未来两天有零星降水或风力较大，洗车后不易保持清洁。"};
    return {key, name, "适宜", "未来两天无雨，风力不大，适宜洗车。"};
}

LivingIndex sports(const Conditions& c)
{
    const char* key = "yundong";
    const char* name = "运动指数";
    if (!c.rain_today || !c.wind_force || !c.feels)
        return missing_index(key, name);
    if (*c.rain_today >= 1 || *c.wind_force >= 6)
        return {key, name, "较不宜", "有降水或风力较大，建议在室内进行适量运动。"};
    if (*c.feels < 5 || *c.feels > 30)
        return {key, name, "较适宜", "气温偏离适宜范围，户外运动请注意防寒或防暑。"};
    return {key, name, "适宜", "天气较好，适宜户外运动，请注意补充水分。"};
}

LivingIndex cold_risk(const Conditions& c)
{
    const char* key = "ganmao";
    const char* name = "感冒指数";
    if (!c.range || !c.feels)
        return missing_index(key, name);
    if (*c.range >= 12)
        return {key, name, "极易发", "昼夜温差很大，极易感冒，请注意增减衣服。"};
    if (*c.range >= 10 || *c.feels < 0)
        return {key, name, "易发", "昼夜温差较大或天气寒冷，体质较弱的朋友注意防护。"};
    if (*c.range >= 8 || *c.feels < 8)
        return {key, name, "较易发", "早晚偏凉，请适当增减衣服。"};
    return {key, name, "少发", "各项气象条件适宜，发生感冒的机率较低。"};
}

LivingIndex drying(const Conditions& c)
{
    const char* key = "liangshai";
    const char* name = "晾晒指数";
    if (!c.rain_today || !c.humidity || !c.day_code)
        return missing_index(key, name);
    if (*c.rain_today >= 0.1)
        return {key, name, "不宜", "有降水，不适宜晾晒，请在室内通风处晾干。"};
    if (*c.humidity >= 80)
        return {key, name, "不太适宜", "空气潮湿，衣物不易晾干。"};
    if (*c.day_code <= 2 && *c.humidity < 60)
        return {key, name, "极适宜", "天气晴好，空气干燥，抓紧时机让衣物晒晒太阳吧。"};
    return {key, name, "基本适宜", "天气尚可，衣物可以晾晒，但干得稍慢。"};
}

LivingIndex travel(const Conditions& c)
{
    const char* key = "lvyou";
    const char* name = "旅游指数";
    if (!c.rain_today || !c.wind_force || !c.feels)
        return missing_index(key, name);
    if (*c.rain_today >= 5 || *c.wind_force >= 6)
        return {key, name, "较不宜", "有较强降水或大风，不宜外出旅游。"};
    if (*c.rain_today >= 0.1 || *c.feels < 0 || *c.feels > 32)
        return {key, name, "一般", "有降水或冷热明显，外出旅游请带上雨具、做好防护。"};
    if (*c.feels >= 10 && *c.feels <= 28)
        return {key, name, "适宜", "天气较好，是个出游的好日子。"};
    return {key, name, "较适宜", "天气尚可，适宜出游，注意冷暖。"};
}

LivingIndex comfort(const Conditions& c)
{
    const char* key = "shushidu";
    const char* name = "舒适度指数";
    if (!c.feels || !c.humidity)
        return missing_index(key, name);
    double t = *c.feels;
    if (t < 0 || t > 32)
        return {key, name, "很不舒适", "冷热明显，请注意冷暖调节。"};
    if (t < 10 || t > 28)
        return {key, name, "较不舒适", "温度偏离舒适范围，请注意冷暖调节。"};
    if (*c.humidity >= 85)
        return {key, name, "较舒适", "温度适宜，但空气潮湿，略感闷。"};
    return {key, name, "舒适", "温度适宜，湿度适中，感觉舒适。"};
}

}  // namespace

std::vector<LivingIndex> today_living_indexes(const DailyForecast& today, const DailyForecast* tomorrow)
{
    Conditions c = read_conditions(today, tomorrow);
    return {dressing(c), ultraviolet(c), car_washing(c), sports(c), cold_risk(c), drying(c), travel(c), comfort(c)};
}

}  // namespace weatherd
