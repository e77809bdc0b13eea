"""The same work with PyAV, configured as our encoder and decoder are, on the same inputs.

    python bench/bench_pyav.py codec|scale [--inputs DIR] [--warmup N] [--frames N] ...

Runs in its own process and virtual environment: PyAV's wheel brings its own libavcodec of the
same major version as ours, which must not share a process with our module.

Each input and output path is measured as users commonly write it (`VideoFrame.from_ndarray`,
`VideoFrame.to_ndarray`) and at PyAV's best (`VideoFrame.from_numpy_buffer`, which wraps the
array without copying; zero-copy NumPy views of the decoded planes).
"""

from __future__ import annotations

import re
from fractions import Fraction
from pathlib import Path

import av
import numpy as np

from bench_common import (BITRATE_BPS, FPS, Clock, Figure, Runner, Tally, Worker, cold, figure,
                          load_i420, load_rgb24, load_stream, main)

VideoFrame = av.VideoFrame
Packet = av.Packet


def encoder(size: tuple[int, int]) -> av.CodecContext:
    """libx264 as our encoder opens it: ultrafast, zerolatency, baseline, one thread, one
    reference, no B-frames, 2000 kbit/s, GOP and intra-refresh period of one second."""
    cc = av.CodecContext.create("libx264", "w")
    cc.width, cc.height = size
    cc.pix_fmt = "yuv420p"
    cc.time_base = Fraction(1, FPS)
    cc.framerate = Fraction(FPS, 1)
    cc.bit_rate = BITRATE_BPS
    cc.gop_size = FPS
    cc.max_b_frames = 0
    cc.thread_count = 1
    cc.options = {
        "maxrate": str(BITRATE_BPS),
        "bufsize": str(BITRATE_BPS),
        "flags": "+low_delay",
        "forced-idr": "1",
        "intra-refresh": "1",
        "preset": "ultrafast",
        "tune": "zerolatency",
        "threads": "1",
        "profile": "baseline",
        "x264-params": "sliced-threads=0:slices=1:ref=1",
    }
    cc.open()
    return cc


def decoder(threads: bool = False) -> av.CodecContext:
    """libavcodec's h264 as our decoder opens it: one thread, LOW_DELAY, OUTPUT_CORRUPT. With
    `threads`, PyAV's defaults instead (what a user gets without setting anything)."""
    cc = av.CodecContext.create("h264", "r")
    if not threads:
        cc.thread_count = 1
        cc.options = {"flags": "+low_delay+output_corrupt", "threads": "1"}
    cc.open()
    return cc


def x264_core() -> str:
    """The core version libx264 writes into its first access unit."""
    w, h = 64, 64
    frame = VideoFrame.from_ndarray(np.zeros((h * 3 // 2, w), np.uint8), format="yuv420p")
    frame.pts = 0
    m = re.search(rb"x264 - core (\d+)", bytes(encoder((w, h)).encode(frame)[0]))
    return m.group(1).decode() if m else "?"


def plane_views(frame: av.VideoFrame) -> list[np.ndarray]:
    """Zero-copy `(height, width)` views of the decoded planes, as our `Image` planes are."""
    views = []
    for p in frame.planes:
        a = np.frombuffer(p, np.uint8).reshape(p.height, p.line_size)
        views.append(a[:, : p.width])
    return views


class Rows:
    def __init__(self, inputs: Path, warmup: int, frames: int) -> None:
        self.inputs, self.warmup, self.frames = inputs, warmup, frames

    def encode(self, size: tuple[int, int], source: str, best: bool) -> Figure:
        if source == "i420":
            pictures, fmt = load_i420(self.inputs, size), "yuv420p"
        else:
            pictures, fmt = load_rgb24(self.inputs, size), "rgb24"
        k = len(pictures)
        cc = encoder(size)
        warm, timed = Tally(), Tally()

        if best and source == "rgb24":
            # Wrapped in place, converted as our encoder converts (point sampling, one thread).
            def make(n: int) -> av.VideoFrame:
                f = VideoFrame.from_numpy_buffer(pictures[n % k], format=fmt)
                return f.reformat(format="yuv420p", interpolation="POINT", threads=1)
        elif best:
            def make(n: int) -> av.VideoFrame:
                return VideoFrame.from_numpy_buffer(pictures[n % k], format=fmt)
        else:
            def make(n: int) -> av.VideoFrame:
                return VideoFrame.from_ndarray(pictures[n % k], format=fmt)

        for n in range(self.warmup):
            frame = make(n)
            frame.pts = n
            for packet in cc.encode(frame):
                warm.out(n, bytes(packet), True)
        end = self.warmup + self.frames
        with Clock() as clock:
            for n in range(self.warmup, end):
                frame = make(n)
                frame.pts = n
                for packet in cc.encode(frame):
                    timed.out(n)
        return figure(clock, self.frames, warm, timed)

    def decode(self, size: tuple[int, int], best: bool, threads: bool = False) -> Figure:
        units = load_stream(self.inputs, size)
        k = len(units)
        cc = decoder(threads)
        warm, timed = Tally(), Tally()
        for n in range(self.warmup):
            packet = Packet(units[n % k][0])
            packet.pts = packet.dts = n
            for frame in cc.decode(packet):
                warm.out(n)
        end = self.warmup + self.frames
        with Clock() as clock:
            if best:
                for n in range(self.warmup, end):
                    packet = Packet(units[n % k][0])
                    packet.pts = packet.dts = n
                    for frame in cc.decode(packet):
                        plane_views(frame)
                        timed.out(n)
            else:
                for n in range(self.warmup, end):
                    packet = Packet(units[n % k][0])
                    packet.pts = packet.dts = n
                    for frame in cc.decode(packet):
                        frame.to_ndarray()
                        timed.out(n)
        return figure(clock, self.frames, warm, timed)

    def loop(self, size: tuple[int, int], best: bool, cold_pictures: bool = False) -> Figure:
        pictures = load_i420(self.inputs, size)
        if cold_pictures:
            pictures = cold(pictures)
        k = len(pictures)
        enc, dec = encoder(size), decoder()
        make = VideoFrame.from_numpy_buffer if best else VideoFrame.from_ndarray
        out = plane_views if best else VideoFrame.to_ndarray
        warm, timed = Tally(), Tally()
        for n in range(self.warmup):
            frame = make(pictures[n % k], format="yuv420p")
            frame.pts = n
            for packet in enc.encode(frame):
                warm.out(n, bytes(packet), True)
                dec.decode(packet)
        end = self.warmup + self.frames
        with Clock() as clock:
            for n in range(self.warmup, end):
                frame = make(pictures[n % k], format="yuv420p")
                frame.pts = n
                for packet in enc.encode(frame):
                    for picture in dec.decode(packet):
                        out(picture)
                        timed.out(n)
        return figure(clock, self.frames, warm, timed)


class EncodeWorker(Worker):
    def __init__(self, pictures: list[np.ndarray], size: tuple[int, int], warmup: int, frames: int):
        self.pictures, self.warmup, self.frames = pictures, warmup, frames
        self.cc = encoder(size)

    def run(self, begin: int, end: int) -> None:
        cc, pictures, k = self.cc, self.pictures, len(self.pictures)
        for n in range(begin, end):
            frame = VideoFrame.from_numpy_buffer(pictures[n % k], format="yuv420p")
            frame.pts = n
            cc.encode(frame)


class DecodeWorker(Worker):
    def __init__(self, units: list, warmup: int, frames: int):
        self.units, self.warmup, self.frames = units, warmup, frames
        self.cc = decoder()

    def run(self, begin: int, end: int) -> None:
        cc, units, k = self.cc, self.units, len(self.units)
        for n in range(begin, end):
            packet = Packet(units[n % k][0])
            packet.pts = packet.dts = n
            for frame in cc.decode(packet):
                plane_views(frame)


def codec_rows(inputs: Path, warmup: int, frames: int) -> dict[str, Runner]:
    r = Rows(inputs, warmup, frames)
    return {
        "pyav_encode_i420_ndarray": lambda s: r.encode(s, "i420", False),
        "pyav_encode_i420_buffer": lambda s: r.encode(s, "i420", True),
        "pyav_encode_rgb24_ndarray": lambda s: r.encode(s, "rgb24", False),
        "pyav_encode_rgb24_buffer": lambda s: r.encode(s, "rgb24", True),
        "pyav_decode_ndarray": lambda s: r.decode(s, False),
        "pyav_decode_views": lambda s: r.decode(s, True),
        "pyav_decode_default_threads": lambda s: r.decode(s, True, threads=True),
        "pyav_loop_ndarray": lambda s: r.loop(s, False),
        "pyav_loop_buffer": lambda s: r.loop(s, True),
        "pyav_loop_buffer_cold": lambda s: r.loop(s, True, cold_pictures=True),
    }


def info() -> dict:
    return {"pyav": av.__version__, "ffmpeg": av.ffmpeg_version_info, "x264_core": x264_core()}


if __name__ == "__main__":
    av.logging.set_level(av.logging.WARNING)
    main(__doc__ or "", "pyav", codec_rows, EncodeWorker, DecodeWorker, info)
