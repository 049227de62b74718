"""What the start and pick benchmarks share: a private Xvfb display, and one automation
request straight over the program's socket (starting nimbra-ctl for each would cost some
4 ms a time and be counted in what is measured)."""

import os
import socket
import subprocess


def ask(sock, request):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(sock)
        s.sendall(request.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"ok\n") and b"error " not in answer:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
        return answer.decode()


def start_xvfb():
    """Starts Xvfb on a display number it picks itself; returns (process, ":N")."""
    read, write = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(read)
    return proc, ":" + number.decode().strip()
