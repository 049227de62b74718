#!/usr/bin/env python3
"""The real program with the GTK window under Xvfb, against the weather service: time from
process start until the window is first drawn, until both banner panes have loaded their
pages, and the resident memory once all three browser panes show a page (the forecast in
the large one): the program's own process, and with WebKit's helper processes.

    tests/bench/gtk_start.py [BUILD_DIR] [RUNS]

Prints the median, minimum and maximum over RUNS runs (default 10). Starts its own Xvfb
and weather service (model source) (on the port the program was built for, 8370 by default)."""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from automation import start_xvfb

build = sys.argv[1] if len(sys.argv) > 1 else "build"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
program = os.path.join(build, "program", "nimbra")
ctl = os.path.join(build, "corert", "nimbra-ctl")
weatherd = os.path.join(build, "weatherd", "nimbra-weatherd")


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pss_kib(pid):
    """Proportional set size: shared pages divided among the processes sharing them, so
    a sum over processes counts the WebKit library once."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as rollup:
            for line in rollup:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def process_name(pid):
    """The program's file name (the kernel's own name for a process stops at 15 bytes)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return os.path.basename(cmdline.read().split(b"\0")[0].decode(errors="replace"))
    except OSError:
        return "?"


def descendants(pid):
    children = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        if parent == pid:
            children.append(int(entry))
    return children + [d for c in children for d in descendants(c)]


def ask(sock, *args):
    return subprocess.run([ctl, "--socket", sock, *args], capture_output=True, text=True, check=True).stdout


def one_run(display):
    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "a.sock")
        env = dict(os.environ, CORERT_BACKEND="gtk", DISPLAY=display, CORERT_AUTOMATION=sock, NIMBRA_OPEN_WITH="",
                   CORERT_AUTO_ANSWER="1", CORERT_TRACE="1", NO_AT_BRIDGE="1")
        start = time.perf_counter()
        proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for line in proc.stderr:
            if "window drawn" in line:
                break
        else:
            raise SystemExit("the program ended before its window was drawn")
        drawn = time.perf_counter() - start
        ask(sock, "--wait-socket", "30", "wait-idle", "60")
        ask(sock, "wait-page", "超文本浏览框4", "60")
        ask(sock, "wait-page", "超文本浏览框2", "60")
        banners = time.perf_counter() - start
        for combo in ("组合框1", "组合框2", "组合框3"):
            ask(sock, "pick", combo, "0")
            ask(sock, "wait-idle", "60")
        ask(sock, "click", "按钮1")
        ask(sock, "wait-idle", "120")
        ask(sock, "wait-page", "超文本浏览框1", "60")
        own = rss_kib(proc.pid)
        helpers = descendants(proc.pid)
        rss_all = own + sum(rss_kib(p) for p in helpers)
        # PSS by kind of process: the program, WebKit's web processes, its other helpers.
        pss_kinds = {"nimbra": pss_kib(proc.pid)}
        web_processes = 0
        for p in helpers:
            name = process_name(p)
            kind = "web" if name == "WebKitWebProcess" else "other"
            web_processes += kind == "web"
            pss_kinds[kind] = pss_kinds.get(kind, 0) + pss_kib(p)
        ask(sock, "close")
        proc.stderr.close()
        proc.wait(timeout=60)
        return drawn * 1000, banners * 1000, own, rss_all, pss_kinds, len(helpers), web_processes


def summary(values, unit):
    return f"median {statistics.median(values):.0f} {unit} (min {min(values):.0f}, max {max(values):.0f})"


xvfb, display = start_xvfb()
service = subprocess.Popen([weatherd, "--source", "model"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
try:
    if "serving on" not in service.stdout.readline():
        raise SystemExit("the weather service did not start (is port 8370 free?)")
    results = [one_run(display) for _ in range(runs)]
finally:
    service.terminate()
    xvfb.terminate()
drawn, banners, own, total, pss_kinds, helpers, web_processes = zip(*results)
proportional = [sum(kinds.values()) for kinds in pss_kinds]
print(f"GTK start under Xvfb, {runs} runs")
print(f"  start to first paint:           {summary(drawn, 'ms')}")
print(f"  start to both banners loaded:   {summary(banners, 'ms')}")
print(f"  RSS, three panes showing pages: {summary([k / 1024 for k in own], 'MiB')} (nimbra)")
print(f"                                  {summary([k / 1024 for k in total], 'MiB')} "
      f"(with WebKit's {max(helpers)} processes, shared pages counted in each)")
print(f"  PSS, the same processes:        {summary([k / 1024 for k in proportional], 'MiB')}")
for kind, label in (("nimbra", "the program"), ("web", "web processes"), ("other", "other helpers")):
    print(f"                                  {summary([k.get(kind, 0) / 1024 for k in pss_kinds], 'MiB')} ({label})")
print(f"  web processes: {', '.join(str(n) for n in sorted(set(web_processes)))}; "
      f"helper processes in all: {', '.join(str(n) for n in sorted(set(helpers)))}")
