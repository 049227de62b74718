#include "weatherd/weather_sources.h"

#include <algorithm>

#include "weatherd/weather_model.h"

namespace weatherd {

std::optional<SourceMode> ParseSourceMode(const std::string& name) {
  if (name == "open-meteo")
    return SourceMode::kOpenMeteo;
  if (name == "model")
    return SourceMode::kModel;
  if (name == "auto")
    return SourceMode::kAuto;
  return std::nullopt;
}

WeatherSources::WeatherSources(SourceMode mode, ForecastCache* cache, int64_t fresh_seconds)
    : mode_(mode), cache_(cache), fresh_seconds_(fresh_seconds) {}

// A model page changes on the hour (its newest observation), so it keeps until then.
SourcedReport WeatherSources::FromModel(const Place& place, const LocalTime& now) const {
  SourcedReport sourced;
  sourced.report = ModelReport(place.province, place.code, now);
  sourced.provenance.kind = Provenance::Kind::kModel;
  sourced.last_modified = UnixSeconds({now.date, now.hour, 0});
  sourced.max_age_seconds = std::min<int64_t>(fresh_seconds_, 3600 - (UnixSeconds(now) - sourced.last_modified));
  return sourced;
}

std::optional<SourcedReport> WeatherSources::ForPlaceAtOnce(const Place& place, const LocalTime& now) {
  if (mode_ == SourceMode::kModel || !cache_ || !place.coordinates)
    return ForPlace(place, now);  // nothing to wait for
  if (std::optional<ForecastCache::Result> kept = cache_->FreshAtOnce(place.code))
    return FromKept(place, now, *kept);
  return std::nullopt;
}

SourcedReport WeatherSources::ForPlace(const Place& place, const LocalTime& now) {
  if (mode_ == SourceMode::kModel || !cache_)
    return FromModel(place, now);
  ForecastCache::Result kept;
  if (place.coordinates)
    kept = cache_->ForPlace(place.code, *place.coordinates);
  return FromKept(place, now, kept);
}

SourcedReport WeatherSources::FromKept(const Place& place, const LocalTime& now, const ForecastCache::Result& kept) const {
  int64_t now_unix = UnixSeconds(now);
  if (kept.forecast) {
    SourcedReport sourced;
    // Stale data shows the hours up to when it was fetched, not forecasts as observations.
    LocalTime shown_until = kept.fresh ? now : ChinaTime(std::min(now_unix, kept.fetched_at));
    sourced.report = ReportFromForecast(*kept.forecast, shown_until);
    sourced.provenance = {Provenance::Kind::kProvider, kept.fetched_at, !kept.fresh};
    sourced.last_modified = kept.fetched_at;
    // The cache's own figure: a page made for a --date far from the clock must not be kept
    // longer than the data's freshness either.
    sourced.max_age_seconds = kept.fresh ? kept.max_age_seconds : kRetrySoonSeconds;
    return sourced;
  }
  if (mode_ == SourceMode::kAuto) {
    SourcedReport sourced = FromModel(place, now);
    sourced.max_age_seconds = std::min(sourced.max_age_seconds, kRetrySoonSeconds);
    return sourced;
  }
  SourcedReport none;
  none.provenance.kind = Provenance::Kind::kNoData;
  none.last_modified = now_unix;
  none.max_age_seconds = kRetrySoonSeconds;
  return none;
}

std::string SourceName(const Provenance& provenance, int64_t now_unix) {
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
