#!/usr/bin/env python3
"""How long the city lists take to fill: a pick of 河北 in 组合框1 (FillCityList) and then
of 保定 in 组合框2 (FillDistrictList), each timed from the pick until the handler has
returned, in the headless window and in the GTK window under Xvfb.

    tests/bench/pick_lists.py [BUILD_DIR] [RUNS] [SETTINGS_FILE]

Each run starts the program afresh in a copy of BUILD_DIR/program, with SETTINGS_FILE (GBK,
default: the built config.ini) as its config.ini, and makes both picks twice: the first
time after the start, and again (GTK does some work only the first time it shows a list).
Prints the median, minimum and maximum over RUNS runs (default 5) and what the design alone
takes: 10 ms of Delay per item added.
No server is started: the version notice fails quietly and the lists do not need one."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from automation import ask, start_xvfb

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
settings = sys.argv[3] if len(sys.argv) > 3 else os.path.join(build, "program", "config.ini")

PROVINCE_BOX, CITY_BOX, DISTRICT_BOX = "组合框1", "组合框2", "组合框3"
HEBEI = 8  # 河北's place among the twelve fixed items of 组合框1
CITY = "保定"


def items(sock, box):
    return [line.split('"', 1)[1].rsplit('"', 1)[0] for line in ask(sock, f"items {box}").splitlines()
            if line.startswith("item ")]


def timed_pick(sock, box, index):
    start = time.perf_counter()
    ask(sock, f"pick {box} {index}")
    answer = ask(sock, "wait-idle 120")
    if "idle" not in answer:
        raise SystemExit(f"pick {box} {index}: {answer.strip()}")
    return (time.perf_counter() - start) * 1000


def one_run(program_dir, backend, display):
    sock = os.path.join(program_dir, "a.sock")
    env = dict(os.environ, CORERT_BACKEND=backend, CORERT_AUTOMATION=sock, NIMBRA_OPEN_WITH="",
               CORERT_AUTO_ANSWER="1", NO_AT_BRIDGE="1")
    if display:
        env["DISPLAY"] = display
    proc = subprocess.Popen([os.path.join(program_dir, "nimbra")], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                if "idle" in ask(sock, "wait-idle 60"):
                    break
            except OSError:
                pass
            if proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"{backend}: the program did not come up")
            time.sleep(0.01)
        times = []
        for _ in range(2):
            times.append(timed_pick(sock, PROVINCE_BOX, HEBEI))
            cities = items(sock, CITY_BOX)
            times.append(timed_pick(sock, CITY_BOX, cities.index(CITY)))
            districts = items(sock, DISTRICT_BOX)
        ask(sock, "close")
        proc.wait(timeout=60)
        return times, len(cities), len(districts)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def summary(values):
    return f"median {statistics.median(values):.0f} ms (min {min(values):.0f}, max {max(values):.0f})"


with tempfile.TemporaryDirectory() as tmp:
    program_dir = os.path.join(tmp, "program")
    shutil.copytree(os.path.join(build, "program"), program_dir)
    shutil.copyfile(settings, os.path.join(program_dir, "config.ini"))
    xvfb, display = start_xvfb()
    try:
        for backend, where in (("headless", None), ("gtk", display)):
            results = [one_run(program_dir, backend, where) for _ in range(runs)]
            times, cities, districts = zip(*results)
            print(f"{backend}, {runs} runs, settings file {os.path.basename(settings)} "
                  f"({os.path.getsize(settings)} bytes)")
            for first, when in ((0, "first"), (2, "again")):
                print(f"  河北 -> {cities[0]} cities, {when}:   {summary([t[first] for t in times])}; "
                      f"Delay alone {cities[0] * 10} ms")
                print(f"  {CITY} -> {districts[0]} districts, {when}: {summary([t[first + 1] for t in times])}; "
                      f"Delay alone {districts[0] * 10} ms")
    finally:
        xvfb.terminate()
