#!/usr/bin/env python3
"""The Windows program under Wine, end to end (scripts/test-windows runs it).

    wine_e2e.py LINUX_BUILD WINDOWS_BUILD

One fresh Wine prefix for the run, every Wine process with its output in files and a
time limit, `wineserver -k` at the end whatever happens. In it:

0. nimbra.exe and the Linux nimbra hold the same image, byte for byte;
1. the Windows unit tests (WINDOWS_BUILD/tests/*.exe);
2. the real nimbra.exe on an Xvfb display against the Linux nimbra-weatherd, beside the
   Linux viewer against the same service: the version notice, 广东 → 广州 → 越秀区, the three
   buttons; the page files each wrote must be the same bytes. The Windows program
   directory holds no WinINet of ours, so its fetches went through Wine's own;
3. the launcher's registry fallback: the runtime found through the value Path under
   HKCU\\Software\\Tarvex\\Brae\\Install, and the error when the key is missing;
4. with --installer SETUP.exe, the installer's silent install and uninstall, judged by
   what is on disk and in the registry (tests/windows/installer_check.py).

Exit status 0 when everything passed; each failure is one line on stderr.
"""
import argparse
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINE_TIMEOUT = 300  # seconds any one Wine process may take (the first start is slow)
HOST_BUILT = b"127.0.0.1:8370"
FONT = "WenQuanYi Zen Hei"
# The dialog and window fonts the program and the system's boxes ask for; without these
# Chinese text shows as boxes under Wine.
SUBSTITUTED_FONTS = ["SimSun", "宋体", "MS Shell Dlg", "MS Shell Dlg 2", "Tahoma", "Microsoft Sans Serif"]

failures = []


def fail(what):
    failures.append(what)
    print("wine-e2e: FAIL: " + what, file=sys.stderr, flush=True)


def note(what):
    print("wine-e2e: " + what, flush=True)


def free_four_digit_port():
    for _ in range(200):
        port = random.randint(2000, 9999)
        if port == 8370:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def windows_path(posix):
    return "Z:" + posix.replace("/", "\\")


class Wine:
    """One prefix; every process's output goes to a file of the run."""

    def __init__(self, work, display):
        self.work = work
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": os.path.join(work, "prefix"),
            "WINEDEBUG": "-all",
            # No installers for Wine's .NET and HTML engines: they would ask on screen.
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            "DISPLAY": display,
        })
        self.count = 0

    def start(self, argv, env=None, log=None):
        self.count += 1
        log = log or os.path.join(self.work, "wine-%02d" % self.count)
        full_env = dict(self.env)
        full_env.update(env or {})
        out, err = open(log + ".out", "wb"), open(log + ".err", "wb")
        process = subprocess.Popen(["timeout", str(WINE_TIMEOUT), WINE] + argv, env=full_env,
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        process.log = log
        return process

    def run(self, argv, env=None):
        process = self.start(argv, env)
        status = process.wait()
        return status, read(process.log + ".out"), read(process.log + ".err")

    def kill_server(self):
        # -k asks the server to end; -w waits until it has, having written the registry,
        # so that the prefix can be removed whole.
        for option in ("-k", "-w"):
            subprocess.run(["timeout", "60", "wineserver", option], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def prepare_prefix(wine):
    status, _, err = wine.run(["wineboot", "-u"])
    if status != 0:
        raise RuntimeError("wineboot failed (%d): %s" % (status, err[-500:]))
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]"]
    lines += ['"%s"="%s"' % (name, FONT) for name in SUBSTITUTED_FONTS]
    # Xvfb has no window manager: Wine draws the windows' frames and captions itself.
    lines += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]", '"Managed"="N"']
    reg = os.path.join(wine.work, "fonts.reg")
    with open(reg, "w", encoding="utf-16") as f:
        f.write("\r\n".join(lines) + "\r\n")
    status, _, err = wine.run(["regedit", "/S", windows_path(reg)])
    if status != 0:
        raise RuntimeError("regedit failed: " + err[-300:])


def start_xvfb(work):
    read_end, write_end = os.pipe()
    log = open(os.path.join(work, "xvfb.log"), "wb")
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
                                "tcp"], pass_fds=[write_end], stdout=log, stderr=log)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    if not number:
        raise RuntimeError("Xvfb did not start")
    return process, ":" + number


def start_weatherd(linux_build, work):
    for _ in range(20):
        port = free_four_digit_port()
        out, err = os.path.join(work, "weatherd.out"), os.path.join(work, "weatherd.err")
        process = subprocess.Popen([os.path.join(linux_build, "weatherd", "nimbra-weatherd"), "--port", str(port),
                                    "--notice", "newer", "--source", "model"],
                                   stdout=open(out, "wb"), stderr=open(err, "wb"))
        for _ in range(100):
            if "serving on" in read(out):
                return process, port
            if process.poll() is not None:
                break
            time.sleep(0.1)
        process.kill()
        process.wait()
    raise RuntimeError("nimbra-weatherd did not start: " + read(err))


def patched_copy(source_dir, target_dir, executable, port):
    """A copy of a program directory whose executable names the test service."""
    os.makedirs(target_dir)
    for name in os.listdir(source_dir):
        if name.endswith(".htm"):
            continue
        shutil.copy2(os.path.join(source_dir, name), os.path.join(target_dir, name))
    path = os.path.join(target_dir, executable)
    with open(path, "rb") as f:
        program = f.read()
    host = b"127.0.0.1:%d" % port
    if program.count(HOST_BUILT) == 0:
        raise RuntimeError(executable + " does not name " + HOST_BUILT.decode())
    with open(path, "wb") as f:
        f.write(program.replace(HOST_BUILT, host))


class Ctl:
    def __init__(self, ctl, address):
        self.ctl = ctl
        self.address = address

    def __call__(self, *args, wait=0, check=True):
        argv = [self.ctl, "--socket", self.address, "--timeout", "90"]
        if wait:
            argv += ["--wait-socket", str(wait)]
        result = subprocess.run(argv + list(args), capture_output=True, timeout=180)
        if check and result.returncode != 0:
            raise RuntimeError("nimbra-ctl %s: %s" % (" ".join(args), result.stderr.decode("utf-8", "replace")))
        return result

    def lines(self, *args):
        return self(*args).stdout.decode("utf-8").splitlines()

    def index_of(self, combo, text):
        for line in self.lines("items", combo):
            number, _, quoted = line[len("item "):].partition(" ")
            if quoted == '"%s"' % text:
                return number
        raise RuntimeError("%s has no item %s" % (combo, text))


def tour(ctl, screenshot=None):
    """The user's way through the program; the bytes of the three pages. `screenshot`: a
    path (as the program writes it) for a picture of the window with its notice box."""
    boxes = ctl.lines("boxes")
    if len(boxes) != 1 or "当前不是最新版本" not in boxes[0]:
        fail("version notice: boxes were %r" % boxes)
    if screenshot:
        time.sleep(2)  # the box drawn, and its fonts
        ctl("screenshot", screenshot)
    ctl("answer")
    ctl("wait-idle", "90")
    for combo, item in (("组合框1", "广东"), ("组合框2", "广州"), ("组合框3", "越秀区")):
        ctl("pick", combo, ctl.index_of(combo, item))
        ctl("wait-idle", "90")
    pages = []
    for button in ("按钮1", "按钮2", "按钮3"):
        ctl("click", button)
        ctl("wait-idle", "90")
        visits = ctl.lines("browsers")
        pages.append(ctl("page", str(len(visits))).stdout)
    if screenshot:
        ctl("screenshot", screenshot.replace(".png", "-lists.png"))
    return pages


def viewer_tour(linux_build, windows_build, work, wine, port):
    ctl_path = os.path.join(linux_build, "corert", "nimbra-ctl")
    linux_dir, windows_dir = os.path.join(work, "linux"), os.path.join(work, "windows")
    patched_copy(os.path.join(linux_build, "program"), linux_dir, "nimbra", port)
    patched_copy(os.path.join(windows_build, "program"), windows_dir, "nimbra.exe", port)
    if any(name.lower().startswith("wininet") for name in os.listdir(windows_dir)):
        fail("the Windows program directory holds a WinINet of its own")

    # The Linux viewer, headless, for the reference pages.
    socket_path = os.path.join(work, "linux.sock")
    env = dict(os.environ, CORERT_BACKEND="headless", CORERT_AUTOMATION=socket_path, NIMBRA_OPEN_WITH="",
               CORERT_TRACE="1")
    linux = subprocess.Popen([os.path.join(linux_dir, "nimbra")], env=env, stdin=subprocess.DEVNULL,
                             stdout=open(os.path.join(work, "linux.out"), "wb"),
                             stderr=open(os.path.join(work, "linux.err"), "wb"))
    try:
        linux_ctl = Ctl(ctl_path, socket_path)
        linux_ctl("state", wait=60)
        linux_ctl("wait-idle", "90")
        linux_pages = tour(linux_ctl)
        linux_ctl("close")
        linux.wait(timeout=60)
    finally:
        if linux.poll() is None:
            linux.kill()

    # The Windows viewer, in its Win32 window on the Xvfb display.
    address = os.path.join(work, "windows.address")
    windows = wine.start([os.path.join(windows_dir, "nimbra.exe")],
                         {"CORERT_AUTOMATION": windows_path(address), "NIMBRA_OPEN_WITH": "", "CORERT_TRACE": "1"},
                         log=os.path.join(work, "windows"))
    windows_ctl = Ctl(ctl_path, address)
    windows_ctl("state", wait=WINE_TIMEOUT)
    windows_ctl("wait-idle", "90")
    # NIMBRA_WINE_SCREENSHOT=FILE.png: the picture for the documentation.
    picture = os.environ.get("NIMBRA_WINE_SCREENSHOT")
    windows_pages = tour(windows_ctl, windows_path(os.path.abspath(picture)) if picture else None)
    opened = windows_ctl.lines("opened")
    expected_open = 'opened 1 "http://127.0.0.1:%d/download/nimbra.htm"' % port
    if opened != [expected_open]:
        fail("OpenWebPage was asked for %r, not %r" % (opened, expected_open))
    windows_ctl("close")
    status = windows.wait(timeout=WINE_TIMEOUT)
    err = read(windows.log + ".err")
    if status != 0:
        fail("nimbra.exe ended with status %d: %s" % (status, err[-500:]))
    if "0 blocks (0 bytes) still allocated at program end" not in err:
        fail("nimbra.exe did not free everything: " + err[-500:])

    for number, (linux_page, windows_page) in enumerate(zip(linux_pages, windows_pages), 1):
        if not linux_page:
            fail("page %d: the Linux viewer wrote nothing" % number)
        elif linux_page != windows_page:
            fail("page %d: %d bytes on Linux, %d on Windows, not the same" %
                 (number, len(linux_page), len(windows_page)))
    note("three pages, %s bytes, the same on Windows as on Linux" % "/".join(str(len(p)) for p in windows_pages))


def same_image(linux_build, windows_build):
    """Both executables hold the one image the Linux build linked, byte for byte."""
    with open(os.path.join(linux_build, "nimbra.qx"), "rb") as f:
        image = f.read()
    for executable in (os.path.join(linux_build, "program", "nimbra"),
                       os.path.join(windows_build, "program", "nimbra.exe")):
        with open(executable, "rb") as f:
            if f.read().count(image) != 1:
                fail("%s does not hold nimbra.qx (%d bytes) once, byte for byte" % (executable, len(image)))
                return
    note("nimbra and nimbra.exe hold the same %d-byte image" % len(image))


def registry_fallback(windows_build, work, wine):
    """The runtime not beside the executable: found through the registry, or the error."""
    alone, installed = os.path.join(work, "alone"), os.path.join(work, "installed 安装")
    os.makedirs(alone)
    shutil.copytree(os.path.join(windows_build, "program"), installed)
    os.rename(os.path.join(installed, "nimbra.exe"), os.path.join(alone, "nimbra.exe"))
    os.rename(os.path.join(installed, "corert.slr"), os.path.join(installed, "corert.sle"))
    key = "HKCU\\Software\\Tarvex\\Brae\\Install"
    env = {"CORERT_BACKEND": "headless", "CORERT_AUTO_ANSWER": "1", "NIMBRA_OPEN_WITH": "", "NIMBRA_NO_DIALOG": "1"}

    status, _, err = wine.run(["reg", "add", key, "/v", "Path", "/d", windows_path(installed), "/f"])
    if status != 0:
        fail("reg add: " + err[-300:])
    address = os.path.join(work, "alone.address")
    program = wine.start([os.path.join(alone, "nimbra.exe")], dict(env, CORERT_AUTOMATION=windows_path(address)),
                         log=os.path.join(work, "alone"))
    ctl = Ctl(os.environ["NIMBRA_CTL"], address)
    try:
        ctl("state", wait=WINE_TIMEOUT)
        ctl("close")
        status = program.wait(timeout=WINE_TIMEOUT)
        if status != 0:
            fail("runtime from the registry: status %d: %s" % (status, read(program.log + ".err")[-300:]))
    except (RuntimeError, subprocess.TimeoutExpired) as problem:
        fail("runtime from the registry: %s; %s" % (problem, read(program.log + ".err")[-300:]))
        program.kill()

    wine.run(["reg", "delete", key, "/f"])
    status, _, err = wine.run([os.path.join(alone, "nimbra.exe")], env)
    if status != 255 or "Error: Not found the kernel library or the kernel library is invalid!" not in err:
        fail("no runtime and no key: status %d, %r" % (status, err[-300:]))
    else:
        note("launcher: runtime through the registry, and the error without the key")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("linux_build")
    parser.add_argument("windows_build")
    parser.add_argument("--installer")
    args = parser.parse_args()
    linux_build, windows_build = os.path.abspath(args.linux_build), os.path.abspath(args.windows_build)
    os.environ["NIMBRA_CTL"] = os.path.join(linux_build, "corert", "nimbra-ctl")

    same_image(linux_build, windows_build)
    work = tempfile.mkdtemp(prefix="nimbra-wine-")
    xvfb, weatherd, wine = None, None, None
    try:
        xvfb, display = start_xvfb(work)
        wine = Wine(work, display)
        prepare_prefix(wine)

        tests_dir = os.path.join(windows_build, "tests")
        for name in sorted(os.listdir(tests_dir)) if os.path.isdir(tests_dir) else []:
            if name.endswith(".exe"):
                status, out, _ = wine.run([os.path.join(tests_dir, name)])
                if status != 0:
                    fail("%s: status %d\n%s" % (name, status, out[-3000:]))
                else:
                    note("%s: %s" % (name, out.strip().splitlines()[-1] if out.strip() else "passed"))

        weatherd, port = start_weatherd(linux_build, work)
        try:
            viewer_tour(linux_build, windows_build, work, wine, port)
        except (RuntimeError, subprocess.TimeoutExpired) as problem:
            fail("viewer tour: %s" % problem)
        registry_fallback(windows_build, work, wine)

        if args.installer:
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            import installer_check
            problems = installer_check.check(wine, args.installer, windows_path)
            for problem in problems:
                fail("installer: " + problem)
            if not problems:
                note("installer: installed, started through the registry, uninstalled without a trace")
    except Exception as problem:  # the run's own trouble: report, clean up, fail
        fail("%s: %s" % (type(problem).__name__, problem))
    finally:
        if wine:
            wine.kill_server()
        for process in (weatherd, xvfb):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
        if failures or os.environ.get("NIMBRA_KEEP_WINE_RUN"):
            note("the run's files are in " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("wine-e2e: %d failures" % len(failures), file=sys.stderr)
        return 1
    note("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
