#!/usr/bin/env python3
"""Records the RTP and RTCP that Debian's ffmpeg and GStreamer send on loopback, as fixtures for
the depacketizer, the RTCP parser and their fuzz targets.

    python3 talmiro-media/testing/record_rtp.py [--out DIR] [--only NAME ...]
    python3 talmiro-media/testing/record_rtp.py --summary [--out DIR]

Each recording is a file of records in the layout of au_records.hpp: the flags byte says what
the datagram is (bit 0: RTCP, else RTP; bit 1: it went from the receiver back to the sender),
t_us is its arrival time in microseconds since the capture began, then its length and bytes.
Beside it, the description the sender wrote: ffmpeg's SDP file, or the RTP caps GStreamer put
on the wire (`.caps`).

Everything runs on 127.0.0.1 and is bounded in time. Each tool is stopped by its own pid,
SIGINT first and SIGKILL when it does not end.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import select
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from au_records import FROM_RECEIVER, RTCP, read_datagram_records  # noqa: E402
from tool_processes import stop  # noqa: E402

_HEAD = struct.Struct("<BqI")
DEFAULT_OUT = HERE.parent / "tests" / "data" / "rtp"
SIZE, FPS = "320x240", 30


def free_pair() -> tuple[socket.socket, socket.socket]:
    """Two UDP sockets bound to 127.0.0.1 on an even port P and on P + 1."""
    for _ in range(200):
        a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        a.bind(("127.0.0.1", 0))
        port = a.getsockname()[1]
        if port % 2 == 0 and port < 65535:
            b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                b.bind(("127.0.0.1", port + 1))
                return a, b
            except OSError:
                b.close()
        a.close()
    raise RuntimeError("no free pair of UDP ports on 127.0.0.1")


def free_ports(count: int) -> list[int]:
    """The first ports of `count` distinct pairs free now on 127.0.0.1 (for tools to bind)."""
    pairs = [free_pair() for _ in range(count)]
    ports = [pair[0].getsockname()[1] for pair in pairs]
    for pair in pairs:
        for s in pair:
            s.close()
    return ports


class Capture:
    """Receives on some sockets until a deadline, writing each datagram as a record; a route
    may forward what arrives on a socket to another address, dropping some RTP on the way."""

    def __init__(self) -> None:
        self.records: list[tuple[int, int, bytes]] = []
        self.routes: dict[socket.socket, tuple[int, tuple[str, int] | None]] = {}
        self.t0 = time.monotonic_ns()
        self.dropped: list[int] = []

    def add(self, sock: socket.socket, flags: int, forward: tuple[str, int] | None = None) -> None:
        self.routes[sock] = (flags, forward)

    def run(self, proc: subprocess.Popen, seconds: float, drop=None, linger: float = 1.0) -> None:
        """Captures until `seconds` pass or `linger` seconds after the tool ended."""
        deadline = time.monotonic() + seconds
        ended_at = None
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        out.bind(("127.0.0.1", 0))
        while time.monotonic() < deadline:
            if ended_at is None and proc.poll() is not None:
                ended_at = time.monotonic()
            if ended_at is not None and time.monotonic() - ended_at > linger:
                break
            ready, _, _ = select.select(list(self.routes), [], [], 0.05)
            for sock in ready:
                data = sock.recv(65536)
                flags, forward = self.routes[sock]
                if drop is not None and not flags & RTCP and drop(data):
                    self.dropped.append(struct.unpack_from(">H", data, 2)[0])
                    continue
                t_us = (time.monotonic_ns() - self.t0) // 1000
                self.records.append((flags, t_us, data))
                if forward is not None:
                    out.sendto(data, forward)
        out.close()

    def write(self, path: Path) -> None:
        with open(path, "wb") as f:
            for flags, t_us, data in self.records:
                f.write(_HEAD.pack(flags, t_us, len(data)) + data)


def run_tool(argv: list[str], **kw) -> subprocess.Popen:
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, **kw)


def caps_line(output: str) -> str:
    """The RTP caps GStreamer (run with -v) set on the pad that leads to the network."""
    for line in output.splitlines():
        if "caps = application/x-rtp" in line and "sprop-parameter-sets" in line:
            return line.split("caps = ", 1)[1].strip().replace("\\", "") + "\n"
    return ""


def record_ffmpeg(out: Path, name: str, codec_args: list[str], seconds: int = 6) -> None:
    rtp, rtcp = free_pair()
    port = rtp.getsockname()[1]
    cap = Capture()
    cap.add(rtp, 0)
    cap.add(rtcp, RTCP)
    sdp = out / f"{name}.sdp"
    proc = run_tool(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                     "-f", "lavfi", "-i", f"testsrc=size={SIZE}:rate={FPS}", "-t", str(seconds),
                     "-pix_fmt", "yuv420p", "-c:v", "libx264", *codec_args,
                     "-f", "rtp", "-sdp_file", str(sdp), f"rtp://127.0.0.1:{port}"])
    try:
        cap.run(proc, seconds + 5)
    finally:
        stop(proc)
    rtp.close()
    rtcp.close()
    cap.write(out / f"{name}.bin")
    # The SDP names the port this run happened to use; the port says nothing about the stream.
    sdp.write_text(re.sub(r"^m=video \d+", "m=video 5004", sdp.read_text(), flags=re.M))


def record_gst(out: Path, name: str, pipeline: str, socks: list[tuple[socket.socket, int]],
               ports: dict[str, int], seconds: float, drop=None,
               forwards: dict[int, tuple[str, int]] | None = None) -> None:
    cap = Capture()
    for i, (sock, flags) in enumerate(socks):
        cap.add(sock, flags, (forwards or {}).get(i))
    proc = run_tool(["gst-launch-1.0", "-v", "-e", *pipeline.format(**ports).split()])
    try:
        cap.run(proc, seconds, drop=drop)
    finally:
        stop(proc)
    text = proc.stdout.read() if proc.stdout else ""
    for sock, _ in socks:
        sock.close()
    cap.write(out / f"{name}.bin")
    (out / f"{name}.caps").write_text(caps_line(text))
    if cap.dropped:
        print(f"{name}: relay dropped RTP sequence numbers {cap.dropped}", file=sys.stderr)


SOURCE = ("videotestsrc is-live=true num-buffers={frames} ! "
          f"video/x-raw,width={SIZE.split('x')[0]},height={SIZE.split('x')[1]},"
          f"framerate={FPS}/1,format=I420 ! ")
X264 = "x264enc tune=zerolatency speed-preset=ultrafast bitrate=150 key-int-max={gop} ! "


def gst_pay(out: Path) -> None:
    rtp, rtcp = free_pair()
    pipeline = (SOURCE + X264 + "rtph264pay mtu=1200 config-interval=-1 pt=96 ! "
                "udpsink host=127.0.0.1 port={p}")
    record_gst(out, "gst_pay", pipeline, [(rtp, 0), (rtcp, RTCP)],
               {"p": rtp.getsockname()[1], "frames": 4 * FPS, "gop": FPS}, 10)


def gst_rtpbin(out: Path) -> None:
    rtp, rtcp = free_pair()
    # Aggregating here, so the recordings hold GStreamer's STAP-A packets too.
    pipeline = ("rtpbin name=rb " + SOURCE + X264 +
                "rtph264pay mtu=1200 config-interval=-1 pt=96 aggregate-mode=zero-latency ! "
                "rb.send_rtp_sink_0 rb.send_rtp_src_0 ! udpsink host=127.0.0.1 port={p} "
                "rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port={q} sync=false async=false")
    record_gst(out, "gst_rtpbin", pipeline, [(rtp, 0), (rtcp, RTCP)],
               {"p": rtp.getsockname()[1], "q": rtcp.getsockname()[1], "frames": 7 * FPS,
                "gop": FPS}, 14)


def gst_feedback(out: Path, name: str = "gst_feedback", caps_extra: str = "",
                 rtx: bool = False) -> None:
    """GStreamer sends to GStreamer through a relay that drops a few RTP packets: the receiver's
    RR, NACK and PLI (FIR with `rtcp-fb-ccm-fir` in `caps_extra`) go back to the sender, which
    answers them with an IDR picture. With `rtx`, the sender answers NACKs with retransmission
    packets of their own (payload type 97, an SSRC of their own)."""
    relay_rtp, relay_rtcp = free_pair()       # the sender's RTP and RTCP arrive here
    upstream_rtcp, _spare = free_pair()        # the receiver's RTCP arrives here
    _spare.close()
    # The receiver's udpsrc (RTP, RTCP) and the sender's udpsrc for feedback.
    recv_port, send_rtcp_port = free_ports(2)
    send_rtx = ('rtprtxsend payload-type-map="application/x-rtp-pt-map,96=(uint)97" ! '
                if rtx else "")
    recv_rtx = ('rtprtxreceive payload-type-map="application/x-rtp-pt-map,96=(uint)97" ! '
                if rtx else "")
    sender = ("rtpbin name=rb " + SOURCE + X264 +
              "rtph264pay mtu=1200 config-interval=-1 pt=96 ! " + send_rtx +
              "rb.send_rtp_sink_0 rb.send_rtp_src_0 ! udpsink host=127.0.0.1 port={p} "
              "rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port={q} sync=false async=false "
              "udpsrc port={fb} reuse=false ! rb.recv_rtcp_sink_0")
    caps = ("application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96,"
            "rtcp-fb-nack=(boolean)true,rtcp-fb-nack-pli=(boolean)true" + caps_extra)
    receiver = ("rtpbin name=rb rtp-profile=avpf do-retransmission=true latency=100 "
                f"udpsrc port={{r}} reuse=false caps={caps} ! " + recv_rtx +
                "rb.recv_rtp_sink_0 udpsrc port={r1} reuse=false ! rb.recv_rtcp_sink_0 "
                "rb. ! rtph264depay request-keyframe=true ! avdec_h264 ! fakesink "
                "rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port={u} sync=false async=false")
    ports = {"p": relay_rtp.getsockname()[1], "q": relay_rtcp.getsockname()[1],
             "fb": send_rtcp_port, "r": recv_port, "r1": recv_port + 1,
             "u": upstream_rtcp.getsockname()[1], "frames": 5 * FPS, "gop": 10 * FPS}
    rx = run_tool(["gst-launch-1.0", "-q", *receiver.format(**ports).split()],
                  env={**os.environ, "GST_DEBUG": os.environ.get("RECORD_RX_DEBUG", "0")})
    time.sleep(1.0)
    rng = random.Random(7)
    t_start = time.monotonic()

    def drop(data: bytes) -> bool:
        # Lossless for the first second, so the first IDR picture arrives whole.
        return time.monotonic() - t_start > 1.0 and rng.random() < 0.03

    try:
        record_gst(out, name, sender,
                   [(relay_rtp, 0), (relay_rtcp, RTCP), (upstream_rtcp, RTCP | FROM_RECEIVER)], ports,
                   16, drop=drop,
                   forwards={0: ("127.0.0.1", recv_port), 1: ("127.0.0.1", recv_port + 1),
                             2: ("127.0.0.1", send_rtcp_port)})
    finally:
        stop(rx)
        if rx.stdout:
            said = rx.stdout.read().strip()
            if said:
                print(f"{name}: the receiver said: {said[-600:]}", file=sys.stderr)


RECORDINGS = {
    "ffmpeg_zerolatency": lambda out: record_ffmpeg(
        out, "ffmpeg_zerolatency", ["-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0",
                                    "-threads", "2", "-g", "60", "-b:v", "200k"]),
    "ffmpeg_bframes": lambda out: record_ffmpeg(
        out, "ffmpeg_bframes", ["-preset", "veryfast", "-bf", "2", "-threads", "1", "-g", "60",
                                "-b:v", "200k"]),
    # With global headers the parameter sets travel only in the SDP's sprop-parameter-sets.
    "ffmpeg_sprop": lambda out: record_ffmpeg(
        out, "ffmpeg_sprop", ["-preset", "ultrafast", "-bf", "0", "-threads", "1", "-g", "30",
                              "-b:v", "200k", "-flags", "+global_header"], seconds=3),
    "gst_pay": gst_pay,
    "gst_rtpbin": gst_rtpbin,
    "gst_feedback": gst_feedback,
    "gst_feedback_fir": lambda out: gst_feedback(out, "gst_feedback_fir",
                                                 caps_extra=",rtcp-fb-ccm-fir=(boolean)true"),
    "gst_feedback_rtx": lambda out: gst_feedback(out, "gst_feedback_rtx", rtx=True),
}


# ---- summary: what a recording holds, read without the media core ----

RTCP_NAMES = {200: "SR", 201: "RR", 202: "SDES", 203: "BYE", 204: "APP"}
FB_NAMES = {(205, 1): "NACK", (206, 1): "PLI", (206, 4): "FIR", (206, 15): "REMB"}


def summarize(path: Path) -> str:
    counts: dict[str, int] = {}

    def bump(key: str) -> None:
        counts[key] = counts.get(key, 0) + 1

    ssrcs, markers, rtp_n, rtcp_n = set(), 0, 0, 0
    for d, _, flags in read_datagram_records(path):
        if flags & RTCP:
            rtcp_n += 1
            pos, side = 0, "rx" if flags & FROM_RECEIVER else "tx"
            while pos + 4 <= len(d):
                fmt, pt, words = d[pos] & 31, d[pos + 1], struct.unpack_from(">H", d, pos + 2)[0]
                bump(f"rtcp.{side}." + FB_NAMES.get((pt, fmt), RTCP_NAMES.get(pt, str(pt))))
                pos += 4 * (words + 1)
            continue
        rtp_n += 1
        ssrcs.add(struct.unpack_from(">I", d, 8)[0])
        markers += d[1] >> 7
        head = 12 + 4 * (d[0] & 15)
        if d[0] & 0x10:
            head += 4 + 4 * struct.unpack_from(">H", d, head + 2)[0]
        if d[1] & 0x7F != 96:  # a retransmission: the original sequence number, then the payload
            bump(f"pt{d[1] & 0x7F}")
            continue
        nal = d[head] & 31
        if nal == 24:
            bump("STAP-A")
            pos = head + 1
            while pos + 2 < len(d):
                n = struct.unpack_from(">H", d, pos)[0]
                bump(f"STAP-A.nal{d[pos + 2] & 31}")
                pos += 2 + n
        elif nal == 28:
            edge = "S" if d[head + 1] & 0x80 else "E" if d[head + 1] & 0x40 else "mid"
            bump(f"FU-A({edge}).nal{d[head + 1] & 31}")
        else:
            bump(f"single nal{nal}")
    detail = ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
    return (f"{path.name}: {path.stat().st_size} bytes, {rtp_n} RTP ({len(ssrcs)} SSRC, "
            f"{markers} markers), {rtcp_n} RTCP; {detail}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT)
    ap.add_argument("--only", nargs="*", choices=sorted(RECORDINGS))
    ap.add_argument("--summary", action="store_true", help="describe the recordings in --out")
    args = ap.parse_args()
    if args.summary:
        for path in sorted(args.out.glob("*.bin")):
            print(summarize(path))
        return 0
    args.out.mkdir(parents=True, exist_ok=True)
    for name in args.only or RECORDINGS:
        print(f"recording {name}", file=sys.stderr)
        RECORDINGS[name](args.out)
        print(summarize(args.out / f"{name}.bin"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
