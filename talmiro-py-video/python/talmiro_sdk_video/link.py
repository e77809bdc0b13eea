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

import numpy as np

from . import PIXEL_FORMATS, _codec


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


def _source_picture(image: _codec.Image, pixel_format: str):
    """The encoder's input for one pattern picture in `pixel_format` (numpy, no copy for i420)."""
    if pixel_format == "i420":
        return image
    y = np.asarray(image.y)
    u = np.asarray(image.u)
    v = np.asarray(image.v)
    if pixel_format == "nv12":
        uv = np.empty((u.shape[0], u.shape[1] * 2), dtype=np.uint8)
        uv[:, 0::2] = u
        uv[:, 1::2] = v
        return np.concatenate([y.reshape(-1), uv.reshape(-1)])
    rgb = yuv_to_rgb(y, u, v)
    order = {"rgb24": [0, 1, 2], "bgr24": [2, 1, 0], "rgba": [0, 1, 2], "bgra": [2, 1, 0]}
    out = rgb[:, :, order[pixel_format]]
    if pixel_format in ("rgba", "bgra"):
        alpha = np.full(out.shape[:2] + (1,), 255, dtype=np.uint8)
        out = np.concatenate([out, alpha], axis=2)
    return np.ascontiguousarray(out)


def yuv_to_rgb(y: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Limited-range BT.601 4:2:0 to 8-bit RGB, shape (h, w, 3)."""
    h, w = y.shape
    uu = np.repeat(np.repeat(u, 2, axis=0), 2, axis=1)[:h, :w].astype(np.float32) - 128.0
    vv = np.repeat(np.repeat(v, 2, axis=0), 2, axis=1)[:h, :w].astype(np.float32) - 128.0
    yy = (y.astype(np.float32) - 16.0) * (255.0 / 219.0)
    r = yy + 1.596 * vv
    g = yy - 0.392 * uu - 0.813 * vv
    b = yy + 2.017 * uu
    return np.clip(np.stack([r, g, b], axis=2) + 0.5, 0, 255).astype(np.uint8)


class LossyChannel:
    """Seeded losses: each access unit is lost with probability `loss`; with probability
    `burst_rate` a burst starts that loses the next `burst_frames` access units."""

    def __init__(self, loss: float, burst_rate: float, burst_frames: int, seed: int):
        self._rng = random.Random(seed)
        self._loss = loss
        self._burst_rate = burst_rate
        self._burst_frames = burst_frames
        self._burst_left = 0

    def lost(self) -> bool:
        if self._burst_left > 0:
            self._burst_left -= 1
            return True
        if self._burst_rate > 0 and self._rng.random() < self._burst_rate:
            self._burst_left = self._burst_frames - 1
            return True
        return self._loss > 0 and self._rng.random() < self._loss


def _now_us() -> int:
    return time.monotonic_ns() // 1000


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
    pattern = _codec.TestPattern(cfg.width, cfg.height, cfg.fps)
    encoder = _codec.H264Encoder(cfg.width, cfg.height, fps=cfg.fps,
                                 bitrate_kbps=cfg.bitrate_kbps, intra_refresh=cfg.intra_refresh,
                                 keyframe_interval=cfg.keyframe_interval, backend=cfg.backend,
                                 pixel_format=cfg.pixel_format)
    # The receiver sees a lost reference picture in the bitstream, flags what it damages and
    # asks for an IDR at once.
    decoder = _codec.H264Decoder(request_idr_on_loss=True)
    # A second decoder sees every access unit: its pictures are what a lossless link shows, so
    # a picture of the lossy link that equals it is one no loss has touched (the codec's
    # decoding is deterministic), and a loss has recovered at the first such picture.
    reference_decoder = _codec.H264Decoder()
    lossless: dict[int, bytes] = {}
    channel = LossyChannel(cfg.loss, cfg.burst_rate, cfg.burst_frames, cfg.seed)

    frame_of_stamp: dict[int, int] = {}
    idr_due: list[int] = []              # frame indices at which a request reaches the encoder
    encode_us: list[float] = []
    convert_us: list[float] = []
    encode_call: list[float] = []
    decode_call: list[float] = []
    latency: list[float] = []
    psnrs: list[tuple[float, int, bool]] = []
    recovery_frames: list[int] = []
    # A loss episode runs from a loss to the first picture that no loss has touched and that is
    # not flagged; losses inside it extend it, and its recovery is counted from the last of them.
    last_loss: int | None = None
    losses = 0
    lost = 0
    access_units = 0
    decode_errors = 0
    resets = 0
    recovering_pictures = 0
    damaged_pictures = 0
    hit_unflagged = 0
    total_bytes = 0
    worst: tuple | None = None
    worst_psnr = float("inf")
    last_stamp = -1
    prev_timings = encoder.timings()
    start = time.monotonic()

    for n in range(cfg.frames):
        if cfg.realtime:
            delay = start + n / max(cfg.fps, 1) - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        while idr_due and idr_due[0] <= n:
            idr_due.pop(0)
            encoder.request_idr()
        stamp = max(_now_us(), last_stamp + 1)
        last_stamp = stamp
        source = pattern.next(stamp)
        frame_of_stamp[stamp] = n
        picture = _source_picture(source, cfg.pixel_format)

        t0 = time.perf_counter_ns()
        units = encoder.encode(picture, stamp)
        encode_call.append((time.perf_counter_ns() - t0) / 1000)
        timings = encoder.timings()
        convert_us.append(timings[0] - prev_timings[0])
        encode_us.append(timings[1] - prev_timings[1])
        prev_timings = timings

        for data, t_us, key, config, recovery, _encoded_us in units:
            access_units += 1
            total_bytes += len(data)
            if save is not None:
                save.write(data)
            for pic in reference_decoder.decode(data, t_us, key, config, recovery):
                lossless[pic.t_us] = pic.y.tobytes()
            if channel.lost():
                lost += 1
                if last_loss is None:
                    losses += 1
                last_loss = n
                continue
            t0 = time.perf_counter_ns()
            try:
                pictures = decoder.decode(data, t_us, key, config, recovery)
            except _codec.MediaError:
                decode_errors += 1
                pictures = []
            decode_call.append((time.perf_counter_ns() - t0) / 1000)
            arrived = _now_us()
            signal = decoder.take_signal()
            if signal == "request_idr":
                idr_due.append(n + cfg.rtt_frames)
            elif signal == "reset":
                resets += 1
            for pic in pictures:
                index = frame_of_stamp.pop(pic.t_us, None)
                latency.append(arrived - pic.t_us)
                expected = lossless.pop(pic.t_us, None)
                # Stamps of lost access units never come out: forget those older than this one.
                for stale in [t for t in lossless if t < pic.t_us]:
                    del lossless[stale]
                hit = expected != pic.y.tobytes()
                damaged = hit or pic.recovering
                if pic.recovering:
                    recovering_pictures += 1
                if hit:
                    damaged_pictures += 1
                    if not pic.recovering:
                        hit_unflagged += 1
                if not damaged and last_loss is not None:
                    recovery_frames.append(n - last_loss)
                    last_loss = None
                if index is None:
                    continue
                reference = pattern.frame(index, pic.t_us)
                value = _codec.psnr(reference.y, pic.y)
                value = float("inf") if value is None else value
                psnrs.append((value, index, damaged))
                if keep_worst and value < worst_psnr:
                    worst_psnr = value
                    worst = (reference, pic)
        if progress is not None:
            progress(n + 1, {"lost": lost, "decoded": len(psnrs),
                             "psnr": psnrs[-1][0] if psnrs else None})

    elapsed_frames = cfg.frames
    stats = encoder.stats()
    dstats = decoder.stats()
    finite = [p for p, _, _ in psnrs if p != float("inf")]
    clean = [p for p, _, damaged in psnrs if not damaged and p != float("inf")]
    worst_frame = min(psnrs)[1] if psnrs else None
    ordered = sorted(recovery_frames)
    summary = LinkSummary(
        width=cfg.width, height=cfg.height, fps=cfg.fps, pixel_format=cfg.pixel_format,
        backend=encoder.backend, gop=encoder.gop, intra_refresh=cfg.intra_refresh,
        frames_sent=cfg.frames, access_units=access_units, lost=lost, decoded=len(psnrs),
        recovering_pictures=recovering_pictures, damaged_pictures=damaged_pictures,
        hit_unflagged=hit_unflagged,
        wrong_share=damaged_pictures / len(psnrs) if psnrs else 0.0,
        pictures_per_au=(dstats["images"] / dstats["fed"]) if dstats["fed"] else 0.0,
        decode_errors=decode_errors,
        encode_us=Stat.of(encode_us), convert_us=Stat.of(convert_us),
        encode_call_us=Stat.of(encode_call), decode_call_us=Stat.of(decode_call),
        latency_us=Stat.of(latency),
        bitrate_kbps=total_bytes * 8 * cfg.fps / elapsed_frames / 1000,
        psnr_mean_db=statistics.fmean(finite) if finite else None,
        psnr_min_db=min(finite) if finite else None,
        psnr_clean_min_db=min(clean) if clean else None,
        idr_requests=stats["idr_requests"], resets=resets,
        starts=dstats["sync"]["starts"], recovery_starts=dstats["sync"]["starts_at_recovery"],
        losses=losses, losses_seen=dstats["sync"]["losses"], recovery_frames=recovery_frames,
        recovery_mean=statistics.fmean(ordered) if ordered else None,
        recovery_p95=ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))] if ordered else None,
        recovery_max=ordered[-1] if ordered else None,
        unrecovered=1 if last_loss is not None else 0, worst_frame=worst_frame)
    encoder.close()
    decoder.close()
    reference_decoder.close()
    return summary, worst


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
