#!/usr/bin/env python3
"""A kept city page from nimbra-weatherd beside nginx serving the same bytes from a file:
the same machine, the same load (wrk -c50 -t2 on loopback), the two servers taking turns
for two rounds. Prints each round's requests per second and median latency for both and
the service's rate as a share of nginx's. Goal: at least 0.5.

    tests/bench/service_vs_nginx.py [--build build] [--duration 5] [--rounds 2]

The service makes its pages from the model (--source model): a page is made once and
then served from what the service keeps, so the figure is the cost of answering, not of
making pages. nginx runs in the foreground from a directory of its own, with as many
workers as the machine has cores (as its Debian configuration does) and no access log."""
import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from weatherd_pages import PAGE, TOP, measure, start_service

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nginx_config(work, port, content_type):
    return f"""daemon off;
worker_processes auto;
pid {work}/nginx.pid;
error_log {work}/error.log notice;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path {work}/temp/body;
    proxy_temp_path {work}/temp/proxy;
    fastcgi_temp_path {work}/temp/fastcgi;
    uwsgi_temp_path {work}/temp/uwsgi;
    scgi_temp_path {work}/temp/scgi;
    types {{ }}
    default_type "{content_type}";
    server {{
        listen 127.0.0.1:{port};
        root {work}/root;
    }}
}}
"""


def start_nginx(work, page, content_type):
    """nginx on a free loopback port serving `page` at PAGE; returns (process, base URL)."""
    os.makedirs(os.path.join(work, "temp"))
    path = os.path.join(work, "root", PAGE.lstrip("/"))
    os.makedirs(os.path.dirname(path))
    with open(path, "wb") as f:
        f.write(page)
    # Run as root, nginx's workers take another user, which must reach the page.
    for directory, _, files in os.walk(work):
        os.chmod(directory, 0o755)
        for name in files:
            os.chmod(os.path.join(directory, name), 0o644)
    port = free_port()
    config = os.path.join(work, "nginx.conf")
    with open(config, "w") as f:
        f.write(nginx_config(work, port, content_type))
    log = open(os.path.join(work, "error.log"), "a")
    process = subprocess.Popen([NGINX, "-p", work, "-c", config, "-e", os.path.join(work, "error.log")],
                               stdout=subprocess.DEVNULL, stderr=log)
    base = f"http://127.0.0.1:{port}"
    for _ in range(500):
        if process.poll() is not None:
            sys.exit("service_vs_nginx: nginx did not start; see its error log:\n" + open(log.name).read())
        try:
            with urllib.request.urlopen(base + PAGE) as answer:
                if answer.read() == page:
                    return process, base
                sys.exit("service_vs_nginx: nginx serves other bytes than the service")
        except OSError:
            time.sleep(0.01)
    process.kill()
    sys.exit("service_vs_nginx: nginx did not answer")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--duration", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=2)
    options = parser.parse_args()
    weatherd = os.path.join(options.build, "weatherd", "nimbra-weatherd")

    with tempfile.TemporaryDirectory(prefix="nimbra-bench-nginx-") as work:
        service, service_base = start_service(weatherd, ["--source", "model"])
        nginx = None
        try:
            with urllib.request.urlopen(service_base + PAGE) as warm:
                page = warm.read()
                content_type = warm.headers["Content-Type"]
            # The page is the service's kept one from here on: the same bytes each time.
            with urllib.request.urlopen(service_base + PAGE) as again:
                if again.read() != page:
                    sys.exit("service_vs_nginx: the service's page changed between two requests")
            nginx, nginx_base = start_nginx(work, page, content_type)
            rounds = []
            for _ in range(options.rounds):
                rounds.append({"nginx": measure(nginx_base, options.duration),
                               "nimbra-weatherd": measure(service_base, options.duration)})
        finally:
            service.terminate()
            service.wait()
            if nginx:
                nginx.terminate()
                nginx.wait()

    print(f"{PAGE}, {len(page):,} bytes, wrk -c50 -t2 -d{options.duration}s on loopback, "
          f"{os.cpu_count()} cores")
    print(f"{'round':<6} {'server':<16} {'median':>10} {'99%':>10} {'requests/s':>12} {'service/nginx':>14}")
    ratios = []
    for number, figures in enumerate(rounds, 1):
        ratio = figures["nimbra-weatherd"][2] / figures["nginx"][2]
        ratios.append(ratio)
        for server, (median, tail, rate, errors) in figures.items():
            shown = f"{ratio:>14.2f}" if server == "nimbra-weatherd" else " " * 14
            print(f"{number:<6} {server:<16} {median:>7.3f} ms {tail:>7.2f} ms {rate:>12.0f} {shown}  {errors}")
    print(f"service's rate as a share of nginx's: median {statistics.median(ratios):.2f} "
          f"(rounds: {', '.join(f'{r:.2f}' for r in ratios)}); goal: at least 0.5")


if __name__ == "__main__":
    main()
