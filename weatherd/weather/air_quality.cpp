#include "weatherd/weather/air_quality.h"

#include <algorithm>
#include <cmath>

namespace weatherd {

namespace {

// The IAQI at each breakpoint, the same for every column.
constexpr std::array<int, 8> kIndexAt = {0, 50, 100, 150, 200, 300, 400, 500};
constexpr int kTopIndex = 500;

// Rounding up must not turn an exact breakpoint, computed as 49.99999999999 + 1e-14, into
// the next whole number.
constexpr double kRoundingSlack = 1e-9;

// How many values an average needs to stand: 20 of a day's 24 hours, 6 of an 8-hour
// window's 8, and 14 valid windows for the day's largest 8-hour ozone.
constexpr int kHoursForDay = 20;
constexpr int kHoursForEightHours = 6;
constexpr int kWindowsForDay = 14;
constexpr size_t kHoursInDay = 24;
constexpr size_t kWindowHours = 8;
constexpr size_t kWindowStarts = kHoursInDay - kWindowHours + 1;  // windows ending 08:00 to 24:00

constexpr double kMicrogramsPerMilligram = 1000;
constexpr double kShortColumnEnd = 800;  // where the 1-hour SO2 and the 8-hour O3 columns end

struct Column {
    Averaging key;
    int breakpoints;  // how many of `limits` the column has
    std::array<double, 8> limits;
};

// The regulation's Table 1, a row per column, each keyed by what it holds.
constexpr Column kColumns[] = {
    {Averaging::kSo2Day, 8, {0, 50, 150, 475, 800, 1600, 2100, 2620}},
    {Averaging::kSo2Hour, 5, {0, 150, 500, 650, 800}},
    {Averaging::kNo2Day, 8, {0, 40, 80, 180, 280, 565, 750, 940}},
    {Averaging::kNo2Hour, 8, {0, 100, 200, 700, 1200, 2340, 3090, 3840}},
    {Averaging::kPm10Day, 8, {0, 50, 150, 250, 350, 420, 500, 600}},
    {Averaging::kCoDay, 8, {0, 2, 4, 14, 24, 36, 48, 60}},
    {Averaging::kCoHour, 8, {0, 5, 10, 35, 60, 90, 120, 150}},
    {Averaging::kO3Hour, 8, {0, 160, 200, 300, 400, 800, 1000, 1200}},
    {Averaging::kO3EightHours, 6, {0, 100, 160, 215, 265, 800}},
    {Averaging::kPm25Day, 8, {0, 35, 75, 115, 150, 250, 350, 500}},
};

constexpr bool columns_in_key_order()
{
    for (size_t i = 0; i < std::size(kColumns); ++i)
        if (static_cast<size_t>(kColumns[i].key) != i)
            return false;
    return true;
}
static_assert(columns_in_key_order(), "kColumns must be listed in the order of Averaging");

// The regulation's Table 2.
constexpr AqiLevel kLevels[] = {
    {1, "优", "绿色", "#00e400", "空气质量令人满意，基本无空气污染。", "各类人群可正常活动。"},
    {2, "良", "黄色", "#ffff00", "空气质量可接受，但某些污染物可能对极少数异常敏感人群健康有较弱影响。",
     "极少数异常敏感人群应减少户外活动。"},
    {3, "轻度污染", "橙色", "#ff7e00", "易感人群症状有轻度加剧，健康人群出现刺激症状。",
     "儿童、老年人及心脏病、呼吸系统疾病患者应减少长时间、高强度的户外锻炼。"},
    {4, "中度污染", "红色", "#ff0000", "进一步加剧易感人群症状，可能对健康人群心脏、呼吸系统有影响。",
     "儿童、老年人及心脏病、呼吸系统疾病患者避免长时间、高强度的户外锻炼，一般人群适量减少户外运动。"},
    {5, "重度污染", "紫色", "#99004c", "心脏病和肺病患者症状显著加剧，运动耐受力降低，健康人群普遍出现症状。",
     "儿童、老年人和心脏病、肺病患者应停留在室内，停止户外运动，一般人群减少户外运动。"},
    {6, "严重污染", "褐红色", "#7e0023", "健康人群运动耐受力降低，有明显强烈症状，提前出现某些疾病。",
     "儿童、老年人和病人应当留在室内，避免体力消耗，一般人群应避免户外活动。"},
};

// Indexed by Pollutant.
constexpr const char* kNames[] = {"二氧化硫(SO₂)", "二氧化氮(NO₂)", "可吸入颗粒物(PM10)",
                                  "一氧化碳(CO)",  "臭氧(O₃)",      "细颗粒物(PM2.5)"};
static_assert(std::size(kNames) == kPollutantCount);

size_t slot(Pollutant pollutant) { return static_cast<size_t>(pollutant); }

std::optional<double> value_of(std::span<const PollutantHour> hours, size_t index, Pollutant pollutant)
{
    return index < hours.size() ? hours[index].micrograms[slot(pollutant)] : std::nullopt;
}

// The mean of hours [from, from + count), when at least `needed` of them have a value.
std::optional<double> mean_of(std::span<const PollutantHour> hours, size_t from, size_t count, Pollutant pollutant,
                              int needed)
{
    double sum = 0;
    int values = 0;
    for (size_t i = from; i < from + count; ++i) {
        if (std::optional<double> value = value_of(hours, i, pollutant)) {
            sum += *value;
            ++values;
        }
    }
    if (values < needed)
        return std::nullopt;
    return sum / values;
}

// The mean of the 24 hours up to and including `hour`.
std::optional<double> moving_day_mean(std::span<const PollutantHour> hours, size_t hour, Pollutant pollutant)
{
    if (hour + 1 < kHoursInDay)
        return std::nullopt;
    return mean_of(hours, hour + 1 - kHoursInDay, kHoursInDay, pollutant, kHoursForDay);
}

std::optional<int> index_of(Averaging averaging, std::optional<double> concentration, double scale = 1)
{
    if (!concentration)
        return std::nullopt;
    return individual_index(averaging, *concentration / scale);
}

std::optional<int> larger(std::optional<int> a, std::optional<int> b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::max(*a, *b);
}

// The day's ozone: the larger of its 1-hour and 8-hour indexes; where the day's largest
// 8-hour mean lies past its column's end, the 1-hour index alone.
std::optional<int> day_ozone(std::span<const PollutantHour> hours, size_t day_start)
{
    std::optional<double> largest_hour;
    int hour_values = 0;
    for (size_t i = day_start; i < day_start + kHoursInDay; ++i) {
        if (std::optional<double> value = value_of(hours, i, Pollutant::kO3)) {
            largest_hour = std::max(largest_hour.value_or(*value), *value);
            ++hour_values;
        }
    }
    if (hour_values < kHoursForDay)
        largest_hour.reset();
    std::optional<double> largest_window;
    int windows = 0;
    for (size_t start = day_start; start < day_start + kWindowStarts; ++start) {
        if (std::optional<double> mean = mean_of(hours, start, kWindowHours, Pollutant::kO3, kHoursForEightHours)) {
            largest_window = std::max(largest_window.value_or(*mean), *mean);
            ++windows;
        }
    }
    if (windows < kWindowsForDay)
        largest_window.reset();
    std::optional<int> by_hour = index_of(Averaging::kO3Hour, largest_hour);
    if (largest_window && *largest_window > kShortColumnEnd)
        return by_hour;
    return larger(by_hour, index_of(Averaging::kO3EightHours, largest_window));
}

}  // namespace

std::optional<int> individual_index(Averaging averaging, double concentration)
{
    const Column& column = kColumns[static_cast<size_t>(averaging)];
    if (!std::isfinite(concentration) || concentration < 0)
        return std::nullopt;
    for (int i = 1; i < column.breakpoints; ++i) {
        double low = column.limits[i - 1], high = column.limits[i];
        if (concentration <= high) {
            double index = kIndexAt[i - 1] + (kIndexAt[i] - kIndexAt[i - 1]) * (concentration - low) / (high - low);
            return static_cast<int>(std::ceil(index - kRoundingSlack));
        }
    }
    if (column.breakpoints < static_cast<int>(kIndexAt.size()))
        return std::nullopt;
    return kTopIndex;
}

const AqiLevel& level_of(int aqi)
{
    for (const AqiLevel& level : kLevels) {
        if (aqi <= kIndexAt[level.level])
            return level;
    }
    return kLevels[std::size(kLevels) - 1];
}

const char* pollutant_name(Pollutant pollutant) { return kNames[slot(pollutant)]; }

std::optional<AirQuality> combine_indexes(const std::array<std::optional<int>, kPollutantCount>& individual)
{
    std::optional<int> largest;
    for (const std::optional<int>& index : individual)
        largest = larger(largest, index);
    if (!largest)
        return std::nullopt;
    AirQuality quality;
    quality.aqi = *largest;
    quality.level = &level_of(quality.aqi);
    if (quality.aqi > kIndexAt[1]) {
        for (size_t i = 0; i < kPollutantCount; ++i)
            if (individual[i] == largest)
                quality.primary.push_back(static_cast<Pollutant>(i));
    }
    return quality;
}

std::optional<AirQuality> day_air_quality(std::span<const PollutantHour> hours, size_t day_start)
{
    auto day_mean = [&](Pollutant pollutant) {
        return mean_of(hours, day_start, kHoursInDay, pollutant, kHoursForDay);
    };
    std::array<std::optional<int>, kPollutantCount> individual;
    individual[slot(Pollutant::kSo2)] = index_of(Averaging::kSo2Day, day_mean(Pollutant::kSo2));
    individual[slot(Pollutant::kNo2)] = index_of(Averaging::kNo2Day, day_mean(Pollutant::kNo2));
    individual[slot(Pollutant::kPm10)] = index_of(Averaging::kPm10Day, day_mean(Pollutant::kPm10));
    individual[slot(Pollutant::kCo)] = index_of(Averaging::kCoDay, day_mean(Pollutant::kCo), kMicrogramsPerMilligram);
    individual[slot(Pollutant::kO3)] = day_ozone(hours, day_start);
    individual[slot(Pollutant::kPm25)] = index_of(Averaging::kPm25Day, day_mean(Pollutant::kPm25));
    return combine_indexes(individual);
}

// Past the end of the 1-hour SO2 column the regulation reports the 24-hour index instead.
std::optional<AirQuality> hour_air_quality(std::span<const PollutantHour> hours, size_t hour)
{
    std::array<std::optional<int>, kPollutantCount> individual;
    std::optional<double> so2 = value_of(hours, hour, Pollutant::kSo2);
    individual[slot(Pollutant::kSo2)] =
        so2 && *so2 > kShortColumnEnd ? index_of(Averaging::kSo2Day, moving_day_mean(hours, hour, Pollutant::kSo2))
                                      : index_of(Averaging::kSo2Hour, so2);
    individual[slot(Pollutant::kNo2)] = index_of(Averaging::kNo2Hour, value_of(hours, hour, Pollutant::kNo2));
    individual[slot(Pollutant::kPm10)] = index_of(Averaging::kPm10Day, moving_day_mean(hours, hour, Pollutant::kPm10));
    individual[slot(Pollutant::kCo)] =
        index_of(Averaging::kCoHour, value_of(hours, hour, Pollutant::kCo), kMicrogramsPerMilligram);
    individual[slot(Pollutant::kO3)] = index_of(Averaging::kO3Hour, value_of(hours, hour, Pollutant::kO3));
    individual[slot(Pollutant::kPm25)] = index_of(Averaging::kPm25Day, moving_day_mean(hours, hour, Pollutant::kPm25));
    return combine_indexes(individual);
}

}  // namespace weatherd
