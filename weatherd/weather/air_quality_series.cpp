#include "weatherd/weather/air_quality_series.h"

namespace weatherd {

std::optional<size_t> HourIndex(const AirQualitySeries& series, int64_t unix_seconds)
{
    int64_t offset = unix_seconds - series.first;
    if (offset < 0 || offset % kHourSeconds != 0 || offset / kHourSeconds >= static_cast<int64_t>(series.hours.size()))
        return std::nullopt;
    return static_cast<size_t>(offset / kHourSeconds);
}

void WorkOutIndexes(AirQualitySeries& series)
{
    series.hour_indexes.clear();
    series.day_indexes.assign(series.hours.size(), std::nullopt);
    for (size_t i = 0; i < series.hours.size(); ++i) {
        series.hour_indexes.push_back(HourAirQuality(series.hours, i));
        if (ChinaTime(series.first + static_cast<int64_t>(i) * kHourSeconds).hour == 0)
            series.day_indexes[i] = DayAirQuality(series.hours, i);
    }
}

void AttachAirQuality(const AirQualitySeries& series, WeatherReport& report)
{
    bool worked_out =
        series.hour_indexes.size() == series.hours.size() && series.day_indexes.size() == series.hours.size();
    for (DailyForecast& day : report.days) {
        if (std::optional<size_t> start = HourIndex(series, UnixSeconds({day.date, 0, 0})))
            day.air_quality = worked_out ? series.day_indexes[*start] : DayAirQuality(series.hours, *start);
    }
    for (HourlyObservation& hour : report.hours) {
        if (std::optional<size_t> at = HourIndex(series, UnixSeconds(hour.time)))
            hour.air_quality = worked_out ? series.hour_indexes[*at] : HourAirQuality(series.hours, *at);
    }
}

}  // namespace weatherd
