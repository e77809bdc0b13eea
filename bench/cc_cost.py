"""bench/cc_cost: what congestion control costs in CPU beside the codec's, within one run.

    .venv/bin/python bench/cc_cost.py [--frames 300] [--runs 2] [--no-write]

A sender and a receiver in this process, over loopback, stream the 1280x720 30 fps test pattern
at 2 Mbit/s in real time, runs alternating with congestion control and without it, so that the
machine's load falls on both alike. Each thread's CPU time comes from its own CPU clock: the
codec's is the encode calls' (this thread) and the decoder's own count; congestion control's is
the sender's pacing thread and what the sender's feedback thread and the receiving thread spend
beyond the same threads in the runs without it. Writes its table into bench/RESULTS.md between
its own markers.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import threading
import time
from pathlib import Path

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.sender import RtpSender

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_common import write_section  # noqa: E402

W, H, FPS, KBPS = 1280, 720, 30, 2000
BEGIN, END = "<!-- cc_cost:begin -->", "<!-- cc_cost:end -->"


def _cpu_s(thread: threading.Thread | None) -> float:
    if thread is None or thread.ident is None or not thread.is_alive():
        return 0.0
    return time.clock_gettime(time.pthread_getcpuclockid(thread.ident))


def run(frames: int, cc: bool) -> dict:
    """One real-time run; CPU seconds per part."""
    enc = codec.H264Encoder(W, H, fps=FPS, bitrate_kbps=KBPS, backend="x264")
    pattern = codec.TestPattern(W, H, FPS)
    encode_s = send_s = 0.0
    with RtpReceiver(0, bind="127.0.0.1") as rx, \
            RtpSender([("127.0.0.1", rx.address[1])], bind="127.0.0.1", encoder=enc,
                      congestion_control=cc) as tx:
        start = time.monotonic()
        for n in range(frames):
            picture = pattern.frame(n, int(time.time() * 1e6))
            t0 = time.thread_time()
            units = enc.encode(picture, int(time.time() * 1e6))
            encode_s += time.thread_time() - t0
            t0 = time.thread_time()
            for unit in units:
                tx.send_unit(unit)
            send_s += time.thread_time() - t0
            rx.receive(timeout=0)
            time.sleep(max(0.0, start + (n + 1) / FPS - time.monotonic()))
        time.sleep(0.3)
        parts = {"pacer": _cpu_s(tx._pacer), "feedback": _cpu_s(tx._thread),
                 "receiver": _cpu_s(rx._thread)}
        decode_s = rx.decoder.stats()["cpu_us"] / 1e6
        shown = rx.stats()["pictures"]
    enc.close()
    return {**parts, "send": send_s, "codec": encode_s + decode_s, "decode": decode_s,
            "shown": shown}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--runs", type=int, default=2)
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    runs: dict[bool, list[dict]] = {True: [], False: []}
    for _ in range(args.runs):
        for cc in (True, False):
            runs[cc].append(run(args.frames, cc))
    mean = {cc: {k: statistics.fmean(r[k] for r in rs) for k in rs[0]} for cc, rs in runs.items()}
    on, off = mean[True], mean[False]
    # Without the pacer the packets leave from send_unit: that part is not congestion control's.
    extra = on["pacer"] + on["send"] - off["send"] + (on["feedback"] - off["feedback"]) + \
        (on["receiver"] - on["decode"] - (off["receiver"] - off["decode"]))
    share = 100 * extra / on["codec"]
    lines = [BEGIN, "### Congestion control's CPU (bench/cc_cost.py)", "",
             f"1280x720 test pattern, {args.frames} pictures in real time, {args.runs} runs each "
             "way, alternating, one process over loopback.", "",
             "| | codec (encode + decode) | send_unit | pacing thread | sender's feedback thread | "
             "receiving thread beside its decoder |", "|---|---|---|---|---|---|"]
    for cc, m in ((True, on), (False, off)):
        lines.append(f"| {'with' if cc else 'without'} congestion control | {m['codec']:.3f} s | "
                     f"{m['send']:.3f} s | {m['pacer']:.3f} s | {m['feedback']:.3f} s | "
                     f"{m['receiver'] - m['decode']:.3f} s |")
    lines += ["", f"Congestion control's share: {share:.2f} % of the codec's CPU (the pacing "
              "thread and send_unit, the feedback and the receiving threads, beyond the same "
              "without it; runs on a shared machine, so a few tenths of a percent are noise).",
              END]
    print("\n".join(lines))
    if not args.no_write:
        write_section(Path(__file__).resolve().parent / "RESULTS.md", "\n".join(lines) + "\n",
                      BEGIN, END)
    return 0


if __name__ == "__main__":
    sys.exit(main())
