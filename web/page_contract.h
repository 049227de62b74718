// What the viewer cuts from a city page of the weather service: three blocks, each the
// bytes between its start marker and the first end marker after it. The weather service
// writes its pages around these markers, the viewer's page builders cut at them and the
// tests cut where the viewer does, so a change here reaches all three.
//
// The markers are ASCII, so they are the same bytes in the service's UTF-8 page and in
// the program's GBK texts. Plain C texts: freestanding image code includes this header.
#pragma once

namespace nimbra::page_contract {

// The forecast: the box that holds the days' table, up to the box of the trend.
inline constexpr const char* kForecastStart = "<div class=\"weatherYubaoBox\">";
inline constexpr const char* kForecastEnd = "<div class=\"weatherYubao\" id=\"weatherYubao2\">";

// The hourly observations: the table has no inner div, so the first "</div>" ends it.
// The start marker's leading space is part of it.
inline constexpr const char* kLiveStart = " <div class=\"live\">";
inline constexpr const char* kLiveEnd = "</div>";

// The living indexes, up to the div that clears their floats.
inline constexpr const char* kLivingStart = "<div class=\"todayLiving\" id=\"index\">";
inline constexpr const char* kLivingEnd = "<div class=\"cleardiv\">";

}  // namespace nimbra::page_contract
