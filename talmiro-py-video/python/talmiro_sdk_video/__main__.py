"""`python -m talmiro_sdk_video`: does a low-latency link work on this machine, and how good is it?

    python -m talmiro_sdk_video [link] [options]   a publisher and a subscriber in one process
    python -m talmiro_sdk_video info               what this build of the codec can do
    python -m talmiro_sdk_video relay --listen HOST:PORT --to HOST:PORT [options]
                                                   a seeded lossy relay for RTP and RTCP
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Sequence

from . import PIXEL_FORMATS, _codec


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


def _address(text: str) -> tuple[str, int]:
    from .relay import parse_address
    try:
        return parse_address(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, exit status 2
        raise UsageError(message)


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="python -m talmiro_sdk_video",
                     description="Low-latency H.264 link check: encoder, lossy channel, decoder.")
    sub = parser.add_subparsers(dest="command")
    link = sub.add_parser("link", help="run a publisher and a subscriber in one process")
    link.add_argument("--size", type=_parse_size, default=(640, 480), help="WIDTHxHEIGHT (640x480)")
    link.add_argument("--fps", type=int, default=30)
    link.add_argument("--frames", type=int, default=300)
    link.add_argument("--pixel-format", default="i420", choices=PIXEL_FORMATS)
    link.add_argument("--bitrate", type=int, default=2000, help="kbit/s (2000)")
    link.add_argument("--backend", default="auto", help="auto, x264 or nvenc")
    refresh = link.add_mutually_exclusive_group()
    refresh.add_argument("--intra-refresh", dest="intra_refresh", action="store_true", default=True,
                         help="periodic intra refresh (default)")
    refresh.add_argument("--idr", dest="intra_refresh", action="store_false",
                         help="periodic IDR pictures instead of intra refresh")
    link.add_argument("--keyframe-interval", type=int, default=0,
                      help="refresh or IDR period in frames (0: one second)")
    link.add_argument("--loss", type=_fraction, default=0.0, help="random loss rate (0..1)")
    link.add_argument("--burst-rate", type=_fraction, default=0.0,
                      help="chance per access unit that a burst loss starts")
    link.add_argument("--burst-frames", type=int, default=5, help="access units lost per burst")
    link.add_argument("--rtt", type=int, default=2, help="round trip of an IDR request, in frames")
    link.add_argument("--seed", type=int, default=1)
    link.add_argument("--realtime", action="store_true", help="pace the pictures by --fps")
    link.add_argument("--json", action="store_true", help="print the summary as JSON")
    link.add_argument("--save", metavar="FILE.h264", help="write the sent stream")
    link.add_argument("--snapshot", metavar="FILE.png",
                      help="write the worst frame, source beside decoded, as a PNG")
    link.add_argument("--no-progress", action="store_true")
    info = sub.add_parser("info", help="libavcodec version, encoders, the backend auto opens")
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
    relay.add_argument("--loss", type=_fraction, default=0.0, help="chance a packet is lost")
    relay.add_argument("--burst-rate", type=_fraction, default=0.0,
                       help="chance a packet starts a burst of losses")
    relay.add_argument("--burst-packets", type=int, default=5, help="packets lost per burst")
    relay.add_argument("--reorder", type=_fraction, default=0.0,
                       help="chance a packet is held back behind the next one")
    relay.add_argument("--jitter-ms", type=float, default=0.0,
                       help="extra delay, uniform in 0..JITTER; the order is kept")
    relay.add_argument("--delay-ms", type=float, default=0.0, help="one-way delay, both ways")
    relay.add_argument("--clean-back", action="store_true",
                       help="no loss or reordering from the receiver to the sender")
    relay.add_argument("--seed", type=int, default=1)
    relay.add_argument("--seconds", type=float, default=0.0,
                       help="stop after this long (0: when interrupted)")
    relay.add_argument("--json", action="store_true", help="print the counters as JSON")
    for p in (link, info):
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

    from .link import yuv_to_rgb

    source, decoded = (yuv_to_rgb(np.asarray(i.y), np.asarray(i.u), np.asarray(i.v))
                       for i in pair)
    PILImage.fromarray(np.concatenate([source, decoded], axis=1), "RGB").save(path, "PNG")


def _link(args: argparse.Namespace) -> int:
    try:
        from .link import LinkConfig, format_summary, run_link
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
    save = open(args.save, "wb") if args.save else None
    try:
        summary, worst = run_link(cfg, save=save, progress=progress,
                                  keep_worst=bool(args.snapshot))
    finally:
        progress.close()
        if save is not None:
            save.close()
    if args.snapshot:
        if worst is None:
            raise UsageError("--snapshot: no picture was decoded")
        _snapshot(args.snapshot, worst)
    if args.json:
        print(json.dumps(summary.as_dict(), indent=2))
    else:
        for line in format_summary(summary):
            print(line)
    return 0


def _relay(args: argparse.Namespace) -> int:
    import time

    from .relay import Relay, RelayConfig, format_counters

    if args.seconds < 0:
        raise UsageError(f"--seconds must not be negative, got {args.seconds}")
    try:
        cfg = RelayConfig(loss=args.loss, burst_rate=args.burst_rate,
                          burst_packets=args.burst_packets, reorder=args.reorder,
                          jitter_ms=args.jitter_ms, delay_ms=args.delay_ms, seed=args.seed,
                          clean_back=args.clean_back)
        relay = Relay(args.listen, args.to, cfg, rtcp_back=args.rtcp_back,
                      out_port=args.out_port)
    except ValueError as err:
        raise UsageError(str(err)) from None
    (host, port), out = relay.listen_address, relay.receiver_facing_address[1]
    print(f"relay: {host}:{port} (+1) to {args.to[0]}:{args.to[1]} (+1) from port {out} (+1)",
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
    if not argv or argv[0] not in ("link", "info", "relay", "-h", "--help"):
        argv.insert(0, "link")
    try:
        args = _build_parser().parse_args(argv)
        if args.command == "relay":
            return _relay(args)
        _codec.set_ffmpeg_log_level(args.ffmpeg_log)
        if args.command == "info":
            return _info()
        return _link(args)
    except UsageError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2
    except (ValueError, OverflowError, _codec.MediaError, OSError) as err:
        print(f"error: {err}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
