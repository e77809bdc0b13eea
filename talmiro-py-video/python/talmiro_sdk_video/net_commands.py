"""The network commands behind `python -m talmiro_sdk_video send`, `receive` and
`link --transport udp`: the test pattern sent in real time by `RtpSender`, received by
`RtpReceiver`, and both in one process through the seeded relay. Each returns its summary as a
dict of plain values (the `--json` output); `format_*` turn one into lines of text.
"""

from __future__ import annotations

import collections
import dataclasses
import os
import random
import statistics
import threading
import time
from collections.abc import Callable
from typing import BinaryIO

from . import _codec
from ._net import wall_us
from .receiver import RtpReceiver
from .relay import Relay, RelayConfig
from .sdp import VideoSdp
from .sender import RtpSender
from .srtp import SrtpKey

# A picture of the test pattern whose luma PSNR against its source is below this is wrong:
# the pattern codes at 40 dB and more at the link's rates, a picture a loss damaged far lower.
WRONG_PSNR_DB = 30.0
# Lossless pictures kept for the udp link's check, waiting for the receiver to show them.
LOSSLESS_KEPT = 120
# After the last picture, the sender answers NACKs for this long before it says BYE.
SEND_LINGER_S = 0.3
# After the sender's BYE, the receiver waits this long for what is still on its way.
RECEIVE_GRACE_S = 0.3


@dataclasses.dataclass
class SendConfig:
    to: list[tuple[str, int]]
    width: int = 640
    height: int = 480
    fps: int = 30
    frames: int = 300
    bitrate_kbps: int = 2000
    pixel_format: str = "i420"
    backend: str = "auto"
    mtu: int = 1200
    bind: str = "0.0.0.0"
    port: int = 0
    rtcp_port: int | None = None
    rtx: bool = True
    sdp_path: str | None = None
    intra_refresh: bool = True
    keyframe_interval: int = 0
    # Fixes the SSRCs and first sequence numbers (media and RTX) and the timestamps (else
    # random), so that the seeded relay gives two runs the same losses.
    stream_seed: int | None = None
    # SRTP: the stream's key, and the key of the receivers' RTCP (None: the stream's).
    srtp: SrtpKey | None = None
    srtp_feedback: SrtpKey | None = None
    # Congestion control: the target follows the network between these (kbit/s; None: from
    # the bitrate, its ceiling).
    congestion_control: bool = True
    min_kbps: int | None = None
    max_kbps: int | None = None


@dataclasses.dataclass
class ReceiveConfig:
    port: int = 0
    bind: str = "0.0.0.0"
    frames: int | None = None
    seconds: float | None = None
    sdp: VideoSdp | None = None
    max_delay_ms: float = 100.0
    nack: bool | None = None
    rtcp_to: tuple[str, int] | None = None
    sender: str | tuple[str, int] | None = None
    srtp: SrtpKey | None = None
    srtp_feedback: SrtpKey | None = None


def _pattern_input(image: _codec.Image, pixel_format: str):
    if pixel_format == "i420":
        return image
    from .pixels import source_picture  # NumPy, only for the other pixel formats
    return source_picture(image, pixel_format)


def run_send(cfg: SendConfig, progress: Callable[[int, dict], None] | None = None,
             stop: threading.Event | None = None, save: BinaryIO | None = None,
             on_unit: Callable[[tuple, int], None] | None = None,
             started: Callable[[RtpSender], None] | None = None) -> dict:
    """Sends `cfg.frames` pictures of the test pattern in real time; the summary."""
    encoder = _codec.H264Encoder(cfg.width, cfg.height, fps=cfg.fps,
                                 bitrate_kbps=cfg.bitrate_kbps, backend=cfg.backend,
                                 pixel_format=cfg.pixel_format, intra_refresh=cfg.intra_refresh,
                                 keyframe_interval=cfg.keyframe_interval)
    pattern = _codec.TestPattern(cfg.width, cfg.height, cfg.fps)
    sender = None
    # Capture times are whole multiples of 100 µs from the start (9 ticks of the 90 kHz clock).
    start_wall = (wall_us() + 20_000) // 100 * 100
    start_mono = time.monotonic() + 0.02
    fixed = stream_identity(cfg.stream_seed, start_wall)
    try:
        sender = RtpSender(cfg.to, encoder=encoder, bind=cfg.bind, port=cfg.port,
                           rtcp_port=cfg.rtcp_port, mtu=cfg.mtu,
                           rtx_payload_type=97 if cfg.rtx else None, srtp=cfg.srtp,
                           srtp_feedback=cfg.srtp_feedback,
                           congestion_control=cfg.congestion_control, min_kbps=cfg.min_kbps,
                           max_kbps=cfg.max_kbps, **fixed)
        if started is not None:
            started(sender)
        sender.set_pattern(cfg.width, cfg.height, cfg.fps, 4, start_wall)
        t0 = time.monotonic()
        sent = 0
        for n in range(cfg.frames):
            if stop is not None and stop.is_set():
                break
            delay = start_mono + n / cfg.fps - time.monotonic()
            if delay > 0:
                try:
                    time.sleep(delay)
                except KeyboardInterrupt:  # ends the run; the summary still comes
                    break
            capture = start_wall + round(n * 1_000_000 / cfg.fps)
            units = encoder.encode(_pattern_input(pattern.frame(n, capture), cfg.pixel_format),
                                   capture)
            for unit in units:
                _send_one(sender, unit, save, on_unit)
            if n == 0 and cfg.sdp_path:
                _write_sdp(cfg, sender)
            sent = n + 1
            if progress is not None:
                progress(sent, sender.stats())
        for unit in encoder.flush():
            _send_one(sender, unit, save, on_unit)
        time.sleep(SEND_LINGER_S)
        elapsed = time.monotonic() - t0
    finally:
        if sender is not None:
            sender.close()
        encoder.close()
    out = sender.stats()
    out["frames"] = sent
    out["seconds"] = round(elapsed, 3)
    out["bitrate_kbps"] = round(out["bytes"] * 8 / max(sent / cfg.fps, 1e-3) / 1000, 1)
    return out


def stream_identity(seed: int | None, start_wall_us: int) -> dict:
    """RtpSender's SSRCs, first sequence numbers and timestamp offset for a stream seed (empty
    for None: all drawn at random): two runs with one seed send every packet, retransmissions
    included, with the same SSRC and sequence number, and the first picture (captured at
    `start_wall_us`) with the same timestamp."""
    if seed is None:
        return {}
    rng = random.Random(f"talmiro-stream/{seed}")
    fixed = {"ssrc": rng.getrandbits(32), "first_seq": rng.getrandbits(16),
             "timestamp_offset": (rng.getrandbits(32) - start_wall_us // 100 * 9) % (1 << 32)}
    rtx_ssrc = rng.getrandbits(32)
    fixed["rtx_ssrc"] = rtx_ssrc if rtx_ssrc != fixed["ssrc"] else rtx_ssrc ^ 0xFFFFFFFF
    fixed["rtx_first_seq"] = rng.getrandbits(16)
    return fixed


def _send_one(sender: RtpSender, unit: tuple, save: BinaryIO | None,
              on_unit: Callable[[tuple, int], None] | None) -> None:
    if save is not None:
        save.write(unit[0])
    if on_unit is not None:
        on_unit(unit, sender.timestamp_of(unit[1]))
    sender.send_unit(unit)


def _write_sdp(cfg: SendConfig, sender: RtpSender) -> None:
    """The description of the stream, once its first picture went (with its parameter sets)."""
    host, port = cfg.to[0]
    sdp = VideoSdp.from_packetizer(sender.packetizer, port, address=host,
                                   rtx_payload_type=97 if cfg.rtx else None,
                                   framerate=float(cfg.fps), crypto=cfg.srtp,
                                   transport_cc=sender.transport_cc)
    assert cfg.sdp_path is not None
    text = sdp.to_text()
    if cfg.srtp is None:
        with open(cfg.sdp_path, "w", encoding="ascii", newline="") as f:
            f.write(text)
        return
    # With its key the description is a secret: its owner's alone, even if it was there before.
    fd = os.open(cfg.sdp_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with open(fd, "w", encoding="ascii", newline="") as f:
        os.fchmod(fd, 0o600)
        f.write(text)


class _Scorer:
    """Judges the pictures of a test-pattern stream against their regenerated source."""

    def __init__(self, keep_worst: bool):
        self.keep_worst = keep_worst
        self.pattern: _codec.TestPattern | None = None
        self.key: tuple | None = None
        self.psnrs: list[float] = []
        self.wrong = 0
        self.wrong_unflagged = 0
        self.worst: tuple | None = None
        self.worst_psnr = float("inf")

    def score(self, receiver: RtpReceiver, pic: _codec.Image) -> float | None:
        info = receiver.pattern
        if info is None:
            return None
        key = (info["w"], info["h"], info["fps"], info["speed"])
        if key != self.key:
            self.key = key
            self.pattern = _codec.TestPattern(info["w"], info["h"], info["fps"],
                                              speed=info["speed"])
        n = receiver.pattern_frame(pic.t_us)
        if n is None or pic.width != info["w"] or pic.height != info["h"]:
            return None
        assert self.pattern is not None
        source = self.pattern.frame(n)
        value = _codec.psnr(source.y, pic.y)
        value = float("inf") if value is None else value
        self.psnrs.append(value)
        if value < WRONG_PSNR_DB:
            self.wrong += 1
            self.wrong_unflagged += not pic.recovering
        if self.keep_worst and value < self.worst_psnr:
            self.worst_psnr = value
            self.worst = (source, pic)
        return value


def run_receive(cfg: ReceiveConfig, progress: Callable[[int, dict], None] | None = None,
                stop: threading.Event | None = None, save: BinaryIO | None = None,
                keep_worst: bool = False,
                on_picture: Callable[[RtpReceiver, _codec.Image], None] | None = None,
                started: Callable[[RtpReceiver], None] | None = None
                ) -> tuple[dict, tuple | None]:
    """Receives until `cfg.frames` pictures, `cfg.seconds`, the sender's BYE or `stop`; the
    summary and (with `keep_worst`) the worst test-pattern picture beside its source."""
    on_unit = None
    if save is not None:
        def on_unit(unit: tuple, t_us: int) -> None:
            save.write(unit[0])
    receiver = RtpReceiver(cfg.port, bind=cfg.bind, sender=cfg.sender, rtcp_to=cfg.rtcp_to,
                           sdp=cfg.sdp, max_delay_ms=cfg.max_delay_ms, nack=cfg.nack,
                           on_unit=on_unit, srtp=cfg.srtp, srtp_feedback=cfg.srtp_feedback)
    scorer = _Scorer(keep_worst)
    pictures = 0
    t0 = time.monotonic()
    bye_at: float | None = None
    try:
        if started is not None:
            started(receiver)
        while True:
            now = time.monotonic()
            if stop is not None and stop.is_set():
                break
            if cfg.seconds is not None and now - t0 >= cfg.seconds:
                break
            if cfg.frames is not None and pictures >= cfg.frames:
                break
            if receiver.bye:
                bye_at = bye_at or now
                if now - bye_at >= RECEIVE_GRACE_S:
                    break
            try:
                batch = receiver.receive(timeout=0.05)
            except KeyboardInterrupt:  # ends the run; the summary still comes
                break
            for pic in batch:
                pictures += 1
                scorer.score(receiver, pic)
                if on_picture is not None:
                    on_picture(receiver, pic)
                if cfg.frames is not None and pictures >= cfg.frames:
                    break
            if progress is not None:
                progress(pictures, receiver.stats())
    finally:
        receiver.close()
    out = receiver.stats()
    out["seconds"] = round(time.monotonic() - t0, 3)
    out["pictures_taken"] = pictures
    finite = [p for p in scorer.psnrs if p != float("inf")]
    # A picture equal to its source (inf) is left out of the mean, as the in-process link does.
    out["psnr_mean_db"] = round(statistics.fmean(finite), 3) if finite else None
    out["wrong_share"] = scorer.wrong / len(scorer.psnrs) if scorer.psnrs else None
    out["wrong_pictures"] = scorer.wrong if scorer.psnrs else None
    # Wrong pictures the receiver handed over without flagging them `recovering`.
    out["wrong_unflagged"] = scorer.wrong_unflagged if scorer.psnrs else None
    return out, scorer.worst


@dataclasses.dataclass
class UdpLinkConfig:
    send: SendConfig
    relay: RelayConfig
    max_delay_ms: float = 100.0
    nack: bool = True


class _LosslessJudge:
    """Judges each picture shown against a lossless decode of what was sent."""

    def __init__(self) -> None:
        self.lossless: collections.OrderedDict[int, bytes] = collections.OrderedDict()
        self.shadow = _codec.H264Decoder()
        self.lock = threading.Lock()
        self.judged = {"pictures": 0, "wrong": 0, "wrong_unflagged": 0, "flagged": 0,
                       "unknown": 0}
        self.stamp_ts: dict[int, int] = {}

    def sent(self, unit: tuple, rtp_ts: int) -> None:
        self.stamp_ts[unit[1]] = rtp_ts
        for pic in self.shadow.decode(unit[0], unit[1], unit[2], unit[3], unit[4]):
            with self.lock:
                self.lossless[self.stamp_ts.pop(pic.t_us, -1)] = pic.y.tobytes()
                while len(self.lossless) > LOSSLESS_KEPT:  # a receiver that stalls
                    self.lossless.popitem(last=False)

    def shown(self, receiver: RtpReceiver, pic: _codec.Image) -> None:
        ts = receiver.rtp_timestamp(pic.t_us)
        expected = None
        with self.lock:
            if ts is not None and ts in self.lossless:
                # Pictures come out in order: those before this one were not shown.
                while True:
                    key, value = self.lossless.popitem(last=False)
                    if key == ts:
                        expected = value
                        break
        judged = self.judged
        judged["pictures"] += 1
        judged["flagged"] += pic.recovering
        if expected is None:
            judged["unknown"] += 1
            return
        if expected != pic.y.tobytes():
            judged["wrong"] += 1
            judged["wrong_unflagged"] += not pic.recovering


def run_udp_link(cfg: UdpLinkConfig, progress: Callable[[int, dict], None] | None = None,
                 save: BinaryIO | None = None, keep_worst: bool = False
                 ) -> tuple[dict, tuple | None]:
    """A sender and a receiver in this process over loopback sockets, through the relay. Each
    picture shown is checked against a lossless decode of what was sent: `wrong` pictures
    differ from it, `wrong_unflagged` differ and are not flagged `recovering`."""
    judge = _LosslessJudge()
    stop = threading.Event()
    results: dict = {}
    ready = threading.Event()
    holder: dict = {}

    def started(receiver: RtpReceiver) -> None:
        holder["receiver"] = receiver
        ready.set()

    def receive() -> None:
        try:
            results["receive"] = run_receive(
                ReceiveConfig(port=0, bind="127.0.0.1", max_delay_ms=cfg.max_delay_ms,
                              nack=cfg.nack, sender="127.0.0.1"),
                stop=stop, keep_worst=keep_worst, on_picture=judge.shown,
                started=started)
        except BaseException as err:  # reported below
            results["error"] = err
            ready.set()

    thread = threading.Thread(target=receive, name="talmiro-link-receive", daemon=True)
    thread.start()
    ready.wait(10)
    if "error" in results:
        raise results["error"]
    relay = Relay(("127.0.0.1", 0), holder["receiver"].address, cfg.relay)
    relay.start()
    try:
        send_cfg = dataclasses.replace(cfg.send, to=[relay.listen_address], bind="127.0.0.1")
        results["send"] = run_send(send_cfg, progress=progress, save=save, on_unit=judge.sent)
        # The receiver ends at the sender's BYE (or, should it be lost, after a while).
        thread.join(5.0)
    finally:
        stop.set()
        thread.join(5.0)
        relay.stop()
        judge.shadow.close()
    if "error" in results:
        raise results["error"]
    received, worst = results["receive"]
    judged = judge.judged
    shown_count = judged["pictures"]
    summary = {"send": results["send"], "receive": received, "relay": relay.counters(),
               "pictures": shown_count, "wrong": judged["wrong"],
               "wrong_unflagged": judged["wrong_unflagged"], "flagged": judged["flagged"],
               "unjudged": judged["unknown"],
               "wrong_share": judged["wrong"] / shown_count if shown_count else None}
    return summary, worst


def _ms(value) -> str:
    return "-" if value is None else f"{value:.2f} ms"


def format_send(s: dict) -> list[str]:
    reasons = s["idr_reasons"]
    lines = [
        f"sent {s['frames']} frames, {s['packets']} packets, {s['bytes']} bytes "
        f"({s['bitrate_kbps']} kbit/s) in {s['seconds']} s",
        f"IDR pictures {s['idr_pictures']} (first {reasons['first']}, PLI {reasons['pli']}, "
        f"FIR {reasons['fir']}, other {reasons['other']}); requests coalesced "
        f"{s['idr_requests_coalesced']}",
        f"feedback: PLI {s['plis_received']}, FIR {s['firs_received']}, NACK {s['nacks_received']}"
        f" -> resent {s['packets_resent']} packets (not in history {s['resend_misses']}, "
        f"over the limit {s['resend_limited']}); refused {s['feedback_refused']} datagrams "
        f"from other hosts, {s['rtcp_refused']} malformed packets",
    ]
    if s.get("target_kbps") is not None:
        lines.append(_congestion_line(s))
    if s["srtp"]:
        lines.append(f"protected by SRTP ({s['srtp']}): refused feedback "
                     f"{s['feedback_auth_failures']} (failed authentication, replayed or "
                     f"malformed)")
    for r in s["receivers"]:
        lost = "-" if r["fraction_lost"] is None else f"{100 * r['fraction_lost']:.1f}%"
        lines.append(f"receiver {r['address']}: lost {lost}, jitter {_ms(r['jitter_ms'])}, "
                     f"rtt {_ms(r['rtt_ms'])} ({r['reports']} reports)")
    return lines


def users_network(seconds: float, bitrate_kbps: int, seed: int = 1) -> RelayConfig:
    """A network like our users' for a run of `seconds`: 0.5 % random loss, 15 ms each way
    (with 2 ms of jitter), and for the middle third of the run a 300 ms drop-tail queue capped
    at a quarter of the encoder's bitrate (below the stream's rate), uncapped again after."""
    third = seconds / 3
    return RelayConfig(loss=0.005, delay_ms=15.0, jitter_ms=2.0, seed=seed, queue_ms=300.0,
                       rate_schedule=((third, bitrate_kbps / 4), (2 * third, 1e6)))


def _target_course(history: list) -> str:
    """The target's course in at most a dozen points."""
    step = max(1, -(-len(history) // 12))
    points = history[::step] + ([history[-1]] if (len(history) - 1) % step else [])
    return ", ".join(f"{t:.1f} s {kbps}" for t, kbps in points)


def _congestion_line(s: dict) -> str:
    pacer = s["pacer"]
    return (f"congestion control: target {s['target_kbps']} kbit/s (min "
            f"{s['target_kbps_min']}, mean {s['target_kbps_mean']}, max {s['target_kbps_max']}); "
            f"feedback: transport-wide {s['transport_feedback_received']}, REMB "
            f"{s['rembs_received']}; pacer: longest wait {pacer['max_wait_us'] / 1000:.1f} ms, "
            f"dropped {pacer['dropped_stale_retransmissions'] + pacer['dropped_overflow']}")


def format_receive(s: dict) -> list[str]:
    def us(v):
        return "-" if v is None else f"{v / 1000:.2f} ms"
    refused = ", ".join(f"{k} {v}" for k, v in s["refused"].items())
    lines = [
        f"pictures {s['pictures']} ({s['flagged']} flagged recovering) in {s['seconds']} s",
        f"packets received {s['packets_received']}, lost {s['packets_lost']}, recovered by "
        f"retransmission {s['packets_recovered']}, too late {s['packets_late']}, refused "
        f"{s['packets_refused']} (foreign source {s['refused_foreign_source']}"
        + (f"; {refused}" if refused else "") + ")",
        f"access units complete {s['units_complete']}, incomplete {s['units_incomplete']}; "
        f"NACKs sent {s['nacks_sent']}, PLIs sent {s['plis_sent']}, transport-wide feedback "
        f"sent {s['transport_feedback_sent']}; rtt {_ms(s['rtt_ms'])}",
        f"latency capture->picture p50 {us(s['latency_p50_us'])}, p99 {us(s['latency_p99_us'])}",
        f"decoder: losses {s['losses']}, IDR requests {s['idr_requests']}, resets {s['resets']}, "
        f"errors {s['decoder_errors']}",
    ]
    if s["srtp"]:
        lines.append(f"protected by SRTP ({s['srtp']}): refused for failed authentication "
                     f"{s['auth_failures']}, replays {s['replays']}, other unprotect errors "
                     f"{s['unprotect_errors']}")
    if s["psnr_mean_db"] is not None:
        lines.append(f"test pattern: luma PSNR mean {s['psnr_mean_db']:.2f} dB, wrong pictures "
                     f"{100 * s['wrong_share']:.1f}% (below {WRONG_PSNR_DB:g} dB)")
    return lines


def format_udp_link(s: dict) -> list[str]:
    relay = s["relay"]["forward"]
    lines = [f"relay: forwarded {relay['forwarded']}, lost {relay['lost'] + relay['lost_in_burst']}"
             f", reordered {relay['reordered']}"]
    if relay["rate_kbps"]:
        steps = ", ".join(f"{t:.1f} s " + ("no cap" if k is None or k >= 1e6 else f"{k:.0f} kbit/s")
                          for t, k in relay["rate_kbps"])
        lines.append(f"relay capacity: {steps}; dropped at the cap {relay['queue_drops']}, "
                     f"queueing delay p95 {relay['queue_delay_p95_ms']} ms")
    lines += format_send(s["send"]) + format_receive(s["receive"])
    if s["send"].get("target_history"):
        lines.append("target over time (kbit/s): " + _target_course(s["send"]["target_history"]))
    share = "-" if s["wrong_share"] is None else f"{100 * s['wrong_share']:.1f}%"
    lines.append(f"against a lossless decode: {s['wrong']} of {s['pictures']} pictures wrong "
                 f"({share}), {s['wrong_unflagged']} of them not flagged; {s['flagged']} flagged")
    return lines
