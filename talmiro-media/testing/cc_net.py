"""The capped paths the congestion tests and bench/cc run a stream over, as processes: the
`send` command (1280x720 test pattern, its stream saved) into a bottleneck, and behind it a
receiving helper that does what `receive --json` does and also lists each picture shown (its
frame, the CRC of its luma, its flag), so that every picture is judged exactly against the
saved stream decoded whole (a low bitrate fails the receiver's PSNR verdict too).

- "relay": the package's relay on loopback, in this process, with its bottleneck (rate
  schedule, drop-tail queue), the one-way delay both ways and any random loss; every datagram
  the bottleneck takes or drops is logged, so the per-second series are exact.
- "kernel": two network namespaces joined by a veth pair, a token bucket (`tbf`, a drop-tail
  queue of `queue_ms`) on the sending side's end, its rate changed by `tc qdisc change` as the
  schedule says; per flow the relay (delay and loss only, its output logged) runs in the
  receiving namespace in front of the receiver. The qdisc's counters are read ten times a
  second. Several of our flows, and a bulk TCP flow, can share the bucket. Needs root,
  `ip netns` and `tc` with sch_tbf (netem is not needed); `kernel_unavailable()` says why not.

Every process is ended by its own pid; the namespaces are removed at the end, also on failure.
This file also runs those helpers: `python cc_net.py relay|receive|tcp-sink|tcp-source ...`.
"""
from __future__ import annotations

import bisect
import collections
import dataclasses
import json
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tool_processes import port_bound, stop  # noqa: E402

FPS = 30
# Sender and receiver addresses inside the namespaces (nowhere else).
ROBOT_ADDR, OPERATOR_ADDR = "10.77.0.1", "10.77.0.2"
RELAY_PORT, RECEIVER_PORT, SENDER_PORT, TCP_PORT = 5004, 6004, 7004, 8000
SAMPLE_S = 0.1
# The receiver's bound on a run beyond the sender's pictures.
RECEIVE_SPARE_S = 20.0


@dataclasses.dataclass
class Case:
    """One stream over one capacity schedule: (seconds from the start, kbit/s or None for no
    cap), the first at 0."""

    name: str
    schedule: list[tuple[float, float | None]]
    seconds: float
    size: str = "1280x720"
    bitrate_kbps: int = 2000
    delay_ms: float = 50.0
    queue_ms: float = 300.0
    loss: float = 0.0
    # Our flows' start times (seconds; a flow ends with the case), and a bulk TCP flow beside
    # them from the start: both on the kernel path only.
    flows: tuple[float, ...] = (0.0,)
    tcp: bool = False
    # Seconds into each step before its utilisation is taken.
    settle_s: float = 5.0

    def capacity_at(self, t: float) -> float | None:
        i = bisect.bisect_right([at for at, _ in self.schedule], t) - 1
        return self.schedule[max(i, 0)][1]


def send_options() -> set[str]:
    """The options `send --help` lists (congestion control is there when `--no-cc` is)."""
    out = subprocess.run([sys.executable, "-m", "talmiro_sdk_video", "send", "--help"],
                         capture_output=True, text=True, check=True).stdout
    return {word.rstrip(",") for word in out.split() if word.startswith("--")}


def has_congestion_control() -> bool:
    return "--no-cc" in send_options()


def kernel_unavailable() -> str | None:
    """Why the kernel path cannot run here (None: it can)."""
    if os.geteuid() != 0:
        return "the kernel path needs root (network namespaces, tc)"
    for tool in ("ip", "tc", "ss"):
        if shutil.which(tool) is None:
            return f"the kernel path needs `{tool}` (iproute2)"
    probe = f"tccp{os.getpid()}"
    try:
        if _ip("netns", "add", probe, check=False).returncode != 0:
            return "`ip netns add` failed: no network namespaces here"
        _ip("-n", probe, "link", "set", "lo", "up")
        tbf = subprocess.run(["tc", "-n", probe, "qdisc", "add", "dev", "lo", "root", "tbf",
                              "rate", "1mbit", "burst", "4000", "latency", "300ms"],
                             capture_output=True, text=True)
        if tbf.returncode != 0:
            return f"no tbf qdisc: {tbf.stderr.strip()}"
    finally:
        _ip("netns", "del", probe, check=False)
    return None


def _ip(*args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["ip", *args], capture_output=True, text=True, check=check)


def _cli(*args: str) -> list[str]:
    return [sys.executable, "-m", "talmiro_sdk_video", *args]


def _send_args(case: Case, to: str, bind: str, port: int, cc: bool | None,
               save: Path) -> list[str]:
    """`send`'s arguments, the stream saved to `save`; `cc` False adds `--no-cc` (None: as
    the sender is, for one without congestion control)."""
    args = ["send", "--to", to, "--bind", bind, "--port", str(port), "--size", case.size,
            "--bitrate-kbps", str(case.bitrate_kbps), "--frames", str(int(case.seconds * FPS)),
            "--stream-seed", "7", "--json", "--no-progress", "--save", str(save)]
    if cc is False:
        args.append("--no-cc")
    return _cli(*args)


def _receive_args(case: Case, bind: str, port: int) -> list[str]:
    """The receiving helper: what `receive --json` prints, and each picture shown."""
    return _helper("receive", bind, port, case.seconds + RECEIVE_SPARE_S)


def _last_json(text: str | None) -> dict:
    lines = [ln for ln in (text or "").strip().splitlines() if ln.startswith("{")]
    return json.loads(lines[-1]) if lines else {}


class _Processes:
    """The run's processes, each ended by its own pid; their stdout collected."""

    def __init__(self) -> None:
        self.procs: dict[str, subprocess.Popen] = {}
        self.out: dict[str, dict] = {}

    def start(self, name: str, argv: list[str]) -> subprocess.Popen:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.procs[name] = proc
        return proc

    def wait(self, name: str, seconds: float) -> dict:
        proc = self.procs[name]
        try:
            text, err = proc.communicate(timeout=seconds)
        except subprocess.TimeoutExpired:
            text, err = stop(proc)
        self.out[name] = _last_json(text)
        if not self.out[name] and err:
            self.out[name] = {"error": err.strip()[-2000:]}
        return self.out[name]

    def end(self, name: str) -> dict:
        """Ends one (by its pid) and takes what it printed."""
        text, _ = stop(self.procs[name])
        self.out[name] = _last_json(text)
        return self.out[name]

    def end_all(self) -> None:
        for name, proc in self.procs.items():
            if proc.poll() is None:
                text, _ = stop(proc)
                self.out.setdefault(name, _last_json(text))


# ---- the relay path ----

def _relay_classes():
    """A relay config whose forward bottleneck logs (arrival, bytes, departure or None) of
    every datagram it takes or drops. Made on first use, so that this module loads without
    the package (the kernel check, a skip message)."""
    from talmiro_sdk_video.relay import FORWARD, Bottleneck, RelayConfig

    class LoggedBottleneck(Bottleneck):
        def __init__(self, log: list, *args) -> None:
            super().__init__(*args)
            self.log = log

        def admit(self, now: float, size: int) -> float | None:
            sent = super().admit(now, size)
            self.log.append((now, size, sent))
            return sent

    @dataclasses.dataclass
    class LoggedConfig(RelayConfig):
        log: list = dataclasses.field(default_factory=list)

        def bottleneck(self, direction: str, start: float):
            if direction != FORWARD:
                return super().bottleneck(direction, start)
            return LoggedBottleneck(self.log, self.rate_kbps, self.queue_ms, self.rate_schedule,
                                    start)

    return LoggedConfig


def run_relay(case: Case, cc: bool | None, work: Path) -> dict:
    """The case through the relay on loopback: the sender's and the receiver's summaries and
    the per-second series."""
    from talmiro_sdk_video._net import free_pair
    from talmiro_sdk_video.relay import Relay

    local = "127.0.0.1"
    config = _relay_classes()(
        delay_ms=case.delay_ms, loss=case.loss, clean_back=True, seed=1,
        rate_kbps=case.schedule[0][1], queue_ms=case.queue_ms,
        rate_schedule=tuple((at, kbps) for at, kbps in case.schedule[1:]))
    procs = _Processes()
    relay = None
    try:
        rx_port = free_pair()
        rx = procs.start("receive", _receive_args(case, local, rx_port))
        if not port_bound(rx_port, rx):
            raise RuntimeError(f"the receiver did not start: {procs.wait('receive', 5)}")
        relay = Relay((local, 0), (local, rx_port), config)
        t0 = time.monotonic()
        relay.start()
        listen = relay.listen_address[1]
        procs.start("send", _send_args(case, f"{local}:{listen}", local, free_pair(), cc,
                                       work / "flow0.h264"))
        sent = procs.wait("send", case.seconds + 60)
        received = procs.wait("receive", RECEIVE_SPARE_S + 10)
    finally:
        if relay is not None:
            relay.stop()
        procs.end_all()
    series = _relay_series(case, config.log, t0)
    return {"send": sent, "receive": received, "series": series,
            "start_s": config.log[0][0] - t0 if config.log else 0.0}


def _relay_series(case: Case, log: list, t0: float) -> dict:
    """Per second: what reached the bottleneck (kbit/s), what left it, drops, and the queueing
    delay (mean and maximum of the waits of the datagrams that arrived in that second, ms); and
    every wait, for percentiles."""
    n = math.ceil(case.seconds) + 2
    sending, goodput, drops = [0.0] * n, [0.0] * n, [0] * n
    waits: list[list[float]] = [[] for _ in range(n)]
    for arrived, size, sent in log:
        t = arrived - t0
        i = min(int(t), n - 1)
        sending[i] += size * 8 / 1000
        if sent is None:
            drops[i] += 1
            continue
        goodput[min(int(sent - t0), n - 1)] += size * 8 / 1000
        cap = case.capacity_at(t)
        own = size * 8 / (cap * 1000) if cap else 0.0
        waits[i].append(max(0.0, sent - arrived - own) * 1000)
    return _series(case, n, sending, goodput, drops, waits)


def _series(case: Case, n: int, sending: list, goodput: list, drops: list,
            waits: list[list[float]]) -> dict:
    return {"t": list(range(n)), "capacity_kbps": [case.capacity_at(i) for i in range(n)],
            "sending_kbps": [round(v, 1) for v in sending],
            "goodput_kbps": [round(v, 1) for v in goodput], "drops": drops,
            "queue_ms": [round(statistics.fmean(w), 2) if w else 0.0 for w in waits],
            "queue_max_ms": [round(max(w), 2) if w else 0.0 for w in waits],
            "all_queue_ms": [x for w in waits for x in w]}


# ---- the kernel path ----

class Namespaces:
    """The sender's namespace and the receiver's, a veth pair between them, a tbf on the
    sender's end; removed on exit."""

    def __init__(self, queue_ms: float) -> None:
        tag = f"tcc{os.getpid()}"
        self.robot, self.operator, self.dev = tag + "r", tag + "o", tag + "a"
        self.queue_ms = queue_ms
        self.qdisc = False

    def __enter__(self) -> Namespaces:
        try:
            for ns in (self.robot, self.operator):
                _ip("netns", "add", ns)
                _ip("-n", ns, "link", "set", "lo", "up")
            peer = self.dev[:-1] + "b"
            _ip("link", "add", self.dev, "netns", self.robot, "type", "veth", "peer", "name",
                peer, "netns", self.operator)
            for ns, dev, addr in ((self.robot, self.dev, ROBOT_ADDR),
                                  (self.operator, peer, OPERATOR_ADDR)):
                _ip("-n", ns, "addr", "add", f"{addr}/30", "dev", dev)
                _ip("-n", ns, "link", "set", dev, "up")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        for ns in (self.robot, self.operator):
            _ip("netns", "del", ns, check=False)

    def set_rate(self, kbps: float | None) -> None:
        """The token bucket's rate (None: no cap, a rate far above the stream's)."""
        rate = 1_000_000.0 if kbps is None else kbps
        burst = max(4000, int(rate * 1000 / 8 * 0.004))
        subprocess.run(["tc", "-n", self.robot, "qdisc", "change" if self.qdisc else "add",
                        "dev", self.dev, "root", "tbf", "rate", f"{rate:g}kbit", "burst",
                        str(burst), "latency", f"{self.queue_ms:g}ms"],
                       check=True, capture_output=True)
        self.qdisc = True

    def counters(self) -> dict:
        out = subprocess.run(["tc", "-n", self.robot, "-s", "-j", "qdisc", "show", "dev",
                              self.dev], capture_output=True, text=True, check=True).stdout
        return next(q for q in json.loads(out) if q.get("root"))

    def exec(self, ns: str, argv: list[str]) -> list[str]:
        return ["ip", "netns", "exec", ns, *argv]

    def wait_bound(self, ns: str, port: int, proc: subprocess.Popen,
                   seconds: float = 15.0, tcp: bool = False) -> bool:
        """Whether `proc` listens on `port` (UDP, or TCP) in `ns` within `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and proc.poll() is None:
            out = subprocess.run(["ss", "-N", ns, "-Hltn" if tcp else "-Hlun"],
                                 capture_output=True, text=True).stdout
            if f":{port} " in out:
                return True
            time.sleep(0.1)
        return False


class _Schedule(threading.Thread):
    """Steps the token bucket's rate as the case says and reads its counters every
    SAMPLE_S, from `start()` until `finish()` (bounded by the case's length and a margin)."""

    def __init__(self, ns: Namespaces, case: Case) -> None:
        super().__init__(name="cc-schedule", daemon=True)
        self.ns, self.case = ns, case
        self.samples: list[tuple[float, dict]] = []
        self.done = threading.Event()
        self.failure: BaseException | None = None
        self.t0 = 0.0

    def start(self) -> None:
        self.t0 = time.monotonic()
        super().start()

    def run(self) -> None:
        steps = list(self.case.schedule[1:])
        limit = self.case.seconds + RECEIVE_SPARE_S + 60
        try:
            for k in range(int(limit / SAMPLE_S)):
                if self.done.wait(max(0.0, self.t0 + k * SAMPLE_S - time.monotonic())):
                    break
                now = time.monotonic() - self.t0
                while steps and steps[0][0] <= now:
                    self.ns.set_rate(steps.pop(0)[1])
                self.samples.append((now, self.ns.counters()))
        except BaseException as err:  # reported by finish()
            self.failure = err

    def finish(self) -> list[tuple[float, dict]]:
        self.done.set()
        self.join(10)
        if self.failure is not None:
            raise self.failure
        return self.samples


def run_kernel(case: Case, cc: bool | None, work: Path) -> dict:
    """The case over the veth pair and its token bucket, a relay (delay, loss) in front of each
    receiver, and with `case.tcp` a bulk TCP flow beside ours: the summaries and the
    per-second series (the first flow's as "send" and "receive", every flow's in "flows")."""
    procs = _Processes()
    with Namespaces(case.queue_ms) as ns:
        try:
            ns.set_rate(case.schedule[0][1])
            _start_receiving(ns, case, procs)
            schedule = _Schedule(ns, case)
            schedule.start()
            _start_sending(ns, case, cc, procs, schedule.t0, work)
            flows = [{"send": procs.wait(f"send{k}", case.seconds + 60)}
                     for k in range(len(case.flows))]
            for k, flow in enumerate(flows):
                flow["receive"] = procs.wait(f"receive{k}", RECEIVE_SPARE_S + 10)
                flow["goodput_kbps"] = _bins_kbps(procs.end(f"relay{k}"), schedule.t0, case)
            tcp = _bins_kbps(procs.end("tcp-sink"), schedule.t0, case) if case.tcp else None
            samples = schedule.finish()
        finally:
            procs.end_all()
    first = next((t for t, c in samples if c["packets"] > samples[0][1]["packets"]), 0.0)
    return {"send": flows[0]["send"], "receive": flows[0]["receive"], "flows": flows,
            "tcp_kbps": tcp, "series": _kernel_series(case, samples), "start_s": first}


def _start_receiving(ns: Namespaces, case: Case, procs: _Processes) -> None:
    """Per flow a receiver and its relay in the receiving namespace (and the TCP sink),
    each listening before this returns."""
    listening = []
    for k, _ in enumerate(case.flows):
        rx_port, relay_port = RECEIVER_PORT + 10 * k, RELAY_PORT + 10 * k
        procs.start(f"receive{k}", ns.exec(ns.operator, _receive_args(case, OPERATOR_ADDR,
                                                                      rx_port)))
        procs.start(f"relay{k}", ns.exec(ns.operator, _helper(
            "relay", OPERATOR_ADDR, relay_port, rx_port, case.delay_ms, case.loss,
            case.seconds + RECEIVE_SPARE_S + 30)))
        listening += [(f"receive{k}", rx_port), (f"relay{k}", relay_port)]
    if case.tcp:
        procs.start("tcp-sink", ns.exec(ns.operator, _helper(
            "tcp-sink", OPERATOR_ADDR, TCP_PORT, case.seconds + 10)))
        listening.append(("tcp-sink", TCP_PORT))
    for name, port in listening:
        if not ns.wait_bound(ns.operator, port, procs.procs[name], tcp=name == "tcp-sink"):
            procs.end_all()
            raise RuntimeError(f"{name} did not start: {procs.out}")


def _start_sending(ns: Namespaces, case: Case, cc: bool | None, procs: _Processes,
                   t0: float, work: Path) -> None:
    """Each flow's sender at its start (seconds after `t0`), the TCP source at once."""
    if case.tcp:
        procs.start("tcp-source", ns.exec(ns.robot, _helper(
            "tcp-source", OPERATOR_ADDR, TCP_PORT, case.seconds)))
    for k, at in enumerate(case.flows):
        time.sleep(max(0.0, t0 + at - time.monotonic()))
        flow = dataclasses.replace(case, seconds=case.seconds - at)
        procs.start(f"send{k}", ns.exec(ns.robot, _send_args(
            flow, f"{OPERATOR_ADDR}:{RELAY_PORT + 10 * k}", ROBOT_ADDR, SENDER_PORT + 10 * k,
            cc, work / f"flow{k}.h264")))


def _helper(*args) -> list[str]:
    return [sys.executable, str(Path(__file__).resolve()), *map(str, args)]


def _bins_kbps(out: dict, t0: float, case: Case) -> list[float]:
    """Per second from `t0`, kbit/s of a helper's [decisecond of the monotonic clock, bytes]."""
    n = math.ceil(case.seconds) + 2
    kbps = [0.0] * n
    for tenth, size in out.get("bins", []):
        i = int(tenth / 10 - t0)
        if 0 <= i < n:
            kbps[i] += size * 8 / 1000
    return [round(v, 1) for v in kbps]


def _kernel_series(case: Case, samples: list[tuple[float, dict]]) -> dict:
    """The series from the qdisc's counters: what left it (goodput), what reached it (what
    left, was dropped, or waits; a drop counted at the mean packet's size), drops, and the
    queueing delay of each sample (its backlog at the rate of the moment)."""
    n = math.ceil(case.seconds) + 2
    sending, goodput, drops = [0.0] * n, [0.0] * n, [0] * n
    waits: list[list[float]] = [[] for _ in range(n)]
    for (_, a), (t, b) in zip(samples, samples[1:]):
        i = min(int(t), n - 1)
        sent = b["bytes"] - a["bytes"]
        mean = b["bytes"] / b["packets"] if b["packets"] else 0.0
        dropped = b["drops"] - a["drops"]
        goodput[i] += sent * 8 / 1000
        sending[i] += (sent + dropped * mean + b["backlog"] - a["backlog"]) * 8 / 1000
        drops[i] += dropped
        cap = case.capacity_at(t)
        waits[i].append(b["backlog"] * 8 / cap if cap else 0.0)
    return _series(case, n, sending, goodput, drops, waits)


def run_case(case: Case, path: str, cc: bool | None) -> dict:
    """One run ("relay" or "kernel"), each flow's pictures judged against a decode of the
    stream its sender sent, and the run's figures (`figures`)."""
    with tempfile.TemporaryDirectory(prefix="talmiro-cc-") as tmp:
        work = Path(tmp)
        run = (run_relay if path == "relay" else run_kernel)(case, cc, work)
        for k, flow in enumerate(run.get("flows") or [run]):
            judge(flow["receive"], work / f"flow{k}.h264", case.size)
    run.update(case=case.name, path=path, cc=bool(cc) if cc is not None else False)
    run["figures"] = figures(case, run)
    return run


def lossless_crcs(stream: Path, size: str) -> list[int]:
    """The CRC-32 of the luma of each picture of a saved stream, decoded whole by ffmpeg (H.264
    decoding is exact: the pictures a receiver that lost nothing shows), in order."""
    w, h = (int(v) for v in size.split("x"))
    proc = subprocess.Popen(["ffmpeg", "-v", "error", "-f", "h264", "-i", str(stream),
                             "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                             "-"], stdout=subprocess.PIPE)
    assert proc.stdout is not None
    crcs = []
    while len(picture := proc.stdout.read(w * h * 3 // 2)) == w * h * 3 // 2:
        crcs.append(zlib.crc32(memoryview(picture)[:w * h]))
    proc.wait(60)
    return crcs


def judge(receive: dict, stream: Path, size: str) -> None:
    """Replaces the receiver's PSNR verdict (which a low bitrate fails too) by the exact one:
    a picture is wrong when it differs from the same picture decoded from what was sent;
    `wrong_unflagged` those of them not flagged `recovering`. The PSNR verdict stays as
    `wrong_psnr`."""
    shown = receive.pop("shown", None)
    if shown is None or not stream.exists():
        return
    crcs = lossless_crcs(stream, size)
    receive["wrong_psnr"] = receive.get("wrong_pictures")
    judged = [(crc != crcs[n], recovering) for n, crc, recovering in shown
              if n is not None and 0 <= n < len(crcs)]
    receive["judged"] = len(judged)
    receive["wrong_pictures"] = sum(wrong for wrong, _ in judged)
    receive["wrong_unflagged"] = sum(wrong and not flagged for wrong, flagged in judged)


# ---- the figures ----

def percentile(values: list[float], q: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(q / 100 * len(ordered)) - 1))]


def _mean(values: list[float]) -> float | None:
    return statistics.fmean(values) if values else None


def _target_series(run: dict, n: int) -> list[float | None]:
    """The sender's target at the end of each second (None without congestion control),
    its history's clock started at the first packet."""
    history = run["send"].get("target_history") or []
    out: list[float | None] = []
    for i in range(n):
        seen = [kbps for at, kbps in history if at + run["start_s"] <= i + 1]
        out.append(seen[-1] if seen else None)
    return out


def _steps(case: Case, series: dict) -> list[dict]:
    """Each capped step's utilisation (goodput over capacity) and sending rate over capacity
    from `settle_s` after it began to its end."""
    out = []
    bounds = [at for at, _ in case.schedule[1:]] + [case.seconds]
    for (at, kbps), end in zip(case.schedule, bounds):
        window = range(math.ceil(at + case.settle_s), int(end))
        if kbps is None or not window:
            continue
        out.append({"at_s": at, "kbps": kbps,
                    "utilisation": round(_mean([series["goodput_kbps"][i] for i in window])
                                         / kbps, 3),
                    "sending_share": round(_mean([series["sending_kbps"][i] for i in window])
                                           / kbps, 3)})
    return out


def _after_drop(case: Case, series: dict) -> float | None:
    """The longest queueing delay in the second that begins 1 s after the first drop of the
    capacity (ms; None without one)."""
    for (_, before), (at, after) in zip(case.schedule, case.schedule[1:]):
        if before is not None and after is not None and after < before:
            i = int(at) + 1
            return series["queue_max_ms"][i] if i < len(series["queue_max_ms"]) else None
    return None


def _merged(run: dict) -> tuple[dict, dict]:
    """The flows' summaries as one: counts added up, latencies the worst flow's."""
    flows = run.get("flows") or [run]
    if len(flows) == 1:
        return flows[0]["send"], flows[0]["receive"]
    send = {k: sum(f["send"].get(k) or 0 for f in flows) for k in ("frames", "packets_resent")}
    receive = {k: sum(f["receive"].get(k) or 0 for f in flows)
               for k in ("pictures", "wrong_pictures", "wrong_unflagged")}
    for k in ("latency_p50_us", "latency_p99_us"):
        values = [f["receive"].get(k) for f in flows if f["receive"].get(k) is not None]
        receive[k] = max(values) if values else None
    return send, receive


def _shares(case: Case, run: dict) -> dict:
    """With several flows, Jain's fairness index of their goodput from 10 s after each start
    to the next; with TCP beside ours, each one's share of the capacity from 5 s on."""
    out: dict = {}
    flows = run.get("flows") or []
    if len(flows) > 1:
        bounds = list(case.flows[1:]) + [case.seconds]
        jain = []
        for k, (at, end) in enumerate(zip(case.flows, bounds)):
            window = range(int(at) + 10, int(end))
            rates = [_mean([f["goodput_kbps"][i] for i in window]) for f in flows[:k + 1]]
            if window and all(r is not None for r in rates):
                jain.append(round(sum(rates) ** 2 / (len(rates) * sum(r * r for r in rates))
                                  if any(rates) else 0.0, 3))
        out["fairness"] = jain
    if run.get("tcp_kbps") is not None and flows:
        window = range(5, int(case.seconds))
        for name, kbps in (("ours", flows[0]["goodput_kbps"]), ("tcp", run["tcp_kbps"])):
            cap = [case.capacity_at(i) or 0 for i in window]
            out[f"{name}_share"] = round(sum(kbps[i] for i in window) / max(1, sum(cap)), 3)
    return out


def figures(case: Case, run: dict) -> dict:
    s, r = _merged(run)
    series = run["series"]
    series["target_kbps"] = _target_series(run, len(series["t"]))
    frames = s.get("frames") or int(case.seconds * FPS)
    pictures = r.get("pictures", 0)
    us = (lambda k: round(r[k] / 1000, 1) if r.get(k) is not None else None)
    return {
        "frames": frames, "pictures": pictures, "shown": round(pictures / frames, 4),
        "wrong": r.get("wrong_pictures"), "wrong_unflagged": r.get("wrong_unflagged"),
        "p50_ms": us("latency_p50_us"), "p99_ms": us("latency_p99_us"),
        "resent": s.get("packets_resent"), "drops": sum(series["drops"]),
        "queue_p95_ms": percentile(series.pop("all_queue_ms"), 95),
        "queue_max_1s_after_drop_ms": _after_drop(case, series),
        "steps": _steps(case, series),
        "target_kbps_mean": run["send"].get("target_kbps_mean"),
        "target_kbps_min": run["send"].get("target_kbps_min"),
        **_shares(case, run),
    }


# ---- the helpers the kernel path runs in its namespaces (`python cc_net.py KIND ...`) ----

def _until_interrupted(seconds: float) -> None:
    """Waits `seconds` or until SIGINT (how the harness ends a helper)."""
    done = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: done.set())
    done.wait(seconds)


def _relay_main(host: str, port: str, to_port: str, delay_ms: str, loss: str,
                seconds: str) -> dict:
    """The package's relay (delay, loss; no cap) with every forward datagram logged: bytes
    per decisecond of the monotonic clock as they left for the receiver, and its counters."""
    from talmiro_sdk_video.relay import Relay

    config = _relay_classes()(delay_ms=float(delay_ms), loss=float(loss), clean_back=True,
                              seed=1)
    relay = Relay((host, int(port)), (host, int(to_port)), config).start()
    _until_interrupted(float(seconds))
    relay.stop()
    bins: collections.Counter = collections.Counter()
    for _, size, sent in list(config.log):
        bins[int(sent * 10)] += size
    return {"bins": sorted(bins.items()), "counters": relay.counters()}


def _receive_main(bind: str, port: str, seconds: str) -> dict:
    """What `receive --json` does and prints, with each picture shown: [its frame of the test
    pattern, the CRC-32 of its luma, whether it was flagged recovering]."""
    from talmiro_sdk_video.net_commands import ReceiveConfig, run_receive

    shown = []

    def on_picture(receiver, pic) -> None:
        shown.append([receiver.pattern_frame(pic.t_us), zlib.crc32(pic.y.tobytes()),
                      bool(pic.recovering)])

    cfg = ReceiveConfig(port=int(port), bind=bind, seconds=float(seconds))
    summary, _ = run_receive(cfg, on_picture=on_picture)
    summary["shown"] = shown
    return summary


def _tcp_sink_main(host: str, port: str, seconds: str) -> dict:
    """Takes one TCP connection and reads it until it closes or `seconds` passed: the bytes
    per decisecond."""
    deadline = time.monotonic() + float(seconds)
    bins: collections.Counter = collections.Counter()
    with socket.create_server((host, int(port))) as server:
        server.settimeout(float(seconds))
        try:
            conn, _ = server.accept()
        except (TimeoutError, OSError, KeyboardInterrupt):
            return {"bins": [], "bytes": 0}
        with conn:
            while (left := deadline - time.monotonic()) > 0:
                conn.settimeout(left)
                try:
                    data = conn.recv(1 << 16)
                except (TimeoutError, OSError, KeyboardInterrupt):
                    break
                if not data:
                    break
                bins[int(time.monotonic() * 10)] += len(data)
    return {"bins": sorted(bins.items()), "bytes": sum(bins.values())}


def _tcp_source_main(host: str, port: str, seconds: str) -> dict:
    """Writes to `host:port` as fast as TCP takes it for `seconds`."""
    deadline = time.monotonic() + float(seconds)
    chunk, sent = bytes(1 << 16), 0
    with socket.create_connection((host, int(port)), timeout=10) as conn:
        while (left := deadline - time.monotonic()) > 0:
            conn.settimeout(left)
            try:
                sent += conn.send(chunk)
            except (TimeoutError, OSError):
                break
    return {"bytes": sent}


if __name__ == "__main__":
    _kinds = {"relay": _relay_main, "receive": _receive_main, "tcp-sink": _tcp_sink_main, "tcp-source": _tcp_source_main}
    print(json.dumps(_kinds[sys.argv[1]](*sys.argv[2:])), flush=True)
