#include "weatherd/upstream/weather_sources.h"

#include <algorithm>
#include <cmath>

#include "weatherd/weather/metar_decode.h"
#include "weatherd/weather/weather_model.h"

namespace weatherd {

std::optional<SourceMode> parse_source_mode(const std::string& name)
{
    if (name == "open-meteo")
        return SourceMode::kOpenMeteo;
    if (name == "model")
        return SourceMode::kModel;
    if (name == "auto")
        return SourceMode::kAuto;
    return std::nullopt;
}

WeatherSources::WeatherSources(SourceMode mode, ForecastCache* cache, int64_t fresh_seconds,
                               ForecastCache* air_quality_cache)
    : mode_(mode), cache_(cache), fresh_seconds_(fresh_seconds), air_quality_cache_(air_quality_cache)
{
}

// A model page changes on the hour (its newest observation), so it keeps until then.
SourcedReport WeatherSources::from_model(const Place& place, const LocalTime& now) const
{
    SourcedReport sourced;
    sourced.report = model_report(place.province, place.code, now);
    add_made_up_observations(place, now, sourced.report);
    attach_air_quality(*model_series_for(place, now), sourced.report);
    sourced.report.air_quality_source.kind = AirQualitySource::Kind::kModel;
    sourced.provenance.kind = Provenance::Kind::kModel;
    sourced.last_modified = to_unix_seconds({now.date, now.hour, 0});
    sourced.max_age_seconds = std::min<int64_t>(fresh_seconds_, 3600 - (to_unix_seconds(now) - sourced.last_modified));
    return sourced;
}

// Without waiting only when both kinds can be had so: a page whose air quality would have
// to be asked for waits like one whose forecast would, so that it neither holds up a thread
// that must not wait nor leaves out its air quality.
std::optional<SourcedReport> WeatherSources::without_waiting(const Place& place, const LocalTime& now,
                                                             Patience patience)
{
    auto kept_of = [&](ForecastCache& cache) {
        return patience == Patience::kAtOnce ? cache.fresh_at_once(place.code) : cache.without_asking(place.code);
    };
    std::optional<ForecastCache::Result> kept = kept_of(*cache_);
    if (!kept)
        return std::nullopt;
    std::optional<ForecastCache::Result> air;
    if (air_quality_cache_ && kept->forecast && !(air = kept_of(*air_quality_cache_)))
        return std::nullopt;
    SourcedReport sourced = from_kept(place, now, *kept);
    if (kept->forecast &&
        !add_observations(place, now, patience, Deadline::already_passed(), kept->forecast->elevation, sourced))
        return std::nullopt;
    if (air)
        add_air_quality(place.code, *air, sourced);
    return sourced;
}

std::optional<SourcedReport> WeatherSources::for_place(const Place& place, const LocalTime& now, Patience patience,
                                                       const Deadline& deadline)
{
    if (mode_ == SourceMode::kModel || !cache_)
        return from_model(place, now);
    if (!place.coordinates)
        return from_kept(place, now, {});
    if (patience != Patience::kUntilDeadline)
        return without_waiting(place, now, patience);
    ForecastCache::Result kept = cache_->for_place(place.code, *place.coordinates, deadline);
    SourcedReport sourced = from_kept(place, now, kept);
    if (kept.forecast)
        add_observations(place, now, patience, deadline, kept.forecast->elevation, sourced);
    if (kept.forecast && air_quality_cache_)
        add_air_quality(place.code, air_quality_cache_->for_place(place.code, *place.coordinates, deadline), sourced);
    return sourced;
}

SourcedReport WeatherSources::for_place(const Place& place, const LocalTime& now)
{
    return *for_place(place, now, Patience::kUntilDeadline,
                      Deadline::seconds_from_now(ForecastCacheSettings().longest_page_wait_seconds));
}

SourcedReport WeatherSources::from_kept(const Place& place, const LocalTime& now,
                                        const ForecastCache::Result& kept) const
{
    int64_t now_unix = to_unix_seconds(now);
    if (kept.forecast) {
        SourcedReport sourced;
        // Stale data shows the hours up to when it was fetched, not forecasts as observations;
        // its days start today all the same, since a day that is over is no forecast (data
        // fetched before midnight showed yesterday first).
        LocalTime shown_until = kept.fresh ? now : china_time(std::min(now_unix, kept.fetched_at));
        sourced.report = report_from_forecast(*kept.forecast, now, shown_until);
        sourced.provenance = {Provenance::Kind::kProvider, kept.fetched_at, !kept.fresh};
        sourced.last_modified = kept.fetched_at;
        // The cache's own figure: a page made for a --date far from the clock must not be kept
        // longer than the data's freshness either.
        sourced.max_age_seconds = kept.fresh ? kept.max_age_seconds : kRetrySoonSeconds;
        return sourced;
    }
    if (mode_ == SourceMode::kAuto) {
        SourcedReport sourced = from_model(place, now);
        sourced.max_age_seconds = std::min(sourced.max_age_seconds, kRetrySoonSeconds);
        return sourced;
    }
    SourcedReport none;
    none.provenance.kind = Provenance::Kind::kNoData;
    none.last_modified = now_unix;
    none.max_age_seconds = kRetrySoonSeconds;
    return none;
}

// The air quality is had beside the forecast and kept by the same rules; a page keeps as
// long as the shorter-lived of the two. Without it the page is whole but for "—".
void WeatherSources::add_air_quality(const std::string& code, const ForecastCache::Result& kept, SourcedReport& sourced)
{
    if (!kept.forecast) {
        sourced.max_age_seconds = std::min(sourced.max_age_seconds, kRetrySoonSeconds);
        return;
    }
    attach_air_quality(*series_for(code, kept.forecast), sourced.report);
    sourced.report.air_quality_source = {AirQualitySource::Kind::kProvider, kept.fetched_at, !kept.fresh};
    sourced.last_modified = std::max(sourced.last_modified, kept.fetched_at);
    sourced.max_age_seconds = std::min(sourced.max_age_seconds, kept.fresh ? kept.max_age_seconds : kRetrySoonSeconds);
}

std::shared_ptr<const AirQualitySeries>
WeatherSources::series_for(const std::string& code, const std::shared_ptr<const ProviderForecast>& answer)
{
    {
        std::lock_guard guard(laid_out_lock_);
        LaidOut& kept = laid_out_[code];
        if (kept.answer == answer)
            return kept.series;
    }
    auto laid_out = std::make_shared<AirQualitySeries>(series_from_answer(*answer));
    work_out_indexes(*laid_out);
    std::shared_ptr<const AirQualitySeries> series = laid_out;
    std::lock_guard guard(laid_out_lock_);
    laid_out_[code] = {answer, series};
    return series;
}

std::shared_ptr<const AirQualitySeries> WeatherSources::model_series_for(const Place& place, const LocalTime& now) const
{
    {
        std::lock_guard guard(model_laid_out_lock_);
        auto kept = model_laid_out_.find(place.code);
        if (kept != model_laid_out_.end() && kept->second.date == now.date)
            return kept->second.series;
    }
    auto laid_out = std::make_shared<AirQualitySeries>(model_air_quality(place.province, place.code, now));
    work_out_indexes(*laid_out);
    std::shared_ptr<const AirQualitySeries> series = laid_out;
    std::lock_guard guard(model_laid_out_lock_);
    model_laid_out_[place.code] = {now.date, series};
    return series;
}

std::string source_name(const Provenance& provenance, int64_t now_unix)
{
    switch (provenance.kind) {
    case Provenance::Kind::kModel: return "model";
    case Provenance::Kind::kNoData: return "none";
    case Provenance::Kind::kProvider: break;
    }
    if (!provenance.stale)
        return "open-meteo";
    return "open-meteo (" + std::to_string(std::max<int64_t>(0, now_unix - provenance.fetched_at) / 60) + " min old)";
}

}  // namespace weatherd

namespace weatherd {

void WeatherSources::observe_with(MetarCache* metar, const StationTable* stations)
{
    metar_ = metar;
    stations_ = stations;
}

bool WeatherSources::add_observations(const Place& place, const LocalTime& now, Patience patience,
                                      const Deadline& deadline, std::optional<double> elevation, SourcedReport& sourced)
{
    const PlaceStation* near = stations_ ? stations_->for_place(place.code) : nullptr;
    if (!metar_ || !near || !within_height(*near->station, elevation))
        return true;
    std::optional<MetarCache::Result> got = patience == Patience::kAtOnce     ? metar_->at_once()
                                            : patience == Patience::kFromKept ? metar_->without_asking()
                                                                              : metar_->reports_by(deadline);
    if (!got)
        return false;
    StationSource source{StationSource::Kind::kNotHad, near->station->name, near->station->icao, near->distance_km, 0};
    int64_t now_unix = to_unix_seconds(now);
    if (got->reports) {
        std::optional<int64_t> newest = newest_report_of(*got->reports, source.icao, now_unix);
        source.kind = StationSource::Kind::kTooOld;
        source.newest_report = newest.value_or(0);
        if (newest && now_unix - *newest <= kOldestShownReportSeconds) {
            source.kind = StationSource::Kind::kObserved;
            sourced.report.hours = observed_hours(*got->reports, source.icao, now_unix);
        }
    }
    // A page whose reports may have changed is asked for again when the next request is due.
    sourced.max_age_seconds =
        std::min(sourced.max_age_seconds, got->max_age_seconds > 0 ? got->max_age_seconds : kRetrySoonSeconds);
    sourced.report.station = source;
    return true;
}

// Reports at every whole hour as an airport would send them, from the model's hours, so that
// they take the same way to the page as real ones.
void WeatherSources::add_made_up_observations(const Place& place, const LocalTime& now, WeatherReport& report) const
{
    const PlaceStation* near = stations_ ? stations_->for_place(place.code) : nullptr;
    if (!near)
        return;
    static const char* const kCovers[] = {"SKC", "FEW", "SCT", "OVC"};
    std::vector<MetarReport> reports;
    for (const HourlyObservation& hour : report.hours) {
        MetarReport made;
        made.station = near->station->icao;
        made.observed_at = to_unix_seconds(hour.time);
        if (hour.temperature) {
            made.temperature = std::round(*hour.temperature);
            if (hour.humidity)
                made.dew_point =
                    std::min(*made.temperature, std::round(dew_point_of(*hour.temperature, *hour.humidity)));
        }
        if (hour.wind_speed) {
            MetarWind wind;
            wind.speed = std::round(*hour.wind_speed / 3.6);
            if (wind.speed > 0 && hour.wind_direction)
                wind.direction = std::fmod(std::round(*hour.wind_direction / 10) * 10, 360);
            made.wind = wind;
        }
        if (hour.weather_code) {
            made.weather = group_of_weather_code(*hour.weather_code);
            if (*hour.weather_code >= 0 && *hour.weather_code <= 3)
                made.cover = kCovers[*hour.weather_code];
        }
        reports.push_back(made);
    }
    int64_t now_unix = to_unix_seconds(now);
    std::optional<int64_t> newest = newest_report_of(reports, near->station->icao, now_unix);
    report.hours = observed_hours(reports, near->station->icao, now_unix);
    report.station = StationSource{StationSource::Kind::kMadeUp, near->station->name, near->station->icao,
                                   near->distance_km, newest.value_or(0)};
}

}  // namespace weatherd
