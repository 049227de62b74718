// Room weatherd/upstream/: the providers and what the service keeps of their answers: one
// request (upstream_client.h), the polite queue (upstream_queue.h), kept files and the
// caches, reading the answers into the weather room's shapes, and which source a page's
// numbers come from (this file). It may use weatherd/weather/ and weatherd/base/.
//
// Which source a city page's numbers come from, and for how long a page may be kept by
// the caches in front of the service.
//   open-meteo  the provider; without data (it failed, nothing kept), a page that says so
//   model       the made-up model, every page marked as demo data
//   auto        the provider; where it cannot give data and nothing is kept, the model
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "weatherd/upstream/air_quality_answer.h"
#include "weatherd/upstream/forecast_cache.h"
#include "weatherd/upstream/metar_cache.h"
#include "weatherd/weather/places.h"
#include "weatherd/weather/stations.h"
#include "weatherd/weather/weather_report.h"

namespace weatherd {

enum class SourceMode { kOpenMeteo, kModel, kAuto };

std::optional<SourceMode> parse_source_mode(const std::string& name);

struct SourcedReport {
    WeatherReport report;
    Provenance provenance;
    int64_t last_modified = 0;    // unix seconds
    int64_t max_age_seconds = 0;  // how long a cache may serve the page without asking again
};

class WeatherSources {
public:
    // `cache` may be null in model mode. `air_quality_cache` keeps the air-quality answers;
    // without it provider pages show "—" for air quality.
    WeatherSources(SourceMode mode, ForecastCache* cache, int64_t fresh_seconds,
                   ForecastCache* air_quality_cache = nullptr);

    // The place's report as far as `patience` allows by `deadline`: nothing when it would
    // have to wait for more (the disk, the provider or another page of the place). With
    // Patience::kUntilDeadline there is always one.
    std::optional<SourcedReport> for_place(const Place& place, const LocalTime& now, Patience patience,
                                           const Deadline& deadline);
    // The same, waiting as long as the caches' longest page wait.
    SourcedReport for_place(const Place& place, const LocalTime& now);

    // The hourly block of a place with a station in `stations` shows that station's reports
    // from `metar` (may be null: none are asked for), or in model mode the model's made-up ones.
    void observe_with(MetarCache* metar, const StationTable* stations);

    // Short-lived pages (stale, missing or stand-in data) are asked for again soon.
    static constexpr int64_t kRetrySoonSeconds = 60;

private:
    SourcedReport from_model(const Place& place, const LocalTime& now) const;
    SourcedReport from_kept(const Place& place, const LocalTime& now, const ForecastCache::Result& kept) const;
    void add_air_quality(const std::string& code, const ForecastCache::Result& kept, SourcedReport& sourced);
    std::optional<SourcedReport> without_waiting(const Place& place, const LocalTime& now, Patience patience);
    // False when the reports could not be had without waiting longer than `patience` allows.
    // `elevation` is the place's, where the provider gave it.
    bool add_observations(const Place& place, const LocalTime& now, Patience patience, const Deadline& deadline,
                          std::optional<double> elevation, SourcedReport& sourced);
    void add_made_up_observations(const Place& place, const LocalTime& now, WeatherReport& report) const;

    SourceMode mode_;
    ForecastCache* cache_;
    int64_t fresh_seconds_;
    ForecastCache* air_quality_cache_;
    MetarCache* metar_ = nullptr;
    const StationTable* stations_ = nullptr;

    // The hours laid out from each place's kept air-quality answer, with their AQIs worked
    // out, made again only when the answer changes: every page of the place reads them.
    struct LaidOut {
        std::shared_ptr<const ProviderForecast> answer;
        std::shared_ptr<const AirQualitySeries> series;
    };
    std::shared_ptr<const AirQualitySeries> series_for(const std::string& code,
                                                       const std::shared_ptr<const ProviderForecast>& answer);
    std::mutex laid_out_lock_;
    std::map<std::string, LaidOut> laid_out_;

    // The model's air quality for a place changes with the date only: made once a day.
    struct ModelLaidOut {
        std::chrono::year_month_day date;
        std::shared_ptr<const AirQualitySeries> series;
    };
    std::shared_ptr<const AirQualitySeries> model_series_for(const Place& place, const LocalTime& now) const;
    mutable std::mutex model_laid_out_lock_;
    mutable std::map<std::string, ModelLaidOut> model_laid_out_;
};

// The name the service gives a page's source in its log and the X-Nimbra-Source header:
// "open-meteo", "open-meteo (N min old)", "model", "none".
std::string source_name(const Provenance& provenance, int64_t now_unix);

}  // namespace weatherd
