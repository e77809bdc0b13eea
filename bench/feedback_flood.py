"""bench/feedback_flood: what a feedback flood from another port of the receiver's host costs.

    .venv/bin/python bench/feedback_flood.py [--seconds 10] [--size 640x480] [--json]

Runs `send` and `receive` as processes on 127.0.0.1, three times: without a flood, with 20
NACK datagrams a second of 64 kB (every sequence number named) and with 200 PLIs a second,
both from a socket of their own on the receiver's host. Prints per run the sender's CPU
seconds (its rusage), the receiver's p99 latency, the resends and IDR pictures, and the goals:
CPU within 2x and p99 within 10 ms of the run without a flood; IDR pictures at most one per
300 ms (plus the first).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import socket
import struct
import subprocess
import sys
import threading
import time

from talmiro_sdk_video import _rtp
from talmiro_sdk_video._net import free_pair

LOCAL = "127.0.0.1"
SEED = 7
MAX_UDP = 65507


def flood_nack(ssrc: int, first_seq: int) -> bytes:
    """One 64 kB generic NACK whose PID/BLP pairs name every sequence number, those the
    sender has sent first (its first pairs cover the stream's first 4,000 or so)."""
    n = (MAX_UDP - 12) // 4
    fci = b"".join(struct.pack("!HH", (first_seq - 64 + i * 65536 // n) & 0xFFFF, 0xFFFF)
                   for i in range(n))
    return struct.pack("!BBHII", 0x81, 205, 2 + n, 1, ssrc) + fci


def run(seconds: float, size: str, flood: str | None) -> dict:
    port = free_pair()
    py = sys.executable
    common = ["--json", "--no-progress"]
    rx = subprocess.Popen([py, "-m", "talmiro_sdk_video", "receive", "--port", str(port),
                           "--bind", LOCAL, "--seconds", str(seconds + 4), *common],
                          stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)
    tx_port = free_pair()
    tx = subprocess.Popen([py, "-m", "talmiro_sdk_video", "send", "--to", f"{LOCAL}:{port}",
                           "--bind", LOCAL, "--port", str(tx_port), "--size", size,
                           "--frames", str(int(seconds * 30)), "--stream-seed", str(SEED),
                           *common], stdout=subprocess.PIPE, text=True)
    out: list[str] = []
    reader = threading.Thread(target=lambda: out.append(tx.stdout.read()))  # type: ignore
    reader.start()
    rng = random.Random(f"talmiro-stream/{SEED}")  # as `send --stream-seed` draws them
    ssrc, first_seq = rng.getrandbits(32), rng.getrandbits(16)
    datagram, rate = {"nack": (flood_nack(ssrc, first_seq), 20),
                      "pli": (_rtp.rtcp_pli(1, ssrc), 200), None: (b"", 0)}[flood]
    sent = 0
    done = None  # the sender's (pid, status, rusage) once it ended
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((LOCAL, 0))
        start = time.monotonic()
        while rate and done is None:
            wait = start + 1.0 + sent / rate - time.monotonic()  # from 1 s in
            if wait > 0:
                time.sleep(wait)
            try:
                s.sendto(datagram, (LOCAL, tx_port + 1))
                sent += 1
            except OSError:
                pass
            pid, status, usage = os.wait4(tx.pid, os.WNOHANG)
            done = (status, usage) if pid else None
    if done is None:
        _, status, usage = os.wait4(tx.pid, 0)
    else:
        status, usage = done
    tx.returncode = os.waitstatus_to_exitcode(status)
    reader.join()
    rx_out, _ = rx.communicate(timeout=seconds + 30)
    t = json.loads(out[0].strip().splitlines()[-1])
    r = json.loads(rx_out.strip().splitlines()[-1])
    return {"flood": flood or "none", "datagrams": sent,
            "sender_cpu_s": round(usage.ru_utime + usage.ru_stime, 2),
            "receiver_p99_ms": r["latency_p99_us"] / 1000, "pictures": r["pictures"],
            "packets_duplicated": r["packets_duplicated"], "seconds": t["seconds"],
            **{k: t.get(k) for k in ("packets", "packets_resent", "nacks_received",
                                     "nack_over_budget", "resend_limited",
                                     "resend_over_budget", "plis_received", "idr_pictures",
                                     "idr_from_feedback", "idr_requests_coalesced")}}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--size", default="640x480")
    ap.add_argument("--json", action="store_true")
    a = ap.parse_args()
    rows = [run(a.seconds, a.size, f) for f in (None, "nack", "pli")]
    base, nack, pli = rows
    goals = {
        "cpu_within_2x": nack["sender_cpu_s"] <= 2 * base["sender_cpu_s"],
        "p99_within_10ms": nack["receiver_p99_ms"] <= base["receiver_p99_ms"] + 10,
        "idr_per_300ms": pli["idr_pictures"] <= pli["seconds"] / 0.3 + 1,
    }
    if a.json:
        print(json.dumps({"runs": rows, "goals": goals}))
        return
    for row in rows:
        print(" ".join(f"{k}={v}" for k, v in row.items()))
    print("goals:", " ".join(f"{k}={'met' if v else 'NOT met'}" for k, v in goals.items()))


if __name__ == "__main__":
    main()
