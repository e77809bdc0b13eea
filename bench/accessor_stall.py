"""How much a short accessor called during a long codec call stalls the rest of the interpreter.

    .venv/bin/python bench/accessor_stall.py [--seconds 2] [--kind decoder|encoder]

One thread runs long calls back to back (decoding a 1920x1088 IDR picture of noise, about
35 ms, or encoding such a picture), a ticker thread sleeps 1 ms at a time and records how long
each tick really took, and, in the second run, a third thread polls `stats()` all the while.
An accessor that waited for the object's mutex with the interpreter lock held would stop the
ticker for the whole of each long call. Prints the ticker's median and 99th percentile and its
tick count, without and with the poller.
"""

from __future__ import annotations

import argparse
import statistics
import threading
import time

import numpy as np

import talmiro_sdk_video as tv

WIDTH, HEIGHT = 1920, 1088
TICK_S = 0.001


def noise_picture(seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return rng.integers(0, 256, WIDTH * HEIGHT * 3 // 2, dtype=np.uint8)


def long_call(kind: str):
    """The object and a callable that runs one long call on it."""
    enc = tv.H264Encoder(WIDTH, HEIGHT, backend="x264", intra_refresh=False, keyframe_interval=1,
                         bitrate_kbps=400_000)
    picture = noise_picture()
    if kind == "encoder":
        return enc, lambda: enc.encode(picture, 0, True)
    (data, t_us, key, config, recovery, _), = enc.encode(picture, 0, True)
    enc.close()
    dec = tv.H264Decoder()
    return dec, lambda: dec.decode(data, t_us, key, config, recovery)


def run(kind: str, seconds: float, poll: bool) -> dict:
    obj, call = long_call(kind)
    stop = threading.Event()
    calls, polls, ticks = [], [0], []

    def worker():
        while not stop.is_set():
            start = time.perf_counter()
            call()
            calls.append(time.perf_counter() - start)

    def poller():
        while not stop.is_set():
            obj.stats()
            polls[0] += 1

    def ticker():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(TICK_S)
            now = time.perf_counter()
            ticks.append(now - last)
            last = now

    threads = [threading.Thread(target=f) for f in (worker, ticker) + ((poller,) if poll else ())]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    quantiles = statistics.quantiles(ticks, n=100)
    return {"ticks": len(ticks), "p50_ms": 1e3 * statistics.median(ticks),
            "p99_ms": 1e3 * quantiles[98], "calls": len(calls),
            "call_ms": 1e3 * statistics.median(calls), "polls": polls[0]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--kind", choices=("decoder", "encoder"), default="decoder")
    args = parser.parse_args()
    print(f"{args.kind}, {WIDTH}x{HEIGHT}, {args.seconds:g} s per run")
    print(f"{'poller':>8} {'ticks':>6} {'p50 ms':>7} {'p99 ms':>7} {'calls':>6} {'call ms':>8} "
          f"{'polls':>7}")
    for poll in (False, True):
        r = run(args.kind, args.seconds, poll)
        print(f"{'yes' if poll else 'no':>8} {r['ticks']:>6} {r['p50_ms']:>7.2f} "
              f"{r['p99_ms']:>7.2f} {r['calls']:>6} {r['call_ms']:>8.1f} {r['polls']:>7}")


if __name__ == "__main__":
    main()
