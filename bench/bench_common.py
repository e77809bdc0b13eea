"""What the Python benchmark processes share: the inputs as NumPy arrays, the timed-run harness
and the JSON they print.

A run opens its codec, warms it up on `warmup` inputs (untimed; the first output's position
and a CRC of the output bytes are taken here) and then times `frames` inputs in one loop, as
the C++ benchmarks do. Both the process CPU time and the wall time of the timed loop are kept.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import zlib
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "talmiro-media" / "testing"))
from au_records import read_au_records  # noqa: E402

SIZES = ((640, 480), (1280, 720), (1920, 1080))
FPS = 30
BITRATE_BPS = 2_000_000


def write_section(path: Path, section: str, begin: str, end: str) -> None:
    """Puts `section` (which starts with `begin` and ends with `end`) into `path` in place of
    the text between those markers, or at its end; the rest is left alone."""
    text = path.read_text() if path.exists() else ""
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        text = head + section + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


def size_name(size: tuple[int, int]) -> str:
    return f"{size[0]}x{size[1]}"


def i420_bytes(w: int, h: int) -> int:
    return w * h + 2 * (w - w // 2) * (h - h // 2)


def load_i420(inputs: Path, size: tuple[int, int]) -> list[np.ndarray]:
    """The I420 pictures, each a `(h*3/2, w)` uint8 array (a view into one buffer)."""
    w, h = size
    flat = np.fromfile(inputs / f"pictures_{size_name(size)}.i420", dtype=np.uint8)
    return list(flat.reshape(-1, h * 3 // 2, w))


# Memory the cold-picture loops cycle through: four times the last-level cache of these
# machines (32 MiB), so that every picture comes from memory, as from a camera.
COLD_BYTES = 128 << 20


def cold(pictures: list[np.ndarray]) -> list[np.ndarray]:
    """Whole copies of the pictures, in order, until they fill `COLD_BYTES`: the same
    sequence of pictures (and so the same stream), none of them still in a cache when its turn
    comes again."""
    total = sum(p.nbytes for p in pictures)
    copies = max(1, -(-COLD_BYTES // total))
    return [p.copy() for _ in range(copies) for p in pictures]


def load_rgb24(inputs: Path, size: tuple[int, int]) -> list[np.ndarray]:
    """The same pictures as RGB24, each a `(h, w, 3)` uint8 array."""
    w, h = size
    flat = np.fromfile(inputs / f"pictures_{size_name(size)}.rgb24", dtype=np.uint8)
    return list(flat.reshape(-1, h, w, 3))


def load_stream(inputs: Path, size: tuple[int, int]) -> list[tuple[bytes, bool, bool, bool]]:
    """The access units our encoder made of the pictures: (data, key, config, recovery)."""
    units = read_au_records(inputs / f"stream_{size_name(size)}.au")
    return [(data, key, config, recovery) for data, _, key, config, recovery in units]


@dataclass
class Tally:
    """What came out of a pass: outputs, their bytes, the input index of the first output
    (frames of delay) and the CRC-32 of the output bytes (zlib's, as the C++ side computes)."""

    outputs: int = 0
    bytes: int = 0
    delay: int = -1
    crc: int = 0

    def out(self, index: int, data: bytes | None = None, hash_bytes: bool = False) -> None:
        if self.delay < 0:
            self.delay = index
        self.outputs += 1
        if data is not None:
            self.bytes += len(data)
            if hash_bytes:
                self.crc = zlib.crc32(data, self.crc)


@dataclass
class Figure:
    cpu_us: float
    wall_us: float
    delay: int
    warmup_crc: int
    outputs: int
    bytes_per_output: float
    extra: dict = field(default_factory=dict)


class Clock:
    """The two clocks of a timed loop."""

    def __enter__(self) -> "Clock":
        self.cpu0 = time.process_time_ns()
        self.wall0 = time.perf_counter_ns()
        return self

    def __exit__(self, *exc: object) -> None:
        self.wall = time.perf_counter_ns() - self.wall0
        self.cpu = time.process_time_ns() - self.cpu0


def figure(clock: Clock, frames: int, warm: Tally, timed: Tally) -> Figure:
    return Figure(
        cpu_us=clock.cpu / 1000 / frames,
        wall_us=clock.wall / 1000 / frames,
        delay=warm.delay,
        warmup_crc=warm.crc,
        outputs=timed.outputs,
        bytes_per_output=timed.bytes / timed.outputs if timed.outputs else 0.0,
    )


def arguments(description: str, info: bool = False) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("mode", choices=("codec", "scale", "info") if info else ("codec", "scale"))
    p.add_argument("--inputs", type=Path, default=Path("bench/out/inputs"))
    p.add_argument("--warmup", type=int, default=30)
    p.add_argument("--frames", type=int, default=90)
    p.add_argument("--sizes", default="all", help="comma-separated WxH list, or all")
    p.add_argument("--threads", default="1,2", help="thread counts of the scale mode")
    p.add_argument("--decode-frames", type=int, default=0,
                   help="access units per decoder thread in the scale mode (default 8 x --frames: "
                        "a decode costs about an eighth of an encode)")
    p.add_argument("--rows", default="", help="comma-separated row names to run (default all)")
    return p.parse_args()


def chosen_sizes(text: str) -> list[tuple[int, int]]:
    if text == "all":
        return list(SIZES)
    return [tuple(int(v) for v in s.split("x")) for s in text.split(",")]  # type: ignore[misc]


Runner = Callable[[tuple[int, int]], Figure]


def run_codec_rows(rows: dict[str, Runner], sizes: list[tuple[int, int]], only: str = "") -> None:
    """Runs every row (or those named in `only`) at every size and prints {"name/WxH": figure}
    as JSON."""
    out: dict[str, dict] = {}
    chosen = set(only.split(",")) if only else set(rows)
    for size in sizes:
        for name, run in rows.items():
            if name not in chosen:
                continue
            try:
                out[f"{name}/{size_name(size)}"] = asdict(run(size))
            except Unavailable as e:
                out[f"{name}/{size_name(size)}"] = {"unavailable": str(e)}
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")


def run_scale_mode(args: argparse.Namespace, sizes: list[tuple[int, int]], prefix: str,
                   encode_worker: Callable[..., Worker], decode_worker: Callable[..., Worker]) -> None:
    """The scale mode of a contender: `prefix`_encode workers (over the input pictures) and
    `prefix`_decode workers (over the stream, eight times as many frames unless told) on 1..N
    threads at each size."""
    pictures = {s: load_i420(args.inputs, s) for s in sizes}
    units = {s: load_stream(args.inputs, s) for s in sizes}
    decode_frames = args.decode_frames or 8 * args.frames
    run_scale_rows(
        {
            f"{prefix}_encode": (lambda s: encode_worker(pictures[s], s, args.warmup, args.frames),
                                 args.frames),
            f"{prefix}_decode": (lambda s: decode_worker(units[s], args.warmup, decode_frames),
                                 decode_frames),
        },
        sizes,
        [int(n) for n in args.threads.split(",")],
    )


class Unavailable(Exception):
    """A row that cannot run with the installed packages (the reason is reported)."""


class Worker:
    """One thread's share of a scaling run: its own codec, warmed up on inputs 0..`warmup` before
    the clock starts, then timed on the next `frames` inputs."""

    warmup: int
    frames: int

    def run(self, begin: int, end: int) -> None:
        raise NotImplementedError

    def warm(self) -> None:
        self.run(0, self.warmup)

    def timed(self) -> None:
        self.run(self.warmup, self.warmup + self.frames)


def threads_fps(workers: list[Worker], frames: int) -> dict[str, float]:
    """Frames per second of all workers together, each on its own thread, timed from the moment
    all are warmed up until the last one is done; and the process CPU time over that wall time
    (the parallelism reached: at most the thread count)."""
    import threading

    n = len(workers)
    barrier = threading.Barrier(n + 1)

    def body(worker: Worker) -> None:
        worker.warm()
        barrier.wait()
        worker.timed()
        barrier.wait()

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    barrier.wait()
    t0, c0 = time.perf_counter_ns(), time.process_time_ns()
    barrier.wait()
    t1, c1 = time.perf_counter_ns(), time.process_time_ns()
    for t in threads:
        t.join()
    return {"fps": n * frames / ((t1 - t0) / 1e9), "parallel": (c1 - c0) / (t1 - t0)}


def run_scale_rows(
    rows: dict[str, tuple[Callable[[tuple[int, int]], Worker], int]],
    sizes: list[tuple[int, int]],
    counts: list[int],
) -> None:
    """For each row (a worker factory and the frames each worker times), size and thread count
    N: N workers on N threads; prints {"name/WxH/N": {"fps": ..., "parallel": ...}} as JSON."""
    out: dict[str, object] = {}
    for size in sizes:
        for name, (make, frames) in rows.items():
            for n in counts:
                key = f"{name}/{size_name(size)}/{n}"
                try:
                    out[key] = threads_fps([make(size) for _ in range(n)], frames)
                except Unavailable as e:
                    out[key] = {"unavailable": str(e)}
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")


def main(description: str, prefix: str, rows: Callable[[Path, int, int], dict[str, Runner]],
         encode_worker: Callable[..., Worker], decode_worker: Callable[..., Worker],
         info: Callable[[], dict] | None = None) -> None:
    """A contender's command line: `codec` runs the rows that `rows(inputs, warmup, frames)`
    names, `scale` the `prefix`_encode and `prefix`_decode workers, `info` (where the contender
    has one) prints what `info()` gives as JSON."""
    args = arguments(description, info is not None)
    sizes = chosen_sizes(args.sizes)
    if args.mode == "info" and info is not None:
        print(json.dumps(info()))
    elif args.mode == "codec":
        run_codec_rows(rows(args.inputs, args.warmup, args.frames), sizes, args.rows)
    else:
        run_scale_mode(args, sizes, prefix, encode_worker, decode_worker)
