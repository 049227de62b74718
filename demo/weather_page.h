// The weather service's city page, "/weather/<code>.shtml": a whole UTF-8 page that carries
// the three blocks the viewer cuts out, each between its exact markers.
#pragma once

#include <string>
#include <string_view>

#include "demo/places.h"
#include "demo/weather_model.h"

namespace demo {

std::string WeatherPage(const Place& place, const LocalTime& now);

// Markup-safe text: & < > " escaped.
std::string EscapeHtml(std::string_view text);

}  // namespace demo
