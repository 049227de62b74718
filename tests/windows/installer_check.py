"""The installer's silent install and uninstall under Wine, judged by what is left on disk
and in the registry, never by the installer's exit status (a 32-bit NSIS installer
"succeeds" under Wine and installs nothing). Used by wine_e2e.py."""
import glob
import os
import subprocess
import time

FILES = ["nimbra.exe", "config.ini", "corert.sle", "WebPane.sle", "xtool.sle", "netlib.sle", "sysapi.sle",
         "uninstall.exe"]
RUNTIME_KEY = "HKCU\\Software\\Tarvex\\Brae\\Install"


def registry_path(wine):
    status, out, _ = wine.run(["reg", "query", RUNTIME_KEY, "/v", "Path"])
    if status != 0:
        return None
    for line in out.splitlines():
        if "Path" in line and "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


def start_menu_links(prefix):
    return glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                  "Start Menu", "Programs", "Nimbra Weather", "*.lnk"))


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.5)
    return True


def check(wine, installer, windows_path):
    """The problems found; none when the installer does what it should."""
    problems = []
    prefix = wine.env["WINEPREFIX"]
    install_dir = os.path.join(prefix, "drive_c", "Program Files", "Nimbra")
    wine.run([installer, "/S"])
    # NSIS returns before its child processes are done with the disk on some systems.
    wait_until(lambda: os.path.exists(os.path.join(install_dir, "uninstall.exe")), 60)
    missing = [name for name in FILES if not os.path.isfile(os.path.join(install_dir, name))]
    if missing:
        problems.append("not installed: " + ", ".join(missing))
    if os.path.exists(os.path.join(install_dir, "corert.slr")):
        problems.append("corert.slr installed beside the executable: the registry would never be read")
    if registry_path(wine) != "C:\\Program Files\\Nimbra":
        problems.append("registry value Path is %r" % registry_path(wine))
    if not start_menu_links(prefix):
        problems.append("no Start-menu entry")
    if problems:
        return problems

    # The installed program starts: its runtime found through the registry value.
    address = os.path.join(wine.work, "installed.address")
    program = wine.start([os.path.join(install_dir, "nimbra.exe")],
                         {"CORERT_BACKEND": "headless", "CORERT_AUTO_ANSWER": "1", "NIMBRA_OPEN_WITH": "",
                          "NIMBRA_NO_DIALOG": "1", "CORERT_AUTOMATION": windows_path(address)})
    ctl = [os.environ["NIMBRA_CTL"], "--socket", address, "--timeout", "60", "--wait-socket", "120"]
    started = subprocess.run(ctl + ["state"], capture_output=True, timeout=200).returncode == 0
    subprocess.run(ctl + ["close"], capture_output=True, timeout=200)
    try:
        status = program.wait(timeout=120)
    except subprocess.TimeoutExpired:
        program.kill()
        status = -1
    if not started or status != 0:
        problems.append("the installed program did not start and end (status %d)" % status)

    # The uninstaller copies itself away and runs from there: wait for what it removes.
    wine.run([os.path.join(install_dir, "uninstall.exe"), "/S"])
    gone = wait_until(lambda: not os.path.exists(install_dir) and not start_menu_links(prefix), 120)
    if not gone:
        left = os.listdir(install_dir) if os.path.exists(install_dir) else []
        problems.append("left after uninstall: %s %s" % (left, start_menu_links(prefix)))
    if registry_path(wine) is not None:
        problems.append("registry value Path left after uninstall")
    status, _, _ = wine.run(["reg", "query", "HKCU\\Software\\Tarvex"])
    if status == 0:
        problems.append("HKCU\\Software\\Tarvex left after uninstall")
    return problems
