"""Our encoder and decoder driven from Python through the module, on the shared inputs.

    python bench/bench_module.py codec|scale [--inputs DIR] [--warmup N] [--frames N] ...

codec: per-frame figures of I420 NumPy input, RGB24 NumPy input, decoding to NumPy views and the
whole link loop (encode, decode, NumPy views), as JSON. scale: N encoders (decoders) on N
threads.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

from bench_common import (Clock, Figure, Runner, Tally, Unavailable, Worker, cold, figure, load_i420,
                          load_rgb24, load_stream, main)
from talmiro_sdk_video import _codec


def encoder(size: tuple[int, int], pixel_format: str = "i420") -> _codec.H264Encoder:
    return _codec.H264Encoder(size[0], size[1], backend="x264", pixel_format=pixel_format)


def decoder() -> _codec.H264Decoder:
    try:
        return _codec.H264Decoder()
    except TypeError as e:  # the class is not in this build of the module yet
        raise Unavailable(f"H264Decoder: {e}") from None


class Rows:
    def __init__(self, inputs: Path, warmup: int, frames: int) -> None:
        self.inputs, self.warmup, self.frames = inputs, warmup, frames

    def encode(self, size: tuple[int, int], pixel_format: str) -> Figure:
        pictures = (load_i420 if pixel_format == "i420" else load_rgb24)(self.inputs, size)
        k = len(pictures)
        enc = encoder(size, pixel_format)
        warm, timed = Tally(), Tally()
        for n in range(self.warmup):
            for au in enc.encode(pictures[n % k], n):
                warm.out(n, au[0], True)
        end = self.warmup + self.frames
        with Clock() as clock:
            for n in range(self.warmup, end):
                for au in enc.encode(pictures[n % k], n):
                    timed.out(n, au[0])
        enc.close()
        return figure(clock, self.frames, warm, timed)

    def encode_i420(self, size: tuple[int, int]) -> Figure:
        return self.encode(size, "i420")

    def encode_rgb24(self, size: tuple[int, int]) -> Figure:
        return self.encode(size, "rgb24")

    def decode(self, size: tuple[int, int]) -> Figure:
        units = load_stream(self.inputs, size)
        k = len(units)
        dec = decoder()
        asarray = np.asarray
        warm, timed = Tally(), Tally()
        for n in range(self.warmup):
            data, key, config, recovery = units[n % k]
            for image in dec.decode(data, n, key, config, recovery):
                warm.out(n)
        end = self.warmup + self.frames
        with Clock() as clock:
            for n in range(self.warmup, end):
                data, key, config, recovery = units[n % k]
                for image in dec.decode(data, n, key, config, recovery):
                    asarray(image.y), asarray(image.u), asarray(image.v)
                    timed.out(n)
        dec.close()
        return figure(clock, self.frames, warm, timed)

    def loop(self, size: tuple[int, int], cold_pictures: bool = False) -> Figure:
        """The link: each picture encoded, its access units decoded, the pictures as NumPy;
        with `cold_pictures`, cycling through more memory than the caches hold."""
        pictures = load_i420(self.inputs, size)
        if cold_pictures:
            pictures = cold(pictures)
        k = len(pictures)
        enc, dec = encoder(size), decoder()
        asarray = np.asarray
        warm, timed = Tally(), Tally()
        for n in range(self.warmup):
            for data, t_us, key, config, recovery, _ in enc.encode(pictures[n % k], n):
                warm.out(n, data, True)
                dec.decode(data, t_us, key, config, recovery)
        end = self.warmup + self.frames
        with Clock() as clock:
            for n in range(self.warmup, end):
                for data, t_us, key, config, recovery, _ in enc.encode(pictures[n % k], n):
                    for image in dec.decode(data, t_us, key, config, recovery):
                        asarray(image.y), asarray(image.u), asarray(image.v)
                        timed.out(n, data)
        enc.close()
        dec.close()
        return figure(clock, self.frames, warm, timed)


class EncodeWorker(Worker):
    def __init__(self, pictures: list[np.ndarray], size: tuple[int, int], warmup: int, frames: int):
        self.pictures, self.warmup, self.frames = pictures, warmup, frames
        self.enc = encoder(size)

    def run(self, begin: int, end: int) -> None:
        enc, pictures, k = self.enc, self.pictures, len(self.pictures)
        for n in range(begin, end):
            enc.encode(pictures[n % k], n)


class DecodeWorker(Worker):
    def __init__(self, units: list, warmup: int, frames: int):
        self.units, self.warmup, self.frames = units, warmup, frames
        self.dec = decoder()

    def run(self, begin: int, end: int) -> None:
        dec, units, k, asarray = self.dec, self.units, len(self.units), np.asarray
        for n in range(begin, end):
            data, key, config, recovery = units[n % k]
            for image in dec.decode(data, n, key, config, recovery):
                asarray(image.y), asarray(image.u), asarray(image.v)


def codec_rows(inputs: Path, warmup: int, frames: int) -> dict[str, Runner]:
    rows = Rows(inputs, warmup, frames)
    return {
        "py_encode_i420": rows.encode_i420,
        "py_encode_rgb24": rows.encode_rgb24,
        "py_decode": rows.decode,
        "py_loop": rows.loop,
        "py_loop_cold": lambda s: rows.loop(s, True),
    }


if __name__ == "__main__":
    main(__doc__ or "", "py", codec_rows, EncodeWorker, DecodeWorker)
