#!/usr/bin/env python3
"""City pages of nimbra-weatherd under load: 50 concurrent clients on loopback (wrk), first
with forecasts and air quality served from the service's caches (a local stand-in for the
provider answers the one request of each kind that fills them), then from the model. Prints median and 99th-percentile latency
and requests per second for both. Goal: median < 2 ms and > 2,000 requests/s.

    tests/bench/weatherd_pages.py [--build build] [--duration 5]
"""
import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PAGE = "/weather/101010101.shtml"


def forecast_answer():
    """The provider's answer for past_days=1, forecast_days=7 in China Standard Time."""
    china = datetime.timezone(datetime.timedelta(hours=8))
    yesterday = datetime.datetime.now(china).date() - datetime.timedelta(days=1)
    hours = [f"{yesterday + datetime.timedelta(days=i // 24)}T{i % 24:02d}:00" for i in range(24 * 8)]
    days = [str(yesterday + datetime.timedelta(days=d)) for d in range(8)]
    hourly = {"time": hours, "weather_code": [3] * 192, "temperature_2m": [20 + i % 24 / 10 for i in range(192)],
              "relative_humidity_2m": [64] * 192, "precipitation": [0.3] * 192, "wind_speed_10m": [20.0] * 192,
              "wind_direction_10m": [135] * 192}
    daily = {"time": days, "weather_code": [3] * 8, "temperature_2m_max": [30.0 + d for d in range(8)],
             "temperature_2m_min": [10.0 + d for d in range(8)],
             "apparent_temperature_max": [28.0 + d for d in range(8)],
             "apparent_temperature_min": [8.0 + d for d in range(8)], "precipitation_sum": [1.2] * 8,
             "uv_index_max": [8.5] * 8, "wind_speed_10m_max": [25.0] * 8, "wind_direction_10m_dominant": [140] * 8}
    return {"latitude": 23.125, "longitude": 113.25, "generationtime_ms": 0.5, "utc_offset_seconds": 28800,
            "timezone": "Asia/Shanghai", "timezone_abbreviation": "CST", "elevation": 21.0,
            "hourly": hourly, "daily": daily}


def air_quality_answer():
    """The air-quality API's answer for past_days=1, forecast_days=5 in China Standard Time."""
    china = datetime.timezone(datetime.timedelta(hours=8))
    yesterday = datetime.datetime.now(china).date() - datetime.timedelta(days=1)
    count = 24 * 6
    hours = [f"{yesterday + datetime.timedelta(days=i // 24)}T{i % 24:02d}:00" for i in range(count)]
    hourly = {"time": hours, "pm2_5": [40.0 + i % 24 for i in range(count)], "pm10": [70.0] * count,
              "carbon_monoxide": [600.0] * count, "nitrogen_dioxide": [30.0] * count,
              "sulphur_dioxide": [8.0] * count, "ozone": [50.0 + 3 * (i % 24) for i in range(count)]}
    return {"latitude": 23.1, "longitude": 113.3, "generationtime_ms": 0.5, "utc_offset_seconds": 28800,
            "timezone": "Asia/Shanghai", "timezone_abbreviation": "CST", "elevation": 21.0, "hourly": hourly}


def start_service(weatherd, args):
    process = subprocess.Popen([weatherd, "--port", "0"] + args, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    match = re.match(r"nimbra-weatherd: serving on (http://\S+)", line)
    if not match:
        process.kill()
        sys.exit(f"weatherd_pages: nimbra-weatherd did not start: {line!r}")
    return process, match.group(1)


def milliseconds(text):
    value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 0.001, "ms": 1, "s": 1000}[unit]


def measure(base, duration):
    out = subprocess.run(["wrk", "-c50", "-t2", f"-d{duration}s", "--latency", base + PAGE],
                         capture_output=True, text=True, check=True).stdout
    median = re.search(r"^\s+50%\s+(\S+)", out, re.M)
    tail = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    rate = re.search(r"^Requests/sec:\s+([\d.]+)", out, re.M)
    errors = re.findall(r"Non-2xx or 3xx responses: \d+|Socket errors: .*", out)
    if not median or not tail or not rate:
        sys.exit("weatherd_pages: cannot read wrk's output:\n" + out)
    return milliseconds(median.group(1)), milliseconds(tail.group(1)), float(rate.group(1)), "; ".join(errors)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--duration", type=int, default=5)
    options = parser.parse_args()
    weatherd = os.path.join(options.build, "weatherd", "nimbra-weatherd")

    with tempfile.TemporaryDirectory(prefix="nimbra-bench-") as work:
        # http.server ignores the query string: every place gets this one answer.
        os.makedirs(os.path.join(work, "upstream", "v1"))
        with open(os.path.join(work, "upstream", "v1", "forecast"), "w") as f:
            json.dump(forecast_answer(), f)
        with open(os.path.join(work, "upstream", "v1", "air-quality"), "w") as f:
            json.dump(air_quality_answer(), f)
        upstream_log = open(os.path.join(work, "upstream.log"), "w+")
        upstream = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "0"],
                                    cwd=os.path.join(work, "upstream"), stdout=subprocess.PIPE,
                                    stderr=upstream_log, text=True)
        upstream_url = "http://127.0.0.1:" + re.search(r"port (\d+)", upstream.stdout.readline()).group(1)

        results = {}
        for source, args in (("open-meteo (cache)", ["--source", "open-meteo", "--upstream", upstream_url,
                                                     "--cache-dir", os.path.join(work, "cache")]),
                             ("model", ["--source", "model"])):
            service, base = start_service(weatherd, args)
            try:
                with urllib.request.urlopen(base + PAGE) as warm:
                    served_by = warm.headers["X-Nimbra-Source"]
                results[source] = measure(base, options.duration) + (served_by,)
            finally:
                service.terminate()
                service.wait()
        upstream.terminate()
        upstream.wait()
        upstream_log.seek(0)
        upstream_text = upstream_log.read()
        upstream_requests = upstream_text.count("GET /v1/forecast") + upstream_text.count("GET /v1/air-quality")

    print(f"nimbra-weatherd {PAGE}, wrk -c50 -t2 -d{options.duration}s on loopback")
    print(f"{'source':<20} {'served by':<12} {'median':>10} {'99%':>10} {'requests/s':>12}")
    for source, (median, tail, rate, errors, served_by) in results.items():
        print(f"{source:<20} {served_by:<12} {median:>7.3f} ms {tail:>7.2f} ms {rate:>12.0f}  {errors}")
    print(f"provider requests during the run: {upstream_requests} (the warming ones: forecast, air quality)")
    print("goal: median < 2 ms and > 2,000 requests/s")


if __name__ == "__main__":
    main()
