"""Outside tools (ffmpeg, gst-launch-1.0) run by the recordings script, the interop tests and the
network benchmark: waiting until one has bound its port, and ending one by its own pid."""
from __future__ import annotations

import os
import signal
import socket
import subprocess
import time


def port_bound(port: int, proc: subprocess.Popen, seconds: float = 10.0,
               host: str = "127.0.0.1") -> bool:
    """Whether `proc` bound UDP `port` within `seconds` (our own bind to it then fails)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind((host, port))
            except OSError:
                return True
        time.sleep(0.05)
    return False


def stop(proc: subprocess.Popen, grace: float = 5.0,
         collect: bool = True) -> tuple[str | bytes | None, ...]:
    """Ends one tool by its pid: SIGINT, then SIGKILL after `grace` seconds. With `collect`,
    what it wrote to the pipes it was given (None for those it was not), read while it ends so
    that a full pipe cannot hold it; without, the caller reads its pipes (from a thread)."""
    def finish(timeout: float) -> tuple[str | bytes | None, ...]:
        if collect:
            return proc.communicate(timeout=timeout)
        proc.wait(timeout)
        return (None, None)

    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGINT)
        try:
            return finish(grace)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
    return finish(grace)
