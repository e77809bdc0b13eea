"""A seeded lossy UDP relay for RTP and RTCP: per-packet loss, loss bursts, reordering, jitter
and a one-way delay, between a sender and a receiver, both ways.

The relay listens on a pair of ports, P for RTP and P + 1 for RTCP, and forwards what arrives
there to the receiver's pair (Q, Q + 1) from a pair of its own (R, R + 1). What the receiver
sends to R or R + 1 (its RTCP: reports, NACK, PLI) goes back to the sender from P or P + 1: to
the address the sender's RTCP came from, or before any has come, to its RTP source port + 1
(`rtcp_back` overrides that, for senders that take RTCP on another port than they send from).

The same seed gives the same fate to the same RTP packet: the decision for an original RTP
packet is a hash of the seed, the direction, its SSRC and its sequence number (extended past
each wrap), so that two runs of a stream whose SSRC and first sequence number are fixed lose
the same packets even where their contents differ (an IDR picture a PLI asked for at another
moment). A burst runs over the sequence numbers of one SSRC's original packets:
the one that starts it and the `burst_packets - 1` after it are lost. A resend (a packet seen
before, or an RTX packet: payload type `rtx_payload_type`, drawn by the original sequence
number it carries, not its own) is a draw of its own, lost with chance `loss + burst_rate`, and
never starts or joins a burst. So the original packets lost depend only on the seed and the
stream (its SSRC and sequence numbers), not on what feedback a receiver sends, in
which order it arrives, or what is resent in between: receivers compared behind one seed see
the same original packets lost, and so do two runs of a stream whose SSRC and sequence numbers
are fixed. Other datagrams (RTCP, anything that is not RTP) draw from a seeded generator of
their own per direction and port.

Each direction may have a bottleneck first (`rate_kbps`, `queue_ms`, `rate_schedule`; the
`back_` ones for the way back): a link of that rate with a drop-tail queue in front of it, as a
capped uplink has. A datagram leaves the bottleneck when the link has sent it and all that came
before it, at the rates of the schedule; one that would wait longer than `queue_ms` behind
those is dropped (`queue_drops`). What leaves it goes on to the loss, reordering, delay and
jitter above, so that the link's capacity is spent on datagrams lost later too.

    relay = Relay(("127.0.0.1", 5004), ("127.0.0.1", 6004), RelayConfig(loss=0.02, delay_ms=10))
    relay.start()
    ...
    relay.stop()
    print(relay.counters())
"""

from __future__ import annotations

import hashlib
import heapq
import itertools
import math
import random
import select
import socket
import struct
import threading
import time
from dataclasses import dataclass, field

from . import _rtp
from ._net import SO_RXQ_OVFL, Address, bind_family, bind_pair, peer_address

FORWARD, BACK = "forward", "back"
# Without a packet after it, a packet held back for reordering leaves after this long.
HOLD_LIMIT_S = 0.1
_COUNTERS = ("received", "forwarded", "lost", "lost_in_burst", "reordered", "overflow",
             "no_route", "send_errors", "socket_drops", "bytes_forwarded")
# The fastest a bottleneck is set to, in kbit/s (10 Gbit/s), and the most steps it has.
MAX_RATE_KBPS = 10_000_000.0
MAX_RATE_STEPS = 1000
# Room for the count of datagrams dropped that each read carries (SO_RXQ_OVFL).
_CMSG_SPACE = socket.CMSG_SPACE(4)


@dataclass
class RelayConfig:
    """What the relay does to each datagram. Rates are chances per datagram, 0..1."""

    loss: float = 0.0           # chance a datagram is lost on its own
    burst_rate: float = 0.0     # chance a datagram starts a burst of losses
    burst_packets: int = 5      # datagrams lost in a burst, the one that starts it included
    reorder: float = 0.0        # chance a datagram is held back behind the next one
    #                             (if none comes within HOLD_LIMIT_S, it leaves alone)
    jitter_ms: float = 0.0      # extra delay, uniform in [0, jitter_ms]; keeps the order
    delay_ms: float = 0.0       # one-way delay, added to every datagram both ways
    seed: int = 1
    clean_back: bool = False    # the way back (receiver to sender) is delayed but never lossy
    rtx_payload_type: int | None = 97   # RTP packets of this type are RTX resends (RFC 4588)
    max_queue: int = 4096       # datagrams waiting to leave; more are dropped and counted
    # The bottleneck from the sender to the receiver: its rate (None: no cap), the longest a
    # datagram may wait in its queue, and (seconds from the start, kbit/s) steps of the rate
    # from then on (the rate before the first step is `rate_kbps`).
    rate_kbps: float | None = None
    queue_ms: float = 300.0
    rate_schedule: tuple[tuple[float, float], ...] = ()
    # The same for the way back.
    back_rate_kbps: float | None = None
    back_queue_ms: float = 300.0
    back_rate_schedule: tuple[tuple[float, float], ...] = ()

    def check(self) -> None:
        for name in ("loss", "burst_rate", "reorder"):
            value = getattr(self, name)
            if not 0.0 <= value <= 1.0:
                raise ValueError(f"{name} must be between 0 and 1, got {value}")
        for name in ("jitter_ms", "delay_ms"):
            value = getattr(self, name)
            if not 0.0 <= value <= 60_000.0:
                raise ValueError(f"{name} must be between 0 and 60000, got {value}")
        if not 1 <= self.burst_packets <= 10_000:
            raise ValueError(f"burst_packets must be between 1 and 10000, got {self.burst_packets}")
        if not 1 <= self.max_queue <= 1_000_000:
            raise ValueError(f"max_queue must be between 1 and 1000000, got {self.max_queue}")
        if self.rtx_payload_type is not None and not 0 <= self.rtx_payload_type <= 127:
            raise ValueError(f"rtx_payload_type must be between 0 and 127, "
                             f"got {self.rtx_payload_type}")
        for prefix in ("", "back_"):
            _check_bottleneck(prefix, getattr(self, prefix + "rate_kbps"),
                              getattr(self, prefix + "queue_ms"),
                              getattr(self, prefix + "rate_schedule"))

    def bottleneck(self, direction: str, start: float) -> Bottleneck | None:
        """The bottleneck of `direction` for a relay started at `start` (monotonic seconds);
        None without a cap."""
        prefix = "" if direction == FORWARD else "back_"
        rate = getattr(self, prefix + "rate_kbps")
        schedule = getattr(self, prefix + "rate_schedule")
        if rate is None and not schedule:
            return None
        return Bottleneck(rate, getattr(self, prefix + "queue_ms"), schedule, start)


def _check_bottleneck(prefix: str, rate: float | None, queue_ms: float,
                      schedule: tuple[tuple[float, float], ...]) -> None:
    if rate is not None and not 0.0 < rate <= MAX_RATE_KBPS:
        raise ValueError(f"{prefix}rate_kbps must be above 0 and at most {MAX_RATE_KBPS:.0f}, "
                         f"got {rate}")
    if not 0.0 <= queue_ms <= 60_000.0:
        raise ValueError(f"{prefix}queue_ms must be between 0 and 60000, got {queue_ms}")
    if len(schedule) > MAX_RATE_STEPS:
        raise ValueError(f"{prefix}rate_schedule has more than {MAX_RATE_STEPS} steps")
    last = None
    for at, kbps in schedule:
        if not (0.0 <= at <= 1e6 and (last is None or at > last)):
            raise ValueError(f"{prefix}rate_schedule's times must rise from 0 s on (to at most "
                             f"1000000 s), got {at}" + ("" if last is None else f" after {last}"))
        if not 0.0 < kbps <= MAX_RATE_KBPS:
            raise ValueError(f"{prefix}rate_schedule's rates must be above 0 and at most "
                             f"{MAX_RATE_KBPS:.0f} kbit/s, got {kbps}")
        last = at


def parse_rate_schedule(text: str) -> tuple[tuple[float, float], ...]:
    """`T:KBPS,...` (seconds from the start, kbit/s from then on) as steps for RelayConfig;
    ValueError for text that is not that (RelayConfig checks the values)."""
    steps = []
    for part in text.split(","):
        at, sep, kbps = part.strip().partition(":")
        try:
            if not sep:
                raise ValueError
            steps.append((float(at), float(kbps)))
        except ValueError:
            raise ValueError(f"a rate schedule is T:KBPS,... (seconds, kbit/s), got {text!r}") \
                from None
    return tuple(steps)


# What a direction without a bottleneck reports of one.
_NO_BOTTLENECK = {"queue_drops": 0, "queue_delay_p50_ms": 0.0, "queue_delay_p95_ms": 0.0,
                  "queue_delay_max_ms": 0.0, "rate_kbps": []}
# The waits are counted in bins this wide (seconds).
_WAIT_BIN_S = 0.00025
_NO_CAP = float("inf")


class Bottleneck:
    """A link whose rate may step at set times, behind a drop-tail queue. `admit` says when a
    datagram arriving at a time has left the link, having waited for those before it to be
    sent at the rates of the schedule; or None, dropped, if that wait would be longer than
    `queue_ms`. Times are monotonic seconds and arrivals come in order. It counts what it
    dropped and how long what it took waited (in bins of 0.25 ms up to the queue's limit: a few
    operations a datagram and no allocation)."""

    def __init__(self, rate_kbps: float | None, queue_ms: float,
                 schedule: tuple[tuple[float, float], ...], start: float):
        # (from, bit/s), the first from the beginning of time.
        steps = [(start + float(at), float(kbps) * 1000.0) for at, kbps in schedule]
        if not steps or steps[0][0] > start:
            steps.insert(0, (start, _NO_CAP if rate_kbps is None else rate_kbps * 1000.0))
        self._steps = [(float("-inf"), steps[0][1])] + steps[1:]
        self._start = start
        self._limit = queue_ms / 1000.0
        self._step = 0
        self._busy_until = float("-inf")
        # Datagrams that found the link free, and the others' waits.
        self._unqueued = 0
        self._waits = [0] * (int(self._limit / _WAIT_BIN_S) + 1)
        self.max_wait = 0.0
        self.drops = 0

    def admit(self, now: float, size: int) -> float | None:
        """When a datagram of `size` bytes that arrived at `now` has been sent; None if
        dropped."""
        wait = self._busy_until - now
        if wait > self._limit:
            self.drops += 1
            return None
        if wait > 0.0:
            begin = self._busy_until
            self.max_wait = max(self.max_wait, wait)
            self._waits[min(int(wait / _WAIT_BIN_S), len(self._waits) - 1)] += 1
        else:
            begin = now
            self._unqueued += 1
        self._busy_until = self._finish(begin, size * 8.0)
        return self._busy_until

    def _finish(self, begin: float, bits: float) -> float:
        """When `bits` begun at `begin` have been sent, across the steps of the rate."""
        steps = self._steps
        while self._step + 1 < len(steps) and steps[self._step + 1][0] <= begin:
            self._step += 1
        at, step = begin, self._step
        while True:  # bounded by the steps
            rate = steps[step][1]
            end = steps[step + 1][0] if step + 1 < len(steps) else _NO_CAP
            if rate == _NO_CAP:
                return at
            if at + bits / rate <= end:
                return at + bits / rate
            bits -= (end - at) * rate
            at, step = end, step + 1

    def summary(self) -> dict:
        """The drops; the waits' median, 95th percentile (each its bin's upper edge, at most
        the maximum) and maximum, in ms; and the rate's steps, [seconds from the start, kbit/s
        (None: no cap)]."""
        total = self._unqueued + sum(self._waits)
        out: dict = {"queue_drops": self.drops}
        for name, q in (("p50", 0.5), ("p95", 0.95)):
            edge = _bin_percentile(self._unqueued, self._waits, total, q) * _WAIT_BIN_S
            out[f"queue_delay_{name}_ms"] = round(min(edge, self.max_wait) * 1000.0, 3)
        out["queue_delay_max_ms"] = round(self.max_wait * 1000.0, 3)
        out["rate_kbps"] = [[max(0.0, round(at - self._start, 6)),
                             None if rate == _NO_CAP else rate / 1000.0]
                            for at, rate in self._steps]
        return out


def _bin_percentile(zeros: int, bins: list[int], total: int, q: float) -> int:
    """The upper edge, in bins, of the bin the `q` quantile falls in (0: among the zeros)."""
    rank = max(1, math.ceil(q * total))
    if rank <= zeros:
        return 0
    seen = zeros
    for k, count in enumerate(bins):
        seen += count
        if seen >= rank:
            return k + 1
    return len(bins)


@dataclass
class _Lane:
    """One direction on one port: its own draws, bursts, order and held datagram."""

    name: str
    out: socket.socket
    rng: random.Random
    impaired: bool
    burst_left: int = 0         # datagrams that are not RTP still to lose in a burst
    last_departure: float = 0.0
    held: tuple[bytes, Address, float] | None = None
    seen: dict[tuple[int, int, int, bool], int] = field(default_factory=dict)
    # Per SSRC of original packets: the sequence number the last burst started at, and the
    # highest sequence number with the wraps before it (extended: 65536 per wrap).
    bursts: dict[int, int] = field(default_factory=dict)
    highest: dict[int, int] = field(default_factory=dict)


# SSRCs whose bursts are followed; beyond it the relay forgets them all.
MAX_BURST_SSRCS = 256


def _rtp_key(data: bytes, rtx_payload_type: int | None) -> tuple[int, int, int, bool] | None:
    """(SSRC, sequence number, timestamp, is_rtx) of what looks like an RTP packet (the
    timestamp tells a packet from the one with its sequence number 65536 packets earlier); for
    an RTX packet the sequence number is that of the original it carries. RTCP (types 192-223)
    is not RTP."""
    if len(data) < 12 or data[0] >> 6 != 2 or 192 <= data[1] <= 223:
        return None
    seq, timestamp, ssrc = struct.unpack_from(">HII", data, 2)
    if (data[1] & 0x7F) != rtx_payload_type:
        return ssrc, seq, timestamp, False
    at = 12 + 4 * (data[0] & 0x0F)
    if data[0] & 0x10 and at + 4 <= len(data):  # a header extension
        at += 4 + 4 * struct.unpack_from(">H", data, at + 2)[0]
    if at + 2 <= len(data):
        seq = struct.unpack_from(">H", data, at)[0]
    return ssrc, seq, timestamp, True


class Relay:
    """Forwards RTP and RTCP between a sender and a receiver through a seeded lossy channel,
    in a thread of its own. `listen` is where the sender sends (its RTP port; RTCP on the next
    port); `to` is the receiver's RTP port (RTCP on the next). The relay sends to the receiver
    from `out_port` and the next port (0: a free pair), where the receiver's RTCP is taken; a
    receiver that sends its RTCP to a configured port (GStreamer's) needs it fixed. Hosts are
    names or addresses of either family; the sockets take the family of `listen`'s host (for
    0.0.0.0: IPv4 unless `to` has only IPv6 addresses, then `::`, which takes both)."""

    def __init__(self, listen: Address, to: Address, config: RelayConfig | None = None,
                 rtcp_back: Address | None = None, out_port: int = 0):
        self.config = config or RelayConfig()
        self.config.check()
        if listen[1] != 0:  # 0: a free pair of the relay's choosing
            _check_port(listen[1], "listen")
        _check_port(to[1], "to")
        if out_port != 0:
            _check_port(out_port, "out")
        host, _ = bind_family(listen[0], [to[0]] + ([rtcp_back[0]] if rtcp_back else []))
        self._to = (peer_address(to[0], host), to[1])
        self._rtcp_back = (peer_address(rtcp_back[0], host), rtcp_back[1]) if rtcp_back \
            else None
        self._socks: list[socket.socket] = []
        self._a_rtp, self._a_rtcp = bind_pair(host, listen[1])
        self._socks += [self._a_rtp, self._a_rtcp]
        try:
            self._b_rtp, self._b_rtcp = bind_pair(host, out_port)
            self._socks += [self._b_rtp, self._b_rtcp]
            self._wake_r, self._wake_w = socket.socketpair()
        except OSError:
            self._close_sockets()
            raise
        seed = self.config.seed
        back_impaired = not self.config.clean_back
        self._lanes = {
            self._a_rtp: _Lane(FORWARD, self._b_rtp, random.Random(f"{seed}/f/rtp"), True),
            self._a_rtcp: _Lane(FORWARD, self._b_rtcp, random.Random(f"{seed}/f/rtcp"), True),
            self._b_rtp: _Lane(BACK, self._a_rtp, random.Random(f"{seed}/b/rtp"), back_impaired),
            self._b_rtcp: _Lane(BACK, self._a_rtcp, random.Random(f"{seed}/b/rtcp"),
                                back_impaired),
        }
        self._socket_drops: dict[socket.socket, int] = {}
        self._sender_rtp: Address | None = None
        self._sender_rtcp: Address | None = None
        self._queue: list[tuple[float, int, bytes, Address, socket.socket]] = []
        self._order = 0
        self._lock = threading.Lock()
        self._counts = {d: dict.fromkeys(_COUNTERS, 0) for d in (FORWARD, BACK)}
        # Made when the relay starts: their schedules count from then.
        self._caps: dict[str, Bottleneck | None] = {FORWARD: None, BACK: None}
        self._thread: threading.Thread | None = None
        self._stopping = False
        self._failure: BaseException | None = None

    # ---- the public face ----

    @property
    def listen_address(self) -> Address:
        """Where the sender sends RTP (RTCP on the next port)."""
        return self._a_rtp.getsockname()[:2]

    @property
    def receiver_facing_address(self) -> Address:
        """The relay's RTP port towards the receiver (RTCP on the next port)."""
        return self._b_rtp.getsockname()[:2]

    def start(self) -> Relay:
        if self._thread is not None:
            raise RuntimeError("the relay was started already")
        start = time.monotonic()
        self._caps = {d: self.config.bottleneck(d, start) for d in (FORWARD, BACK)}
        self._thread = threading.Thread(target=self._run, name="talmiro-relay", daemon=True)
        self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        """Stops the thread (datagrams still waiting are not sent) and closes the sockets."""
        self._stopping = True
        if self._thread is not None:
            try:
                self._wake_w.send(b"x")
            except OSError:
                pass
            self._thread.join(timeout)
        self._close_sockets()
        if self._failure is not None:
            raise RuntimeError(f"the relay failed: {self._failure}") from self._failure

    def __enter__(self) -> Relay:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def counters(self) -> dict[str, dict[str, int]]:
        """Cumulative counts per direction ("forward": sender to receiver, "back"), and the
        datagrams waiting to leave ("queued", those held back for reordering included). Each
        direction's bottleneck adds its drops, the waits in its queue and its rate's steps
        (`Bottleneck.summary`; none and empty without a cap)."""
        with self._lock:
            out: dict = {d: dict(c) for d, c in self._counts.items()}
            for direction, cap in self._caps.items():
                out[direction].update(dict(_NO_BOTTLENECK, rate_kbps=[]) if cap is None
                                      else cap.summary())
            # Datagrams the system dropped before the relay could read them (Linux only).
            for sock, lane in self._lanes.items():
                out[lane.name]["socket_drops"] += self._socket_drops.get(sock, 0)
            out["queued"] = len(self._queue) + sum(
                lane.held is not None for lane in self._lanes.values())
        return out

    # ---- the thread ----

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as err:  # reported by stop()
            self._failure = err

    def _loop(self) -> None:
        readers = [*self._lanes, self._wake_r]
        while not self._stopping:
            now = time.monotonic()
            self._release_held(now)
            self._send_due(now)
            wait = 0.2
            if self._queue:
                wait = min(wait, max(0.0, self._queue[0][0] - now))
            for lane in self._lanes.values():
                if lane.held is not None:
                    wait = min(wait, max(0.0, lane.held[2] + HOLD_LIMIT_S - now))
            ready, _, _ = select.select(readers, [], [], wait)
            for sock in ready:
                if sock is self._wake_r:
                    continue
                # Bounded: at most a few datagrams per socket per turn, so the queue drains.
                for _ in range(64):
                    try:
                        data, ancillary, _, src = sock.recvmsg(65536, _CMSG_SPACE)
                    except (BlockingIOError, InterruptedError):
                        break
                    except OSError:  # ICMP port unreachable from an earlier send, and the like
                        break
                    for level, kind, value in ancillary:
                        if level == socket.SOL_SOCKET and kind == SO_RXQ_OVFL and \
                                len(value) >= 4:
                            self._socket_drops[sock] = int.from_bytes(value[:4], "little")
                    self._arrive(sock, data, src[:2], time.monotonic())

    def _arrive(self, sock: socket.socket, data: bytes, src: Address, now: float) -> None:
        lane = self._lanes[sock]
        counts = self._counts[lane.name]
        if lane.name == FORWARD:
            if sock is self._a_rtp:
                self._sender_rtp = src
            else:
                self._sender_rtcp = src
            dest: Address | None = self._to if sock is self._a_rtp else (self._to[0],
                                                                          self._to[1] + 1)
        else:
            dest = self._back_address(sock is self._b_rtp)
        with self._lock:
            counts["received"] += 1
            if dest is None:
                counts["no_route"] += 1
                return
            cap = self._caps[lane.name]
            if cap is not None:
                # What follows happens to the datagram once the link has sent it.
                sent = cap.admit(now, len(data))
                if sent is None:
                    return
                now = sent
            if lane.impaired and self._lose(lane, data, counts):
                return
            departure = now + self.config.delay_ms / 1000.0
            if self.config.jitter_ms > 0.0:
                departure += lane.rng.uniform(0.0, self.config.jitter_ms) / 1000.0
            # Jitter never reorders: a datagram leaves no earlier than the one before it.
            departure = max(departure, lane.last_departure)
            lane.last_departure = departure
            if lane.held is not None:
                held_data, held_dest, _ = lane.held
                lane.held = None
                counts["reordered"] += 1
                self._push(departure, data, dest, lane, counts)
                self._push(departure, held_data, held_dest, lane, counts)
                return
            if lane.impaired and self.config.reorder > 0.0 and \
                    lane.rng.random() < self.config.reorder:
                lane.held = (data, dest, now)
                return
            self._push(departure, data, dest, lane, counts)

    def _lose(self, lane: _Lane, data: bytes, counts: dict[str, int]) -> bool:
        cfg = self.config
        key = _rtp_key(data, cfg.rtx_payload_type)
        if key is None:
            return self._lose_other(lane, counts)
        if cfg.loss <= 0.0 and cfg.burst_rate <= 0.0:
            return False
        seen = self._seen(lane, key)
        ssrc, seq, _, rtx = key
        if rtx or seen:
            draw = self._draw(lane, key, seen)
            in_burst = draw < cfg.burst_rate
        else:
            if ssrc not in lane.highest and len(lane.highest) >= MAX_BURST_SSRCS:
                lane.highest.clear()
                lane.bursts.clear()
            draw = self._draw(lane, (ssrc, _extend(lane.highest, ssrc, seq), 0, False), 0)
            if draw < cfg.burst_rate:
                lane.bursts[ssrc] = seq
            start = lane.bursts.get(ssrc)
            in_burst = start is not None and (seq - start) & 0xFFFF < cfg.burst_packets
        return self._verdict(in_burst, draw, counts)

    def _lose_other(self, lane: _Lane, counts: dict[str, int]) -> bool:
        """The fate of a datagram that is not RTP: a draw from the lane's generator; a burst
        takes the datagrams of the lane that follow it."""
        cfg = self.config
        if lane.burst_left > 0:
            lane.burst_left -= 1
            return self._verdict(True, 1.0, counts)
        if cfg.loss <= 0.0 and cfg.burst_rate <= 0.0:
            return False
        draw = lane.rng.random()
        if draw < cfg.burst_rate:
            lane.burst_left = cfg.burst_packets - 1
        return self._verdict(draw < cfg.burst_rate, draw, counts)

    def _verdict(self, in_burst: bool, draw: float, counts: dict[str, int]) -> bool:
        """Lost in a burst, lost alone (a draw under the loss rate past the burst rate), or
        not lost; counted."""
        if in_burst:
            counts["lost_in_burst"] += 1
            return True
        if draw < self.config.burst_rate + self.config.loss:
            counts["lost"] += 1
            return True
        return False

    @staticmethod
    def _seen(lane: _Lane, key: tuple[int, int, int, bool]) -> int:
        """How often the packet was seen before; counts this time."""
        seen = lane.seen.get(key, 0)
        if len(lane.seen) >= 65536 and key not in lane.seen:
            # Bounded: the oldest quarter goes (a dict keeps the order keys came in).
            for old in list(itertools.islice(lane.seen, 16384)):
                del lane.seen[old]
        lane.seen[key] = seen + 1
        return seen

    def _draw(self, lane: _Lane, key: tuple[int, int, int, bool], seen: int) -> float:
        ssrc, seq, timestamp, rtx = key
        kind = "rtx" if rtx else "rtp" if seen else "original"
        text = f"{self.config.seed}/{lane.name}/{kind}/{ssrc}/{seq}/{timestamp}/{seen}"
        digest = hashlib.blake2b(text.encode(), digest_size=8).digest()
        return int.from_bytes(digest, "little") / 2.0**64

    def _push(self, departure: float, data: bytes, dest: Address, lane: _Lane,
              counts: dict[str, int]) -> None:
        if len(self._queue) >= self.config.max_queue:
            counts["overflow"] += 1
            return
        self._order += 1
        heapq.heappush(self._queue, (departure, self._order, data, dest, lane.out))

    def _release_held(self, now: float) -> None:
        with self._lock:
            for lane in self._lanes.values():
                if lane.held is not None and now - lane.held[2] >= HOLD_LIMIT_S:
                    data, dest, _ = lane.held
                    lane.held = None
                    departure = max(now, lane.last_departure)
                    lane.last_departure = departure
                    self._push(departure, data, dest, lane, self._counts[lane.name])

    def _send_due(self, now: float) -> None:
        while True:
            with self._lock:
                if not self._queue or self._queue[0][0] > now:
                    return
                _, _, data, dest, out = heapq.heappop(self._queue)
                name = FORWARD if out in (self._b_rtp, self._b_rtcp) else BACK
            try:
                out.sendto(data, dest)
                ok = True
            except OSError:
                ok = False
            with self._lock:
                counts = self._counts[name]
                counts["forwarded" if ok else "send_errors"] += 1
                if ok:
                    counts["bytes_forwarded"] += len(data)

    def _back_address(self, rtp: bool) -> Address | None:
        if rtp:
            return self._sender_rtp
        return _rtp.rtcp_return_address(self._rtcp_back, self._sender_rtcp, self._sender_rtp)

    def _close_sockets(self) -> None:
        for sock in self._socks:
            sock.close()
        for name in ("_wake_r", "_wake_w"):
            wake = getattr(self, name, None)
            if wake is not None:
                wake.close()


def _extend(highest: dict[int, int], ssrc: int, seq: int) -> int:
    """`seq` extended with the wraps of its SSRC's sequence numbers (RFC 3550 A.1's idea: a
    step back of more than half the range is a wrap; a step forward of as much, a packet from
    before the last wrap); the highest extended number is kept in `highest`."""
    top = highest.get(ssrc)
    if top is None:
        highest[ssrc] = seq
        return seq
    delta = ((seq - top + 32768) & 0xFFFF) - 32768   # -32768..32767
    extended = max(0, top + delta)
    highest[ssrc] = max(top, extended)
    return extended


def _check_port(port: int, what: str) -> None:
    # The port and the one after it (RTCP) must both exist; 0 is not a place to send to.
    if not 1 <= port <= 65534:
        raise ValueError(f"{what} port must be between 1 and 65534, got {port}")


def _format_bottleneck(c: dict) -> str:
    if not c["rate_kbps"]:
        return ""
    steps = " ".join(f"{at:g}s:{'none' if kbps is None else f'{kbps:g}'}"
                     for at, kbps in c["rate_kbps"])
    return (f" queue drops {c['queue_drops']} queue delay p50/p95/max "
            f"{c['queue_delay_p50_ms']:.1f}/{c['queue_delay_p95_ms']:.1f}/"
            f"{c['queue_delay_max_ms']:.1f} ms bytes {c['bytes_forwarded']} "
            f"rate kbit/s {steps}")


def format_counters(counters: dict) -> str:
    """The counters as one line of text."""
    parts = []
    for direction in (FORWARD, BACK):
        c = counters[direction]
        parts.append(f"{direction}: received {c['received']} forwarded {c['forwarded']} "
                     f"lost {c['lost'] + c['lost_in_burst']} (burst {c['lost_in_burst']}) "
                     f"reordered {c['reordered']} overflow {c['overflow']} "
                     f"no route {c['no_route']} socket drops {c['socket_drops']}"
                     + _format_bottleneck(c))
    return "relay " + "; ".join(parts)
