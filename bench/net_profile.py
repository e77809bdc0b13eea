"""bench/net_profile: the network link's transport CPU on a sampled profile (perf), as a share of
the codec's.

    .venv/bin/python bench/net_profile.py [--loss 2] [--frames 900] [--seconds 12]

Our receiver runs here with its own decoder; the relay (20 ms round trip, 5 ms jitter, seed 1)
and our sender (1280x720 30 fps test pattern, 2 Mbit/s) run as processes of their own, as
they would on two machines. Once the stream runs, `perf record` samples this process and the
sender's (`--seconds`), and then the sender's again with call graphs.

- The codec: the samples in libx264, libavcodec and libavutil, both processes.
- The receiver's transport: every other sample of its receiving thread (socket loop, RTP,
  RTCP, scheduling, and everything of the decoder outside those libraries, such as its sync
  policy and the libc calls libavcodec makes; the application's thread, which takes the
  pictures, is shown apart).
- The sender's transport: with call graphs, the samples of its main thread whose stack holds
  the packetizer or a send call, and every sample of its RTCP thread. Its main thread's samples
  in Python code alone (the command's loop: pacing, the encode and send calls) are shown
  apart; the samples drawing the test pattern are the source, not the transport.

Needs `perf` (Debian's linux-perf) and permission to sample other processes.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video._net import free_pair

LOCAL = "127.0.0.1"
CODEC_LIBS = ("libx264", "libavcodec", "libavutil")


def perf(args: list[str], out: Path, seconds: float) -> None:
    subprocess.run(["perf", "record", "-q", "-o", str(out), *args, "--", "sleep", str(seconds)],
                   check=False, stderr=subprocess.DEVNULL)  # its status is the sleep's


def by_thread_and_dso(data: Path) -> dict[int, collections.Counter]:
    """Share of all samples (percent) per thread id and library."""
    report = subprocess.run(["perf", "report", "-i", str(data), "--sort", "pid,dso", "--stdio"],
                            check=True, capture_output=True, text=True).stdout
    out: dict[int, collections.Counter] = collections.defaultdict(collections.Counter)
    for line in report.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\d+):\S*\s+(\S+)", line)
        if m:
            out[int(m.group(2))][m.group(3)] += float(m.group(1))
    return out


def sender_stacks(data: Path, main_tid: int) -> collections.Counter:
    """The sender's samples by what their stack is doing."""
    text = subprocess.run(["perf", "script", "-i", str(data), "-F", "tid,ip,sym,dso"],
                          check=True, capture_output=True, text=True).stdout
    kinds: collections.Counter = collections.Counter()
    for block in text.split("\n\n"):
        lines = block.strip().splitlines()
        if not lines:
            continue
        tid, stack = int(lines[0].split()[0]), " | ".join(lines[1:])
        if any(lib in stack for lib in CODEC_LIBS):
            kinds["codec"] += 1
        elif tid != main_tid:
            kinds["transport, RTCP thread"] += 1
        elif re.search(r"packetiz|sendto|udp_sendmsg", stack, re.IGNORECASE):
            kinds["transport, sending"] += 1
        elif "attern" in stack:
            kinds["source (test pattern)"] += 1
        elif "_PyEval" in stack:
            kinds["Python alone (the command's loop)"] += 1
        else:
            kinds["other"] += 1
    return kinds


def codec_share(threads: dict[int, collections.Counter]) -> float:
    return sum(v for t in threads.values() for d, v in t.items() if d.startswith(CODEC_LIBS))


def outside_codec(counts: collections.Counter) -> float:
    return sum(v for d, v in counts.items() if not d.startswith(CODEC_LIBS))


def start_stream(rx_port: int, loss_percent: float, frames: int
                 ) -> tuple[subprocess.Popen, subprocess.Popen]:
    """The relay (10 ms each way, 5 ms jitter, seed 1) towards a receiver on `rx_port`, and the
    `send` command's 1280x720 30 fps test pattern at 2 Mbit/s into it, each in a process of its
    own; the relay's process and the sender's."""
    py = sys.executable
    listen = free_pair()
    relay = subprocess.Popen(
        [py, "-m", "talmiro_sdk_video", "relay", "--listen", f"{LOCAL}:{listen}", "--to",
         f"{LOCAL}:{rx_port}", "--loss", str(loss_percent / 100), "--delay-ms", "10",
         "--jitter-ms", "5", "--seed", "1", "--seconds", str(frames // 30 + 20)],
        stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    sender = subprocess.Popen(
        [py, "-m", "talmiro_sdk_video", "send", "--to", f"{LOCAL}:{listen}", "--bind", LOCAL,
         "--size", "1280x720", "--bitrate-kbps", "2000", "--frames", str(frames),
         "--no-progress", "--json"], stdout=subprocess.DEVNULL)
    return relay, sender


def stop_stream(relay: subprocess.Popen, sender: subprocess.Popen, frames: int) -> None:
    sender.wait(frames / 30 + 30)
    relay.kill()
    relay.wait()


def sample(sender_pid: int, seconds: float) -> tuple[dict[int, collections.Counter],
                                                     collections.Counter]:
    """This process and the sender flat, then the sender with call graphs."""
    with tempfile.TemporaryDirectory() as tmp:
        flat, calls = Path(tmp, "flat.data"), Path(tmp, "calls.data")
        perf(["-F", "1999", "-p", f"{os.getpid()},{sender_pid}"], flat, seconds)
        perf(["-F", "999", "-m", "4096", "--call-graph", "dwarf,16384", "-p", str(sender_pid)],
             calls, seconds)
        return by_thread_and_dso(flat), sender_stacks(calls, sender_pid)


def report(args: argparse.Namespace, shown: int, threads: dict[int, collections.Counter],
           stacks: collections.Counter, rx_tid: int, app_tid: int) -> None:
    codec = codec_share(threads)
    ours = {int(t) for t in os.listdir("/proc/self/task")} | {rx_tid, app_tid}
    sender_flat = sum(sum(c.values()) for t, c in threads.items() if t not in ours)
    receiving = outside_codec(threads.get(rx_tid, collections.Counter()))
    app = outside_codec(threads.get(app_tid, collections.Counter()))
    sampled = sum(stacks.values())
    sending = stacks["transport, sending"] + stacks["transport, RTCP thread"]
    # The sender's share of the first sampling, split as the second found it.
    sending_flat = sender_flat * sending / max(1, sampled)
    print(f"loss {args.loss:g} %, {args.frames} frames, {shown} shown; codec "
          f"{codec:.1f} % of the samples")
    print(f"receiver, its receiving thread outside the codec: {receiving:.2f} % of the samples, "
          f"{100 * receiving / codec:.1f} % of the codec's; the application's thread taking the "
          f"pictures: {100 * app / codec:.1f} %")
    print(f"sender, its transport: {100 * sending_flat / codec:.1f} % of the codec's; of its "
          f"{sampled} samples with call graphs: "
          + ", ".join(f"{k} {v}" for k, v in stacks.most_common()))
    print("receiving thread by library: " + ", ".join(
        f"{d} {v:.2f}" for d, v in threads.get(rx_tid, collections.Counter()).most_common(8)))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--loss", type=float, default=2.0, help="percent")
    ap.add_argument("--frames", type=int, default=900)
    ap.add_argument("--seconds", type=float, default=12.0, help="each of the two samplings")
    args = ap.parse_args()
    rx = RtpReceiver(0, bind=LOCAL, sender=LOCAL, max_delay_ms=50)
    relay, sender = start_stream(rx.address[1], args.loss, args.frames)
    shown = [0]
    done = threading.Event()

    def take() -> None:
        while not done.is_set():
            shown[0] += len(rx.receive(timeout=0.05))
    taker = threading.Thread(target=take, daemon=True)
    taker.start()
    try:
        time.sleep(4)  # the stream settles
        threads, stacks = sample(sender.pid, args.seconds)
    finally:
        done.set()
        stop_stream(relay, sender, args.frames)
        rx.close()
    report(args, shown[0], threads, stacks, rx._thread.native_id, taker.native_id)


if __name__ == "__main__":
    main()
