// Which source a city page's numbers come from, and for how long a page may be kept by
// the caches in front of the service.
//   open-meteo  the provider; without data (it failed, nothing kept), a page that says so
//   model       the made-up model, every page marked as demo data
//   auto        the provider; where it cannot give data and nothing is kept, the model
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "weatherd/forecast_cache.h"
#include "weatherd/places.h"
#include "weatherd/weather_report.h"

namespace weatherd {

enum class SourceMode { kOpenMeteo, kModel, kAuto };

std::optional<SourceMode> ParseSourceMode(const std::string& name);

struct SourcedReport {
  WeatherReport report;
  Provenance provenance;
  int64_t last_modified = 0;    // unix seconds
  int64_t max_age_seconds = 0;  // how long a cache may serve the page without asking again
};

class WeatherSources {
 public:
  // `cache` may be null in model mode.
  WeatherSources(SourceMode mode, ForecastCache* cache, int64_t fresh_seconds);

  SourcedReport ForPlace(const Place& place, const LocalTime& now);
  // The same, or nothing when it would have to wait (for the provider, the disk or another
  // page of the place): the HTTP front's event threads ask this first.
  std::optional<SourcedReport> ForPlaceAtOnce(const Place& place, const LocalTime& now);

  // Short-lived pages (stale, missing or stand-in data) are asked for again soon.
  static constexpr int64_t kRetrySoonSeconds = 60;

 private:
  SourcedReport FromModel(const Place& place, const LocalTime& now) const;
  SourcedReport FromKept(const Place& place, const LocalTime& now, const ForecastCache::Result& kept) const;

  SourceMode mode_;
  ForecastCache* cache_;
  int64_t fresh_seconds_;
};

// The name the service gives a page's source in its log and the X-Nimbra-Source header:
// "open-meteo", "open-meteo (N min old)", "model", "none".
std::string SourceName(const Provenance& provenance, int64_t now_unix);

}  // namespace weatherd
