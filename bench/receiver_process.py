"""bench/receiver_process: a user's receiving process on a sampled profile (perf): the share of
its CPU samples outside libavcodec and libavutil.

    .venv/bin/python bench/receiver_process.py [--loss 2] [--seconds 10] [--json]

A plain `RtpReceiver` (its defaults) runs in a process of its own, whose only other work is
the application's loop taking the pictures (`receive(timeout=0.1)`), as a user writes it. The
`send` command (1280x720 30 fps test pattern, 2 Mbit/s) and the relay (`--loss` percent, 10 ms
each way, 5 ms jitter, seed 1) run in processes of their own. Once the stream has settled,
`perf record` samples the receiving process (every thread) for `--seconds`; its samples are
then split by the library they fall in:

- the codec: libavcodec and libavutil (decoding itself, the same work whatever receives);
- outside it: the kernel (system calls, and waking the threads: for timers, for packets
  spread by jitter, to hand a picture to the thread that waits in `receive`), libc, the module
  (the package's extension modules), Python (the interpreter), and the rest.

Also shown: the process's CPU time over the sampling (user and system, from /proc), and the
pictures taken. Needs `perf` (Debian's linux-perf) and permission to sample another process;
without them it says so and exits.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from net_profile import start_stream, stop_stream

CODEC = ("libavcodec", "libavutil")
# Library name patterns of the kinds outside the codec, in the order they are tried.
KINDS = (("kernel", re.compile(r"^\[kernel|^\[guest\.kernel")),
         ("libc", re.compile(r"^(libc|libm|libpthread|ld-linux)[.-]")),
         ("the module", re.compile(r"^_(codec|rtp)\.|talmiro")),
         ("python", re.compile(r"python3|^libpython")))
SETTLE_S = 4.0


def receive_until(seconds: float) -> None:
    """The receiving process: prints its port, takes pictures for `seconds`, prints a summary."""
    from talmiro_sdk_video import RtpReceiver

    receiver = RtpReceiver(0)
    print(receiver.address[1], flush=True)
    shown = 0
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            for _picture in receiver.receive(timeout=0.1):
                shown += 1
    finally:
        receiver.close()
    stats = receiver.stats()
    print(json.dumps({"shown": shown, "stats": stats}, default=str), flush=True)


def perf_usable() -> str | None:
    """Why perf cannot sample here, or None when it can."""
    try:
        run = subprocess.run(["perf", "record", "-q", "-o", "/dev/null", "--", "true"],
                             capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as err:
        return f"perf is missing (apt-get install linux-perf): {err}"
    if run.returncode != 0:
        return f"perf cannot sample: {run.stderr.strip().splitlines()[-1:] or run.returncode}"
    return None


def cpu_ticks(pid: int) -> int:
    """User and system time of a process so far, in clock ticks."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def samples_by_library(data: Path) -> collections.Counter:
    """The number of samples per library (perf's DSO)."""
    report = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--sort", "dso",
                             "-n", "--stdio"], check=True, capture_output=True, text=True).stdout
    out: collections.Counter = collections.Counter()
    for line in report.splitlines():
        m = re.match(r"\s*[\d.]+%\s+(\d+)\s+(\S.*?)\s*$", line)
        if m:
            out[m.group(2)] += int(m.group(1))
    return out


def kind_of(library: str) -> str:
    if library.startswith(CODEC):
        return "codec"
    return next((kind for kind, pattern in KINDS if pattern.search(library)), "other")


def shares(libraries: collections.Counter) -> dict:
    """Percent of all samples: outside the codec, and per kind; the rest by library."""
    total = max(1, sum(libraries.values()))
    kinds: collections.Counter = collections.Counter()
    others: collections.Counter = collections.Counter()
    for library, count in libraries.items():
        kind = kind_of(library)
        kinds[kind] += count
        if kind == "other":
            others[library] += count
    pct = {kind: 100 * count / total for kind, count in kinds.items()}
    return {"samples": sum(libraries.values()), "outside_codec": 100 - pct.get("codec", 0.0),
            "kinds": {k: round(pct.get(k, 0.0), 2) for k in ("codec", *dict(KINDS), "other")},
            "other_libraries": {lib: round(100 * n / total, 2) for lib, n in others.most_common(6)}}


def measure(args: argparse.Namespace) -> dict:
    """The stream, the receiving process sampled once it settled, and what it took."""
    frames = int((SETTLE_S + args.seconds + 6) * 30)
    receiving = subprocess.Popen(
        [sys.executable, __file__, "--receive-for", str(SETTLE_S + args.seconds + 3)],
        stdout=subprocess.PIPE, text=True)
    relay = sender = None
    try:
        port = int(receiving.stdout.readline())
        relay, sender = start_stream(port, args.loss, frames)
        time.sleep(SETTLE_S)
        with tempfile.TemporaryDirectory() as tmp:
            data = Path(tmp, "receiver.data")
            ticks = cpu_ticks(receiving.pid)
            subprocess.run(["perf", "record", "-q", "-F", str(args.frequency), "-o", str(data),
                            "-p", str(receiving.pid), "--", "sleep", str(args.seconds)],
                           check=False, stderr=subprocess.DEVNULL)  # its status is the sleep's
            ticks = cpu_ticks(receiving.pid) - ticks
            libraries = samples_by_library(data)
        summary = json.loads(receiving.stdout.readline() or "{}")
    finally:
        try:
            receiving.wait(args.seconds + 60)
        except subprocess.TimeoutExpired:
            receiving.kill()
            receiving.wait()
        if relay is not None and sender is not None:
            stop_stream(relay, sender, frames)
    out = shares(libraries)
    out.update(loss_percent=args.loss, seconds=args.seconds, shown=summary.get("shown"),
               cpu_percent=round(100 * ticks / os.sysconf("SC_CLK_TCK") / args.seconds, 1))
    return out


def print_text(s: dict) -> None:
    print(f"receiving process, {s['seconds']:g} s sampled at {s['loss_percent']:g} % loss: "
          f"{s['samples']} samples, {s['shown']} pictures taken in the whole run, CPU "
          f"{s['cpu_percent']:.1f} % of a core")
    print(f"outside libavcodec/libavutil: {s['outside_codec']:.1f} % of the samples ("
          + ", ".join(f"{k} {v:.1f} %" for k, v in s["kinds"].items() if k != "codec") + ")")
    if s["other_libraries"]:
        print("other, by library: " + ", ".join(
            f"{lib} {v:.2f} %" for lib, v in s["other_libraries"].items()))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loss", type=float, default=2.0, help="percent")
    ap.add_argument("--seconds", type=float, default=10.0, help="the sampling")
    ap.add_argument("--frequency", type=int, default=4999, help="samples a second (perf -F)")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--receive-for", type=float, help=argparse.SUPPRESS)  # the receiving process
    args = ap.parse_args()
    if args.receive_for is not None:
        receive_until(args.receive_for)
        return 0
    why = perf_usable()
    if why is not None:
        print(f"receiver_process: skipped, {why}")
        return 0
    result = measure(args)
    if args.json:
        print(json.dumps(result, indent=1))
    else:
        print_text(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
