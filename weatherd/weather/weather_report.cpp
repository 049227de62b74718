#include "weatherd/weather/weather_report.h"

namespace weatherd {

namespace {
constexpr int64_t kChinaOffsetSeconds = 8 * 3600;

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
}  // namespace

LocalTime china_time(int64_t unix_seconds)
{
    int64_t local = unix_seconds + kChinaOffsetSeconds;
    int64_t day = floor_div(local, 86400);
    int64_t second_of_day = local - day * 86400;
    std::chrono::sys_days date{std::chrono::days{day}};
    return {std::chrono::year_month_day{date}, static_cast<int>(second_of_day / 3600),
            static_cast<int>(second_of_day % 3600 / 60), static_cast<int>(second_of_day % 60)};
}

int64_t to_unix_seconds(const LocalTime& time)
{
    int64_t day = std::chrono::sys_days(time.date).time_since_epoch().count();
    return day * 86400 + time.hour * 3600 + time.minute * 60 + time.second - kChinaOffsetSeconds;
}

}  // namespace weatherd
