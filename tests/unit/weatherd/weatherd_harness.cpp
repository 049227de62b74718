#include "tests/unit/weatherd/weatherd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "web/page_contract.h"

extern char** environ;

namespace weatherd_test {

using nlohmann::json;
using namespace std::chrono;

year_month_day china_today() { return year_month_day{floor<days>(system_clock::now() + hours(8))}; }

namespace {

std::string date_text(sys_days date)
{
    year_month_day ymd{date};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
    return text;
}

json units_of(const json& block)
{
    json units;
    for (auto& [name, values] : block.items())
        units[name] = name == "time" ? "iso8601" : name == "interval" ? "seconds" : "unit";
    return units;
}

json refusal(const std::string& reason) { return {{"error", true}, {"reason", reason}}; }

// Keeps of `block` (and its units) what the request names; false names an unknown variable.
bool select(json& answer, const httplib::Request& request, const std::string& block, std::string& unknown)
{
    if (!request.has_param(block)) {
        answer.erase(block), answer.erase(block + "_units");
        return true;
    }
    json chosen, units;
    std::stringstream names("time,interval," + request.get_param_value(block));
    for (std::string name; std::getline(names, name, ',');) {
        if (answer[block].contains(name))
            chosen[name] = answer[block][name], units[name] = answer[block + "_units"][name];
        else if (name != "interval")
            return unknown = name, false;
    }
    answer[block] = chosen, answer[block + "_units"] = units;
    return true;
}

std::vector<std::string> with_free_port(std::vector<std::string> args)
{
    args.insert(args.begin(), {NIMBRA_WEATHERD, "--port", "0"});
    return args;
}

}  // namespace

json forecast_fixture(double latitude, double longitude)
{
    sys_days today = sys_days(china_today()), yesterday = today - days(1);
    json hourly, daily;
    for (int i = 0; i < 24 * 8; ++i) {
        char time[24];
        std::snprintf(time, sizeof time, "%sT%02d:00", date_text(yesterday + days(i / 24)).c_str(), i % 24);
        hourly["time"].push_back(time);
        hourly["weather_code"].push_back(3);
        hourly["temperature_2m"].push_back(20 + (i % 24) / 10.0);
        hourly["relative_humidity_2m"].push_back(64);
        hourly["precipitation"].push_back(0.3);
        hourly["wind_speed_10m"].push_back(20.0);
        hourly["wind_direction_10m"].push_back(135);
    }
    for (int d = 0; d < 8; ++d) {
        daily["time"].push_back(date_text(yesterday + days(d)));
        daily["weather_code"].push_back(3);
        daily["temperature_2m_max"].push_back(30.0 + d);
        daily["temperature_2m_min"].push_back(10.0 + d);
        daily["apparent_temperature_max"].push_back(28.0 + d);
        daily["apparent_temperature_min"].push_back(8.0 + d);
        daily["precipitation_sum"].push_back(1.2);
        daily["uv_index_max"].push_back(8.5);
        daily["wind_speed_10m_max"].push_back(25.0);
        daily["wind_direction_10m_dominant"].push_back(140);
    }
    char now[32];
    std::snprintf(now, sizeof now, "%sT%02ld:00", date_text(today).c_str(),
                  long(duration_cast<hours>(system_clock::now() + hours(8) - today).count()));
    json current = {{"time", now},
                    {"interval", 900},
                    {"weather_code", 3},
                    {"temperature_2m", 21.5},
                    {"relative_humidity_2m", 64},
                    {"wind_speed_10m", 20.0},
                    {"wind_direction_10m", 135}};
    return {{"latitude", latitude},
            {"longitude", longitude},
            {"generationtime_ms", 0.5},
            {"utc_offset_seconds", 28800},
            {"timezone", "Asia/Shanghai"},
            {"timezone_abbreviation", "CST"},
            {"elevation", 21.0},
            {"current_units", units_of(current)},
            {"current", current},
            {"hourly_units", units_of(hourly)},
            {"hourly", hourly},
            {"daily_units", units_of(daily)},
            {"daily", daily}};
}

json air_quality_fixture(double latitude, double longitude)
{
    // From two days back: an hour of the last twelve, at any time of day, has the 24 hours
    // before it, so its particulate means are whole (from yesterday's midnight they were
    // not in a day's first hours).
    sys_days first_day = sys_days(china_today()) - days(2);
    json hourly;
    for (int i = 0; i < 24 * 7; ++i) {
        char time[24];
        std::snprintf(time, sizeof time, "%sT%02d:00", date_text(first_day + days(i / 24)).c_str(), i % 24);
        hourly["time"].push_back(time);
        hourly["pm2_5"].push_back(60.0);
        hourly["pm10"].push_back(80.0);
        hourly["nitrogen_dioxide"].push_back(30.0);
        hourly["sulphur_dioxide"].push_back(8.0);
        hourly["carbon_monoxide"].push_back(600.0);
        hourly["ozone"].push_back(100.0);
    }
    json units;
    for (auto& [name, values] : hourly.items())
        units[name] = name == "time" ? "iso8601" : "μg/m³";
    return {{"latitude", latitude},        {"longitude", longitude},      {"generationtime_ms", 0.4},
            {"utc_offset_seconds", 28800}, {"timezone", "Asia/Shanghai"}, {"timezone_abbreviation", "CST"},
            {"elevation", 21.0},           {"hourly_units", units},       {"hourly", hourly}};
}

FakeOpenMeteo::FakeOpenMeteo()
{
    server_.Get("/v1/forecast",
                [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); });
    server_.Get("/v1/air-quality", [this](const httplib::Request& request, httplib::Response& response) {
        handle_air_quality(request, response);
    });
    server_.Get("/api/data/metar", [this](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard guard(lock_);
        metar_asked_.push_back(request.target.substr(std::min(request.target.size(), request.target.find('?') + 1)));
        response.status = metar_status_;
        response.set_content(metar_body_, "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
}

FakeOpenMeteo::~FakeOpenMeteo()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    stopping_changed_.notify_all();
    server_.stop();
    thread_.join();
}

void FakeOpenMeteo::set(Answer answer, milliseconds delay)
{
    std::lock_guard guard(lock_);
    answer_ = answer, delay_ = delay;
}

void FakeOpenMeteo::refuse_beyond(int limit)
{
    std::lock_guard guard(lock_);
    concurrency_limit_ = limit;
}

std::vector<Asked> FakeOpenMeteo::asked() const
{
    std::lock_guard guard(lock_);
    return asked_;
}

int FakeOpenMeteo::most_in_flight() const
{
    std::lock_guard guard(lock_);
    return most_in_flight_;
}

int FakeOpenMeteo::refused() const
{
    std::lock_guard guard(lock_);
    return refused_;
}

void FakeOpenMeteo::set_air_quality(Answer answer)
{
    std::lock_guard guard(lock_);
    air_quality_answer_ = answer;
}

std::vector<Asked> FakeOpenMeteo::air_quality_asked() const
{
    std::lock_guard guard(lock_);
    return air_quality_asked_;
}

void FakeOpenMeteo::set_metar(std::string body, int status)
{
    std::lock_guard guard(lock_);
    metar_body_ = std::move(body), metar_status_ = status;
}

std::vector<std::string> FakeOpenMeteo::metar_asked() const
{
    std::lock_guard guard(lock_);
    return metar_asked_;
}

json metar_fixture(const std::string& station, int64_t observed_at, std::optional<double> temperature,
                   std::optional<double> dew_point, const std::string& raw, const std::string& weather)
{
    auto number = [](std::optional<double> value) { return value ? json(*value) : json(nullptr); };
    return {{"icaoId", station},
            {"receiptTime", "2026-01-01 00:00:00.000Z"},
            {"obsTime", observed_at},
            {"reportTime", "2026-01-01 00:00:00.000Z"},
            {"temp", number(temperature)},
            {"dewp", number(dew_point)},
            {"wdir", 90},
            {"wspd", 8},
            {"visib", "6+"},
            {"altim", 1030},
            {"wxString", weather.empty() ? json(nullptr) : json(weather)},
            {"metarType", "METAR"},
            {"rawOb", raw},
            {"lat", 40.08},
            {"lon", 116.585},
            {"elev", 35},
            {"name", "Beijing/Capital Intl, BJ, CN"},
            {"clouds", json::array({{{"cover", "FEW"}, {"base", 3000}}})},
            {"fltCat", "VFR"}};
}

std::string zbaa_reports(int64_t now)
{
    json answer = json::array();
    for (int64_t at = now - now % 1800; at > now - 14 * 3600; at -= 1800)
        answer.push_back(metar_fixture("ZBAA", at, 12, 2, "METAR ZBAA 000000Z 03004MPS 9999 FEW040 12/02 Q1020 NOSIG"));
    return answer.dump();
}

// Until the request's turn to answer: false when it is refused for concurrency. Both APIs
// count against one limit, as the provider's do for one address.
bool FakeOpenMeteo::take_turn(std::unique_lock<std::mutex>& guard, Answer answer, httplib::Response& response)
{
    if (concurrency_limit_ > 0 && in_flight_ >= concurrency_limit_) {
        ++refused_;
        response.status = 429;
        response.set_content(refusal("Too many concurrent requests").dump(), "application/json");
        return false;
    }
    most_in_flight_ = std::max(most_in_flight_, ++in_flight_);
    stopping_changed_.wait_for(guard, answer == Answer::kSilent ? minutes(1) : delay_, [this] { return stopping_; });
    --in_flight_;
    return true;
}

void FakeOpenMeteo::handle_air_quality(const httplib::Request& request, httplib::Response& response)
{
    double latitude = std::atof(request.get_param_value("latitude").c_str());
    double longitude = std::atof(request.get_param_value("longitude").c_str());
    std::string query = request.target.substr(std::min(request.target.size(), request.target.find('?') + 1));
    Answer answer;
    {
        std::unique_lock guard(lock_);
        air_quality_asked_.push_back({latitude, longitude, request.get_header_value("User-Agent"), query});
        answer = air_quality_answer_;
        if (!take_turn(guard, answer, response))
            return;
    }
    if (answer == Answer::kSilent)
        return;
    json body = air_quality_fixture(latitude, longitude);
    std::string unknown;
    response.status = 400;
    if (request.get_param_value("timezone") != "Asia/Shanghai" || request.get_param_value("past_days") != "1" ||
        request.get_param_value("forecast_days") != "5" || request.has_param("daily"))
        body = refusal("this fake answers timezone=Asia/Shanghai, past_days=1, forecast_days=5, hourly only");
    else if (!select(body, request, "hourly", unknown))
        body = refusal("Cannot initialize AirQualityVariable from invalid String value " + unknown);
    else
        response.status = 200;
    if (answer == Answer::kServerError)
        response.status = 500, body = refusal("Internal Server Error");
    response.set_content(body.dump(), "application/json");
}

void FakeOpenMeteo::handle(const httplib::Request& request, httplib::Response& response)
{
    double latitude = std::atof(request.get_param_value("latitude").c_str());
    double longitude = std::atof(request.get_param_value("longitude").c_str());
    std::string query = request.target.substr(std::min(request.target.size(), request.target.find('?') + 1));
    std::unique_lock guard(lock_);
    asked_.push_back({latitude, longitude, request.get_header_value("User-Agent"), query});
    Answer answer = answer_;
    if (!take_turn(guard, answer, response))
        return;
    guard.unlock();
    if (answer == Answer::kSilent)
        return;
    if (answer == Answer::kDeepNesting) {
        response.set_content(std::string(8 << 20, '['), "application/json");
        return;
    }

    json body = forecast_fixture(latitude, longitude);
    std::string unknown;
    response.status = 400;
    if (request.get_param_value("timezone") != "Asia/Shanghai" || request.get_param_value("past_days") != "1" ||
        request.get_param_value("forecast_days") != "7")
        body = refusal("this fake answers timezone=Asia/Shanghai, past_days=1, forecast_days=7 only");
    else if (!select(body, request, "current", unknown) || !select(body, request, "hourly", unknown) ||
             !select(body, request, "daily", unknown))
        body = refusal("Cannot initialize WeatherVariable from invalid String value " + unknown);
    else
        response.status = 200;

    if (answer == Answer::kServerError)
        response.status = 500, body = refusal("Internal Server Error");
    if (answer == Answer::kTooMany) {
        response.status = 429, body = refusal("Minutely API request limit exceeded. Please try again in one minute.");
        response.set_header("Retry-After", "3600");
    }
    if (answer == Answer::kRefusedMultiline)
        response.status = 400, body = refusal("Parameter 'hourly' is invalid\nnimbra-weatherd: GET /forged 200");
    if (answer == Answer::kUnequalArrays && response.status == 200)
        body["hourly"]["temperature_2m"].erase(0);
    if (answer == Answer::kHugeValues && response.status == 200) {
        for (json& value : body["hourly"]["temperature_2m"])
            value = 1.7e308;
        for (json& value : body["daily"]["temperature_2m_max"])
            value = 1.7e308;
    }
    if (answer == Answer::kNotToday && response.status == 200) {
        // The same answer thirty days earlier: its dates end weeks before today.
        for (const char* block : {"hourly", "daily"})
            for (json& time : body[block]["time"]) {
                std::string text = time.get<std::string>();
                year_month_day date{year{std::atoi(text.c_str())}, month{unsigned(std::atoi(text.c_str() + 5))},
                                    day{unsigned(std::atoi(text.c_str() + 8))}};
                time = date_text(sys_days(date) - days(30)) + text.substr(10);
            }
    }
    using Column = std::pair<const char*, const char*>;
    for (auto [block, name] : {Column{"hourly", "temperature_2m"}, Column{"hourly", "relative_humidity_2m"},
                               Column{"daily", "temperature_2m_max"}, Column{"daily", "uv_index_max"}}) {
        if (answer == Answer::kNulls && response.status == 200)
            body[block][name] = json(std::vector<std::nullptr_t>(body[block]["time"].size(), nullptr));
    }
    std::string text = body.dump();
    if (answer == Answer::kMalformed)
        text.resize(text.size() / 2);
    response.set_content(text, "application/json");
}

DeadPort::DeadPort()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

DeadPort::~DeadPort() { close(fd_); }

TempDir::TempDir()
{
    char name[] = "/tmp/nimbra-weatherd-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ServiceProcess::ServiceProcess(std::vector<std::string> command)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::string log = log_path().string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // the fake provider's sockets stay here
    std::vector<char*> argv;
    for (std::string& word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
}

ServiceProcess::~ServiceProcess()
{
    if (pid_ > 0)
        kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    close(out_);
}

int ServiceProcess::wait_ready()
{
    const std::string ready = "nimbra-weatherd: serving on http://127.0.0.1:";
    std::string line;
    char c = 0;
    pollfd fd{out_, POLLIN, 0};
    while (poll(&fd, 1, 60000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
        line += c;
    return c == '\n' && line.starts_with(ready) ? std::atoi(line.c_str() + ready.size()) : 0;
}

int ServiceProcess::stop_and_wait(int signal_number)
{
    kill(pid_, signal_number);
    return wait_for_end();
}

int ServiceProcess::wait_for_end()
{
    int status = 0;
    for (auto deadline = steady_clock::now() + seconds(60); waitpid(pid_, &status, WNOHANG) == 0;) {
        if (steady_clock::now() > deadline) {
            ADD_FAILURE() << "nimbra-weatherd did not end; killing it";
            kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServiceProcess::log() const
{
    std::ifstream in(log_path());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Service::Service(std::vector<std::string> args) : process(with_free_port(std::move(args))), port(process.wait_ready())
{
}

httplib::Result Service::get_path(const std::string& path, const httplib::Headers& headers) const
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(120, 0);
    return client.Get(path, headers);
}

std::string Service::body_of(const std::string& path) const
{
    httplib::Result result = get_path(path);
    EXPECT_TRUE(result && result->status == 200) << path << "\n" << process.log();
    return result ? result->body : "";
}

std::string Service::page_of(const std::string& code) const { return body_of("/weather/" + code + ".shtml"); }

std::vector<std::string> city_codes(const Service& service, size_t count)
{
    std::string index = service.body_of("/");
    std::vector<std::string> codes;
    std::regex link("/weather/([0-9]+)\\.shtml");
    for (auto it = std::sregex_iterator(index.begin(), index.end(), link);
         it != std::sregex_iterator() && codes.size() < count; ++it)
        if (std::find(codes.begin(), codes.end(), (*it)[1].str()) == codes.end())
            codes.push_back((*it)[1].str());
    return codes;
}

std::string cut_block(const std::string& page, Block block)
{
    static const std::pair<const char*, const char*> kMarkers[] = {
        {nimbra::page_contract::kForecastStart, nimbra::page_contract::kForecastEnd},
        {nimbra::page_contract::kLiveStart, nimbra::page_contract::kLiveEnd},
        {nimbra::page_contract::kLivingStart, nimbra::page_contract::kLivingEnd},
    };
    auto [start, end] = kMarkers[static_cast<int>(block)];
    std::vector<std::string> found = enclosed(page, start, end);
    return found.size() == 1 ? found[0] : "";
}

std::vector<std::string> enclosed(const std::string& text, const std::string& before, const std::string& after)
{
    std::vector<std::string> found;
    for (size_t at = text.find(before); at != std::string::npos; at = text.find(before, at + 1)) {
        size_t from = at + before.size(), to = text.find(after, from);
        if (to != std::string::npos)
            found.push_back(text.substr(from, to - from));
    }
    return found;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string between(const std::string& text, const std::string& start, const std::string& end)
{
    size_t from = text.find(start);
    if (from == std::string::npos)
        return "";
    from += start.size();
    size_t to = text.find(end, from);
    return to == std::string::npos ? "" : text.substr(from, to - from);
}

std::string visible_text(const std::string& html)
{
    std::string text;
    bool in_tag = false;
    for (char c : html) {
        if (c == '<' || c == '>')
            in_tag = c == '<';
        else if (!in_tag)
            text += c;
    }
    return text;
}

}  // namespace weatherd_test
