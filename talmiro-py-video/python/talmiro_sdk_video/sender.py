"""The sending end of the network link: H.264 access units out over RTP/UDP to one or more
receivers, and the RTCP that comes back acted on.

    sender = RtpSender(["192.168.1.20:5004"], encoder=encoder)
    for unit in encoder.encode(picture, capture_us):
        sender.send_unit(unit)
    ...
    sender.close()          # BYE to every receiver
    print(sender.stats())

`RtpSender` packetizes with the core's `RtpPacketizer` and sends each packet to every
receiver from one UDP socket, in one native step per access unit (`RtpSendStep`). A thread of
its own serves RTCP on a second socket (by default the RTP port + 1). Every datagram in and out
passes one `DatagramTransport` per socket (the seam for protecting and pacing them):

- PLI and FIR call `encoder.request_idr()`. Requests coalesce: while an IDR picture asked for
  has not been sent, or within one round trip or `min_idr_interval_ms` (whichever is longer)
  after one was sent, a request asks for nothing new (the receiver could not have seen that
  picture yet, and a storm of requests must not make every picture an IDR picture).
- Generic NACKs are answered from the packetizer's history, in RTX form (own payload type and
  SSRC) when `rtx_payload_type` is set, else as the original packets again; each packet is
  resent at most `max_resends` times per receiver, from a budget of bytes (below). One native
  call answers a NACK list: what it names beyond the history costs nothing, and each receiver
  has a feedback budget of packets handled per second (counted in `nack_over_budget` when
  spent), so that no NACK, however large, holds up the media.

These rules are the core's `RtpResponder`; this class gives it the times and the round trips.
- Receiver reports give each receiver's loss, jitter and round trip.
- Sender reports go to every receiver (RTP port + 1) before the first packet and then about
  once a second, with an SDES CNAME and, for the test pattern, an SDES PRIV item that says which
  picture each timestamp carries; `close` sends BYE.

Receivers are "HOST:PORT" or "[IPV6]:PORT" (or (host, port)); the sockets are bound in the
family of `bind`. The default, 0.0.0.0, is IPv4 unless a receiver has only IPv6 addresses: then
`::`, one socket for both families, which reaches IPv4 receivers by their IPv4-mapped
addresses (so receivers of both families can be mixed); a name with an IPv4 address takes it.
A receiver an IPv4 bind address cannot reach is a ValueError.

With `srtp` (an `SrtpKey`), media, RTX and the sender's RTCP go out as SRTP and SRTCP, and
feedback is opened with `srtp_feedback` (default: the same key): what does not authenticate, or
comes again, goes no further and is counted in `feedback_auth_failures`.

Feedback is taken only from the hosts the sender sends to (any port: GStreamer sends from an
ephemeral one); anything else is counted and dropped. Capture times are µs on the clock that
`clock` reads (the wall clock by default), which sender reports map to NTP time: a receiver on
a machine whose clock agrees gets each picture's capture time on this clock.
"""

from __future__ import annotations

import random
import select
import socket
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass

from . import _codec, _rtp
from .congestion import TargetFollower, rate_limits
from ._net import (Address, as_address, bind_family, bind_one, bind_pair, format_address,
                   parse_address, wake_drained, wall_us)
from ._net import mono_us as _mono_us
from .pattern_note import PATTERN_PREFIX, pattern_note
from .sdp import TRANSPORT_CC_EXTENSION_ID
from .srtp import _SRTP_REFUSALS, SrtpKey, _check_keys, protect
# Before any report gives a round trip, requests for an IDR picture coalesce over this long.
DEFAULT_RTT_S = 0.1
# An IDR picture asked for and not sent after this long no longer holds new requests back.
IDR_PENDING_LIMIT_S = 1.0
# RTCP datagrams read from the socket per turn of the RTCP thread: a flood cannot starve its
# timers.
RTCP_BATCH = 64
# Resend counts kept (oldest dropped beyond it): more than the history holds for two receivers.
MAX_RESEND_ENTRIES = 65536
# Resends are paced by a budget of bytes: it refills at twice the media rate of the last second
# (at least RESEND_MIN_RATE bytes/s) and holds at most RESEND_BURST bytes, so that a flood of
# NACKs cannot make the sender send many times what its stream carries.
RESEND_MIN_RATE = 125_000
RESEND_BURST = 512 * 1024
# IDR pictures asked for by PLI or FIR are at least this far apart, whatever the round trip.
MIN_IDR_INTERVAL_MS = 300


def _destinations(to: Iterable[str | Address], bind: str) -> tuple[str, list[Address]]:
    """The numeric address to bind and the receivers' addresses in its family (see
    `bind_family`: with 0.0.0.0, IPv4 unless a receiver has only IPv6 addresses, then `::`,
    which reaches both families from one socket)."""
    pairs = [parse_address(t) if isinstance(t, str) else (t[0], t[1]) for t in to]
    bind, _ = bind_family(bind, [host for host, _ in pairs])
    return bind, [as_address(pair, bind) for pair in pairs]


@dataclass
class _Receiver:
    """What the sender knows of one receiver."""

    address: Address                  # where its RTP goes
    ssrc: int | None = None           # the SSRC its reports come from
    fraction_lost: float | None = None
    cumulative_lost: int | None = None
    jitter_ms: float | None = None
    rtt_ms: float | None = None
    reports: int = 0

    def as_dict(self) -> dict:
        return {"address": format_address(self.address), "ssrc": self.ssrc,
                "fraction_lost": self.fraction_lost, "cumulative_lost": self.cumulative_lost,
                "jitter_ms": self.jitter_ms, "rtt_ms": self.rtt_ms, "reports": self.reports}


class RtpSender:
    """Sends one H.264 stream over RTP/UDP to the receivers `to` ("HOST:PORT" or (host, port);
    their RTCP port is the next one) and serves their RTCP. See the module's text. `ssrc`,
    `first_seq`, `timestamp_offset`, and the RTX stream's `rtx_ssrc` and `rtx_first_seq`, are
    drawn at random when not given."""

    def __init__(self, to: Iterable[str | Address], *, encoder: _codec.H264Encoder | None = None,
                 bind: str = "0.0.0.0", port: int = 0, rtcp_port: int | None = None,
                 mtu: int = 1200, payload_type: int = 96, rtx_payload_type: int | None = 97,
                 max_resends: int = 3, cname: str | None = None,
                 sr_interval_s: float = 1.0, clock: Callable[[], int] = wall_us,
                 ssrc: int | None = None, first_seq: int | None = None,
                 timestamp_offset: int | None = None, rtx_ssrc: int | None = None,
                 rtx_first_seq: int | None = None,
                 min_idr_interval_ms: float = MIN_IDR_INTERVAL_MS,
                 srtp: SrtpKey | None = None, srtp_feedback: SrtpKey | None = None,
                 congestion_control: bool = True, min_kbps: int | None = None,
                 start_kbps: int | None = None, max_kbps: int | None = None):
        bind, dests = _destinations(to, bind)
        self.srtp = _check_keys(srtp, srtp_feedback)
        self._dests = [_Receiver(address) for address in dests]
        _check(len(dests), max_resends, sr_interval_s, min_idr_interval_ms)
        self._hosts = {d.address[0] for d in self._dests}
        self.encoder = encoder
        self._clock = clock
        self._sr_interval = sr_interval_s
        self._rtx = rtx_payload_type is not None
        limits = rate_limits(encoder, min_kbps, start_kbps, max_kbps) \
            if congestion_control else None
        kw = {"payload_type": payload_type, "mtu": mtu, "ssrc": ssrc, "first_seq": first_seq,
              "timestamp_offset": timestamp_offset,
              "transport_cc_extension_id": TRANSPORT_CC_EXTENSION_ID if limits else None}
        if rtx_payload_type is not None:
            kw.update(rtx_payload_type=rtx_payload_type, rtx_ssrc=rtx_ssrc,
                      rtx_first_seq=rtx_first_seq)
        self._pack = _rtp.RtpPacketizer(**kw)
        self.cname = cname or f"talmiro-{self._pack.ssrc:08x}@{socket.gethostname()}"[:255]
        self._note: str | None = None
        self._lock = threading.Lock()
        self._open(bind, port, rtcp_port)
        if srtp is not None:
            protect(self._media, self._control, srtp, srtp_feedback or srtp, sending=True)
        # What only this class sees; the rest of stats() is the core's and the transports'.
        self._counts = dict.fromkeys(
            ("frames", "idr_pictures", "idr_from_feedback", "plis_received", "firs_received",
             "nacks_received", "resend_misses", "nack_pairs_dropped", "rtcp_refused",
             "feedback_refused", "feedback_other_ssrc", "byes_received", "sender_reports",
             "transport_feedback_received", "rembs_received"), 0)
        self._idr_reasons = {"first": 0, "pli": 0, "fir": 0, "other": 0}
        # Why the IDR picture asked for was asked for, until one is sent.
        self._idr_pending: str | None = None
        self._responder = _rtp.RtpResponder(
            max_resends=min(max_resends, 255), default_rtt_us=int(DEFAULT_RTT_S * 1e6),
            idr_pending_limit_us=int(IDR_PENDING_LIMIT_S * 1e6), resend_min_rate=RESEND_MIN_RATE,
            resend_burst=RESEND_BURST, max_resend_entries=MAX_RESEND_ENTRIES,
            min_idr_interval_us=int(min_idr_interval_ms * 1000))
        self._start_congestion(limits)
        self._started = False
        self._next_sr = 0.0
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="talmiro-rtp-sender", daemon=True)
        self._failure: BaseException | None = None
        self._thread.start()

    def _start_congestion(self, limits) -> None:
        """The send step, and with `limits` its pacer (on a thread of its own) and the follower
        that sets the encoder's bitrate to the target."""
        self._follower: TargetFollower | None = None
        self._pacer: threading.Thread | None = None
        if limits is None:
            self._step = _rtp.RtpSendStep(self._pack, self._responder, self._media,
                                          rtx=self._rtx)
            return
        self._step = _rtp.RtpSendStep(
            self._pack, self._responder, self._media, rtx=self._rtx,
            receivers=len(self._dests), start_bps=limits.start_kbps * 1000,
            min_bps=limits.min_kbps * 1000, max_bps=limits.max_kbps * 1000)
        self._follower = TargetFollower(lambda: self.encoder, limits, time.monotonic())
        self._pacer = threading.Thread(target=self._step.run_pacer, name="talmiro-rtp-pacer",
                                       daemon=True)
        self._pacer.start()

    def _open(self, bind: str, port: int, rtcp_port: int | None) -> None:
        """The sockets (RTP, RTCP, the thread's wake-up pair) and the transports: every
        datagram to the receivers' RTP ports and from and to their RTCP ports."""
        self._socks: list[socket.socket] = []
        try:
            if rtcp_port is None:
                self._socks += bind_pair(bind, port)
            else:
                self._socks.append(bind_one(bind, port))
                self._socks.append(bind_one(bind, rtcp_port))
            self._rtp, self._rtcp = self._socks
            self._wake_r, self._wake_w = socket.socketpair()
            self._socks += [self._wake_r, self._wake_w]
            rtp = [d.address for d in self._dests]
            self._media = _rtp.DatagramTransport(self._rtp, rtp)
            self._control = _rtp.DatagramTransport(self._rtcp, [(h, p + 1) for h, p in rtp])
        except BaseException:
            for s in self._socks:
                s.close()
            raise

    # ---- the public face ----

    @property
    def ssrc(self) -> int:
        return self._pack.ssrc

    @property
    def address(self) -> Address:
        """The local RTP address (RTCP on `rtcp_address`)."""
        return self._rtp.getsockname()[:2]

    @property
    def rtcp_address(self) -> Address:
        return self._rtcp.getsockname()[:2]

    @property
    def transport_cc(self) -> int | None:
        """The header extension id of the transport-wide sequence number every packet carries
        under congestion control (for the SDP's `a=extmap`); None without it."""
        return TRANSPORT_CC_EXTENSION_ID if self._follower is not None else None

    @property
    def packetizer(self) -> _rtp.RtpPacketizer:
        return self._pack

    def timestamp_of(self, capture_us: int) -> int:
        """The RTP timestamp of a capture time."""
        return self._pack.timestamp_of(capture_us)

    def set_pattern(self, width: int, height: int, fps: int, speed: int, first_capture_us: int
                    ) -> None:
        """Tells the receivers that picture n of the test pattern is captured at
        `first_capture_us + n * 1e6 / fps` (so that they can check what they show)."""
        self._note = pattern_note(width, height, fps, speed,
                                  self._pack.timestamp_of(first_capture_us))

    def send_unit(self, unit: tuple) -> int:
        """One access unit as the encoder gives it, `(data, t_us, key, ...)`."""
        return self.send(unit[0], unit[1], key=bool(unit[2]))

    def send(self, data: bytes, capture_us: int, key: bool = False) -> int:
        """Packetizes one Annex-B access unit captured at `capture_us` and sends its packets to
        every receiver; `key` says that it is an IDR picture. Returns the packets sent."""
        if self._closed:
            raise RuntimeError("the sender is closed")
        first = not self._started
        with self._lock:
            if key:
                self._count_idr(first)
            self._counts["frames"] += 1
        # The first sender report goes before the stream's first packet.
        return self._step.send(data, capture_us, _mono_us(), before=self._start if first else None)

    def request_idr(self, reason: str = "other") -> bool:
        """Asks the encoder for an IDR picture unless a request is already being answered;
        True when it asked."""
        with self._lock:
            if not self._responder.request_idr(_mono_us(), self._rtt_us()):
                return False
            self._idr_pending = reason
        if self.encoder is not None:
            self.encoder.request_idr()
        return True

    def stats(self) -> dict:
        """The counts so far; `receivers` holds what each receiver's reports said."""
        with self._lock:
            ours = dict(self._counts)
            idr_reasons = dict(self._idr_reasons)
            receivers = [d.as_dict() for d in self._dests]
        pstats, rstats = self._pack.stats(), self._responder.stats()
        media, control = self._media.stats(), self._control.stats()
        ours.update(feedback_auth_failures=sum(control[k] for k in _SRTP_REFUSALS),
                    packets=pstats["packets"], bytes=pstats["bytes"],
                    packets_resent=rstats["resends"], rtcp_datagrams=control["datagrams_received"],
                    send_errors=media["send_errors"] + control["send_errors"],
                    **{k: rstats[k] for k in ("resend_limited", "resend_over_budget",
                                              "nack_over_budget", "idr_requests",
                                              "idr_requests_coalesced")})
        out: dict = {key: ours[key] for key in _STATS_ORDER}
        out["idr_reasons"] = idr_reasons
        out["receivers"] = receivers
        # Numbers named outside the history are found so in bulk, never asked of the packetizer.
        out["history_misses"] = pstats["history_misses"] + out["resend_misses"]
        out["rtx_packets"] = pstats["rtx_packets"]
        out["ssrc"] = self._pack.ssrc
        out["srtp"] = self.srtp.suite if self.srtp else None
        out["feedback_auth_failures"] = ours["feedback_auth_failures"]
        out.update(self._congestion_stats())
        return out

    def _congestion_stats(self) -> dict:
        """The target's course, the pacer and each receiver's controller; None without
        congestion control."""
        if self._follower is None:
            return {"target_kbps": None, "pacer": None, "congestion": None}
        native = self._step.congestion_stats(_mono_us())
        pacer = native.pop("pacer")
        return {**self._follower.summary(time.monotonic()), "pacer": pacer,
                "congestion": native, "transport_feedback_received": native["transport_feedback"],
                "rembs_received": native["rembs"]}

    def close(self, reason: str | None = None) -> None:
        """Sends BYE to every receiver, stops the RTCP thread and closes the sockets."""
        if self._closed:
            return
        self._closed = True
        self._wake()
        self._thread.join(5.0)
        if self._pacer is not None:  # what is queued goes before the BYE
            self._step.stop_pacer()
            self._pacer.join(5.0)
        if self._started:
            try:
                self._send_report(bye=reason or "")
            except (OSError, ValueError):
                pass
        self._media.close()
        self._control.close()
        for s in self._socks:
            s.close()
        if self._failure is not None:
            raise RuntimeError(f"the RTCP thread failed: {self._failure}") from self._failure

    def __enter__(self) -> RtpSender:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- IDR pictures ----

    def _count_idr(self, first: bool) -> None:
        self._counts["idr_pictures"] += 1
        if first:
            reason = "first"
        elif self._idr_pending in ("pli", "fir"):
            reason = self._idr_pending
            self._counts["idr_from_feedback"] += 1
        else:
            reason = "other"
        self._idr_reasons[reason] += 1
        self._idr_pending = None
        self._responder.idr_sent(_mono_us(), first)

    def _rtt_us(self) -> int | None:
        """The longest round trip measured to the receivers."""
        rtts = [d.rtt_ms for d in self._dests if d.rtt_ms is not None]
        return int(max(rtts) * 1000) if rtts else None

    def _start(self) -> None:
        """The stream's first packets are made: the first sender report goes before them."""
        with self._lock:
            self._next_sr = time.monotonic() + self._sr_interval
            self._started = True
        self._send_report()
        self._wake()

    # ---- RTCP ----

    def _wake(self) -> None:
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as err:  # reported by close()
            self._failure = err

    def _loop(self) -> None:
        while not self._closed:
            now = time.monotonic()
            if self._started and now >= self._next_sr:
                self._send_report()
                # Spread over 0.5..1.5 intervals, so that senders started together drift apart.
                self._next_sr = now + self._sr_interval * random.uniform(0.5, 1.5)
            wait = max(0.0, self._next_sr - now) if self._started else 0.5
            for data, src in self._read_feedback(min(wait, 0.5)):
                self._feedback(data, src)

    def _read_feedback(self, wait: float) -> list:
        """The RTCP datagrams that came within `wait` seconds (fewer when the thread is woken).
        Under congestion control the wait is native, and the datagrams that say only
        congestion feedback are taken there: only the new target comes back."""
        if self._follower is None:
            ready, _, _ = select.select([self._rtcp, self._wake_r], [], [], wait)
            if self._wake_r in ready:
                wake_drained(self._wake_r)
            return self._control.receive(RTCP_BATCH) if self._rtcp in ready else []
        items, target, woken = self._step.read_feedback(
            self._control, RTCP_BATCH, wake_fd=self._wake_r.fileno(), timeout_us=int(wait * 1e6))
        if woken:
            wake_drained(self._wake_r)
        if target is not None:
            self._follower.follow(target, time.monotonic())
        return items

    def _receiver_for(self, src: Address) -> _Receiver | None:
        host, port = src
        same_host = [d for d in self._dests if d.address[0] == host]
        for d in same_host:
            if port in (d.address[1], d.address[1] + 1):
                return d
        return same_host[0] if len(same_host) == 1 else None

    def _feedback(self, data: bytes, src: Address) -> None:
        with self._lock:
            if src[0] not in self._hosts:
                self._counts["feedback_refused"] += 1
                return
        # A NACK's pairs go to the responder as they are: never a list of every number named.
        packets, counts = _rtp.rtcp_parse(data, nack_lost=False)
        arrival_ntp = _rtp.ntp_from_us(wall_us())
        ours = self._pack.ssrc
        pairs: list[tuple[int, int]] = []
        want: str | None = None
        congestion = False
        dest = self._receiver_for(src)
        # Reports name the receiver by SSRC when its address does not (several on one host).
        for p in packets:
            if p["type"] in ("rr", "sr") and dest is None:
                dest = next((d for d in self._dests if d.ssrc == p["ssrc"]), None)
        with self._lock:
            self._counts["rtcp_refused"] += counts["refused"]
            self._counts["nack_pairs_dropped"] += counts["nack_pairs_dropped"]
            for p in packets:
                if p["type"] == "rr" or p["type"] == "sr":
                    for block in p["reports"]:
                        if block["ssrc"] == ours and dest is not None:
                            self._report(dest, p["ssrc"], block, arrival_ntp)
                elif p["type"] == "nack":
                    if p["media_ssrc"] != ours:
                        self._counts["feedback_other_ssrc"] += 1
                        continue
                    self._counts["nacks_received"] += 1
                    pairs += p["pairs"]
                elif p["type"] == "pli":
                    if p["media_ssrc"] not in (ours, 0):
                        self._counts["feedback_other_ssrc"] += 1
                        continue
                    self._counts["plis_received"] += 1
                    want = "pli"
                elif p["type"] == "fir":
                    if not any(e["ssrc"] == ours for e in p["entries"]):
                        self._counts["feedback_other_ssrc"] += 1
                        continue
                    self._counts["firs_received"] += 1
                    want = "fir"
                elif p["type"] == "bye":
                    self._counts["byes_received"] += 1
                elif p["type"] in ("transport_feedback", "remb"):
                    congestion = True
                    if self._follower is None:  # else the controller counts what it reads
                        self._counts["transport_feedback_received" if p["type"][0] == "t"
                                     else "rembs_received"] += 1
        if congestion and dest is not None and self._follower is not None:
            self._follower.follow(self._step.congestion_feedback(
                self._place(dest), data, _mono_us()), time.monotonic())
        if want is not None:
            self.request_idr(want)
        if pairs:
            self._resend(pairs, dest, src)

    def _report(self, dest: _Receiver, ssrc: int, block: dict, arrival_ntp: int) -> None:
        dest.ssrc = ssrc
        dest.reports += 1
        dest.fraction_lost = block["fraction_lost"] / 256.0
        dest.cumulative_lost = block["cumulative_lost"]
        dest.jitter_ms = block["jitter"] / 90.0
        rtt = _rtp.rtcp_rtt_us(block["lsr"], block["dlsr"], arrival_ntp)
        if rtt is not None:
            dest.rtt_ms = rtt / 1000.0
        if self._follower is not None:
            self._follower.follow(self._step.congestion_report(
                self._place(dest), block["fraction_lost"], rtt, _mono_us()), time.monotonic())

    def _place(self, dest: _Receiver) -> int:
        return next(i for i, d in enumerate(self._dests) if d is dest)

    def _resend(self, pairs: list[tuple[int, int]], dest: _Receiver | None, src: Address
                ) -> None:
        # To the receiver that asked; when neither its address nor its SSRC says which one it
        # is, to every receiver on the host it asked from.
        targets = [i for i, d in enumerate(self._dests)
                   if (d is dest if dest is not None else d.address[0] == src[0])]
        key = self._dests[targets[0]].address[1] if targets else 0
        # Native, without the interpreter lock and without ours: send() goes on meanwhile.
        answer = self._step.answer_nack(key, pairs, _mono_us(), to=targets)
        with self._lock:
            self._counts["resend_misses"] += answer["not_held"]
            self._counts["nack_pairs_dropped"] += answer["pairs_dropped"]

    def _send_report(self, bye: str | None = None) -> None:
        with self._lock:
            pstats = self._pack.stats()
            ntp = _rtp.ntp_from_us(wall_us())
            ts = self._pack.timestamp_of(self._clock())
            ssrc = self._pack.ssrc
            self._counts["sender_reports"] += 1
        items = [("priv", PATTERN_PREFIX, self._note)] if self._note else []
        data = (_rtp.rtcp_sr(ssrc, ntp, ts, pstats["packets"] & 0xFFFFFFFF,
                               pstats["payload_bytes"] & 0xFFFFFFFF)
                + _rtp.rtcp_sdes(ssrc, self.cname, items))
        if bye is not None:
            data += _rtp.rtcp_bye([ssrc], bye or None)
        self._control.send(data)  # to every receiver's RTCP port


# The keys of RtpSender.stats() before the nested ones, in their order.
_STATS_ORDER = (
    "frames", "packets", "bytes", "idr_pictures", "idr_from_feedback", "plis_received",
    "firs_received", "nacks_received", "packets_resent", "resend_misses", "resend_limited",
    "resend_over_budget", "nack_over_budget", "nack_pairs_dropped", "idr_requests",
    "idr_requests_coalesced", "rtcp_datagrams", "rtcp_refused", "feedback_refused",
    "feedback_other_ssrc", "byes_received", "sender_reports", "send_errors",
    "transport_feedback_received", "rembs_received")


def _check(receivers: int, max_resends: int, sr_interval_s: float,
           min_idr_interval_ms: float) -> None:
    if not receivers:
        raise ValueError("at least one receiver is needed")
    if max_resends < 0:
        raise ValueError(f"max_resends must not be negative, got {max_resends}")
    if not 0.05 <= sr_interval_s <= 60:
        raise ValueError(f"sr_interval_s must be between 0.05 and 60, got {sr_interval_s}")
    if not 0 <= min_idr_interval_ms <= 60_000:
        raise ValueError("min_idr_interval_ms must be between 0 and 60000, got "
                         f"{min_idr_interval_ms}")

