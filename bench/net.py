"""bench/net: the link over loopback UDP through the seeded relay, against GStreamer's receiver.

    .venv/bin/python bench/net.py [--frames 300] [--losses 0,1,2,5] [--cap-ms 50] [--no-write]

Our sender sends the 1280x720 30 fps test pattern at 2 Mbit/s in real time through the relay
(`--rtt-ms` round trip, `--jitter-ms` jitter, the packet loss of each column, the same seed and
stream seed everywhere, so every receiver loses the same first transmissions). Three receivers:
ours with NACK, ours without, and GStreamer's `rtpbin` (avpf, `do-retransmission`, NACK and PLI
in its caps, jitter-buffer `latency` set to our receiver's delay cap) with `rtph264depay
request-keyframe=true ! avdec_h264`, its pictures read raw from its stdout. Our sender resends
plainly (no RFC 4588) for GStreamer: gst-launch cannot attach `rtprtxreceive` to rtpbin.

Every picture shown is compared with a lossless decode of the sent stream (whole I420 frames;
GStreamer's decoder gives the same bytes as ours, which the interop tests check). Frames to
recovery: the runs of consecutive source pictures not shown correctly. Transport CPU: ours only
(thread CPU of the sending calls and the sender's RTCP thread; the receiver's thread less the
decoder's calls), per frame sent, beside the codec's on the same threads.

Writes its table into bench/RESULTS.md between its own markers (the rest is left alone).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import talmiro_sdk_video._codec as codec
from talmiro_sdk_video._net import free_pair, wall_us
from talmiro_sdk_video.in_process import LinkConfig, run_link
from talmiro_sdk_video.net_commands import (ReceiveConfig, SendConfig, UdpLinkConfig,
                                             run_receive, run_send, run_udp_link)
from talmiro_sdk_video.receiver import RtpReceiver
from talmiro_sdk_video.relay import Relay, RelayConfig
from talmiro_sdk_video.sender import RtpSender

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "talmiro-media" / "testing"))
from tool_processes import port_bound, stop  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_common import write_section  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
LOCAL = "127.0.0.1"
W, H, FPS, KBPS = 1280, 720, 30, 2000
BEGIN, END = "<!-- bench/net.py: begin -->", "<!-- bench/net.py: end -->"
CAPS = ("application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96,"
        "rtcp-fb-nack=(boolean)true,rtcp-fb-nack-pli=(boolean)true")


def thread_cpu(thread: threading.Thread | None) -> float:
    """CPU seconds of another live thread (0 once it ended)."""
    try:
        return time.clock_gettime(time.pthread_getcpuclockid(thread.ident))  # type: ignore
    except (OSError, AttributeError, TypeError):
        return 0.0


class Lossless:
    """Decodes what the sender sends: for each RTP timestamp (and each frame's hash) the
    source picture number and its capture time; CPU spent here is not the transport's."""

    def __init__(self) -> None:
        self.decoder = codec.H264Decoder()
        self.by_ts: dict[int, tuple[int, bytes]] = {}
        self.by_hash: dict[bytes, tuple[int, int]] = {}
        self.stamp_ts: dict[int, int] = {}
        self.cpu = 0.0
        self.count = 0

    def __call__(self, unit: tuple, rtp_ts: int) -> None:
        t0 = time.thread_time()
        self.stamp_ts[unit[1]] = rtp_ts
        for pic in self.decoder.decode(unit[0], unit[1], unit[2], unit[3], unit[4]):
            digest = hashlib.md5(pic.tobytes()).digest()
            self.by_ts[self.stamp_ts.pop(pic.t_us, -1)] = (self.count, digest)
            self.by_hash[digest] = (self.count, pic.t_us)
            self.count += 1
        self.cpu += time.thread_time() - t0


def send_through(args, relay: Relay, lossless: Lossless, rtx: bool) -> dict:
    """Runs our sender into the relay; its summary with the CPU figures added."""
    cpu = {"send_units": 0.0, "rtcp_thread": 0.0, "thread_total": 0.0}
    holder: dict = {}

    def started(sender: RtpSender) -> None:
        holder["sender"] = sender
        plain = sender.send_unit

        def timed(unit):
            t0 = time.thread_time()
            try:
                return plain(unit)
            finally:
                cpu["send_units"] += time.thread_time() - t0
        sender.send_unit = timed  # type: ignore[method-assign]

    def progress(done: int, stats: dict) -> None:
        cpu["rtcp_thread"] = thread_cpu(getattr(holder.get("sender"), "_thread", None))

    cfg = SendConfig(to=[relay.listen_address], width=W, height=H, fps=FPS, frames=args.frames,
                     bitrate_kbps=KBPS, bind=LOCAL, rtx=rtx, stream_seed=args.seed)
    t0 = time.thread_time()
    out = run_send(cfg, progress=progress, on_unit=lossless, started=started)
    cpu["thread_total"] = time.thread_time() - t0
    out["cpu"] = cpu
    return out


def relay_config(args, loss: float) -> RelayConfig:
    return RelayConfig(loss=loss, jitter_ms=args.jitter_ms, delay_ms=args.rtt_ms / 2,
                       seed=args.seed)


def recovery(ok: list[bool]) -> tuple[float | None, int]:
    """Mean and longest run of source pictures not shown correctly."""
    runs, run = [], 0
    for good in ok + [True]:
        if good:
            if run:
                runs.append(run)
            run = 0
        else:
            run += 1
    return (statistics.fmean(runs) if runs else None), max(runs, default=0)


def receive_all(args, rx: RtpReceiver, sender: threading.Thread, lossless: Lossless) -> tuple[list, float]:
    """Every picture `rx` shows until half a second after the sending thread ended, each as (its
    source picture's number, shown correctly, flagged as recovering), and the receiving
    thread's CPU time."""
    shown: list[tuple[int | None, bool, bool]] = []
    bye_at = None
    rx_cpu = 0.0
    deadline = time.monotonic() + args.frames / FPS + 30
    while time.monotonic() < deadline:
        rx_cpu = max(rx_cpu, thread_cpu(rx._thread))
        if not sender.is_alive():
            bye_at = bye_at or time.monotonic()
            if time.monotonic() - bye_at > 0.5:
                break
        for pic in rx.receive(timeout=0.05):
            ts = rx.rtp_timestamp(pic.t_us)
            known = lossless.by_ts.get(ts) if ts is not None else None
            correct = known is not None and \
                hashlib.md5(pic.tobytes()).digest() == known[1]
            shown.append((known[0] if known else None, correct, pic.recovering))
    return shown, rx_cpu


def run_ours(args, loss: float, nack: bool) -> dict:
    lossless = Lossless()
    # The decoder counts the thread CPU time its decode calls take (`cpu_us`), which the
    # receiving thread makes in native code.
    decoder = codec.H264Decoder()
    rx = RtpReceiver(0, bind=LOCAL, sender=LOCAL, max_delay_ms=args.cap_ms, nack=nack,
                     decoder=decoder)
    result: dict = {}
    with Relay((LOCAL, 0), rx.address, relay_config(args, loss)) as relay:
        thread = threading.Thread(target=lambda: result.update(
            send=send_through(args, relay, lossless, rtx=True)), daemon=True)
        thread.start()
        shown, rx_cpu = receive_all(args, rx, thread, lossless)
        thread.join(10)
        relay_counts = relay.counters()["forward"]
    stats = rx.stats()
    lat_ms = [x / 1000 for x in rx._pictures.latencies()]  # in the order shown
    rx.close()
    decode_cpu = decoder.stats()["cpu_us"] / 1e6
    decoder.close()
    lossless.decoder.close()
    ok = [False] * lossless.count
    for n, correct, _ in shown:
        if n is not None and correct:
            ok[n] = True
    wrong = sum(not c for _, c, _ in shown)
    mean_run, max_run = recovery(ok)
    send = result["send"]
    sent = max(1, send["frames"])
    transport_rx = max(0.0, rx_cpu - decode_cpu)
    transport_tx = send["cpu"]["send_units"] + send["cpu"]["rtcp_thread"]
    encode = send["cpu"]["thread_total"] - send["cpu"]["send_units"] - lossless.cpu
    return {
        "sent": lossless.count, "shown": len(shown), "wrong": wrong,
        "wrong_unflagged": sum(not c and not f for _, c, f in shown),
        "flagged": sum(f for _, _, f in shown),
        "recovery_mean": mean_run, "recovery_max": max_run,
        "p50_ms": _ms(stats["latency_p50_us"]), "p99_ms": _ms(stats["latency_p99_us"]),
        "packets": stats["packets_received"], "nacks": stats["nacks_sent"],
        "plis": stats["plis_sent"], "recovered": stats["packets_recovered"],
        "lost": stats["packets_lost"], "late": stats["packets_late"],
        "incomplete": stats["units_incomplete"], "decode_errors": stats["decode_errors"],
        "relay_lost": relay_counts["lost"] + relay_counts["lost_in_burst"],
        "socket_drops": relay_counts["socket_drops"], "latencies_ms": lat_ms,
        "tx_transport_us": 1e6 * transport_tx / sent, "tx_encode_us": 1e6 * encode / sent,
        "rx_transport_us": 1e6 * transport_rx / sent, "rx_decode_us": 1e6 * decode_cpu / sent,
        "rx_packets_per_core_s": stats["packets_received"] / transport_rx if transport_rx
        else None,
        "rtt_ms": stats["rtt_ms"],
    }


def direct_link(args) -> tuple[float | None, float | None]:
    """p50/p99 capture to picture of our sender sending straight to our receiver over loopback
    (the receive command's loop, scoring included)."""
    ready = threading.Event()
    holder: dict = {}

    def started(rx: RtpReceiver) -> None:
        holder["rx"] = rx
        ready.set()
    out: dict = {}
    cfg = ReceiveConfig(bind=LOCAL, frames=args.frames, seconds=args.frames / FPS + 30,
                        max_delay_ms=args.cap_ms, sender=LOCAL)
    receiving = threading.Thread(target=lambda: out.update(
        summary=run_receive(cfg, started=started)[0]), daemon=True)
    receiving.start()
    if not ready.wait(10):
        raise RuntimeError("the receiver did not start")
    run_send(SendConfig(to=[holder["rx"].address], width=W, height=H, fps=FPS,
                        frames=args.frames, bitrate_kbps=KBPS, bind=LOCAL))
    receiving.join(args.frames / FPS + 30)
    summary = out.get("summary", {})
    return _ms(summary.get("latency_p50_us")), _ms(summary.get("latency_p99_us"))


def compare_in_process(args) -> dict:
    """p50/p99 capture to picture of the link over loopback UDP, sender straight to receiver
    ("direct") and through the relay adding nothing ("udp": a Python thread of the same process
    forwards each datagram), and of the in-process link, run in turn `args.pairs` times each: the
    medians."""
    got: dict = {"direct": [], "udp": [], "memory": []}
    for _ in range(args.pairs):
        got["direct"].append(direct_link(args))
        send = SendConfig(to=[], width=W, height=H, fps=FPS, frames=args.frames,
                          bitrate_kbps=KBPS, bind=LOCAL)
        udp, _ = run_udp_link(UdpLinkConfig(send=send, relay=RelayConfig()))
        got["udp"].append((_ms(udp["receive"]["latency_p50_us"]),
                           _ms(udp["receive"]["latency_p99_us"])))
        mem, _ = run_link(LinkConfig(width=W, height=H, fps=FPS, frames=args.frames,
                                     bitrate_kbps=KBPS, realtime=True))
        got["memory"].append((mem.latency_us.p50 / 1000, mem.latency_us.p99 / 1000))
    return {k: (statistics.median(a for a, _ in v), statistics.median(b for _, b in v))
            for k, v in got.items()}


def _ms(us) -> float | None:
    return None if us is None else us / 1000.0


def run_gstreamer(args, loss: float) -> dict:
    rx_port, out_port = free_pair(), free_pair()
    pipeline = (f"rtpbin name=rb rtp-profile=avpf do-retransmission=true latency={args.cap_ms:g} "
                f"udpsrc port={rx_port} reuse=false caps={CAPS} ! rb.recv_rtp_sink_0 "
                f"udpsrc port={rx_port + 1} reuse=false ! rb.recv_rtcp_sink_0 "
                "rb. ! rtph264depay request-keyframe=true ! avdec_h264 ! "
                "video/x-raw,format=I420 ! fdsink fd=1 sync=false "
                f"rb.send_rtcp_src_0 ! udpsink host={LOCAL} port={out_port + 1} sync=false "
                "async=false")
    proc = subprocess.Popen(["gst-launch-1.0", "-q", *pipeline.split()], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    frame_bytes = W * H * 3 // 2
    arrivals: list[tuple[int, bytes]] = []

    def read() -> None:
        assert proc.stdout is not None
        while True:
            data = proc.stdout.read(frame_bytes)
            if len(data) < frame_bytes:
                return
            arrivals.append((wall_us(), hashlib.md5(data).digest()))
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    lossless = Lossless()
    try:
        if not port_bound(rx_port, proc, 10, LOCAL):
            raise RuntimeError("gst-launch-1.0 did not start its receiver")
        with Relay((LOCAL, 0), (LOCAL, rx_port), relay_config(args, loss),
                   out_port=out_port) as relay:
            send = send_through(args, relay, lossless, rtx=False)
            time.sleep(0.5 + args.cap_ms / 1000)
    finally:
        stop(proc, collect=False)
        reader.join(10)
        err = proc.stderr.read().decode(errors="replace") if proc.stderr else ""
        lossless.decoder.close()
    ok = [False] * lossless.count
    latency = []
    wrong = 0
    for at, digest in arrivals:
        known = lossless.by_hash.get(digest)
        if known is None:
            wrong += 1
            continue
        ok[known[0]] = True
        latency.append(at - known[1])
    latency.sort()
    mean_run, max_run = recovery(ok)
    pick = (lambda q: latency[min(len(latency) - 1, int(q * len(latency)))] / 1000) \
        if latency else (lambda q: None)
    return {"sent": lossless.count, "shown": len(arrivals), "wrong": wrong,
            "wrong_unflagged": wrong, "flagged": 0, "recovery_mean": mean_run,
            "recovery_max": max_run, "p50_ms": pick(0.5), "p99_ms": pick(0.99),
            "nacks": send["nacks_received"], "plis": send["plis_received"],
            "recovered": None, "error": err.strip()[-300:] or None}


def _fmt(value, spec: str = ".1f") -> str:
    return "–" if value is None else format(value, spec)


def table(args, rows: dict) -> str:
    losses = sorted({loss for loss, _ in rows})
    names = {"nack": "ours, NACK", "plain": "ours, no NACK", "gst": "GStreamer rtpbin"}
    lines = [
        BEGIN,
        "## Network: the link over loopback UDP through the seeded relay (bench/net.py)",
        "",
        f"- {W}x{H} {FPS} fps test pattern, {KBPS} kbit/s, {args.frames} frames, our sender "
        f"(intra refresh); relay: {args.rtt_ms:g} ms round trip, {args.jitter_ms:g} ms jitter, "
        f"seed {args.seed}; delay cap {args.cap_ms:g} ms (our receiver's `max_delay_ms`, "
        "GStreamer's jitter-buffer `latency`)",
        f"- Load average before / after: {args.load_before} / {_load()}; "
        f"command: `.venv/bin/python bench/net.py --frames {args.frames} --cap-ms "
        f"{args.cap_ms:g}`",
        "- wrong: shown pictures that differ from the lossless decode (unflagged in brackets); "
        "flagged: shown with `recovering`; missing: source pictures never shown; recovery: "
        "runs of source pictures not shown correctly, mean / longest, in frames; latency: "
        "capture to picture (GStreamer: correct pictures, read from its stdout)",
        "",
        "| loss | receiver | shown / sent | wrong | flagged | missing | recovery (frames) "
        "| p50 ms | p99 ms | NACK / PLI sent |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for loss in losses:
        for key in ("nack", "plain", "gst"):
            r = rows.get((loss, key))
            if r is None:
                continue
            shown = max(1, r["shown"])
            lines.append(
                f"| {100 * loss:g} % | {names[key]} | {r['shown']} / {r['sent']} "
                f"| {100 * r['wrong'] / shown:.1f} % ({r['wrong_unflagged']}) "
                f"| {100 * r['flagged'] / shown:.1f} % | {max(0, r['sent'] - r['shown'])} "
                f"| {_fmt(r['recovery_mean'])} / {r['recovery_max']} "
                f"| {_fmt(r['p50_ms'])} | {_fmt(r['p99_ms'])} | {r['nacks']} / {r['plis']} |")
    cpu = [r for (loss, key), r in rows.items() if key == "nack"]
    if cpu:
        med = lambda k: statistics.median(r[k] for r in cpu)  # noqa: E731
        pps = [r["rx_packets_per_core_s"] for r in cpu if r["rx_packets_per_core_s"]]
        codec_us = med("tx_encode_us") + med("rx_decode_us")
        lines += [
            "",
            "Transport CPU per frame (ours with NACK, median over the loss rates; thread CPU "
            f"time): sender, packetizing and sending plus its RTCP thread "
            f"{med('tx_transport_us'):.0f} µs; receiver, its thread less decoding "
            f"{med('rx_transport_us'):.0f} µs; beside the codec's {med('tx_encode_us'):.0f} µs "
            f"encoding (with the pattern) and {med('rx_decode_us'):.0f} µs decoding: "
            f"{100 * med('tx_transport_us') / codec_us:.1f} % and "
            f"{100 * med('rx_transport_us') / codec_us:.1f} % of the codec's "
            f"{codec_us:.0f} µs. One core receives about {statistics.median(pps):,.0f} "
            "packets/s at that cost per packet (packets received over the receiving thread's "
            "transport CPU).",
        ]
    lines += waiting_lines(rows, args)
    lines.append(END)
    return "\n".join(lines) + "\n"


def waiting_lines(rows: dict, args) -> list[str]:
    """What waiting for retransmissions adds to p99, beside the round trip the receiver measured
    (NACK to retransmission), and the loopback link beside the in-process one."""
    base = rows.get((0.0, "nack"))
    out = []
    if base is not None and base["p99_ms"] is not None:
        parts = []
        for (loss, key), r in sorted(rows.items()):
            if key == "nack" and loss > 0 and r["p99_ms"] is not None:
                rtt = f"{r['rtt_ms']:.1f} ms" if r["rtt_ms"] is not None else "none"
                parts.append(f"{100 * loss:g} %: {r['p99_ms'] - base['p99_ms']:.1f} ms "
                             f"(round trip measured {rtt})")
        if parts:
            out += ["", "p99 added by waiting for retransmissions (ours with NACK, p99 less "
                    "its p99 at 0 % loss): " + "; ".join(parts) + "."]
    if args.in_process:
        direct, udp, mem = (args.in_process[k] for k in ("direct", "udp", "memory"))
        out += ["", f"0 % loss, medians of {args.pairs} runs each: over loopback UDP, sender "
                f"straight to receiver, p50 {direct[0]:.1f} ms, p99 {direct[1]:.1f} ms; through "
                f"the relay adding nothing (a Python thread of the same process forwards each "
                f"datagram) p50 {udp[0]:.1f} ms, p99 {udp[1]:.1f} ms; the in-process link p50 "
                f"{mem[0]:.1f} ms, p99 {mem[1]:.1f} ms; p99 difference, straight over UDP less "
                f"in-process, {direct[1] - mem[1]:+.1f} ms."]
    return out


def _load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--losses", default="0,1,2,5", help="percent, comma-separated")
    ap.add_argument("--rtt-ms", type=float, default=20.0)
    ap.add_argument("--jitter-ms", type=float, default=5.0)
    ap.add_argument("--cap-ms", type=float, default=50.0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--receivers", default="nack,plain,gst")
    ap.add_argument("--out", type=Path, default=ROOT / "bench" / "RESULTS.md")
    ap.add_argument("--no-write", action="store_true")
    ap.add_argument("--verbose", action="store_true", help="counts and slowest pictures")
    ap.add_argument("--pairs", type=int, default=3,
                    help="runs each of the loopback and in-process links at 0 %% loss (0: none)")
    args = ap.parse_args()
    args.load_before = _load()
    wanted = args.receivers.split(",")
    if "gst" in wanted and subprocess.run(["which", "gst-launch-1.0"],
                                          capture_output=True).returncode:
        print("net: gst-launch-1.0 is missing; GStreamer's column is left out", file=sys.stderr)
        wanted.remove("gst")
    args.in_process = compare_in_process(args) if args.pairs > 0 else None
    rows: dict = {}
    for loss in (float(x) / 100 for x in args.losses.split(",")):
        for key in wanted:
            t0 = time.monotonic()
            if key == "gst":
                rows[(loss, key)] = run_gstreamer(args, loss)
            else:
                rows[(loss, key)] = run_ours(args, loss, nack=key == "nack")
            r = rows[(loss, key)]
            print(f"net: loss {100 * loss:g} % {key}: shown {r['shown']}/{r['sent']} wrong "
                  f"{r['wrong']} ({r['wrong_unflagged']} unflagged) flagged {r['flagged']} "
                  f"p50 {_fmt(r['p50_ms'])} p99 {_fmt(r['p99_ms'])} ms "
                  f"({time.monotonic() - t0:.1f} s)", file=sys.stderr, flush=True)
            if args.verbose:
                lat = r.pop("latencies_ms", [])
                worst = sorted(range(len(lat)), key=lambda i: -lat[i])[:6]
                print("    ", {k: v for k, v in r.items() if not isinstance(v, float)},
                      "slowest (index, ms):", [(i, round(lat[i])) for i in sorted(worst)],
                      file=sys.stderr)
    section = table(args, rows)
    print(section)
    if not args.no_write:
        write_section(args.out, section, BEGIN, END)
    return 0


if __name__ == "__main__":
    sys.exit(main())
