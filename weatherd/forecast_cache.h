// The provider's forecasts, kept per place in memory and on disk. A forecast is fresh for
// the time-to-live; past it the next page asks the provider again, and all pages for the
// same place that arrive meanwhile wait for that one request. When the provider fails,
// the last good forecast stays in use and the provider is left alone for a while (or for
// as long as its Retry-After asks), so an offline machine pays the timeout once, not on
// every page.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "weatherd/open_meteo.h"
#include "weatherd/upstream_client.h"

namespace weatherd {

struct ForecastCacheSettings {
  std::string upstream;            // API base, "https://host[:port]"
  std::filesystem::path directory;  // empty: memory only
  int64_t fresh_seconds = 1800;
  int64_t pause_after_failure_seconds = 60;
  int64_t longest_retry_after_seconds = 3600;
  // What is kept: the forecast, or another answer of the provider's read into the same
  // shape (the air quality), each by its own cache. The kind names its files on disk, their
  // header line and the log lines.
  std::string kind = "forecast";
  std::function<std::string(std::string_view upstream, const Coordinates& at)> request_url = ForecastRequestUrl;
  std::function<std::optional<ProviderForecast>(std::string_view body, std::string& error)> parse = ParseForecast;
};

class ForecastCache {
 public:
  using Fetch = std::function<UpstreamAnswer(const std::string& url)>;
  using Clock = std::function<int64_t()>;  // unix seconds

  ForecastCache(ForecastCacheSettings settings, Fetch fetch, Clock clock);

  struct Result {
    std::shared_ptr<const ProviderForecast> forecast;  // null: nothing fetched, nothing kept
    int64_t fetched_at = 0;
    bool fresh = false;
  };

  // The forecast for one place, fetched first when what is kept is not fresh and the
  // provider is not being left alone.
  Result ForPlace(const std::string& code, const Coordinates& at);

 private:
  struct Entry {
    std::shared_ptr<const ProviderForecast> forecast;
    int64_t fetched_at = 0;
    bool disk_read = false;
    bool fetching = false;
    uint64_t fetches = 0;  // completed requests, so a waiter knows its request ended
    bool last_fetch_succeeded = false;
  };

  struct Outcome {
    std::shared_ptr<const ProviderForecast> forecast;
    std::string body;
    int64_t pause_seconds = 0;  // on failure
    std::string error;
  };

  Outcome Ask(const Coordinates& at);
  Outcome AskGuarded(const Coordinates& at);
  void ReadFromDisk(const std::string& code, Entry& entry);
  void WriteToDisk(const std::string& code, const std::string& body, int64_t fetched_at);
  std::filesystem::path FileFor(const std::string& code) const;

  ForecastCacheSettings settings_;
  Fetch fetch_;
  Clock clock_;
  std::mutex lock_;
  std::condition_variable fetched_;
  std::map<std::string, Entry> entries_;
  int64_t quiet_until_ = 0;
};

}  // namespace weatherd
