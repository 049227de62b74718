// The weather service as the viewer and the later tests meet it: a real nimbra-weatherd process
// on a free port, asked over HTTP.

#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "weatherd/places.h"

extern char** environ;

namespace {

const char kForecastStart[] = "<div class=\"weatherYubaoBox\">";
const char kForecastEnd[] = "<div class=\"weatherYubao\" id=\"weatherYubao2\">";
const char kLiveStart[] = " <div class=\"live\">";
const char kLivingStart[] = "<div class=\"todayLiving\" id=\"index\">";
const char kLivingEnd[] = "<div class=\"cleardiv\">";

struct Finished {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string output;
};

// Runs nimbra-weatherd with `args`, stdout to a pipe.
class ServiceProcess {
 public:
  explicit ServiceProcess(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    args.insert(args.begin(), NIMBRA_WEATHERD);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, NIMBRA_WEATHERD, &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;
  ~ServiceProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
      close(out_);
  }

  // The port from the ready line; 0 when the process ended or said nothing for a minute.
  int WaitReady() {
    std::string line;
    while (ReadSome(line, 60000)) {
      size_t end = line.find('\n');
      if (end == std::string::npos)
        continue;
      std::string first = line.substr(0, end);
      const std::string ready = "nimbra-weatherd: serving on http://127.0.0.1:";
      if (first.starts_with(ready) && first.size() > ready.size() &&
          first.find_first_not_of("0123456789", ready.size()) == std::string::npos)
        return std::stoi(first.substr(ready.size()));
      ADD_FAILURE() << "unexpected first line: " << first;
      return 0;
    }
    ADD_FAILURE() << "no ready line; output: " << line;
    return 0;
  }

  Finished Stop(int signal_number) {
    kill(pid_, signal_number);
    return Wait();
  }

  // Waits up to a minute of silence for the process to end, then kills it.
  Finished Wait() {
    Finished finished;
    while (ReadSome(finished.output, 60000)) {
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "nimbra-weatherd did not end; killing it";
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return finished;
  }

 private:
  bool ReadSome(std::string& into, int timeout_ms) {
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0)
      return false;
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0)
      return false;
    into.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
};

// A running service with a client for it.
class Service {
 public:
  explicit Service(std::vector<std::string> args = {}) : process_(WithFreePort(std::move(args))), port_(process_.WaitReady()) {}

  int port() const { return port_; }
  httplib::Result Get(const std::string& path) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(120, 0);
    return client.Get(path.c_str());
  }
  std::string Body(const std::string& path) {
    httplib::Result result = Get(path);
    EXPECT_TRUE(result) << path;
    EXPECT_EQ(result ? result->status : 0, 200) << path;
    return result ? result->body : "";
  }
  Finished Stop() { return process_.Stop(SIGTERM); }
  ServiceProcess& process() { return process_; }

 private:
  static std::vector<std::string> WithFreePort(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "0"});
    if (std::find(args.begin(), args.end(), "--source") == args.end())
      args.insert(args.end(), {"--source", "model"});
    return args;
  }

  ServiceProcess process_;
  int port_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

std::string Between(const std::string& text, const std::string& start, const std::string& end) {
  size_t from = text.find(start);
  if (from == std::string::npos)
    return "";
  from += start.size();
  size_t to = text.find(end, from);
  return to == std::string::npos ? "" : text.substr(from, to - from);
}

// Every text between `before` and the next `after`.
std::vector<std::string> Enclosed(const std::string& text, const std::string& before, const std::string& after) {
  std::vector<std::string> found;
  for (size_t at = text.find(before); at != std::string::npos; at = text.find(before, at + 1)) {
    size_t from = at + before.size();
    size_t to = text.find(after, from);
    if (to != std::string::npos)
      found.push_back(text.substr(from, to - from));
  }
  return found;
}

std::vector<int> Temperatures(const std::string& forecast_block) {
  std::vector<int> values;
  for (const std::string& value : Enclosed(forecast_block, "<strong>", "℃</strong>")) {
    EXPECT_EQ(value.find_first_not_of("-0123456789"), std::string::npos) << value;
    values.push_back(std::atoi(value.c_str()));
  }
  return values;
}

double Average(const std::vector<int>& values) {
  double sum = 0;
  for (int v : values)
    sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

weatherd::PlaceTable ShippedPlaces() {
  weatherd::PlaceTable places;
  std::string error;
  EXPECT_TRUE(weatherd::LoadPlaces(NIMBRA_CONFIG_FILE, places, error)) << error;
  return places;
}

// Decodes a GIF's first image far enough to know that its LZW data yields every pixel.
bool GifDecodes(const std::string& gif, std::string& why) {
  auto byte = [&](size_t at) { return at < gif.size() ? static_cast<unsigned char>(gif[at]) : 0u; };
  if (gif.compare(0, 6, "GIF89a") != 0)
    return why = "no GIF89a signature", false;
  size_t width = byte(6) | byte(7) << 8, height = byte(8) | byte(9) << 8;
  size_t at = 13 + ((byte(10) & 0x80) ? 3u * (2u << (byte(10) & 7)) : 0u);
  while (byte(at) == 0x21) {
    at += 2;
    while (byte(at) != 0)
      at += byte(at) + 1u;
    ++at;
  }
  if (byte(at) != 0x2C)
    return why = "no image descriptor", false;
  at += 10;
  unsigned min_size = byte(at++);
  std::string data;
  while (at < gif.size() && byte(at) != 0) {
    data.append(gif, at + 1, byte(at));
    at += byte(at) + 1u;
  }
  unsigned clear = 1u << min_size, end = clear + 1, width_bits = min_size + 1, next = end + 1;
  std::vector<std::string> table;
  auto reset = [&]() {
    table.assign(clear + 2, "");
    for (unsigned i = 0; i < clear; ++i)
      table[i] = std::string(1, static_cast<char>(i));
    width_bits = min_size + 1;
    next = end + 1;
  };
  reset();
  std::string pixels, previous;
  size_t bit = 0;
  while (bit + width_bits <= data.size() * 8) {
    unsigned code = 0;
    for (unsigned i = 0; i < width_bits; ++i, ++bit)
      code |= ((static_cast<unsigned char>(data[bit / 8]) >> (bit % 8)) & 1u) << i;
    if (code == clear) {
      reset();
      previous.clear();
      continue;
    }
    if (code == end)
      break;
    std::string entry;
    if (code < table.size() && (code < clear || !table[code].empty()))
      entry = table[code];
    else if (code == next && !previous.empty())
      entry = previous + previous[0];
    else
      return why = "bad LZW code " + std::to_string(code), false;
    pixels += entry;
    if (!previous.empty()) {
      table.resize(std::max<size_t>(table.size(), next + 1));
      table[next++] = previous + entry[0];
      if (next == (1u << width_bits) && width_bits < 12)
        ++width_bits;
    }
    previous = entry;
  }
  if (pixels.size() != width * height)
    return why = std::to_string(pixels.size()) + " pixels for " + std::to_string(width) + "x" + std::to_string(height), false;
  return true;
}

TEST(WeatherService, EveryCityPageCarriesTheThreeBlocksOnceInOrder) {
  Service service;
  weatherd::PlaceTable places = ShippedPlaces();
  ASSERT_GT(places.places.size(), 200u);
  for (const weatherd::Place& place : places.places) {
    SCOPED_TRACE(place.code);
    httplib::Result result = service.Get("/weather/" + place.code + ".shtml");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
    const std::string& page = result->body;
    const char* markers[] = {kForecastStart, kForecastEnd, kLiveStart, kLivingStart, kLivingEnd};
    size_t last = 0;
    for (const char* marker : markers) {
      EXPECT_EQ(Count(page, marker), 1u) << marker;
      size_t at = page.find(marker);
      EXPECT_GT(at, last) << marker;
      last = at;
    }
    EXPECT_NE(page.find(place.district), std::string::npos);

    std::string forecast = Between(page, kForecastStart, kForecastEnd);
    EXPECT_EQ(Count(forecast, "<tr class=\"day"), 7u);
    EXPECT_EQ(Temperatures(forecast).size(), 14u);
    EXPECT_GE(Count(forecast, "<a href=\""), 7u);
    // The viewer rewrites exactly "<img src=\"", so every image must be written that way,
    // with a path from the site's root.
    EXPECT_EQ(Count(forecast, "<img"), 14u);
    EXPECT_EQ(Count(forecast, "<img src=\"/"), 14u);

    // The viewer cuts the live block at its first "</div>": that must be the whole table.
    std::string live = Between(page, kLiveStart, "</div>");
    EXPECT_NE(live.find("</table>"), std::string::npos);
    EXPECT_EQ(Count(live, "<tr><td>"), 12u);
    EXPECT_EQ(Count(live, "<img"), 0u) << "the live block is not rewritten, so images would break";

    std::string living = Between(page, kLivingStart, kLivingEnd);
    for (const char* name : {"穿衣指数", "紫外线指数", "洗车指数", "运动指数", "感冒指数"})
      EXPECT_EQ(Count(living, name), 2u) << name;  // the alt text and the caption
    EXPECT_EQ(Count(living, "<img"), Count(living, "<img src=\"/"));
    EXPECT_GE(Count(living, "<a href=\""), 5u);
  }
}

TEST(WeatherService, ServesEveryImageStylesheetAndScriptThePagesName) {
  Service service;
  std::string page = service.Body("/weather/101010203.shtml");
  std::vector<std::string> paths;
  for (const char* attribute : {"src=\"/m2/", "href=\"/m2/"}) {
    for (const std::string& rest : Enclosed(page, attribute, "\""))
      paths.push_back("/m2/" + rest);
  }
  EXPECT_GE(paths.size(), 28u);  // 14 weather icons, 8 badges, the logo, 2 stylesheets, 3 scripts
  for (const char* head_path : {"/m2/c/public/public.css", "/m2/c/public/mainBox.css", "/m2/j/public/jquerytop101104.js",
                                "/m2/j/public/main.js", "/m2/j/public/maintop101104.js"})
    paths.push_back(head_path);
  for (const char* other : {"/m2/i/icon_weather/29x20/d%02d.gif", "/m2/i/icon_weather/29x20/n%02d.gif"}) {
    for (int icon : {0, 1, 2, 3, 4, 7, 8, 9, 13, 14, 15, 18, 53}) {
      char path[64];
      std::snprintf(path, sizeof path, other, icon);
      paths.push_back(path);
    }
  }
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    httplib::Result result = service.Get(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    std::string type = result->get_header_value("Content-Type");
    if (path.ends_with(".gif")) {
      EXPECT_EQ(type, "image/gif");
      std::string why;
      EXPECT_TRUE(GifDecodes(result->body, why)) << why;
    } else if (path.ends_with(".css")) {
      EXPECT_EQ(type, "text/css; charset=utf-8");
    } else {
      EXPECT_EQ(type, "application/javascript; charset=utf-8");
    }
  }
}

TEST(WeatherService, WeatherFollowsThePlaceAndTheSeason) {
  const std::string guangzhou = "/weather/101010101.shtml", harbin = "/weather/101050101.shtml";
  Service january({"--date", "2027-01-15T10:30"});
  Service july({"--date", "2027-07-15T10:30"});
  auto temperatures = [](Service& service, const std::string& path) {
    return Temperatures(Between(service.Body(path), kForecastStart, kForecastEnd));
  };
  EXPECT_GT(Average(temperatures(january, guangzhou)), 8);
  EXPECT_LT(Average(temperatures(january, harbin)), -5);
  EXPECT_GT(Average(temperatures(july, harbin)), Average(temperatures(january, harbin)) + 20);

  // Stable for one place and day; different for another district of the same city.
  EXPECT_EQ(january.Body(guangzhou), january.Body(guangzhou));
  std::string tianhe = Between(january.Body("/weather/101010102.shtml"), kForecastStart, kForecastEnd);
  std::string yuexiu = Between(january.Body(guangzhou), kForecastStart, kForecastEnd);
  EXPECT_NE(Temperatures(tianhe), Temperatures(yuexiu));
  EXPECT_NE(yuexiu.find("15日星期五"), std::string::npos);
  EXPECT_NE(yuexiu.find("21日星期四"), std::string::npos);
}

TEST(WeatherService, UnknownCodesAndPathsGetA404WithoutMarkers) {
  Service service;
  for (const char* path : {"/weather/999999999.shtml", "/weather/.shtml", "/weather/10101010.shtml",
                           "/weather/101010101x.shtml", "/weather/%3Cdiv%20class=%22live%22%3E.shtml",
                           "/weather/101010101.html", "/m2/i/none.gif", "/nothing"}) {
    SCOPED_TRACE(path);
    httplib::Result result = service.Get(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 404);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
    for (const char* marker : {kForecastStart, kForecastEnd, kLiveStart, kLivingStart, kLivingEnd, "class=\"live\""})
      EXPECT_EQ(result->body.find(marker), std::string::npos) << marker;
  }
}

TEST(WeatherService, NoticeVariants) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string body;  // "{}" stands for the served host and port
  };
  const Case cases[] = {
      {{}, 200, "1.0----http://{}/download/nimbra.htm"},
      {{"--notice", "current"}, 200, "1.0----http://{}/download/nimbra.htm"},
      {{"--notice=newer"}, 200, "1.1----http://{}/download/nimbra.htm"},
      {{"--notice", "empty"}, 200, ""},
      {{"--notice", "bom"}, 200, "\xEF\xBB\xBF" "1.0----http://{}/download/nimbra.htm"},
      {{"--notice", "newer", "--host", "weather.example:8080"}, 200, "1.1----http://weather.example:8080/download/nimbra.htm"},
      {{"--notice-text", "1.0\\r\\n----http://x/\\x41"}, 200, "1.0\r\n----http://x/A"},
      {{"--notice-text", "1.1"}, 200, "1.1"},
  };
  for (const Case& c : cases) {
    Service service(c.args);
    std::string expected = c.body;
    if (size_t at = expected.find("{}"); at != std::string::npos)
      expected.replace(at, 2, "127.0.0.1:" + std::to_string(service.port()));
    httplib::Result result = service.Get("/day/shenzhen.txt");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status) << c.body;
    EXPECT_EQ(result->body, expected);
  }

  Service missing({"--notice", "missing"});
  httplib::Result result = missing.Get("/day/shenzhen.txt");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 404);
  EXPECT_EQ(missing.Get("/download/nimbra.htm")->status, 200);
}

TEST(WeatherService, BannerPages) {
  Service service({"--date", "2027-03-01"});
  for (const char* path : {"/day/shenzhen1.htm", "/day/shenzhen.htm"}) {
    httplib::Result result = service.Get(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << path;
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(result->body.find("2027年3月1日 星期一"), std::string::npos) << path;
  }
}

TEST(WeatherService, SlowWeatherTricklesTheSamePage) {
  Service quick({"--date", "2027-01-15T10:30"});
  Service slow({"--date", "2027-01-15T10:30", "--slow-weather", "1.5"});
  auto started = std::chrono::steady_clock::now();
  std::string trickled = slow.Body("/weather/101020101.shtml");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(seconds, 1.2);
  EXPECT_EQ(trickled, quick.Body("/weather/101020101.shtml"));
  EXPECT_EQ(slow.Get("/weather/0.shtml")->status, 404);
}

TEST(WeatherService, EndsCleanlyOnSignalsEvenMidTrickle) {
  Service idle;
  Finished finished = idle.Stop();
  EXPECT_EQ(finished.status, 0) << finished.output;

  Service slow({"--slow-weather", "600"});
  std::thread reader([port = slow.port()]() {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(900, 0);
    client.Get("/weather/101010101.shtml");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto started = std::chrono::steady_clock::now();
  finished = slow.process().Stop(SIGINT);
  EXPECT_EQ(finished.status, 0) << finished.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  reader.join();
}

TEST(WeatherService, RefusesBadSwitchesAndUnusableSettings) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--port", "http"}, "--port"},
      {{"--port", "70000"}, "--port"},
      {{"--notice", "later"}, "--notice"},
      {{"--slow-weather", "-1"}, "--slow-weather"},
      {{"--date", "2027-02-30"}, "--date"},
      {{"--frobnicate"}, "--frobnicate"},
      {{"--config", "/nonexistent/config.ini"}, "/nonexistent/config.ini"},
      {{"--port"}, "--port"},
  };
  for (const Case& c : cases) {
    ServiceProcess process(c.args);
    Finished finished = process.Wait();
    EXPECT_EQ(finished.status, 2) << c.message;
    EXPECT_NE(finished.output.find(c.message), std::string::npos) << finished.output;
  }
}

TEST(WeatherService, ReportsAPortInUse) {
  Service first;
  ServiceProcess second({"--port", std::to_string(first.port())});
  Finished finished = second.Wait();
  EXPECT_NE(finished.status, 0);
  EXPECT_NE(finished.output.find("cannot listen"), std::string::npos) << finished.output;
}

}  // namespace
