"""Runs every benchmark, prints the tables and writes them as Markdown (bench/RESULTS.md).

    python bench/run.py [--quick] [--build DIR] [--pyav-python PATH] [--out FILE]

Started by bench/run.sh, which builds and installs what this needs. The codec figures come from
rounds: each round runs every contender once at each size (the bare loop, the bare loop on
PyAV's libraries, the media core, the module, PyAV), in an order that rotates from round to round, so that a
change in the machine's load falls on all of them alike. A figure is the median over the
rounds; a ratio is taken within each round and its median reported.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SIZES = ("640x480", "1280x720", "1920x1080")
GOAL_SIZES = ("640x480", "1280x720")
MICRO_FILTER = "^(fill|image_from_frame|image_from_frame_shared|memcpy|annexb|sync|psnr|pattern|rtp)/"

# The codec's own work per frame and a plain I420 frame copy, as measured on these machines
# with FFmpeg 8.1.2 and the link's settings: the reference the figures are read against.
REFERENCE_US = {
    "640x480": {"encode": 800, "decode": 110, "copy": 20},
    "1280x720": {"encode": 2350, "decode": 300, "copy": 96},
}


@dataclass
class Settings:
    rounds: int
    warmup: int
    # Pictures timed per run at each size: a third of a second or so of work each.
    frames: dict[str, int]
    micro_repetitions: int
    micro_min_time: float
    scale_rounds: int
    # Pictures each encoder thread times, by size (decoders take eight times as many).
    scale_frames: dict[str, int]
    profile: bool


FULL = Settings(5, 30, {"640x480": 300, "1280x720": 120, "1920x1080": 50}, 5, 0.1, 3,
                {"640x480": 400, "1280x720": 150}, True)
QUICK = Settings(2, 15, {"640x480": 100, "1280x720": 40, "1920x1080": 20}, 3, 0.05, 1,
                 {"640x480": 150}, False)

# Pictures (access units) each sampled run goes through: about two seconds of work.
PROFILE_FRAMES = {"640x480": (2500, 16000), "1280x720": (800, 6000)}
# The codec's own libraries, whoever bundles them.
CODEC_LIBS = ("libx264", "libavcodec", "libavutil")
# The rows of each kind that the sampled profiles compare, and their bare loops.
PROFILE_KINDS = {
    "encode": {"bare": "bare_encode", "core": "core_encode_i420", "py": "py_encode_i420",
               "pyav": "pyav_encode_i420_buffer", "barepyav": "barepyav_encode"},
    "decode": {"bare": "bare_decode", "core": "core_decode", "py": "py_decode",
               "pyav": "pyav_decode_views", "barepyav": "barepyav_decode"},
    "loop": {"bare": "bare_loop", "core": "core_loop", "py": "py_loop",
             "pyav": "pyav_loop_buffer", "barepyav": "barepyav_loop"},
    "loop_cold": {"bare": "bare_loop_cold", "py": "py_loop_cold",
                  "pyav": "pyav_loop_buffer_cold", "barepyav": "barepyav_loop_cold"},
}


def log(text: str) -> None:
    print(f"bench: {text}", file=sys.stderr, flush=True)


# NumPy's BLAS starts worker threads that spin for a while after start-up; nothing here uses
# BLAS, and their spinning would count in the process CPU time and take a core from the
# scaling runs.
ENV = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")


def run(cmd: list[str]) -> str:
    proc = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, env=ENV)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"bench: {' '.join(cmd)} failed with {proc.returncode}")
    return proc.stdout


# ---- the contenders ----


def gbench(binary: Path, flt: str, extra: list[str]) -> dict[str, dict]:
    """A Google Benchmark binary's results by name ("bare_encode/640x480"), times in µs."""
    out = run([str(binary), f"--benchmark_filter={flt}", "--benchmark_format=json", *extra])
    results: dict[str, dict] = {}
    if not out.strip():
        raise SystemExit(f"bench: {binary.name} ran no benchmark matching {flt}")
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = re.sub(r"/(iterations:\d+|real_time|repeats:\d+)", "", b["run_name"])
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        results[name] = {
            "cpu_us": b["cpu_time"] * scale,
            "wall_us": b["real_time"] * scale,
            "delay": b.get("delay"),
            "warmup_crc": int(b["warmup_crc"]) if "warmup_crc" in b else None,
            "outputs": b.get("outputs"),
            "bytes_per_output": b.get("bytes_per_output"),
            "bytes_per_second": b.get("bytes_per_second"),
            "input_kept": b.get("input_kept"),
            "items_per_second": b.get("items_per_second"),
            "us_per_unit": None if b.get("seconds_per_unit") is None else b["seconds_per_unit"] * 1e6,
            "packets_per_unit": b.get("packets_per_unit"),
        }
    return results


def python_rows(python: str, script: str, mode: str, args: list[str]) -> dict:
    return json.loads(run([python, str(ROOT / "bench" / script), mode, *args]).splitlines()[-1])


class Contenders:
    """The contenders of one round at one size, as (name, run) pairs."""

    def __init__(self, a: argparse.Namespace, s: Settings) -> None:
        self.a, self.s = a, s
        self.bare_pyav = a.build / "bare_bench_pyav"

    def at(self, size: str) -> list:
        a, s = self.a, self.s
        frames = s.frames[size]
        common = [f"--inputs={a.inputs}", f"--warmup={s.warmup}", f"--frames={frames}"]
        py = ["--inputs", str(a.inputs), "--warmup", str(s.warmup), "--frames", str(frames),
              "--sizes", size]
        runs = [
            ("bare", lambda: gbench(a.build / "bare_bench", f"^bare_.*/{size}/", common)),
            ("core", lambda: gbench(a.build / "core_bench", f"^core_.*/{size}/", common)),
            ("module", lambda: python_rows(a.module_python, "bench_module.py", "codec", py)),
            ("pyav", lambda: python_rows(a.pyav_python, "bench_pyav.py", "codec", py)),
        ]
        if self.bare_pyav.exists():
            runs.append(("bare_pyav", lambda: {
                k.replace("bare_", "barepyav_"): v
                for k, v in gbench(self.bare_pyav, f"^bare_.*/{size}/", common).items()}))
        return runs


# ---- sampled profiles ----


def codec_share(cmd: list[str], delay_ms: int = 800) -> float | None:
    """The share of the CPU samples of `cmd` that fall into the codec's own libraries, once its
    start-up and warm-up are over (perf's start delay)."""
    data = ROOT / "bench" / "out" / "profile.data"
    rec = subprocess.run(["perf", "record", "-q", "-D", str(delay_ms), "-o", str(data), "--", *cmd],
                         cwd=ROOT, capture_output=True, text=True, env=ENV)
    if rec.returncode != 0:
        return None
    rep = subprocess.run(["perf", "report", "-i", str(data), "--no-children", "--sort", "dso",
                          "--stdio"], cwd=ROOT, capture_output=True, text=True)
    data.unlink(missing_ok=True)
    share = 0.0
    for line in rep.stdout.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)", line)
        if m and m.group(2).startswith(CODEC_LIBS):
            share += float(m.group(1))
    return share / 100 if share else None


def row_command(a: argparse.Namespace, row: str, size: str, warmup: int, frames: int) -> list[str]:
    """The command that runs one row on its own at one size."""
    gb = [f"--inputs={a.inputs}", f"--warmup={warmup}", f"--frames={frames}"]
    py = ["--inputs", str(a.inputs), "--warmup", str(warmup), "--frames", str(frames), "--sizes", size,
          "--rows", row]
    if row.startswith("barepyav_"):
        return [str(a.build / "bare_bench_pyav"), f"--benchmark_filter=^{row.replace('barepyav_', 'bare_')}/{size}/", *gb]
    if row.startswith(("bare_", "core_")):
        binary = "bare_bench" if row.startswith("bare_") else "core_bench"
        return [str(a.build / binary), f"--benchmark_filter=^{row}/{size}/", *gb]
    if row.startswith("py_"):
        return [a.module_python, str(ROOT / "bench" / "bench_module.py"), "codec", *py]
    return [a.pyav_python, str(ROOT / "bench" / "bench_pyav.py"), "codec", *py]


def profile_rows(a: argparse.Namespace, s: Settings) -> dict[str, float | None]:
    """Codec shares of the rows whose overhead the goals bound, at the goal sizes."""
    shares: dict[str, float | None] = {}
    for size in GOAL_SIZES:
        enc_n, dec_n = PROFILE_FRAMES[size]
        for kind, rows in PROFILE_KINDS.items():
            n = dec_n if kind == "decode" else enc_n
            for side, row in rows.items():
                if side == "barepyav" and not (a.build / "bare_bench_pyav").exists():
                    continue
                log(f"profile: {row}/{size}")
                # Copying 128 MiB of cold pictures takes a while on a busy machine: those runs
                # start sampling later and run twice as long.
                cold_row = row.endswith("_cold")
                cmd = row_command(a, row, size, s.warmup, 2 * n if cold_row else n)
                shares[f"{row}/{size}"] = codec_share(cmd, 2500 if cold_row else 800)
    return shares


def page_faults(cmd: list[str]) -> int | None:
    """The page faults of one run of `cmd` (perf stat)."""
    rec = subprocess.run(["perf", "stat", "-x", ",", "-e", "page-faults", "--", *cmd], cwd=ROOT,
                         capture_output=True, text=True, env=ENV)
    for line in rec.stderr.splitlines():
        parts = line.split(",")
        if rec.returncode == 0 and len(parts) > 2 and "page-faults" in parts[2] and parts[0].isdigit():
            return int(parts[0])
    return None


# Rows whose page faults per picture in steady state the report gives.
FAULT_ROWS = ("bare_loop", "core_loop", "py_encode_i420", "py_decode", "py_loop", "py_loop_cold")


def fault_rows(a: argparse.Namespace, s: Settings) -> dict[str, float | None]:
    """Page faults per picture after warm-up: the difference between a run of 2n and one of n
    pictures, over n, so that start-up and warm-up cancel out."""
    faults: dict[str, float | None] = {}
    for size in GOAL_SIZES:
        n = s.frames[size]
        for row in FAULT_ROWS:
            log(f"page faults: {row}/{size}")
            one = page_faults(row_command(a, row, size, s.warmup, n))
            two = page_faults(row_command(a, row, size, s.warmup, 2 * n))
            faults[f"{row}/{size}"] = None if one is None or two is None else (two - one) / n
    return faults


def perf_works() -> bool:
    try:
        return subprocess.run(["perf", "record", "-q", "-o", "/dev/null", "--", "true"],
                              capture_output=True).returncode == 0
    except OSError:
        return False


# ---- statistics ----


def median(values: list[float]) -> float | None:
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


class Rounds:
    """Per-round figures of every row: rows[name] is a list with one entry per round."""

    def __init__(self, clock: str) -> None:
        self.rows: dict[str, list[dict]] = {}
        self.clock = clock

    def add(self, figures: dict[str, dict]) -> None:
        for name, fig in figures.items():
            self.rows.setdefault(name, []).append(fig)

    def has(self, name: str) -> bool:
        return any("unavailable" not in f for f in self.rows.get(name, []))

    def why_missing(self, name: str) -> str:
        for f in self.rows.get(name, []):
            if "unavailable" in f:
                return f["unavailable"]
        return "not measured"

    def us(self, name: str) -> float | None:
        return median([f.get(f"{self.clock}_us") for f in self.rows.get(name, []) if "unavailable" not in f])

    def field(self, name: str, key: str):
        for f in self.rows.get(name, []):
            if key in f and f[key] is not None:
                return f[key]
        return None

    def ratio(self, num: str, den: str) -> float | None:
        """Median over the rounds of num/den, each taken within one round."""
        a, b = self.rows.get(num, []), self.rows.get(den, [])
        key = f"{self.clock}_us"
        rs = [x[key] / y[key] for x, y in zip(a, b)
              if "unavailable" not in x and "unavailable" not in y and y.get(key)]
        return median(rs)


# ---- formatting ----


def fmt_us(v: float | None) -> str:
    if v is None:
        return "n/a"
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def fmt_fps(us: float | None) -> str:
    return "n/a" if not us else f"{1e6 / us:,.0f}"


def fmt_x(v: float | None, digits: int = 3) -> str:
    return "n/a" if v is None else f"{v:.{digits}f}"


def fmt_pct(v: float | None) -> str:
    return "n/a" if v is None else f"{(v - 1) * 100:+.1f}%"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def x264_core(stream: Path) -> str:
    m = re.search(rb"x264 - core (\d+)", stream.read_bytes()[:4096])
    return m.group(1).decode() if m else "?"


def versions(a: argparse.Namespace) -> dict[str, str]:
    mod = run([a.module_python, "-c", "import sys, numpy; from talmiro_sdk_video import _codec; "
               "print(_codec.avcodec_version(), numpy.__version__, sys.version.split()[0])"]).split()
    pyav = python_rows(a.pyav_python, "bench_pyav.py", "info", [])
    return {"avcodec": mod[0], "numpy": mod[1], "python": mod[2], "pyav": pyav["pyav"],
            "pyav_ffmpeg": pyav["ffmpeg"], "x264_pyav": pyav["x264_core"]}


# ---- the report ----


def met(v: float | None, ok) -> bool | None:
    """Whether a figure meets its goal (`ok` a test of it), or None where it was not measured."""
    return None if v is None else ok(v)


class Report:
    """The Markdown report, written section by section into `out`; `goals` gathers, in the
    report's order, each goal with its figure and whether it was met (None: not measured)."""

    def __init__(self, a, s: Settings, r: Rounds, micro: dict, scale: Rounds, profile: dict, faults: dict,
                 info: dict) -> None:
        self.a, self.s, self.r, self.micro, self.scale = a, s, r, micro, scale
        self.profile, self.faults, self.info = profile, faults, info
        self.goals: list[tuple[str, str, bool | None]] = []
        self.out: list[str] = []

    def text(self) -> str:
        for section in (self.header, self.codec, self.codec_notes, self.overhead, self.pyav,
                        self.pyav_libraries, self.delay, self.scaling, self.core_alone, self.rtp,
                        self.profiles, self.goal_table):
            section()
        return "\n".join(self.out)

    # -- figures shared by the sections --

    def over(self, row: str, base: str) -> float | None:
        """Sampled: the time `row` adds over `base` (same codec work), from their codec shares."""
        a_, b_ = self.profile.get(row), self.profile.get(base)
        return None if not a_ or not b_ else b_ / a_

    def timed_sampled(self, row: str, base: str) -> str:
        """The timed ratio and, where sampled, the sampled one beside it."""
        t, v = fmt_pct(self.r.ratio(row, base)), self.over(row, base)
        return t if v is None else f"{t} (sampled {fmt_pct(v)})"

    def gbs(self, name: str) -> float | None:
        v = self.micro.get(name, {}).get("bytes_per_second")
        return None if v is None else v / 1e9

    def micro_us(self, name: str) -> float | None:
        return self.micro.get(name, {}).get("cpu_us")

    # -- the sections --

    def header(self) -> None:
        a, s, r, info = self.a, self.s, self.r, self.info
        clock_text = ("process CPU time" if r.clock == "cpu" else "wall time")
        self.out.append("# Benchmarks\n")
        contention = median([f["wall_us"] / f["cpu_us"] for figs in r.rows.values() for f in figs
                             if "unavailable" not in f and f.get("cpu_us")])
        self.out.append(
            f"- CPU: {info['cpu']}, {info['cores']} cores\n"
            f"- Load average before / after: {info['load_before']} / {info['load_after']}; wall time over "
            f"CPU time of the codec runs, median: {fmt_x(contention, 2)} (1.00 on an otherwise idle machine; "
            f"more when other work took the cores)\n"
            f"- Ours: libavcodec {info['v']['avcodec']} (FFmpeg 8.1.2, pinned build), libx264 core "
            f"{info['x264_ours']}; PyAV {info['v']['pyav']} with its bundled FFmpeg "
            f"{info['v']['pyav_ffmpeg']}, libx264 core {info['x264_pyav']}\n"
            f"- Python {info['v']['python']}, NumPy {info['v']['numpy']}; "
            f"{'quick run' if a.quick else 'full run'}: {s.rounds} rounds, each run "
            f"warmed up on {s.warmup} pictures then timing {' / '.join(str(s.frames[z]) for z in SIZES)} "
            f"at {' / '.join(SIZES)}; figures are medians over the "
            f"rounds, ratios are taken within a round; per-frame times are {clock_text}\n"
            f"- Settings everywhere: libx264 ultrafast, zerolatency, baseline, one thread, one "
            f"reference, no B-frames, 2000 kbit/s, GOP and intra-refresh period 30 at 30 fps; "
            f"h264 decoder single-threaded with LOW_DELAY\n"
            f"- Took {info['elapsed']:.0f} s. Command: `bash bench/run.sh{' --quick' if a.quick else ''}`\n")

    def codec(self) -> None:
        """1. The codec loops: bare, core and module per frame, and their ratios."""
        r = self.r
        rows = [[label] + [fmt_us(r.us(f"{name}/{z}")) for z in SIZES] for label, name in (
            ("bare libavcodec: encode (I420)", "bare_encode"),
            ("core: encode I420", "core_encode_i420"),
            ("core: encode RGB24", "core_encode_rgb24"),
            ("bare libavcodec: decode", "bare_decode"),
            ("core: decode", "core_decode"),
            ("bare libavcodec: encode + decode loop", "bare_loop"),
            ("core: encode + decode loop", "core_loop"),
            ("module from Python: encode + decode loop, I420 in, NumPy out", "py_loop"),
            ("bare libavcodec: loop, cold pictures (128 MiB cycled)", "bare_loop_cold"),
            ("module from Python: loop, cold pictures (128 MiB cycled)", "py_loop_cold"))]
        for label, row, base in (("**module loop / bare loop**", "py_loop", "bare_loop"),
                                 ("**module loop / bare loop, cold pictures**", "py_loop_cold", "bare_loop_cold"),
                                 ("core loop / bare loop", "core_loop", "bare_loop")):
            rows.append([label] + [self.timed_sampled(f"{row}/{z}", f"{base}/{z}") for z in SIZES])
        self.out.append("## 1. The codec per frame (µs): the bare libavcodec loop against the media core and the module\n")
        self.out.append(table(["µs per frame"] + list(SIZES), rows))
        self.out.append("\nCold pictures: whole copies of the 60 input pictures cycled through 128 MiB (four times the "
                        "32 MiB last-level cache), so every picture comes from memory, as from a camera. Where a ratio "
                        "row has a sampled figure beside it, that one is from the profiles of section 6 (fewer "
                        "disturbances from other work).\n")

    def codec_notes(self) -> None:
        """1, continued: identical streams, pictures kept, the copies avoided, page faults."""
        r = self.r
        crcs = {n: r.field(f"{n}/640x480", "warmup_crc") for n in ("bare_encode", "core_encode_i420", "py_encode_i420")}
        same = len(set(crcs.values())) == 1 and None not in crcs.values()
        self.out.append(
            f"\nThe bare loop, the core and the module produce {'byte-identical streams' if same else 'DIFFERENT streams'} "
            f"(CRC-32 of the warm-up output at 640x480: {', '.join(f'{k} {v:08x}' if v is not None else f'{k} n/a' for k, v in crcs.items())}). "
            f"Reference, the codec's own work per frame measured earlier: encode ~800 µs, decode ~110 µs, "
            f"I420 copy ~20 µs at 640x480; 2.35 ms, 0.30 ms, 96 µs at 1280x720.\n")
        kept = [r.field(f"bare_{k}/{z}", "input_kept") for k in ("encode", "loop") for z in SIZES]
        if None not in kept:
            self.out.append("The bare loop lends libavcodec the input pictures by reference; once `avcodec_send_frame` "
                            f"had returned, libx264 still held {'none of them' if not any(kept) else 'some of them'} "
                            f"(pictures kept: {int(sum(kept))}), so the caller's memory is needed for the length of the call "
                            "alone.\n")
        copies = []
        for z in SIZES:
            fill, out_copy = self.micro_us(f"fill/i420_copy/{z}"), self.micro_us(f"image_from_frame/{z}")
            bare = r.us(f"bare_loop/{z}")
            if fill and out_copy and bare:
                copies.append(f"{z}: {fill:.0f} + {out_copy:.0f} µs = {(fill + out_copy) / bare * 100:.1f}% of the bare loop")
        if copies:
            self.out.append("The core lends an I420 or NV12 picture in the codec's format to libavcodec and shares a "
                            "decoded frame whose planes are tightly packed (widths that are multiples of 128), so at "
                            "these sizes it copies neither. The two copies it makes where it cannot (the picture into "
                            "the encoder's frame, the decoded frame out into recycled storage; hot-cache figures of "
                            "section 5) would cost: " + "; ".join(copies) + ".\n")
        for z in GOAL_SIZES:
            v = r.ratio(f"py_loop/{z}", f"bare_loop/{z}")
            self.goals.append((f"module loop (I420 in, NumPy out) within 3% of the bare loop at {z}",
                               fmt_pct(v), met(v, lambda x: x <= 1.03)))
        if self.faults:
            faults = self.faults
            rows = [[row] + [("n/a" if faults.get(f"{row}/{z}") is None else f"{faults[f'{row}/{z}']:.2f}")
                             for z in GOAL_SIZES] for row in FAULT_ROWS]
            self.out.append("Page faults per picture after warm-up (`perf stat -e page-faults`: a run of 2n pictures "
                            "less a run of n, over n):\n")
            self.out.append(table(["row"] + list(GOAL_SIZES), rows))
            self.out.append("")

    def overhead(self) -> None:
        """2. What the module adds over the core."""
        r, rows = self.r, []
        for label, py, core in (("I420 NumPy in (encode)", "py_encode_i420", "core_encode_i420"),
                                ("RGB24 NumPy in (encode)", "py_encode_rgb24", "core_encode_rgb24"),
                                ("decode to NumPy views", "py_decode", "core_decode"),
                                ("encode + decode loop", "py_loop", "core_loop")):
            cells = [label]
            for z in SIZES:
                if not r.has(f"{py}/{z}"):
                    cells.append(f"n/a ({r.why_missing(f'{py}/{z}')})")
                    continue
                ratio = r.ratio(f"{py}/{z}", f"{core}/{z}")
                cells.append(f"{fmt_us(r.us(f'{py}/{z}'))} vs {fmt_us(r.us(f'{core}/{z}'))} "
                             f"({self.timed_sampled(f'{py}/{z}', f'{core}/{z}')})")
                if label != "encode + decode loop":
                    self.goals.append((f"module overhead over the core within 2%: {label} at {z}", fmt_pct(ratio),
                                       met(ratio, lambda x: x <= 1.02)))
            rows.append(cells)
        self.out.append("\n## 2. The module's own overhead: Python through the module against the core loop\n")
        self.out.append(table(["µs per frame, Python vs core (overhead)"] + list(SIZES), rows))

    def pyav(self) -> None:
        """3. Throughput against PyAV's best and plainest ways of doing the same."""
        r, rows = self.r, []
        for label, pyav, ours in (
                ("I420 NumPy in, `VideoFrame.from_ndarray`", "pyav_encode_i420_ndarray", "py_encode_i420"),
                ("I420 NumPy in, `VideoFrame.from_numpy_buffer` (best)", "pyav_encode_i420_buffer", "py_encode_i420"),
                ("RGB24 NumPy in, `from_ndarray` (encoder converts, bilinear)", "pyav_encode_rgb24_ndarray", "py_encode_rgb24"),
                ("RGB24 NumPy in, `from_numpy_buffer` + `reformat` point (best)", "pyav_encode_rgb24_buffer", "py_encode_rgb24"),
                ("NumPy out, `to_ndarray`", "pyav_decode_ndarray", "py_decode"),
                ("NumPy out, plane views (best)", "pyav_decode_views", "py_decode"),
                ("loop I420 in, NumPy out, `from_ndarray`/`to_ndarray`", "pyav_loop_ndarray", "py_loop"),
                ("loop I420 in, NumPy out, `from_numpy_buffer`/plane views (best)", "pyav_loop_buffer", "py_loop"),
                ("loop, cold pictures, `from_numpy_buffer`/plane views (best)", "pyav_loop_buffer_cold", "py_loop_cold")):
            cells = [label]
            for z in SIZES:
                if not r.has(f"{ours}/{z}") or not r.has(f"{pyav}/{z}"):
                    cells.append("n/a")
                    continue
                ratio = r.ratio(f"{pyav}/{z}", f"{ours}/{z}")
                cells.append(f"{fmt_fps(r.us(f'{pyav}/{z}'))} vs {fmt_fps(r.us(f'{ours}/{z}'))} (**{fmt_x(ratio, 2)}x**)")
                self.goals.append((f"ahead of PyAV: {label} at {z}", f"{fmt_x(ratio, 2)}x", met(ratio, lambda x: x > 1.0)))
            rows.append(cells)
        self.out.append("\n## 3. Against PyAV: frames per second, PyAV vs ours (ours/PyAV throughput)\n")
        self.out.append(table(["fps, PyAV vs ours (x)"] + list(SIZES), rows))

    def pyav_libraries(self) -> None:
        """3, continued: the two builds of the codecs, and what each binding adds over its own."""
        r, info, rows = self.r, self.info, []
        for label, n in (("bare encode", "encode"), ("bare decode", "decode"), ("bare loop", "loop")):
            cells = [label]
            for z in SIZES:
                ratio = r.ratio(f"barepyav_{n}/{z}", f"bare_{n}/{z}")
                cells.append(f"{fmt_us(r.us(f'barepyav_{n}/{z}'))} vs {fmt_us(r.us(f'bare_{n}/{z}'))} ({fmt_pct(ratio)})")
            rows.append(cells)
        self.out.append("\nThe codecs themselves differ: the same bare loop linked with PyAV's bundled libraries "
                        f"(libx264 core {info['x264_pyav']}) against ours (libx264 core {info['x264_ours']}), µs per frame "
                        "(PyAV's libraries vs ours):\n")
        self.out.append(table(["µs per frame"] + list(SIZES), rows))
        rows = []
        for label, pyav, bare_p, ours, bare_o in (
                ("encode, I420 NumPy in (best)", "pyav_encode_i420_buffer", "barepyav_encode", "py_encode_i420", "bare_encode"),
                ("decode, NumPy out (best)", "pyav_decode_views", "barepyav_decode", "py_decode", "bare_decode"),
                ("loop (best)", "pyav_loop_buffer", "barepyav_loop", "py_loop", "bare_loop"),
                ("loop, cold pictures (best)", "pyav_loop_buffer_cold", "barepyav_loop_cold", "py_loop_cold",
                 "bare_loop_cold")):
            rows.append([label] + [f"{self.timed_sampled(f'{pyav}/{z}', f'{bare_p}/{z}')} vs "
                                   f"{self.timed_sampled(f'{ours}/{z}', f'{bare_o}/{z}')}" for z in SIZES])
        self.out.append("\nWhat each binding adds over the bare loop on its own libraries (PyAV vs ours):\n")
        self.out.append(table(["added over own bare loop"] + list(SIZES), rows))

    def delay(self) -> None:
        """Frames of delay of each encoder and decoder, and whether every picture came out at once."""
        r, s = self.r, self.s

        def delay(name):
            v = r.field(name, "delay")
            return "n/a" if v is None else str(int(v))
        rows = [[z] + [delay(f"{n}/{z}") for n in (
            "bare_encode", "py_encode_i420", "pyav_encode_i420_buffer", "bare_decode", "py_decode",
            "pyav_decode_views", "pyav_decode_default_threads")] for z in SIZES]
        self.out.append("\n## Frames of delay: pictures (access units) fed before the first access unit (picture) came out\n")
        self.out.append(table(["size", "encoder: bare", "ours", "PyAV", "decoder: bare", "ours", "PyAV", "PyAV, its default (slice) threading"], rows))
        steady = [r.field(f"{n}/{z}", "outputs") == s.frames[z]
                  for n in ("bare_encode", "bare_decode", "py_encode_i420", "py_decode",
                            "pyav_encode_i420_buffer", "pyav_decode_views") for z in SIZES]
        self.out.append(f"\nIn the timed runs every picture fed gave exactly one output in the same call, on every side: "
                        f"{'yes' if all(steady) else 'no'}.\n")
        enc_d = [r.field(f"py_encode_i420/{z}", "delay") for z in SIZES]
        dec_d = [r.field(f"py_decode/{z}", "delay") for z in SIZES]
        ok = all(d == 0 for d in enc_d + dec_d) if None not in enc_d + dec_d else None
        self.goals.append(("zero frames of delay, encoder and decoder", f"encoder {enc_d}, decoder {dec_d}", ok))

    def scaling(self) -> None:
        """4. N codecs on N threads."""
        rows = []
        for label, name in (("ours, encoders", "py_encode"), ("ours, decoders", "py_decode"),
                            ("PyAV, encoders", "pyav_encode"), ("PyAV, decoders", "pyav_decode")):
            for z in self.s.scale_frames:
                one, two = self.scale.rows.get(f"{name}/{z}/1", []), self.scale.rows.get(f"{name}/{z}/2", [])
                f1, f2 = median([x["fps"] for x in one]), median([x["fps"] for x in two])
                ratio = median([b["fps"] / a["fps"] for a, b in zip(one, two) if a["fps"]])
                par1, par2 = median([x["parallel"] for x in one]), median([x["parallel"] for x in two])
                rows.append([label, z, "n/a" if f1 is None else f"{f1:,.0f}", "n/a" if f2 is None else f"{f2:,.0f}",
                             fmt_x(ratio, 2) + "x" if ratio else "n/a", f"{fmt_x(par1, 2)} / {fmt_x(par2, 2)}"])
                if name.startswith("py_"):
                    self.goals.append((f"2 threads on 2 cores at least 1.8x: {label} at {z}", f"{fmt_x(ratio, 2)}x",
                                       met(ratio, lambda x: x >= 1.8)))
        self.out.append("\n## 4. Scaling: N codecs on N Python threads, frames per second of all together (wall time)\n")
        self.out.append(table(["", "size", "N = 1", "N = 2", "N = 2 / N = 1", "CPU time / wall time, N = 1 / N = 2"], rows))
        self.out.append("\nThe last column is the share of the cores the run had: 1.00 / 2.00 when the threads had the "
                        "machine to themselves; less when other work took the cores (see the load average above), and "
                        "then the ratio says more about that work than about the module.\n")

    def copy_cell(self, name: str, mem: str, z: str) -> str:
        """One copy path's bytes per second, time per picture, and time against a `memcpy` of its bytes."""
        f, m = self.gbs(name), self.gbs(f"memcpy/{mem}/{z}")
        return "n/a" if f is None or m is None else f"{f:.1f} GB/s, {fmt_us(self.micro_us(name))} µs ({m / f:.2f}x memcpy)"

    def core_alone(self) -> None:
        """5. The core's copies, parsers, PSNR and test pattern on their own."""
        micro = self.micro
        rows = [[label] + [self.copy_cell(f"fill/{path}/{z}", mem, z) for z in SIZES] for label, path, mem in (
            ("I420 copy", "i420_copy", "i420"), ("I420 into NV12", "i420_to_nv12", "i420"),
            ("NV12 into I420", "nv12_to_i420", "i420"), ("RGB24 (libswscale)", "rgb24", "rgb24"),
            ("BGR24 (libswscale)", "bgr24", "rgb24"), ("RGBA (libswscale)", "rgba", "rgba"),
            ("BGRA (libswscale)", "bgra", "rgba"))]
        rows.append(["decoded frame out (`image_from_frame`)"]
                    + [self.copy_cell(f"image_from_frame/{z}", "i420", z) for z in SIZES])
        for mem, label in (("i420", "memcpy, I420 bytes"), ("rgb24", "memcpy, RGB24 bytes"), ("rgba", "memcpy, RGBA bytes")):
            rows.append([label] + [f"{self.gbs(f'memcpy/{mem}/{z}'):.1f} GB/s, {fmt_us(micro[f'memcpy/{mem}/{z}']['cpu_us'])} µs"
                                   if f"memcpy/{mem}/{z}" in micro else "n/a" for z in SIZES])
        self.out.append("\n## 5. The media core alone (Google Benchmark, median of repetitions, hot caches)\n")
        self.out.append("`fill_frame` per path and the decoder's copy of a decoded frame, the picture's bytes per second, "
                        "time per picture, and the time against one `memcpy` of the same bytes:\n")
        self.out.append(table(["path"] + list(SIZES), rows))
        rows = []
        for label, name in (("Annex-B: `au_facts` (NAL walk + SEI scan)", "annexb/au_facts"),
                            ("Annex-B: NAL unit walk", "annexb/nal_units"),
                            ("Annex-B: `extract_param_sets`", "annexb/extract_param_sets"),
                            ("`DecoderSync::push` (+ `picture_out`)", "sync/push"),
                            ("PSNR 640x480 luma", "psnr/640x480"), ("PSNR 1280x720 luma", "psnr/1280x720"),
                            ("PSNR 1920x1080 luma", "psnr/1920x1080")):
            v = self.gbs(name)
            rows.append([label, "n/a" if v is None else f"{v * 1000:,.0f} MB/s", "n/a" if not v else f"{1e3 / (v * 1000) * 1000:,.1f} µs"])
        self.out.append("\nPer megabyte (Annex-B and sync over the 1280x720 stream of the inputs):\n")
        self.out.append(table(["", "throughput", "per MB"], rows))
        rows = [[f"test pattern {z}, I420", f"{fmt_us(self.micro_us(f'pattern/{z}'))} µs"] for z in SIZES]
        self.out.append("\nTest-pattern drawing per frame:\n")
        self.out.append(table(["", "per frame"], rows))

    def rtp(self) -> None:
        """RTP: the packet work per access unit against the codec's work per frame at 1280x720."""
        loop = self.r.us("core_loop/1280x720")
        rows = []
        for label, name in (("test-pattern stream of the inputs", "rtp/round_trip/pattern/1280x720"),
                            ("detailed pictures (IDR 100 KB, then 29 P of 6 KB)", "rtp/round_trip/detailed/1280x720")):
            m = self.micro.get(name, {})
            us, pps, per = m.get("us_per_unit"), m.get("items_per_second"), m.get("packets_per_unit")
            share = None if us is None or not loop else us / loop
            rows.append([label, "n/a" if per is None else f"{per:.1f}", "n/a" if us is None else f"{us:.2f} µs",
                         "n/a" if pps is None else f"{pps / 1e6:.2f} M", "n/a" if share is None else f"{share * 100:.2f}%"])
            self.goals.append((f"RTP packetize + depacketize under 1% of encode + decode at 1280x720 ({label})",
                               "n/a" if share is None else f"{share * 100:.2f}%", met(share, lambda x: x < 0.01)))
        dep = self.micro.get("rtp/depacketize/detailed/1280x720", {}).get("items_per_second")
        self.out.append("\nRTP at 1280x720, MTU 1,200, in order on one core: `RtpPacketizer::packetize` and "
                        "`RtpDepacketizer::push` per access unit, against the core's encode + decode loop per frame "
                        f"({fmt_us(loop)} µs). The depacketizer alone takes "
                        f"{'n/a' if dep is None else f'{dep / 1e6:.2f} M'} packets per second.\n")
        self.out.append(table(["stream", "packets per unit", "per unit", "packets/s", "of encode + decode"], rows))

    def profile_goals(self, kind: str, label: str, z: str, p_: float | None, m: float | None) -> None:
        """The goals a sampled row bounds: the module over the bare loop, or over the core."""
        if kind == "loop_cold":
            self.goals.append((f"(sampled) module loop within 3% of the bare loop, cold pictures, at {z}",
                               fmt_pct(p_), met(p_, lambda x: x <= 1.03)))
            return
        if kind == "decode":
            self.goals.append((f"(sampled) decode to NumPy views within 3% of the bare decode at {z}",
                               fmt_pct(p_), met(p_, lambda x: x <= 1.03)))
        if kind == "loop":
            self.goals.append((f"(sampled) module loop within 3% of the bare loop at {z}", fmt_pct(p_),
                               met(p_, lambda x: x <= 1.03)))
        else:
            self.goals.append((f"(sampled) module overhead over the core within 2%: {label} at {z}", fmt_pct(m),
                               met(m, lambda x: x <= 1.02)))

    def profiles(self) -> None:
        """6. The overheads again, from the sampled profiles."""
        if not self.profile:
            return
        rows = []
        for label, kind in (("encode, I420 NumPy in", "encode"), ("decode, NumPy out", "decode"),
                            ("encode + decode loop", "loop"), ("loop, cold pictures", "loop_cold")):
            k = PROFILE_KINDS[kind]
            for z in GOAL_SIZES:
                core = k.get("core")
                c = self.over(f"{core}/{z}", f"{k['bare']}/{z}") if core else None
                p_ = self.over(f"{k['py']}/{z}", f"{k['bare']}/{z}")
                v = self.over(f"{k['pyav']}/{z}", f"{k['barepyav']}/{z}")
                m = None if c is None or p_ is None else p_ / c
                rows.append([label, z, fmt_pct(c), fmt_pct(p_), fmt_pct(m), fmt_pct(v)])
                self.profile_goals(kind, label, z, p_, m)
        self.out.append("\n## 6. The same overheads from sampled profiles (less disturbed by other work)\n")
        self.out.append("Each run is sampled with perf after its start-up; the codec's own libraries (libx264, "
                        "libavcodec, libavutil) do the same work on every side, so the share of the samples outside them gives "
                        "the time added over the bare loop on the same libraries: added = (codec share of the bare "
                        "loop) / (codec share of the row) - 1.\n")
        self.out.append(table(["", "size", "core over bare", "module over bare", "module over core",
                               "PyAV (best) over its bare"], rows))

    def goal_table(self) -> None:
        self.out.append("\n## Goals\n")
        self.out.append(table(["goal", "figure", "met"],
                              [[g, f, "n/a" if ok is None else ("yes" if ok else "**no**")] for g, f, ok in self.goals]))
        self.out.append("")


def report(a, s: Settings, r: Rounds, micro: dict, scale: Rounds, profile: dict, faults: dict,
           info: dict) -> tuple[str, list]:
    rep = Report(a, s, r, micro, scale, profile, faults, info)
    return rep.text(), rep.goals


def kept_net_section(path: Path) -> str:
    """The sections the benchmarks run on their own (bench/net.py, srtp.py, cc.py) wrote into
    the report, kept as they were."""
    old = path.read_text() if path.exists() else ""
    kept = ""
    for name in ("net", "srtp", "cc"):
        begin, end = f"<!-- bench/{name}.py: begin -->", f"<!-- bench/{name}.py: end -->"
        if begin in old and end in old:
            kept += "\n" + begin + old.split(begin, 1)[1].split(end, 1)[0] + end + "\n"
    return kept


def codec_rounds(a: argparse.Namespace, s: Settings) -> Rounds:
    """The codec rounds: every contender once per size and round, starting one further on each round."""
    contenders = Contenders(a, s)
    r = Rounds(a.clock)
    for i in range(s.rounds):
        log(f"codec round {i + 1}/{s.rounds}")
        for size in SIZES:
            runs = contenders.at(size)
            k = i % len(runs)
            for name, go in runs[k:] + runs[:k]:
                r.add(go())
    return r


def scale_rounds(a: argparse.Namespace, s: Settings) -> Rounds:
    """The scaling rounds: one and two codecs on as many threads, ours and PyAV's."""
    scale = Rounds("wall")
    for i in range(s.scale_rounds):
        log(f"scaling round {i + 1}/{s.scale_rounds}")
        for size, frames in s.scale_frames.items():
            scale_args = ["--inputs", str(a.inputs), "--warmup", str(s.warmup), "--frames", str(frames),
                          "--sizes", size, "--threads", "1,2"]
            for python, script in ((a.module_python, "bench_module.py"), (a.pyav_python, "bench_pyav.py")):
                for k, v in python_rows(python, script, "scale", scale_args).items():
                    if "fps" in v:
                        scale.rows.setdefault(k, []).append(v)
    return scale


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="fewer rounds and frames (a few minutes)")
    p.add_argument("--build", type=Path, default=ROOT / "build" / "bench")
    p.add_argument("--inputs", type=Path, default=ROOT / "bench" / "out" / "inputs")
    p.add_argument("--module-python", default=str(ROOT / ".venv" / "bin" / "python"))
    p.add_argument("--pyav-python", default=str(ROOT / "build" / "bench-venv" / "bin" / "python"))
    p.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                   help="per-frame times from process CPU time (default) or wall time")
    p.add_argument("--no-profile", action="store_true", help="skip the sampled profiles (perf)")
    p.add_argument("--out", type=Path, default=ROOT / "bench" / "RESULTS.md")
    p.add_argument("--raw", type=Path, default=ROOT / "bench" / "out" / "raw.json")
    a = p.parse_args()
    s = QUICK if a.quick else FULL
    start = time.monotonic()
    info = {"cpu": cpu_model(), "cores": os.cpu_count(), "load_before": " ".join(f"{x:.2f}" for x in os.getloadavg())}

    stream = a.inputs / "stream_1920x1080.au"
    if not stream.exists() or stream.stat().st_mtime < (a.build / "make_inputs").stat().st_mtime:
        log("writing the inputs")
        run([str(a.build / "make_inputs"), f"--inputs={a.inputs}"])
    info["v"] = versions(a)
    info["x264_ours"] = x264_core(a.inputs / "stream_640x480.au")
    info["x264_pyav"] = info["v"]["x264_pyav"]

    log(f"the media core alone ({s.micro_repetitions} repetitions)")
    micro = gbench(a.build / "core_bench", MICRO_FILTER,
                   [f"--inputs={a.inputs}", f"--benchmark_repetitions={s.micro_repetitions}",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={s.micro_min_time}"])

    r = codec_rounds(a, s)
    scale = scale_rounds(a, s)

    info["load_after"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    info["elapsed"] = time.monotonic() - start

    profile: dict = {}
    if s.profile and not a.no_profile:
        if perf_works():
            profile = profile_rows(a, s)
        else:
            log("perf is not usable here: no sampled profiles")

    faults: dict = {}
    if s.profile and not a.no_profile and perf_works():
        faults = fault_rows(a, s)

    text, goals = report(a, s, r, micro, scale, profile, faults, info)
    a.out.write_text(text + kept_net_section(a.out))
    a.raw.parent.mkdir(parents=True, exist_ok=True)
    a.raw.write_text(json.dumps({"codec": r.rows, "micro": micro, "scale": scale.rows, "profile": profile,
                                 "page_faults": faults,
                                 "info": info}, indent=1))
    print(text)
    log(f"wrote {a.out.relative_to(ROOT) if a.out.is_relative_to(ROOT) else a.out} (raw figures in {a.raw})")


if __name__ == "__main__":
    main()
