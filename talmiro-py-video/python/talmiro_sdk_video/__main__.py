"""`python -m talmiro_sdk_video`: does a low-latency link work on this machine, and how good is it?

    python -m talmiro_sdk_video [link] [options]   a publisher and a subscriber in one process
    python -m talmiro_sdk_video send --to HOST:PORT [options]
                                                   the test pattern over RTP, in real time
    python -m talmiro_sdk_video receive --port PORT [options]
                                                   an RTP stream received and decoded
    python -m talmiro_sdk_video info               what this build of the codec can do
    python -m talmiro_sdk_video relay --listen HOST:PORT --to HOST:PORT [options]
                                                   a seeded lossy relay for RTP and RTCP
"""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from typing import Sequence

from . import BACKENDS, PIXEL_FORMATS, _codec


class UsageError(Exception):
    """A mistake of the user's: reported as one line, no traceback."""


def _parse_size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"size must be WIDTHxHEIGHT, got {text!r}") from None
    return w, h


def _fraction(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0, got {text}")
    return value


def _port(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 65534:
        raise argparse.ArgumentTypeError(f"port must be between 1 and 65534, got {text}")
    return value


def _address(text: str) -> tuple[str, int]:
    from ._net import parse_address
    try:
        return parse_address(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, exit status 2
        raise UsageError(message)


# "auto, x264 or nvenc": the backend names the module takes.
_BACKEND_HELP = ", ".join(BACKENDS[:-1]) + " or " + BACKENDS[-1]


def _add_stream_args(p: argparse.ArgumentParser, bitrate_flag: str) -> None:
    """The test-pattern stream and its encoder: the options link and send share."""
    p.add_argument("--size", type=_parse_size, default=(640, 480), help="WIDTHxHEIGHT (640x480)")
    p.add_argument("--fps", type=int, default=30)
    p.add_argument("--frames", type=int, default=300)
    p.add_argument("--pixel-format", default="i420", choices=PIXEL_FORMATS)
    p.add_argument(bitrate_flag, type=int, default=2000, help="kbit/s (2000)")
    p.add_argument("--backend", default="auto", help=_BACKEND_HELP)


# The relay's options as `_relay_config` reads them: flag, type, default.
_CHANNEL_OPTIONS = (("--loss", _fraction, 0.0), ("--burst-rate", _fraction, 0.0),
                    ("--burst-packets", int, 5), ("--reorder", _fraction, 0.0),
                    ("--jitter-ms", float, 0.0), ("--delay-ms", float, 0.0), ("--seed", int, 1))


def _add_channel_args(p: argparse.ArgumentParser, helps: tuple[str | None, ...]) -> None:
    """The lossy relay's options, which link (udp) and relay share, each with the command's
    own help text (in `_CHANNEL_OPTIONS`' order)."""
    for (flag, kind, default), text in zip(_CHANNEL_OPTIONS, helps, strict=True):
        p.add_argument(flag, type=kind, default=default, help=text)


def _add_srtp_args(p: argparse.ArgumentParser, sending: bool) -> None:
    """SRTP's keys and suite: the options send and receive share."""
    from .srtp import DEFAULT_SUITE, SRTP_SUITES

    if sending:
        p.add_argument("--srtp", action="store_true",
                       help="protect the stream with SRTP; without --key-file, with a new key "
                            "that goes into the --sdp file alone")
    p.add_argument("--key-file", metavar="FILE",
                   help="the SRTP key and salt, one line of base64 in a file only its owner "
                        "can read" + ("" if sending else " (default: the --sdp's a=crypto)"))
    p.add_argument("--srtp-suite", choices=tuple(SRTP_SUITES),
                   help=f"the SRTP suite of the key ({DEFAULT_SUITE})")
    p.add_argument("--feedback-key-file", metavar="FILE",
                   help="the key of the receiver's RTCP to the sender (default: the stream's)")


def _add_link(sub) -> argparse.ArgumentParser:
    link = sub.add_parser("link", help="run a publisher and a subscriber in one process")
    _add_stream_args(link, "--bitrate")
    refresh = link.add_mutually_exclusive_group()
    refresh.add_argument("--intra-refresh", dest="intra_refresh", action="store_true", default=True,
                         help="periodic intra refresh (default)")
    refresh.add_argument("--idr", dest="intra_refresh", action="store_false",
                         help="periodic IDR pictures instead of intra refresh")
    link.add_argument("--keyframe-interval", type=int, default=0,
                      help="refresh or IDR period in frames (0: one second)")
    link.add_argument("--transport", choices=("udp", "memory"), default="udp",
                      help="udp (default): RTP over loopback sockets through a seeded lossy "
                           "relay; memory: in-process, losing whole access units")
    _add_channel_args(link, ("chance a packet (udp) or an access unit (memory) is lost",
                             "chance per packet (udp) or access unit (memory) that a burst starts",
                             "udp: packets lost per burst",
                             "udp: chance a packet is held back behind the next one",
                             "udp: extra delay per packet, uniform in 0..JITTER",
                             "udp: one-way delay", None))
    link.add_argument("--burst-frames", type=int, default=5,
                      help="memory: access units lost per burst")
    link.add_argument("--mtu", type=int, default=1200, help="udp: bytes of UDP payload (1200)")
    _add_bottleneck_args(link)
    link.add_argument("--clean", action="store_true",
                      help="udp: a perfect link (without this and any of the relay's options, the "
                           "link is like a robot's: 0.5%% loss, a 30 ms round trip, and for the "
                           "middle third of the run a cap at a quarter of --bitrate)")
    link.add_argument("--max-delay-ms", type=_positive, default=100.0,
                      help="udp: longest wait for a retransmission (100)")
    link.add_argument("--no-nack", action="store_true", help="udp: no retransmissions")
    link.add_argument("--rtt", type=int, default=2,
                      help="memory: round trip of an IDR request, in frames")
    link.add_argument("--realtime", action="store_true", help="pace the pictures by --fps")
    link.add_argument("--json", action="store_true", help="print the summary as JSON")
    link.add_argument("--save", metavar="FILE.h264", help="write the sent stream")
    link.add_argument("--snapshot", metavar="FILE.png",
                      help="write the worst frame, source beside decoded, as a PNG")
    link.add_argument("--no-progress", action="store_true")
    return link


def _add_send(sub) -> argparse.ArgumentParser:
    send = sub.add_parser("send", help="send the test pattern over RTP/UDP in real time")
    send.add_argument("--to", required=True, type=_address, action="append",
                      help="HOST:PORT or [IPV6]:PORT of a receiver (RTCP on PORT + 1); may be "
                           "repeated")
    _add_stream_args(send, "--bitrate-kbps")
    send.add_argument("--idr", action="store_true",
                      help="periodic IDR pictures instead of intra refresh")
    send.add_argument("--mtu", type=int, default=1200, help="bytes of UDP payload (1200)")
    send.add_argument("--sdp", metavar="FILE", help="write the stream's description here "
                                                   "before the first packet")
    send.add_argument("--save", metavar="FILE.h264", help="write the sent stream")
    send.add_argument("--rtcp-port", type=_port, help="port for feedback (default: the RTP "
                                                     "source port + 1)")
    send.add_argument("--port", type=int, default=0, help="local RTP source port (0: any)")
    send.add_argument("--bind", default="0.0.0.0", help="local address (0.0.0.0: IPv4, or :: "
                      "when a receiver has only IPv6 addresses; :: takes both)")
    send.add_argument("--no-rtx", action="store_true",
                      help="resend lost packets as they were, not as RTX packets")
    send.add_argument("--stream-seed", type=int,
                      help="fix the SSRC, first sequence number and timestamps (else random), "
                           "so that a seeded relay loses the same packets in every run")
    send.add_argument("--no-cc", action="store_true",
                      help="no congestion control: send at the encoder's bitrate whatever the "
                           "network carries, every packet of a picture at once")
    send.add_argument("--min-kbps", type=int, help="the lowest target of congestion control "
                                                   "(default: a tenth of the bitrate)")
    send.add_argument("--max-kbps", type=int, help="the highest target (default: the bitrate)")
    _add_srtp_args(send, sending=True)
    send.add_argument("--json", action="store_true", help="print the summary as JSON")
    send.add_argument("--no-progress", action="store_true")
    return send


def _add_receive(sub) -> argparse.ArgumentParser:
    receive = sub.add_parser("receive", help="receive and decode an RTP H.264 stream")
    receive.add_argument("--port", type=_port, help="RTP port (RTCP on PORT + 1); with --sdp, "
                                                    "it wins over the description's")
    receive.add_argument("--frames", type=int, help="stop after this many pictures")
    receive.add_argument("--seconds", type=_positive, help="stop after this long")
    receive.add_argument("--sdp", metavar="FILE", help="a description of the stream")
    receive.add_argument("--max-delay-ms", type=_positive, default=100.0,
                         help="longest wait for a retransmission (100)")
    receive.add_argument("--no-nack", action="store_true", help="never ask for retransmissions")
    receive.add_argument("--rtcp-to", type=_address, help="HOST:PORT for RTCP (default: where "
                         "the sender's RTCP came from, else its RTP port + 1)")
    receive.add_argument("--sender", help="HOST, HOST:PORT or [IPV6]:PORT media is taken from "
                                          "(default: the first host heard, any port)")
    receive.add_argument("--bind", default="0.0.0.0", help="local address (0.0.0.0: IPv4; :: "
                         "takes both families)")
    receive.add_argument("--save", metavar="FILE.h264", help="write the received stream")
    receive.add_argument("--snapshot", metavar="FILE.png",
                         help="test pattern: write the worst picture beside its source")
    _add_srtp_args(receive, sending=False)
    receive.add_argument("--json", action="store_true", help="print the summary as JSON")
    receive.add_argument("--no-progress", action="store_true")
    return receive


def _add_relay(sub) -> None:
    relay = sub.add_parser("relay", help="a seeded lossy UDP relay for RTP (PORT) and RTCP "
                                         "(PORT + 1), both ways")
    relay.add_argument("--listen", required=True, type=_address,
                       help="HOST:PORT the sender sends to (RTCP on PORT + 1)")
    relay.add_argument("--to", required=True, type=_address,
                       help="HOST:PORT of the receiver (RTCP on PORT + 1)")
    relay.add_argument("--rtcp-back", type=_address,
                       help="HOST:PORT for the receiver's RTCP (default: where the sender's "
                            "RTCP came from, else its RTP source port + 1)")
    relay.add_argument("--out-port", type=int, default=0,
                       help="the relay's port towards the receiver, where it takes the "
                            "receiver's RTCP on PORT + 1 (0: a free pair)")
    _add_channel_args(relay, ("chance a packet is lost", "chance a packet starts a burst of losses",
                              "packets lost per burst",
                              "chance a packet is held back behind the next one",
                              "extra delay, uniform in 0..JITTER; the order is kept",
                              "one-way delay, both ways", None))
    relay.add_argument("--clean-back", action="store_true",
                       help="no loss or reordering from the receiver to the sender")
    _add_bottleneck_args(relay)
    relay.add_argument("--seconds", type=float, default=0.0,
                       help="stop after this long (0: when interrupted)")
    relay.add_argument("--json", action="store_true", help="print the counters as JSON")


def _rate_schedule(text: str) -> tuple[tuple[float, float], ...]:
    from .relay import parse_rate_schedule
    try:
        return parse_rate_schedule(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _add_bottleneck_args(relay: argparse.ArgumentParser) -> None:
    """A capped link with a drop-tail queue each way, before the loss and the delays."""
    for prefix, way in (("", "from the sender to the receiver"),
                        ("back-", "from the receiver to the sender")):
        relay.add_argument(f"--{prefix}rate-kbps", type=_positive, metavar="KBPS",
                           help=f"the capacity {way}, kbit/s (default: no cap)")
        relay.add_argument(f"--{prefix}queue-ms", type=float, default=300.0, metavar="MS",
                           help="the longest a datagram waits for the capped link; one that "
                                "would wait longer is dropped (300)")
        relay.add_argument(f"--{prefix}rate-schedule", type=_rate_schedule, default=(),
                           metavar="T:KBPS,...",
                           help="the capacity from T seconds after the start on, e.g. "
                                "0:1000,40:2500,60:600,80:1000 (before the first T: "
                                f"--{prefix}rate-kbps)")


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m talmiro_sdk_video",
                     description="Low-latency H.264 link check: encoder, lossy channel, decoder.")
    sub = parser.add_subparsers(dest="command")
    link = _add_link(sub)
    send = _add_send(sub)
    receive = _add_receive(sub)
    info = sub.add_parser("info", help="libavcodec version, encoders, the backend auto opens")
    _add_relay(sub)
    for p in (link, info, send, receive):
        p.add_argument("--ffmpeg-log", default="quiet",
                       choices=("quiet", "error", "warning", "info", "verbose", "debug"),
                       help="libav's own log level (quiet: the summary alone)")
    return parser


def _info() -> int:
    print(f"libavcodec {_codec.avcodec_version()}")
    for name in ("libx264", "h264_nvenc"):
        print(f"encoder {name}: {'yes' if _codec.has_encoder(name) else 'no'}")
    try:
        enc = _codec.H264Encoder(64, 64)
        print(f"backend auto opens: {enc.backend}")
        enc.close()
    except _codec.MediaError as err:
        print(f"backend auto opens: nothing ({err})")
    return 0


class _Progress:
    """One live line on a terminal (tqdm when installed), plain lines when piped."""

    def __init__(self, total: int, enabled: bool):
        self._total = total
        self._bar = None
        self._enabled = enabled
        self._tty = sys.stderr.isatty()
        self._step = max(1, total // 10)
        if enabled and self._tty:
            try:
                from tqdm import tqdm
                self._bar = tqdm(total=total, unit="frame", file=sys.stderr, leave=False)
            except ImportError:
                self._bar = None

    def __call__(self, done: int, info: dict) -> None:
        if not self._enabled:
            return
        psnr = info["psnr"]
        text = f"lost {info['lost']} decoded {info['decoded']} psnr " + (
            "-" if psnr is None else f"{psnr:.1f} dB")
        if self._bar is not None:
            self._bar.update(done - self._bar.n)
            self._bar.set_postfix_str(text, refresh=False)
        elif self._tty:
            print(f"\r{done}/{self._total} {text}", end="", file=sys.stderr, flush=True)
        elif done % self._step == 0 or done == self._total:
            print(f"{done}/{self._total} {text}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._enabled and self._tty:
            print(file=sys.stderr)


def _snapshot(path: str, pair) -> None:
    try:
        from PIL import Image as PILImage
    except ImportError:
        raise UsageError("--snapshot needs Pillow: pip install 'talmiro-sdk-video[demo]'") from None
    import numpy as np

    from .pixels import yuv_to_rgb

    source, decoded = (yuv_to_rgb(np.asarray(i.y), np.asarray(i.u), np.asarray(i.v))
                       for i in pair)
    PILImage.fromarray(np.concatenate([source, decoded], axis=1), "RGB").save(path, "PNG")


def _write_snapshot(path: str | None, worst, missing: str) -> None:
    """--snapshot: the worst picture beside its source, or a usage error naming what is missing."""
    if not path:
        return
    if worst is None:
        raise UsageError(f"--snapshot: {missing}")
    _snapshot(path, worst)


@contextlib.contextmanager
def _save_file(path: str | None):
    """--save: the file the stream is written to (None without one), closed afterwards."""
    save = open(path, "wb") if path else None
    try:
        yield save
    finally:
        if save is not None:
            save.close()


def _link_network(args: argparse.Namespace):
    """The relay of link over UDP: the options given, a perfect link with --clean, else one
    like our users' (`users_network`)."""
    from .net_commands import users_network

    given = (args.loss, args.burst_rate, args.reorder, args.jitter_ms, args.delay_ms,
             args.rate_kbps, args.rate_schedule, args.back_rate_kbps, args.back_rate_schedule)
    if not args.clean and not any(given):
        return users_network(args.frames / args.fps, args.bitrate, args.seed)
    return _relay_config(args, rate_kbps=args.rate_kbps, queue_ms=args.queue_ms,
                         rate_schedule=args.rate_schedule, back_rate_kbps=args.back_rate_kbps,
                         back_queue_ms=args.back_queue_ms,
                         back_rate_schedule=args.back_rate_schedule)


def _relay_config(args: argparse.Namespace, **extra):
    """The relay's loss, reordering and delays from the channel options."""
    from .relay import RelayConfig

    return RelayConfig(loss=args.loss, burst_rate=args.burst_rate,
                       burst_packets=args.burst_packets, reorder=args.reorder,
                       jitter_ms=args.jitter_ms, delay_ms=args.delay_ms, seed=args.seed, **extra)


def _link(args: argparse.Namespace) -> int:
    if args.transport == "udp":
        return _udp_link(args)
    try:
        from .in_process import LinkConfig, format_summary, run_link
    except ModuleNotFoundError as err:
        if err.name != "numpy":
            raise
        raise UsageError("link needs NumPy: pip install 'talmiro-sdk-video[demo]'") from None

    width, height = args.size
    for name, value in (("--fps", args.fps), ("--frames", args.frames), ("--bitrate", args.bitrate),
                        ("--burst-frames", args.burst_frames)):
        if value < 1:
            raise UsageError(f"{name} must be at least 1, got {value}")
    for name, value in (("--rtt", args.rtt), ("--keyframe-interval", args.keyframe_interval)):
        if value < 0:
            raise UsageError(f"{name} must not be negative, got {value}")
    cfg = LinkConfig(width=width, height=height, fps=args.fps, frames=args.frames,
                     pixel_format=args.pixel_format, bitrate_kbps=args.bitrate,
                     backend=args.backend, intra_refresh=args.intra_refresh,
                     keyframe_interval=args.keyframe_interval, loss=args.loss,
                     burst_rate=args.burst_rate, burst_frames=args.burst_frames,
                     rtt_frames=args.rtt, seed=args.seed, realtime=args.realtime)
    progress = _Progress(cfg.frames, enabled=not args.no_progress and not args.json)
    with _save_file(args.save) as save:
        try:
            summary, worst = run_link(cfg, save=save, progress=progress,
                                      keep_worst=bool(args.snapshot))
        finally:
            progress.close()
    _write_snapshot(args.snapshot, worst, "no picture was decoded")
    if args.json:
        print(json.dumps(summary.as_dict(), indent=2))
    else:
        for line in format_summary(summary):
            print(line)
    return 0


class _NetProgress:
    """Progress of send and receive on stderr: a line every second."""

    def __init__(self, what: str, total: int | None, enabled: bool):
        self._what = what
        self._total = total
        self._enabled = enabled
        self._next = 0.0

    def __call__(self, done: int, stats: dict) -> None:
        import time
        now = time.monotonic()
        if not self._enabled or now < self._next:
            return
        self._next = now + 1.0
        total = f"/{self._total}" if self._total else ""
        if self._what == "send":
            target = "" if stats.get("target_kbps") is None else \
                f", target {stats['target_kbps']} kbit/s"
            text = (f"sent {done}{total} frames, {stats['packets']} packets, NACKs "
                    f"{stats['nacks_received']}, resent {stats['packets_resent']}, PLI "
                    f"{stats['plis_received']}, IDR {stats['idr_pictures']}{target}")
        else:
            text = (f"pictures {done}{total}, flagged {stats['flagged']}, packets "
                    f"{stats['packets_received']}, lost {stats['packets_lost']}, recovered "
                    f"{stats['packets_recovered']}, NACKs {stats['nacks_sent']}, PLIs "
                    f"{stats['plis_sent']}")
        print(text, file=sys.stderr, flush=True)


def _check_counts(pairs) -> None:
    for name, value in pairs:
        if value is not None and value < 1:
            raise UsageError(f"{name} must be at least 1, got {value}")


def _check_mtu(mtu: int) -> None:
    if not 64 <= mtu <= 65507:
        raise UsageError(f"--mtu must be between 64 and 65507, got {mtu}")


def _srtp_keys(args: argparse.Namespace, sdp_key=None, generate: bool = False) -> tuple:
    """The stream's SRTP key and the feedback's (None, None for plain RTP) from --key-file,
    --srtp-suite and --feedback-key-file, a key `sdp_key` from a description, or (`generate`)
    a new one. A key that cannot be used is a UsageError that never shows it."""
    from .srtp import DEFAULT_SUITE, SrtpKey, SrtpKeyError

    suite = args.srtp_suite or (sdp_key.suite if sdp_key is not None else DEFAULT_SUITE)
    try:
        key = SrtpKey.from_file(args.key_file, suite) if args.key_file else None
        feedback = (SrtpKey.from_file(args.feedback_key_file, suite)
                    if args.feedback_key_file else None)
    except SrtpKeyError as err:
        raise UsageError(str(err)) from None
    if sdp_key is not None:
        if suite != sdp_key.suite:
            raise UsageError(f"--srtp-suite is {suite}, the --sdp's a=crypto {sdp_key.suite}")
        if key is not None and key != sdp_key:
            raise UsageError("--key-file and the --sdp's a=crypto hold different keys: give "
                             "one of them")
        key = sdp_key
    elif key is None and generate:
        key = SrtpKey.generate(suite)
    if key is None and (args.srtp_suite or feedback is not None):
        where = "--srtp or --key-file" if hasattr(args, "srtp") else \
            "--key-file or an --sdp with a=crypto"
        raise UsageError(f"--srtp-suite and --feedback-key-file need {where}")
    return key, feedback


def _send(args: argparse.Namespace) -> int:
    from .net_commands import SendConfig, format_send, run_send

    width, height = args.size
    _check_counts((("--fps", args.fps), ("--frames", args.frames),
                   ("--bitrate-kbps", args.bitrate_kbps)))
    _check_mtu(args.mtu)
    if not 0 <= args.port <= 65534:
        raise UsageError(f"--port must be between 0 and 65534, got {args.port}")
    for host, port in args.to:
        if not 1 <= port <= 65534:
            raise UsageError(f"--to port must be between 1 and 65534, got {port}")
    if args.srtp and not args.key_file and not args.sdp:
        raise UsageError("--srtp without --key-file needs --sdp: the new key goes there alone")
    srtp, feedback = _srtp_keys(args, generate=args.srtp)
    cfg = SendConfig(to=args.to, width=width, height=height, fps=args.fps, frames=args.frames,
                     bitrate_kbps=args.bitrate_kbps, pixel_format=args.pixel_format,
                     backend=args.backend, mtu=args.mtu, bind=args.bind, port=args.port,
                     rtcp_port=args.rtcp_port, rtx=not args.no_rtx, sdp_path=args.sdp,
                     intra_refresh=not args.idr, stream_seed=args.stream_seed, srtp=srtp,
                     srtp_feedback=feedback, congestion_control=not args.no_cc,
                     min_kbps=args.min_kbps, max_kbps=args.max_kbps)
    progress = _NetProgress("send", args.frames, enabled=not args.no_progress)
    with _save_file(args.save) as save:
        try:
            summary = run_send(cfg, progress=progress, save=save)
        except KeyboardInterrupt:
            return 130
    _print_summary(summary, format_send, args.json)
    return 0


def _receive(args: argparse.Namespace) -> int:
    from .net_commands import ReceiveConfig, format_receive, run_receive
    from .sdp import SdpError, parse_sdp

    _check_counts((("--frames", args.frames),))
    sdp = None
    if args.sdp:
        try:
            with open(args.sdp, "rb") as f:
                sdp = parse_sdp(f.read(1 << 20))
        except SdpError as err:
            raise UsageError(f"--sdp {args.sdp}: {err}") from None
    port = args.port if args.port is not None else (sdp.port if sdp is not None else None)
    if port is None:
        raise UsageError("--port is needed (or --sdp with the port)")
    srtp, feedback = _srtp_keys(args, sdp_key=sdp.crypto if sdp is not None else None)
    # With neither --frames nor --seconds, it runs until the sender's BYE or an interrupt.
    cfg = ReceiveConfig(port=port, bind=args.bind, frames=args.frames, seconds=args.seconds,
                        sdp=sdp, max_delay_ms=args.max_delay_ms,
                        nack=False if args.no_nack else None, rtcp_to=args.rtcp_to,
                        sender=args.sender, srtp=srtp, srtp_feedback=feedback)
    progress = _NetProgress("receive", args.frames, enabled=not args.no_progress)
    return _run_decoding(args, run_receive, cfg, progress, format_receive,
                         "no test-pattern picture was received")


def _udp_link(args: argparse.Namespace) -> int:
    from .net_commands import SendConfig, UdpLinkConfig, format_udp_link, run_udp_link

    width, height = args.size
    _check_counts((("--fps", args.fps), ("--frames", args.frames), ("--bitrate", args.bitrate),
                   ("--burst-packets", args.burst_packets)))
    _check_mtu(args.mtu)
    if args.keyframe_interval < 0:
        raise UsageError(f"--keyframe-interval must not be negative, got {args.keyframe_interval}")
    try:
        relay = _link_network(args)
        relay.check()
    except ValueError as err:
        raise UsageError(str(err)) from None
    send = SendConfig(to=[("127.0.0.1", 1)], width=width, height=height, fps=args.fps,
                      frames=args.frames, bitrate_kbps=args.bitrate,
                      pixel_format=args.pixel_format, backend=args.backend, mtu=args.mtu,
                      intra_refresh=args.intra_refresh, keyframe_interval=args.keyframe_interval,
                      stream_seed=args.seed)
    cfg = UdpLinkConfig(send=send, relay=relay, max_delay_ms=args.max_delay_ms,
                        nack=not args.no_nack)
    progress = _NetProgress("send", args.frames, enabled=not args.no_progress and not args.json)
    return _run_decoding(args, run_udp_link, cfg, progress, format_udp_link,
                         "no picture was decoded")


def _run_decoding(args: argparse.Namespace, run, cfg, progress, fmt, missing: str) -> int:
    """Runs a net command that decodes (receive, link over UDP) with the --save file, keeping
    the worst picture when --snapshot asks for it; then writes the snapshot (`missing` when
    there is none) and prints the summary."""
    with _save_file(args.save) as save:
        summary, worst = run(cfg, progress=progress, save=save, keep_worst=bool(args.snapshot))
    _write_snapshot(args.snapshot, worst, missing)
    _print_summary(summary, fmt, args.json)
    return 0


def _print_summary(summary: dict, fmt, as_json: bool) -> None:
    if as_json:
        print(json.dumps(summary))
    else:
        for line in fmt(summary):
            print(line)


def _relay(args: argparse.Namespace) -> int:
    import time

    from ._net import format_address
    from .relay import Relay, format_counters

    if args.seconds < 0:
        raise UsageError(f"--seconds must not be negative, got {args.seconds}")
    try:
        cfg = _relay_config(args, clean_back=args.clean_back, rate_kbps=args.rate_kbps,
                            queue_ms=args.queue_ms, rate_schedule=args.rate_schedule,
                            back_rate_kbps=args.back_rate_kbps, back_queue_ms=args.back_queue_ms,
                            back_rate_schedule=args.back_rate_schedule)
        relay = Relay(args.listen, args.to, cfg, rtcp_back=args.rtcp_back,
                      out_port=args.out_port)
    except ValueError as err:
        raise UsageError(str(err)) from None
    listen, out = relay.listen_address, relay.receiver_facing_address[1]
    print(f"relay: {format_address(listen)} (+1) to {format_address(args.to)} (+1) from port "
          f"{out} (+1)",
          file=sys.stderr, flush=True)
    relay.start()
    try:
        deadline = time.monotonic() + args.seconds if args.seconds else None
        while deadline is None or time.monotonic() < deadline:
            time.sleep(0.1 if deadline is None else min(0.1, max(0.0, deadline - time.monotonic())))
    except KeyboardInterrupt:
        pass
    finally:
        relay.stop()
    counters = relay.counters()
    print(json.dumps(counters) if args.json else format_counters(counters))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("link", "info", "relay", "send", "receive", "-h", "--help"):
        argv.insert(0, "link")
    try:
        args = _build_parser().parse_args(argv)
        if args.command == "relay":
            return _relay(args)
        _codec.set_ffmpeg_log_level(args.ffmpeg_log)
        if args.command == "info":
            return _info()
        if args.command == "send":
            return _send(args)
        if args.command == "receive":
            return _receive(args)
        return _link(args)
    except UsageError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2
    except (ValueError, OverflowError, _codec.MediaError, OSError) as err:
        print(f"error: {err}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
