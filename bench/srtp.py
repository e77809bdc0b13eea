"""bench/srtp: what SRTP costs the link, in CPU beside the codec's and in latency beside plain
RTP, both measured within one run.

    .venv/bin/python bench/srtp.py [--frames 300] [--runs 3] [--no-perf] [--no-write]

A sender and a receiver in this process, over loopback, stream the 1280x720 30 fps test pattern
at 2 Mbit/s (`--suite`, AES_CM_128_HMAC_SHA1_80 by default, both ways when protected). Runs alternate plain, protected
and attacked (protected, while a thread sends `--forged` datagrams to the receiver's ports and as
many to the sender's feedback port, evenly over the run: the sender's SSRC with another key's
tag, plain, truncated, random bytes; and PLIs and NACKs plain or under another key), so that the
machine's load falls on all alike; each reports the receiver's capture-to-picture p50/p99 and
what was refused. One protected run is sampled with `perf record` (this process, 1999 Hz): the
samples in libsrtp2 and the NSS libraries it calls against those in libx264, libavcodec and
libavutil. Writes its table into bench/RESULTS.md between its own markers.
"""

from __future__ import annotations

import argparse
import collections
import os
import random
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import talmiro_sdk_video._codec as codec
import talmiro_sdk_video._rtp as rtp
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.sender import RtpSender
from talmiro_sdk_video.srtp import SrtpKey

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_common import write_section  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BEGIN, END = "<!-- bench/srtp.py: begin -->", "<!-- bench/srtp.py: end -->"
LOCAL = "127.0.0.1"
W, H, FPS = 1280, 720, 30
CRYPTO = ("libsrtp2", "libnss3", "libsoftokn3", "libfreebl", "libnspr4", "libnssutil3")
CODEC = ("libx264", "libavcodec", "libavutil")


def forgeries(ssrc: int, n: int, rng: random.Random) -> tuple[list[bytes], list[bytes]]:
    """`n` datagrams for the receiver's RTP port and `n` for the sender's feedback port."""
    other = SrtpKey.generate()
    a, b = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
    with a, b:
        for s in (a, b):
            s.bind((LOCAL, 0))
        media, control = rtp.DatagramTransport(a), rtp.DatagramTransport(a)
        media.set_srtp(False, other.suite, other.key_salt)
        control_key = SrtpKey.generate()
        control.set_srtp(True, control_key.suite, control_key.key_salt)
        b.settimeout(1)

        def sealed(t: rtp.DatagramTransport, d: bytes) -> bytes:
            t.send(d, b.getsockname())
            return b.recv(2048)

        def header(seq: int) -> bytes:
            return bytes([0x80, 96, seq >> 8 & 255, seq & 255, 0, 0, 0, 0]) + ssrc.to_bytes(4, "big")
        to_rx, to_tx = [], []
        for i in range(n):
            # The sequence numbers climb: a context protects nothing that goes back.
            body = header(i & 0xFFFF) + os.urandom(rng.randrange(20, 1200))
            kind = i % 4
            to_rx.append(sealed(media, body) if kind == 0 else body if kind == 1 else
                         sealed(media, body)[:-3] if kind == 2 else os.urandom(len(body)))
            fb = rtp.rtcp_pli(rng.getrandbits(32), ssrc) if i % 2 else \
                rtp.rtcp_nack(rng.getrandbits(32), ssrc, [rng.randrange(65536)])
            to_tx.append(sealed(control, fb) if kind < 2 else fb)
        return to_rx, to_tx


def attack(rx_port: int, tx_rtcp: tuple, ssrc: int, n: int, seconds: float,
           stop: threading.Event) -> None:
    """Sends the forgeries evenly over `seconds`."""
    to_rx, to_tx = forgeries(ssrc, n, random.Random(7))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        start = time.monotonic()
        for i in range(n):
            if stop.is_set():
                return
            time.sleep(max(0.0, start + i * seconds / n - time.monotonic()))
            s.sendto(to_rx[i], (LOCAL, rx_port))
            s.sendto(to_tx[i], tx_rtcp)


def stream(frames: int, key: SrtpKey | None, sampled: Path | None, forged: int = 0) -> dict:
    """One run; the receiver's stats, with the sender's under "sender" (and the profile written
    to `sampled` when given)."""
    enc = codec.H264Encoder(W, H, fps=FPS, bitrate_kbps=2000, backend="x264")
    pattern = codec.TestPattern(W, H, FPS)
    shown = []
    with RtpReceiver(0, bind=LOCAL, srtp=key) as rx, \
            RtpSender([(LOCAL, rx.address[1])], bind=LOCAL, srtp=key, encoder=enc) as tx:
        stop = threading.Event()

        def take() -> None:
            while not stop.is_set():
                shown.extend(rx.receive(timeout=0.1))

        workers = [threading.Thread(target=take)]
        if forged:
            workers.append(threading.Thread(target=attack, args=(
                rx.address[1], tx.rtcp_address, tx.ssrc, forged, (frames - FPS) / FPS, stop)))
        for w in workers:
            w.start()
        perf = None
        start = time.time()
        for n in range(frames):
            if sampled is not None and n == FPS:  # once the stream runs
                perf = subprocess.Popen(["perf", "record", "-q", "-F", "1999", "-o", str(sampled),
                                         "-p", str(os.getpid()), "--", "sleep",
                                         str((frames - 2 * FPS) / FPS)])
            time.sleep(max(0.0, start + n / FPS - time.time()))
            stamp = int((start + n / FPS) * 1e6)
            for unit in enc.encode(pattern.frame(n, stamp), stamp):
                tx.send_unit(unit)
        time.sleep(0.3)
        stop.set()
        for w in workers:
            w.join()
        if perf is not None:
            perf.wait()
        s = rx.stats()
        s["sender"] = tx.stats()
    enc.close()
    s["shown"] = len(shown)
    return s


def shares(data: Path) -> tuple[float, float, int]:
    """Percent of samples in the crypto libraries and in the codec's, and the sample count."""
    text = subprocess.run(["perf", "report", "-i", str(data), "--sort", "dso", "--stdio"],
                          capture_output=True, text=True, check=True).stdout
    by = collections.Counter()
    for line in text.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)", line)
        if m:
            by[m.group(2)] += float(m.group(1))
    pick = lambda names: sum(v for k, v in by.items() if any(k.startswith(n) for n in names))
    samples = re.search(r"# Samples: (\d+)(K?)", text)
    count = int(samples.group(1)) * (1000 if samples.group(2) else 1) if samples else 0
    return pick(CRYPTO), pick(CODEC), count


def table(rows: dict[str, list[dict]], frames: int, forged: int) -> list[str]:
    out = ["| run | shown / sent | p50 ms (median of runs) | p99 ms (median of runs) | "
           "refused by the receiver | refused by the sender | PLIs / NACKs acted on |",
           "|---|---|---|---|---|---|---|"]
    for mode, runs in rows.items():
        med = lambda k: statistics.median(r[k] for r in runs) / 1000
        refused = sum(r["auth_failures"] + r["replays"] + r["unprotect_errors"] for r in runs)
        fb = sum(r["sender"]["feedback_auth_failures"] for r in runs)
        acted = (sum(r["sender"]["plis_received"] for r in runs),
                 sum(r["sender"]["nacks_received"] for r in runs))
        out.append(f"| {mode} | {min(r['shown'] for r in runs)}–{max(r['shown'] for r in runs)} "
                   f"/ {frames} | {med('latency_p50_us'):.2f} | {med('latency_p99_us'):.2f} | "
                   f"{refused / len(runs):.0f} a run | {fb / len(runs):.0f} a run | "
                   f"{acted[0]} / {acted[1]} |")
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--forged", type=int, default=10_000)
    ap.add_argument("--no-perf", action="store_true")
    ap.add_argument("--no-write", action="store_true")
    ap.add_argument("--suite", default="AES_CM_128_HMAC_SHA1_80")
    ap.add_argument("--also-sample", default="AEAD_AES_128_GCM",
                    help="suites sampled in one protected run each besides --suite (comma-separated)")
    args = ap.parse_args()
    key = SrtpKey.generate(args.suite)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    rows: dict[str, list[dict]] = {"plain": [], "srtp": [], "srtp, attacked": []}
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp, "srtp.data")
        for run in range(args.runs):
            for mode in rows:
                sampled = data if mode == "srtp" and run == 0 and not args.no_perf else None
                rows[mode].append(stream(args.frames, None if mode == "plain" else key, sampled,
                                         args.forged if mode == "srtp, attacked" else 0))
        profiles = {args.suite: shares(data)} if data.exists() else {}
        for suite in filter(None, args.also_sample.split(",") if not args.no_perf else []):
            data.unlink(missing_ok=True)
            stream(args.frames, SrtpKey.generate(suite), data)
            profiles[suite] = shares(data)
    lines = table(rows, args.frames, args.forged)
    p99 = {m: statistics.median(r["latency_p99_us"] for r in runs) / 1000
           for m, runs in rows.items()}
    p50 = {m: statistics.median(r["latency_p50_us"] for r in runs) / 1000
           for m, runs in rows.items()}
    lines += ["", f"SRTP less plain, medians of {args.runs} runs: p50 "
              f"{p50['srtp'] - p50['plain']:+.2f} ms, p99 {p99['srtp'] - p99['plain']:+.2f} ms; "
              f"attacked less unattacked p99 {p99['srtp, attacked'] - p99['srtp']:+.2f} ms."]
    for suite, (crypto, codec_share, samples) in profiles.items():
        lines.append(f"Sampled, {suite} ({samples} samples of a protected run): SRTP (libsrtp2 "
                     f"and NSS) {crypto:.2f} % of the process, the codec {codec_share:.2f} %: "
                     f"protect + unprotect = {100 * crypto / codec_share:.2f} % of the codec.")
    print("\n".join(lines))
    if not args.no_write:
        head = [BEGIN, "", "## SRTP: its cost beside plain RTP, and under attack (bench/srtp.py)",
                "", f"- 1280x720 30 fps test pattern, 2000 kbit/s, {args.frames} frames, "
                f"sender and receiver in one process over loopback, {args.suite}; "
                f"attacked: {args.forged} forged datagrams to the receiver and {args.forged} to "
                f"the sender's feedback port over the run",
                f"- Load average before: {load}; command: `.venv/bin/python bench/srtp.py "
                f"--runs {args.runs} --suite {args.suite}`", ""]
        write_section(ROOT / "bench" / "RESULTS.md", "\n".join(head + lines + ["", END]) + "\n",
                      BEGIN, END)


if __name__ == "__main__":
    main()
