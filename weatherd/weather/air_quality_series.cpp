#include "weatherd/weather/air_quality_series.h"

namespace weatherd {

std::optional<size_t> hour_index(const AirQualitySeries& series, int64_t unix_seconds)
{
    int64_t offset = unix_seconds - series.first;
    if (offset < 0 || offset % kHourSeconds != 0 || offset / kHourSeconds >= static_cast<int64_t>(series.hours.size()))
        return std::nullopt;
    return static_cast<size_t>(offset / kHourSeconds);
}

void work_out_indexes(AirQualitySeries& series)
{
    series.hour_indexes.clear();
    series.day_indexes.assign(series.hours.size(), std::nullopt);
    for (size_t i = 0; i < series.hours.size(); ++i) {
        series.hour_indexes.push_back(hour_air_quality(series.hours, i));
        if (china_time(series.first + static_cast<int64_t>(i) * kHourSeconds).hour == 0)
            series.day_indexes[i] = day_air_quality(series.hours, i);
    }
}

void attach_air_quality(const AirQualitySeries& series, WeatherReport& report)
{
    bool worked_out =
        series.hour_indexes.size() == series.hours.size() && series.day_indexes.size() == series.hours.size();
    for (DailyForecast& day : report.days) {
        if (std::optional<size_t> start = hour_index(series, to_unix_seconds({day.date, 0, 0})))
            day.air_quality = worked_out ? series.day_indexes[*start] : day_air_quality(series.hours, *start);
    }
    for (HourlyObservation& hour : report.hours) {
        if (std::optional<size_t> at = hour_index(series, to_unix_seconds(hour.time)))
            hour.air_quality = worked_out ? series.hour_indexes[*at] : hour_air_quality(series.hours, *at);
    }
}

}  // namespace weatherd
