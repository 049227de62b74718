// Words and pictures for weather codes and winds: the WMO weather codes the provider
// speaks (and the model borrows), the sixteen wind directions folded to eight, and the
// Beaufort force from a wind speed.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace weatherd {

struct WeatherKind {
    int icon;          // number in the icon file names d<NN>.gif / n<NN>.gif
    const char* text;  // UTF-8
};

// The kind for a WMO weather code; nothing for a code outside the table.
std::optional<WeatherKind> kind_of_weather_code(int code);

// Every icon number some code maps to, each once (the icons the service draws).
std::vector<int> all_weather_icons();

// True for codes that mean precipitation of any kind.
bool is_wet_code(int code);

// "北风" for a wind from 0 degrees, and so on in eight sectors.
const char* wind_direction_text(double degrees);

// Beaufort force 0..12 for a speed in km/h.
int beaufort_force(double km_per_hour);

// "东南风 3级"; "—" for a part the source left out.
std::string wind_text(std::optional<double> km_per_hour, std::optional<double> degrees);

}  // namespace weatherd
