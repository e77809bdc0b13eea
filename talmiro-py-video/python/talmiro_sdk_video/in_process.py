"""A publisher and a subscriber in one process, joined by a simulated lossy channel.

`run_link` drives `TestPattern` pictures through `H264Encoder`, a seeded lossy channel and
`H264Decoder`, and acts on the decoder's signals the way a real receiver does: "request_idr"
reaches the encoder's `request_idr` after the round trip, "reset" is counted. It returns a
`LinkSummary` with what went through, how long it took and how good the pictures were, and
how well the receiver saw its losses: the losses the decoder found in the bitstream against the
access units lost, the pictures it flagged `recovering` against those a loss made wrong, and
how many frames each loss episode took to recover.
"""

from __future__ import annotations

import dataclasses
import random
import statistics
import time
from collections.abc import Callable, Iterator
from typing import BinaryIO

from . import PIXEL_FORMATS, _codec
from ._net import mono_us
from .pixels import source_picture


@dataclasses.dataclass(frozen=True)
class LinkConfig:
    width: int = 640
    height: int = 480
    fps: int = 30
    frames: int = 300
    pixel_format: str = "i420"
    bitrate_kbps: int = 2000
    backend: str = "auto"
    intra_refresh: bool = True
    keyframe_interval: int = 0
    loss: float = 0.0
    burst_rate: float = 0.0
    burst_frames: int = 5
    rtt_frames: int = 2
    seed: int = 1
    realtime: bool = False


@dataclasses.dataclass
class Stat:
    mean: float
    p50: float
    p99: float

    @staticmethod
    def of(values: list[float]) -> Stat | None:
        if not values:
            return None
        ordered = sorted(values)
        pick = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))]  # noqa: E731
        return Stat(statistics.fmean(ordered), pick(0.50), pick(0.99))


@dataclasses.dataclass
class LinkSummary:
    width: int
    height: int
    fps: int
    pixel_format: str
    backend: str
    gop: int
    intra_refresh: bool
    frames_sent: int
    access_units: int
    lost: int
    decoded: int
    recovering_pictures: int
    damaged_pictures: int
    hit_unflagged: int
    wrong_share: float
    pictures_per_au: float
    decode_errors: int
    encode_us: Stat | None
    convert_us: Stat | None
    encode_call_us: Stat | None
    decode_call_us: Stat | None
    latency_us: Stat | None
    bitrate_kbps: float
    psnr_mean_db: float | None
    psnr_min_db: float | None
    psnr_clean_min_db: float | None
    idr_requests: int
    resets: int
    starts: int
    recovery_starts: int
    losses: int
    losses_seen: int
    recovery_frames: list[int]
    recovery_mean: float | None
    recovery_p95: int | None
    recovery_max: int | None
    unrecovered: int
    worst_frame: int | None

    def as_dict(self) -> dict:
        return dataclasses.asdict(self)


class LossyChannel:
    """Seeded losses: each access unit is lost with probability `loss`; with probability
    `burst_rate` a burst starts that loses the next `burst_frames` access units (a number, or
    a (lowest, highest) range drawn from per burst). `damaged` passes the units that arrive,
    cutting short or flipping one bit of a `damage` share of them."""

    def __init__(self, loss: float, burst_rate: float, burst_frames: int | tuple[int, int],
                 seed: int, damage: float = 0.0):
        self._rng = random.Random(seed)
        self._loss = loss
        self._burst_rate = burst_rate
        self._burst_frames = burst_frames
        self._damage = damage
        self._burst_left = 0

    def lost(self) -> bool:
        if self._burst_left > 0:
            self._burst_left -= 1
            return True
        if self._burst_rate > 0 and self._rng.random() < self._burst_rate:
            frames = self._burst_frames
            if isinstance(frames, tuple):
                frames = self._rng.randint(*frames)
            self._burst_left = frames - 1
            return True
        return self._loss > 0 and self._rng.random() < self._loss

    def damaged(self, data: bytes) -> bytes:
        """`data` as it arrives: itself, or a damaged copy."""
        if self._damage <= 0 or self._rng.random() >= self._damage or len(data) < 8:
            return data
        if self._rng.random() < 0.5:
            return data[: self._rng.randrange(4, len(data))]
        at = self._rng.randrange(4, len(data))
        return data[:at] + bytes([data[at] ^ (1 << self._rng.randrange(8))]) + data[at + 1:]


class LossEpisodes:
    """Loss episodes: one runs from a loss to the next good picture; losses inside it extend
    it, and its recovery is counted from the last of them."""

    def __init__(self) -> None:
        self.first: int | None = None
        self.last: int | None = None
        self.count = 0
        # (frames from the last loss to the good picture, frames from the first loss)
        self.recovered: list[tuple[int, int]] = []

    def loss(self, frame: int) -> None:
        if self.first is None:
            self.first = frame
            self.count += 1
        self.last = frame

    def good_picture(self, frame: int) -> None:
        if self.first is not None:
            self.recovered.append((frame - self.last, frame - self.first))
            self.first = self.last = None

    def open(self) -> bool:
        return self.first is not None


class _Link:
    """One run of the link: `send` encodes a frame, `receive` passes an access unit through
    the channel to the decoder, `score` judges the pictures out, `summarise` adds it up."""

    def __init__(self, cfg: LinkConfig, save: BinaryIO | None, keep_worst: bool):
        self.cfg = cfg
        self.save = save
        self.keep_worst = keep_worst
        self.pattern = _codec.TestPattern(cfg.width, cfg.height, cfg.fps)
        self.encoder = _codec.H264Encoder(
            cfg.width, cfg.height, fps=cfg.fps, bitrate_kbps=cfg.bitrate_kbps,
            intra_refresh=cfg.intra_refresh, keyframe_interval=cfg.keyframe_interval,
            backend=cfg.backend, pixel_format=cfg.pixel_format)
        # The receiver sees a lost reference picture in the bitstream, flags what it damages
        # and asks for an IDR at once.
        self.decoder = _codec.H264Decoder(request_idr_on_loss=True)
        # A second decoder sees every access unit: its pictures are what a lossless link
        # shows, so a picture of the lossy link that equals it is one no loss has touched (the
        # codec's decoding is deterministic), and a loss has recovered at the first such
        # picture.
        self.reference_decoder = _codec.H264Decoder()
        self.lossless: dict[int, bytes] = {}
        self.channel = LossyChannel(cfg.loss, cfg.burst_rate, cfg.burst_frames, cfg.seed)
        self.episodes = LossEpisodes()
        self.frame_of_stamp: dict[int, int] = {}
        self.idr_due: list[int] = []     # frame indices at which a request reaches the encoder
        self.encode_us: list[float] = []
        self.convert_us: list[float] = []
        self.encode_call: list[float] = []
        self.decode_call: list[float] = []
        self.latency: list[float] = []
        self.psnrs: list[tuple[float, int, bool]] = []
        self.lost = 0
        self.access_units = 0
        self.decode_errors = 0
        self.resets = 0
        self.recovering_pictures = 0
        self.damaged_pictures = 0
        self.hit_unflagged = 0
        self.total_bytes = 0
        self.worst: tuple | None = None
        self.worst_psnr = float("inf")
        self.last_stamp = -1
        self.prev_timings = self.encoder.timings()

    def send(self, n: int) -> list:
        """Frame `n` through the encoder: its access units."""
        while self.idr_due and self.idr_due[0] <= n:
            self.idr_due.pop(0)
            self.encoder.request_idr()
        stamp = max(mono_us(), self.last_stamp + 1)
        self.last_stamp = stamp
        source = self.pattern.next(stamp)
        self.frame_of_stamp[stamp] = n
        picture = source_picture(source, self.cfg.pixel_format)

        t0 = time.perf_counter_ns()
        units = self.encoder.encode(picture, stamp)
        self.encode_call.append((time.perf_counter_ns() - t0) / 1000)
        timings = self.encoder.timings()
        self.convert_us.append(timings[0] - self.prev_timings[0])
        self.encode_us.append(timings[1] - self.prev_timings[1])
        self.prev_timings = timings
        return units

    def receive(self, n: int, unit: tuple) -> None:
        """One access unit of frame `n` through the channel and the decoder."""
        data, t_us, key, config, recovery, _encoded_us = unit
        self.access_units += 1
        self.total_bytes += len(data)
        if self.save is not None:
            self.save.write(data)
        for pic in self.reference_decoder.decode(data, t_us, key, config, recovery):
            self.lossless[pic.t_us] = pic.y.tobytes()
        if self.channel.lost():
            self.lost += 1
            self.episodes.loss(n)
            return
        t0 = time.perf_counter_ns()
        try:
            pictures = self.decoder.decode(data, t_us, key, config, recovery)
        except _codec.MediaError:
            self.decode_errors += 1
            pictures = []
        self.decode_call.append((time.perf_counter_ns() - t0) / 1000)
        arrived = mono_us()
        signal = self.decoder.take_signal()
        if signal == "request_idr":
            self.idr_due.append(n + self.cfg.rtt_frames)
        elif signal == "reset":
            self.resets += 1
        for pic in pictures:
            self.score(n, pic, arrived)

    def score(self, n: int, pic, arrived: int) -> None:
        """A picture out at frame `n`: against the lossless link, and by PSNR to its source."""
        index = self.frame_of_stamp.pop(pic.t_us, None)
        self.latency.append(arrived - pic.t_us)
        expected = self.lossless.pop(pic.t_us, None)
        # Stamps of lost access units never come out: forget those older than this one.
        for stale in [t for t in self.lossless if t < pic.t_us]:
            del self.lossless[stale]
        hit = expected != pic.y.tobytes()
        damaged = hit or pic.recovering
        if pic.recovering:
            self.recovering_pictures += 1
        if hit:
            self.damaged_pictures += 1
            if not pic.recovering:
                self.hit_unflagged += 1
        if not damaged:
            self.episodes.good_picture(n)
        if index is None:
            return
        reference = self.pattern.frame(index, pic.t_us)
        value = _codec.psnr(reference.y, pic.y)
        value = float("inf") if value is None else value
        self.psnrs.append((value, index, damaged))
        if self.keep_worst and value < self.worst_psnr:
            self.worst_psnr = value
            self.worst = (reference, pic)

    def progress(self) -> dict:
        return {"lost": self.lost, "decoded": len(self.psnrs),
                "psnr": self.psnrs[-1][0] if self.psnrs else None}

    def summarise(self) -> LinkSummary:
        cfg = self.cfg
        psnrs = self.psnrs
        stats = self.encoder.stats()
        dstats = self.decoder.stats()
        finite = [p for p, _, _ in psnrs if p != float("inf")]
        clean = [p for p, _, damaged in psnrs if not damaged and p != float("inf")]
        recovery_frames = [since_last for since_last, _ in self.episodes.recovered]
        ordered = sorted(recovery_frames)
        return LinkSummary(
            width=cfg.width, height=cfg.height, fps=cfg.fps, pixel_format=cfg.pixel_format,
            backend=self.encoder.backend, gop=self.encoder.gop, intra_refresh=cfg.intra_refresh,
            frames_sent=cfg.frames, access_units=self.access_units, lost=self.lost,
            decoded=len(psnrs), recovering_pictures=self.recovering_pictures,
            damaged_pictures=self.damaged_pictures, hit_unflagged=self.hit_unflagged,
            wrong_share=self.damaged_pictures / len(psnrs) if psnrs else 0.0,
            pictures_per_au=(dstats["images"] / dstats["fed"]) if dstats["fed"] else 0.0,
            decode_errors=self.decode_errors,
            encode_us=Stat.of(self.encode_us), convert_us=Stat.of(self.convert_us),
            encode_call_us=Stat.of(self.encode_call), decode_call_us=Stat.of(self.decode_call),
            latency_us=Stat.of(self.latency),
            bitrate_kbps=self.total_bytes * 8 * cfg.fps / cfg.frames / 1000,
            psnr_mean_db=statistics.fmean(finite) if finite else None,
            psnr_min_db=min(finite) if finite else None,
            psnr_clean_min_db=min(clean) if clean else None,
            idr_requests=stats["idr_requests"], resets=self.resets,
            starts=dstats["sync"]["starts"], recovery_starts=dstats["sync"]["starts_at_recovery"],
            losses=self.episodes.count, losses_seen=dstats["sync"]["losses"],
            recovery_frames=recovery_frames,
            recovery_mean=statistics.fmean(ordered) if ordered else None,
            recovery_p95=(ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))]
                          if ordered else None),
            recovery_max=ordered[-1] if ordered else None,
            unrecovered=1 if self.episodes.open() else 0,
            worst_frame=min(psnrs)[1] if psnrs else None)

    def close(self) -> None:
        self.encoder.close()
        self.decoder.close()
        self.reference_decoder.close()


def run_link(cfg: LinkConfig, save: BinaryIO | None = None,
             progress: Callable[[int, dict], None] | None = None,
             keep_worst: bool = False) -> tuple[LinkSummary, tuple | None]:
    """Runs the link; returns the summary and, with `keep_worst`, the (source, decoded)
    `Image` pair of the worst decoded picture by PSNR."""
    if cfg.pixel_format not in PIXEL_FORMATS:
        raise ValueError(f"pixel format must be one of {', '.join(PIXEL_FORMATS)}, "
                         f"got {cfg.pixel_format!r}")
    if cfg.frames < 1:
        raise ValueError("frames must be at least 1")
    link = _Link(cfg, save, keep_worst)
    start = time.monotonic()
    for n in range(cfg.frames):
        if cfg.realtime:
            delay = start + n / max(cfg.fps, 1) - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        for unit in link.send(n):
            link.receive(n, unit)
        if progress is not None:
            progress(n + 1, link.progress())
    summary = link.summarise()
    link.close()
    return summary, link.worst


def format_summary(s: LinkSummary) -> Iterator[str]:
    def stat(name: str, st: Stat | None, unit: str = "us") -> str:
        if st is None:
            return f"{name:<22} -"
        return f"{name:<22} mean {st.mean:9.1f} {unit}  p50 {st.p50:9.1f} {unit}  p99 {st.p99:9.1f} {unit}"

    def db(v: float | None) -> str:
        return "-" if v is None else f"{v:.2f} dB"

    mode = "intra refresh" if s.intra_refresh else "periodic IDR"
    yield (f"link {s.width}x{s.height} {s.pixel_format} @ {s.fps} fps, backend {s.backend}, "
           f"{mode} every {s.gop} frames")
    yield (f"frames sent {s.frames_sent}, access units {s.access_units}, lost {s.lost}, "
           f"decoded {s.decoded} ({s.damaged_pictures} hit by losses, "
           f"{s.recovering_pictures} flagged recovering), "
           f"pictures per AU {s.pictures_per_au:.3f}, decode errors {s.decode_errors}")
    yield stat("encode (libavcodec)", s.encode_us)
    yield stat("convert", s.convert_us)
    yield stat("encode call", s.encode_call_us)
    yield stat("decode call", s.decode_call_us)
    yield stat("latency capture->pic", s.latency_us)
    yield f"{'bitrate':<22} {s.bitrate_kbps:.1f} kbit/s"
    yield (f"{'luma PSNR':<22} mean {db(s.psnr_mean_db)}, min {db(s.psnr_min_db)}, "
           f"min where no loss hit {db(s.psnr_clean_min_db)}")
    yield (f"IDR requests {s.idr_requests}, resets {s.resets}, starts {s.starts} "
           f"({s.recovery_starts} at recovery points)")
    yield (f"losses seen {s.losses_seen} for {s.lost} access units lost; flagged "
           f"{s.recovering_pictures} pictures for {s.damaged_pictures} hit by losses "
           f"({s.hit_unflagged} hit but not flagged); wrong pictures {100 * s.wrong_share:.1f}% "
           f"of those delivered")
    rec_text = (f"mean {s.recovery_mean:.1f}, p95 {s.recovery_p95}, max {s.recovery_max} frames"
                if s.recovery_frames else "-")
    yield (f"loss episodes {s.losses}, recovered {len(s.recovery_frames)} "
           f"(frames to recovery {rec_text} after the last loss)"
           + (", 1 not yet recovered at the end" if s.unrecovered else ""))
