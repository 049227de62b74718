// What the weather service's tests share: a fake forecast provider on loopback that answers
// from a fixture written from the provider's documented response format, the service as a
// process, and the three blocks cut out of a city page the way the viewer cuts them.
#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace weatherd_test {

// Today in China Standard Time, worked out here rather than by the service.
std::chrono::year_month_day china_today();

// The answer to past_days=1, forecast_days=7, timezone=Asia/Shanghai: 8 days and 192 hours
// from yesterday 00:00, every variable the provider documents for the three blocks.
//   hourly, at hour of day H: weather_code 3 (阴), temperature_2m 20.H, relative_humidity_2m
//     64, precipitation 0.3, wind 20 km/h (force 4) from 135 degrees (south-east)
//   daily, d days after yesterday: high 30+d, low 10+d, apparent 28+d and 8+d,
//     precipitation_sum 1.2, uv_index_max 8.5, wind 25 km/h from 140 degrees
// So from today on the forecast reads highs 31..37 and lows 11..17.
nlohmann::json forecast_fixture(double latitude, double longitude);

// The air-quality API's answer to past_days=1, forecast_days=5: 6 days and 144 hours from
// yesterday 00:00, in μg/m³: pm2_5 60, pm10 80, nitrogen_dioxide 30, sulphur_dioxide 8,
// carbon_monoxide 600, ozone 100, every hour. Its AQI, day or hour, is 82 (良) from PM2.5:
// 50 + 50 × (60 − 35) / (75 − 35) = 81.25, rounded up; the others stay below 66.
nlohmann::json air_quality_fixture(double latitude, double longitude);

enum class Answer {
    kGood,
    kServerError,
    kTooMany,
    kSilent,
    kMalformed,
    kUnequalArrays,
    kNulls,
    kDeepNesting,       // 8 MB of "["
    kHugeValues,        // every temperature 1.7e308
    kNotToday,          // a good answer for dates a month ago
    kRefusedMultiline,  // 400 with a reason holding line breaks
};

struct Asked {
    double latitude, longitude;
    std::string user_agent;
    std::string query;  // the request's query string, as sent
};

// GET /v1/forecast as the provider answers it: each block holds only the variables asked
// for; an unknown variable, or a request of another shape than the service's, is refused.
// GET /v1/air-quality the same way, with its own answer (good unless set) and its own log.
class FakeOpenMeteo {
public:
    FakeOpenMeteo();
    ~FakeOpenMeteo();
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void set(Answer answer, std::chrono::milliseconds delay = {});
    // Like the provider's free API: a request beyond `limit` at once is refused with 429
    // "Too many concurrent requests" (0: none refused).
    void refuse_beyond(int limit);
    std::vector<Asked> asked() const;
    int most_in_flight() const;  // the most requests it has served at once, both APIs
    int refused() const;         // requests refused for concurrency
    // The air-quality API's answer (its requests wait the same delay and count against the
    // same concurrency limit as the forecast's), and what it was asked.
    void set_air_quality(Answer answer);
    std::vector<Asked> air_quality_asked() const;
    // GET /api/data/metar, the airport reports' API at the same address: `body` with
    // `status` (default 200 "[]", no reports), and the queries it was asked.
    void set_metar(std::string body, int status = 200);
    std::vector<std::string> metar_asked() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);
    void handle_air_quality(const httplib::Request& request, httplib::Response& response);
    bool take_turn(std::unique_lock<std::mutex>& guard, Answer answer, httplib::Response& response);

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable stopping_changed_;
    bool stopping_ = false;
    Answer answer_ = Answer::kGood;
    std::chrono::milliseconds delay_{0};
    std::vector<Asked> asked_;
    Answer air_quality_answer_ = Answer::kGood;
    std::vector<Asked> air_quality_asked_;
    std::string metar_body_ = "[]";
    int metar_status_ = 200;
    std::vector<std::string> metar_asked_;
    int in_flight_ = 0, most_in_flight_ = 0, concurrency_limit_ = 0, refused_ = 0;
};

// One report of the Aviation Weather Center's JSON answer, in its documented fields, for
// `raw` (whose wind group the service reads) made at `observed_at`.
nlohmann::json metar_fixture(const std::string& station, int64_t observed_at, std::optional<double> temperature,
                             std::optional<double> dew_point, const std::string& raw, const std::string& weather = "");

// ZBAA's reports every half hour of the fourteen hours before `now`, as Chinese airports
// send them: 12 ℃, dew point 2 ℃ (50 % by Magnus), wind from 030° at 4 m/s; each whole
// hour's row of the hourly block then reads kObservedRow.
std::string zbaa_reports(int64_t now);
inline const std::string kObservedRow = "<td>12.0℃</td><td>50%</td><td>—</td><td>东北风 3级</td>";

// A port nothing listens on, held for the life of this object.
class DeadPort {
public:
    DeadPort();
    ~DeadPort();
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// A process started with `command` (nimbra-weatherd, or a launcher that runs it): its
// standard output is read for the ready line, its standard error kept in a file.
class ServiceProcess {
public:
    explicit ServiceProcess(std::vector<std::string> command);
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess();  // kills it if it still runs
    int wait_ready();   // the port of the ready line; 0 when it ended or said nothing for a minute
    // Sends `signal_number` and waits for the end: its exit status, -1 when a signal ended it.
    int stop_and_wait(int signal_number = SIGTERM);
    int wait_for_end();  // the same without a signal; killed after a minute
    std::string log() const;
    std::filesystem::path log_path() const { return dir_.path() / "stderr"; }  // where its stderr was opened
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    TempDir dir_;
};

// nimbra-weatherd with `args` on a port of its choosing.
struct Service {
    explicit Service(std::vector<std::string> args);
    httplib::Result get_path(const std::string& path, const httplib::Headers& headers = {}) const;
    std::string body_of(const std::string& path) const;  // fails the test unless 200
    std::string page_of(const std::string& code) const;  // the same for a city page

    ServiceProcess process;
    int port;
};

// The first `count` city codes of the service's index.
std::vector<std::string> city_codes(const Service& service, size_t count);

// The blocks of a city page, cut where the viewer cuts them; empty when a marker is missing.
enum class Block { kForecast, kLive, kLiving };
constexpr Block kBlocks[] = {Block::kForecast, Block::kLive, Block::kLiving};
std::string cut_block(const std::string& page, Block block);

// Everything between `before` and the next `after`, each time `before` occurs.
std::vector<std::string> enclosed(const std::string& text, const std::string& before, const std::string& after);
size_t count_of(const std::string& text, const std::string& part);
// The text between the first `start` and the next `end`; empty when either is missing.
std::string between(const std::string& text, const std::string& start, const std::string& end);
// What a reader sees of HTML: the text outside its tags (attributes, tooltips among them,
// are left out).
std::string visible_text(const std::string& html);

}  // namespace weatherd_test
