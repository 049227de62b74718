// Room weatherd/pages/: what the service sends: the city page (this file), its pictures
// (gif_art.h) and the fixed pages and stylesheets (static_pages.h), made from a report. It
// may use weatherd/weather/ and weatherd/base/, and of the program the page contract.
//
// The weather service's city page, "/weather/<code>.shtml": a whole UTF-8 page that carries
// the three blocks the viewer cuts out, each between its exact markers, and in each block,
// below its numbers, the lines that say where they came from.
#pragma once

#include <string>
#include <string_view>

#include "weatherd/weather/places.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

// `report` is ignored for a page without data. `now` is the time the page is made.
std::string weather_page(const Place& place, const WeatherReport& report, const Provenance& provenance,
                         const LocalTime& now);

// The sentence each block carries about its data, as a user reads it.
std::string provenance_text(const Provenance& provenance, int64_t now_unix);

// The sentence about the page's air quality and where it came from.
std::string air_quality_source_text(const AirQualitySource& source, int64_t now_unix);

// The same two in the few words of a line below a block's numbers, one line of the
// viewer's pane: the provider and its licence, the fetch time or the data's age, and
// demo data marked as such. The whole sentence is the line's tooltip.
std::string short_provenance_text(const Provenance& provenance, int64_t now_unix);
std::string short_air_quality_source_text(const AirQualitySource& source, int64_t now_unix);

// Markup-safe text: & < > " escaped.
std::string escape_html(std::string_view text);

}  // namespace weatherd
