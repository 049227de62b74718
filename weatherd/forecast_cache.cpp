#include "weatherd/forecast_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace weatherd {

namespace {

// A kept forecast is the provider's answer as it came, after one header line:
// "nimbra-weatherd forecast fetched_at=<unix seconds>" (the kind in place of "forecast").
std::string FileHeader(const std::string& kind) {
  return "nimbra-weatherd " + kind + " fetched_at=";
}

bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return fsync(fd) == 0 && close(fd) == 0;
}

}  // namespace

ForecastCache::ForecastCache(ForecastCacheSettings settings, Fetch fetch, Clock clock)
    : settings_(std::move(settings)), fetch_(std::move(fetch)), clock_(std::move(clock)) {}

std::filesystem::path ForecastCache::FileFor(const std::string& code) const {
  return settings_.directory / (settings_.kind + "-" + code + ".json");
}

ForecastCache::Outcome ForecastCache::Ask(const Coordinates& at) {
  Outcome outcome;
  UpstreamAnswer answer = fetch_(settings_.request_url(settings_.upstream, at));
  outcome.pause_seconds = settings_.pause_after_failure_seconds;
  if (!answer.reached) {
    outcome.error = answer.error;
    return outcome;
  }
  if (answer.status != 200) {
    outcome.error = "status " + std::to_string(answer.status);
    if (answer.retry_after_seconds && (answer.status == 429 || answer.status == 503))
      outcome.pause_seconds = std::clamp<int64_t>(*answer.retry_after_seconds, 1, settings_.longest_retry_after_seconds);
    return outcome;
  }
  std::string error;
  std::optional<ProviderForecast> forecast = settings_.parse(answer.body, error);
  if (!forecast) {
    outcome.error = "malformed answer: " + error;
    return outcome;
  }
  outcome.forecast = std::make_shared<const ProviderForecast>(std::move(*forecast));
  outcome.body = std::move(answer.body);
  return outcome;
}

// A kept file that cannot be read or parsed is as good as none; the next good answer
// replaces it.
void ForecastCache::ReadFromDisk(const std::string& code, Entry& entry) {
  entry.disk_read = true;
  if (settings_.directory.empty())
    return;
  std::ifstream file(FileFor(code), std::ios::binary);
  std::string header;
  std::string expected = FileHeader(settings_.kind);
  if (!file || !std::getline(file, header) || header.rfind(expected, 0) != 0)
    return;
  int64_t fetched_at = 0;
  if (std::sscanf(header.c_str() + expected.size(), "%" SCNd64, &fetched_at) != 1)
    return;
  std::ostringstream body;
  body << file.rdbuf();
  std::string error;
  std::optional<ProviderForecast> forecast = settings_.parse(body.str(), error);
  if (!forecast) {
    std::fprintf(stderr, "nimbra-weatherd: %s: %s; ignored\n", FileFor(code).c_str(), error.c_str());
    return;
  }
  entry.forecast = std::make_shared<const ProviderForecast>(std::move(*forecast));
  entry.fetched_at = fetched_at;
}

// Written beside and renamed over, so a reader never sees half a file.
void ForecastCache::WriteToDisk(const std::string& code, const std::string& body, int64_t fetched_at) {
  if (settings_.directory.empty())
    return;
  std::filesystem::path path = FileFor(code);
  std::filesystem::path partial = path;
  partial += ".partial";
  std::string bytes = FileHeader(settings_.kind) + std::to_string(fetched_at) + "\n" + body;
  if (!WriteWholeFile(partial, bytes) || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "nimbra-weatherd: %s: cannot write the kept %s\n", path.c_str(), settings_.kind.c_str());
    std::remove(partial.c_str());
  }
}

// Whatever happens to the request, the place is no longer being fetched afterwards and
// everyone waiting for it is woken, so no page can wait for a fetch that ended.
ForecastCache::Outcome ForecastCache::AskGuarded(const Coordinates& at) {
  try {
    return Ask(at);
  } catch (const std::exception& error) {
    Outcome outcome;
    outcome.pause_seconds = settings_.pause_after_failure_seconds;
    outcome.error = error.what();
    return outcome;
  }
}

ForecastCache::Result ForecastCache::ForPlace(const std::string& code, const Coordinates& at) {
  std::unique_lock guard(lock_);
  Entry& entry = entries_[code];
  if (!entry.disk_read)
    ReadFromDisk(code, entry);
  for (;;) {
    int64_t now = clock_();
    if (entry.forecast && now - entry.fetched_at < settings_.fresh_seconds)
      return {entry.forecast, entry.fetched_at, true};
    if (entry.fetching) {
      // The other request's outcome is this page's too, fresh or not: waiting for it and
      // then asking again would send the requests one after another after all.
      uint64_t awaited = entry.fetches;
      fetched_.wait(guard, [&] { return entry.fetches != awaited; });
      return {entry.forecast, entry.fetched_at, entry.last_fetch_succeeded};
    }
    if (now < quiet_until_)
      return {entry.forecast, entry.fetched_at, false};

    entry.fetching = true;
    guard.unlock();
    Outcome outcome = AskGuarded(at);
    int64_t answered_at = clock_();
    if (outcome.forecast)
      WriteToDisk(code, outcome.body, answered_at);
    guard.lock();
    entry.fetching = false;
    ++entry.fetches;
    entry.last_fetch_succeeded = outcome.forecast != nullptr;
    if (outcome.forecast) {
      entry.forecast = outcome.forecast;
      entry.fetched_at = answered_at;
    } else {
      quiet_until_ = std::max(quiet_until_, answered_at + outcome.pause_seconds);
      std::fprintf(stderr, "nimbra-weatherd: %s for %s: %s; provider left alone for %" PRId64 " s\n",
                   settings_.kind.c_str(), code.c_str(), outcome.error.c_str(), outcome.pause_seconds);
    }
    fetched_.notify_all();
    return {entry.forecast, entry.fetched_at, entry.last_fetch_succeeded};
  }
}

}  // namespace weatherd
