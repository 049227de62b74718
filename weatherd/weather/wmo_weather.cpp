#include "weatherd/weather/wmo_weather.h"

#include <algorithm>
#include <cmath>

namespace weatherd {

namespace {

struct CodeKind {
    int code;
    WeatherKind kind;
};

// The codes the provider documents (WMO table 4677, the subset forecasts use), haze, which
// the model produces, and the further codes of that table that airport reports name
// (metar_decode.h): smoke, dust, sand, mist, thunder, dust storms, rain and snow, ice
// pellets, hail. Icons follow the numbering of the weather service's pictures; the dusts
// and smoke share haze's.
const CodeKind kCodeKinds[] = {
    {0, {0, "晴"}},
    {1, {1, "少云"}},
    {2, {1, "多云"}},
    {3, {2, "阴"}},
    {4, {53, "烟"}},
    {5, {53, "霾"}},
    {6, {53, "浮尘"}},
    {7, {53, "扬沙"}},
    {10, {18, "轻雾"}},
    {17, {4, "雷暴"}},
    {31, {53, "沙尘暴"}},
    {34, {53, "强沙尘暴"}},
    {45, {18, "雾"}},
    {48, {18, "冻雾"}},
    {51, {7, "毛毛雨"}},
    {53, {7, "毛毛雨"}},
    {55, {7, "毛毛雨"}},
    {56, {19, "冻雨"}},
    {57, {19, "冻雨"}},
    {61, {7, "小雨"}},
    {63, {8, "中雨"}},
    {65, {9, "大雨"}},
    {66, {19, "冻雨"}},
    {67, {19, "冻雨"}},
    {68, {19, "雨夹雪"}},
    {69, {19, "雨夹雪"}},
    {71, {14, "小雪"}},
    {73, {15, "中雪"}},
    {75, {16, "大雪"}},
    {77, {14, "米雪"}},
    {79, {19, "冰粒"}},
    {80, {3, "阵雨"}},
    {81, {3, "阵雨"}},
    {82, {3, "强阵雨"}},
    {85, {13, "阵雪"}},
    {86, {13, "强阵雪"}},
    {89, {5, "冰雹"}},
    {95, {4, "雷阵雨"}},
    {96, {5, "雷阵雨伴有冰雹"}},
    {99, {5, "雷阵雨伴有冰雹"}},
};

const char* const kDirections[] = {"北风", "东北风", "东风", "东南风", "南风", "西南风", "西风", "西北风"};

// Upper limits of forces 0..11 in m/s; anything faster is force 12.
const double kBeaufortLimits[] = {0.3, 1.6, 3.4, 5.5, 8.0, 10.8, 13.9, 17.2, 20.8, 24.5, 28.5, 32.7};

}  // namespace

std::optional<WeatherKind> kind_of_weather_code(int code)
{
    for (const CodeKind& entry : kCodeKinds) {
        if (entry.code == code)
            return entry.kind;
    }
    return std::nullopt;
}

std::vector<int> all_weather_icons()
{
    std::vector<int> icons;
    for (const CodeKind& entry : kCodeKinds) {
        if (std::find(icons.begin(), icons.end(), entry.kind.icon) == icons.end())
            icons.push_back(entry.kind.icon);
    }
    return icons;
}

bool is_wet_code(int code) { return code >= 50; }

const char* wind_direction_text(double degrees)
{
    double turned = std::fmod(std::fmod(degrees, 360.0) + 360.0 + 22.5, 360.0);
    return kDirections[std::clamp(static_cast<int>(turned / 45.0), 0, 7)];
}

// Compared in hundredths of a km/h, whole numbers: a speed given in km/h exactly at a limit
// (102.6 km/h is 28.5 m/s) comes out a hair below the limit when divided by 3.6 in floating
// point, and would get the lower force. The clamp keeps the rounding in range; every force
// above 11 is 12 anyway.
int beaufort_force(double km_per_hour)
{
    constexpr double kFasterThanEveryLimit = 1000;
    long speed = std::lround(std::clamp(km_per_hour, 0.0, kFasterThanEveryLimit) * 100);
    int force = 0;
    while (force < 12 && speed >= std::lround(kBeaufortLimits[force] * 360))
        ++force;
    return force;
}

std::string wind_text(std::optional<double> km_per_hour, std::optional<double> degrees)
{
    std::string direction = degrees ? wind_direction_text(*degrees) : "—";
    std::string force = km_per_hour ? std::to_string(beaufort_force(*km_per_hour)) + "级" : "—";
    return direction + " " + force;
}

}  // namespace weatherd
