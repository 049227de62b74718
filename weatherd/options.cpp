#include "weatherd/options.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace weatherd {

namespace {

std::string Format(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

const char kUsage[] =
    "usage: nimbra-weatherd [options]\n"
    "  --port N               port to serve on (default 8370; 0 picks a free one)\n"
    "  --bind ADDRESS         address to listen on (default 127.0.0.1)\n"
    "  --host HOST[:PORT]     host named in the notice's download address (default: where it serves)\n"
    "  --notice KIND          current | newer | empty | missing | bom (default current)\n"
    "  --notice-text TEXT     serve TEXT as the notice; \\r \\n \\t \\\\ and \\xHH are decoded\n"
    "  --slow-weather SECONDS trickle every weather page over SECONDS\n"
    "  --config FILE          settings file whose codes get pages (default: the shipped config.ini)\n"
    "  --date YYYY-MM-DD[THH:MM]  pretend it is this local date and time\n"
    "  --log                  print one line per request on stderr\n"
    "  --source KIND          open-meteo | model | auto (default auto: open-meteo, the model where it has nothing)\n"
    "  --upstream URL         forecast API base (default https://api.open-meteo.com)\n"
    "  --aq-upstream URL      air-quality API base (default: --upstream's URL when given,\n"
    "                         else https://air-quality-api.open-meteo.com)\n"
    "  --cache-dir DIR        where forecasts are kept (default $XDG_CACHE_HOME/nimbra, else ~/.cache/nimbra)\n"
    "  --cache-ttl SECONDS    how long a forecast is fresh (default 1800)\n"
    "  --upstream-timeout SECONDS  longest wait for the provider's answer (default 8)\n"
    "  --failure-pause SECONDS     how long the provider is left alone after a failure (default 60)\n";

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out.push_back(text[i]);
      continue;
    }
    char c = text[++i];
    if (c == 'r') out.push_back('\r');
    else if (c == 'n') out.push_back('\n');
    else if (c == 't') out.push_back('\t');
    else if (c == '\\') out.push_back('\\');
    else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
             std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back('\\');
      out.push_back(c);
    }
  }
  return out;
}

NoticeKind ParseNoticeKind(const std::string& value) {
  if (value == "current") return NoticeKind::kCurrent;
  if (value == "newer") return NoticeKind::kNewer;
  if (value == "empty") return NoticeKind::kEmpty;
  if (value == "missing") return NoticeKind::kMissing;
  if (value == "bom") return NoticeKind::kBom;
  Fail("--notice: unknown kind \"" + value + "\" (current, newer, empty, missing, bom)");
}

int ParsePort(const std::string& value) {
  char* end = nullptr;
  long port = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || port < 0 || port > 65535)
    Fail("--port: \"" + value + "\" is not a port number (0 to 65535)");
  return static_cast<int>(port);
}

double ParseSeconds(const std::string& name, const std::string& value, double least, double most) {
  char* end = nullptr;
  double seconds = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(seconds >= least) || seconds > most)
    Fail(name + ": \"" + value + "\" is not a number of seconds (" + Format(least) + " to " + Format(most) + ")");
  return seconds;
}

LocalTime ParseDate(const std::string& value) {
  int year = 0, hour = 12, minute = 0;
  unsigned month = 0, day = 0;
  int fields = std::sscanf(value.c_str(), "%d-%u-%uT%d:%d", &year, &month, &day, &hour, &minute);
  std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
  if ((fields != 3 && fields != 5) || !date.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59)
    Fail("--date: \"" + value + "\" is not YYYY-MM-DD or YYYY-MM-DDTHH:MM");
  return {date, hour, minute};
}

}  // namespace

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "nimbra-weatherd: %s\n", message.c_str());
  std::exit(2);
}

Options ParseOptions(int argc, char** argv, const std::string& default_config) {
  Options options;
  options.config_path = default_config;
  bool upstream_given = false, aq_upstream_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg, value;
    bool has_value = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    auto take_value = [&]() -> std::string {
      if (has_value)
        return value;
      if (i + 1 >= argc)
        Fail(name + ": needs a value");
      return argv[++i];
    };
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (name == "--port") {
      options.port = ParsePort(take_value());
    } else if (name == "--bind") {
      options.bind_address = take_value();
    } else if (name == "--host") {
      options.host = take_value();
    } else if (name == "--notice") {
      options.notice = ParseNoticeKind(take_value());
    } else if (name == "--notice-text") {
      options.notice = NoticeKind::kText;
      options.notice_text = DecodeEscapes(take_value());
    } else if (name == "--slow-weather") {
      options.slow_weather_seconds = ParseSeconds(name, take_value(), 0, 3600);
    } else if (name == "--config") {
      options.config_path = take_value();
    } else if (name == "--date") {
      options.fixed_time = ParseDate(take_value());
    } else if (name == "--log") {
      options.log = true;
    } else if (name == "--source") {
      std::string value = take_value();
      std::optional<SourceMode> mode = ParseSourceMode(value);
      if (!mode)
        Fail("--source: unknown source \"" + value + "\" (open-meteo, model, auto)");
      options.source = *mode;
    } else if (name == "--upstream") {
      options.upstream = take_value();
      if (options.upstream.rfind("http://", 0) != 0 && options.upstream.rfind("https://", 0) != 0)
        Fail("--upstream: \"" + options.upstream + "\" is not an http:// or https:// address");
      upstream_given = true;
    } else if (name == "--aq-upstream") {
      options.aq_upstream = take_value();
      if (options.aq_upstream.rfind("http://", 0) != 0 && options.aq_upstream.rfind("https://", 0) != 0)
        Fail("--aq-upstream: \"" + options.aq_upstream + "\" is not an http:// or https:// address");
      aq_upstream_given = true;
    } else if (name == "--cache-dir") {
      options.cache_dir = take_value();
      if (options.cache_dir.empty())
        Fail("--cache-dir: needs a directory");
    } else if (name == "--cache-ttl") {
      options.cache_ttl_seconds = static_cast<int64_t>(ParseSeconds(name, take_value(), 0, 86400 * 7));
    } else if (name == "--upstream-timeout") {
      options.upstream_timeout_seconds = ParseSeconds(name, take_value(), 0.1, 60);
    } else if (name == "--failure-pause") {
      options.pause_after_failure_seconds = static_cast<int64_t>(ParseSeconds(name, take_value(), 0, 86400));
    } else {
      std::fputs(kUsage, stderr);
      Fail("unknown option \"" + arg + "\"");
    }
  }
  if (upstream_given && !aq_upstream_given)
    options.aq_upstream = options.upstream;
  return options;
}

std::string CacheDirectory(const Options& options) {
  if (!options.cache_dir.empty())
    return options.cache_dir;
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/')
    return std::string(cache) + "/nimbra";
  if (const char* home = std::getenv("HOME"); home && home[0])
    return std::string(home) + "/.cache/nimbra";
  return "";
}

}  // namespace weatherd
