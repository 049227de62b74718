#!/usr/bin/env python3
"""Headless start of the real program: time from process start until the window has been
created and its creation event handled, and the resident memory at that moment.

    tests/bench/headless_start.py [BUILD_DIR] [RUNS]

Prints the median, minimum and maximum over RUNS runs (default 20)."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from automation import ask

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
program = os.path.join(build, "program", "nimbra")
ctl = os.path.join(build, "corert", "nimbra-ctl")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def one_run():
    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "a.sock")
        env = dict(os.environ, CORERT_BACKEND="headless", CORERT_AUTOMATION=sock, NIMBRA_OPEN_WITH="",
                   CORERT_AUTO_ANSWER="1")
        start = time.perf_counter()
        proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The socket is served from the first moment the window exists; "idle" then means
        # the creation event has been dispatched and handled.
        while True:
            if os.path.exists(sock):
                try:
                    state = ask(sock, "state")
                except OSError:
                    state = ""  # bound but not listening yet
                if "loaded=yes" in state and "queued=0" in state and "handlers=0" in state:
                    break
            if proc.poll() is not None:
                raise SystemExit("the program ended before its window existed")
            time.sleep(0.001)
        elapsed = time.perf_counter() - start
        rss = rss_kib(proc.pid)
        subprocess.run([ctl, "--socket", sock, "close"], capture_output=True)
        proc.wait(timeout=30)
        return elapsed, rss


times, sizes = [], []
for _ in range(runs):
    elapsed, rss = one_run()
    times.append(elapsed * 1000)
    sizes.append(rss)
print(f"headless start to window created, {runs} runs: median {statistics.median(times):.1f} ms "
      f"(min {min(times):.1f}, max {max(times):.1f})")
print(f"resident memory then: median {statistics.median(sizes) / 1024:.1f} MiB "
      f"(min {min(sizes) / 1024:.1f}, max {max(sizes) / 1024:.1f})")
