"""The receiving end of the network link: one H.264 stream over RTP/UDP in, decoded pictures
out, and RTCP back to the sender.

    receiver = RtpReceiver(5004)                 # RTP on 5004, RTCP on 5005
    while running:
        for picture in receiver.receive(timeout=0.1):
            show(picture)                        # picture.t_us: capture time on the sender's clock
    receiver.close()
    print(receiver.stats())

A thread of its own reads both sockets, puts the datagrams through the core's
`RtpDepacketizer` and the access units it releases through `H264Decoder`, and sends RTCP. With
the package's own decoder (a `H264Decoder`, no `on_unit`) the datagrams and units never reach
Python code: `receive_rtp` decodes in native code and queues the pictures in a `PictureQueue`,
and sends the NACKs too once the stream and the sender's RTCP address are known; the thread
runs Python only for PLIs, RTCP in and the report timer. It sends:

- a NACK as soon as the depacketizer reports a gap (compound with a receiver report), and a
  copy of it 3 ms later;
- a PLI whenever the decoder raises "request_idr";
- receiver reports about once a second.

A unit is decoded as soon as it is complete. One with missing packets waits for their
retransmission, and the units after it wait behind it; how long is the depacketizer's rule,
given a wait tied to the measured round trip (the time from a NACK to the retransmission it
asked for), capped by `max_delay_ms`. When the wait ends the unit is decoded with
`complete=False`, and the decoder flags what it damaged.

Media is taken only from the sender: the address given (a host, any port; or HOST:PORT), else
the first host heard (any port: a sender that restarts sends from a new one). Datagrams from
anywhere else are counted in `packets_refused` and dropped, and so is RTCP from another host.
A new SSRC from the sender after `ssrc_silence_us` of silence, or right after a BYE for the
stream, starts a new stream (counted in `restarts`): what was learnt of the old one (reception
statistics, sender reports, its RTCP address) is forgotten, and a PLI asks for an IDR picture.

Pictures carry `t_us`, the capture time on the sender's clock, from the sender reports'
mapping of NTP time to RTP timestamps; before the first sender report, the arrival time of the
access unit instead (such pictures count in no latency).
"""

from __future__ import annotations

import random
import socket
import threading
from collections.abc import Callable
from dataclasses import dataclass

from . import _codec, _rtp, _rtp
from ._net import (Address, as_address, bind_family, bind_pair, drain, parse_host, peer_address,
                   rtcp_return_address, wake_drained, wall_us)
from ._net import mono_us as _now_us
from .pattern_note import PATTERN_PREFIX, parse_pattern_note
from .sdp import VideoSdp

MAX_DATAGRAM = 65536
# The depacketizer makes the wait for a missing packet of the round trip and jitter measured
# (`RtpDepacketizer.set_round_trip`); never less than this: the same wait holds a unit whose
# marker packet has not come, and a pacing sender spreads one picture's packets over
# milliseconds (it costs nothing when nothing is lost: a unit goes on the moment it is complete).
MIN_WAIT_US = 20_000
DEFAULT_MAX_DELAY_MS = 100.0
# Each first NACK goes again this long after it: where packets are lost, a NACK or its answer is
# lost about twice as often, and each such loss would hold the unit a round trip more; the copy
# costs a second retransmission when both arrive. Spaced so that one short burst does not take
# both.
NACK_COPY_US = 3_000
# Pictures waiting to be taken by `receive`; beyond this the oldest go (counted).
PICTURE_QUEUE = 256
# RTCP datagrams kept until the sender's first packet says which host it is.
EARLY_RTCP = 8
# How long a NACK sent waits for the retransmission that measures the round trip.
NACK_RTT_AGE_US = 5_000_000
# Stamps remembered to say which RTP timestamp a picture came from.
STAMPS_KEPT = 1024

@dataclass
class _Mapping:
    """A sender report's NTP time (as wall-clock µs) and RTP timestamp."""

    wall_us: int
    rtp_ts: int


def _from_sdp(sdp: VideoSdp | None, port: int, payload_type: int, rtx_payload_type: int | None,
              nack: bool | None) -> tuple[int, int, int | None, bool | None, bytes]:
    """The port, payload types, NACK choice and in-band parameter sets a description sets (an
    explicit port wins)."""
    if sdp is None:
        return port, payload_type, rtx_payload_type, nack, b""
    if nack is None:
        nack = any(fb.split()[0] == "nack" for fb in sdp.rtcp_fb if fb.split())
    param_sets = b"".join(b"\x00\x00\x00\x01" + nal for nal in sdp.sprop_parameter_sets)
    return port or sdp.port, sdp.payload_type, sdp.rtx_payload_type, nack, param_sets


def _sender_address(sender: str | Address | None, bind: str) -> tuple[str | None, int | None]:
    """The host media is taken from, and its port (None: any), from "HOST", "HOST:PORT",
    "[IPV6]:PORT" or a bare IPv6 address, written as a socket bound to the numeric address
    `bind` reports it (IPv4-mapped on `::`)."""
    if sender is None:
        return None, None
    host, port = parse_host(sender) if isinstance(sender, str) else sender
    if port is None:
        return peer_address(host, bind), None
    return as_address((host, port), bind)


def _receiving_addresses(bind: str, sender: str | Address | None,
                         rtcp_to: str | Address | None
                         ) -> tuple[str, tuple[str | None, int | None], Address | None]:
    """The numeric address to bind (0.0.0.0: IPv4 unless the sender or `rtcp_to` has only
    IPv6 addresses, then `::`), the sender's host and port, and where RTCP goes."""
    peers = [parse_host(p)[0] if isinstance(p, str) else p[0] for p in (sender, rtcp_to)
             if p is not None]
    bind, _ = bind_family(bind, peers)
    return bind, _sender_address(sender, bind), (as_address(rtcp_to, bind)
                                                  if rtcp_to is not None else None)


class RtpReceiver:
    """Receives one H.264 stream on UDP `port` (RTCP on `port + 1`). See the module's text.

    `sender`: "HOST" or "HOST:PORT" media is taken from (default: the first host heard, any
    port); an IPv6 address is written bare or in brackets ("::1", "[::1]:5004"). `bind`: the
    local address, whose family the sockets take; the default, 0.0.0.0, is IPv4 unless `sender`
    or `rtcp_to` has only IPv6 addresses (then `::`); `::` takes both families.
    `rtcp_to`: where RTCP goes (default: where the sender's RTCP came from, else its RTP
    port + 1). `sdp`: a description of the stream (payload types, parameter sets, feedback);
    `port` wins over its port when not 0. `nack`: ask for lost packets (default: when the
    description offers NACK, or when there is none).
    """

    def __init__(self, port: int = 0, *, bind: str = "0.0.0.0", sender: str | Address | None = None,
                 rtcp_to: str | Address | None = None, sdp: VideoSdp | None = None,
                 payload_type: int = 96, rtx_payload_type: int | None = 97,
                 max_delay_ms: float = DEFAULT_MAX_DELAY_MS, nack: bool | None = None,
                 decoder: _codec.H264Decoder | None = None, rr_interval_s: float = 1.0,
                 on_unit: Callable[[tuple, int], None] | None = None):
        if not 0 < max_delay_ms <= 10_000:
            raise ValueError(f"max_delay_ms must be above 0 and at most 10000, got {max_delay_ms}")
        port, payload_type, rtx_payload_type, nack, param_sets = _from_sdp(
            sdp, port, payload_type, rtx_payload_type, nack)
        self._nack = True if nack is None else nack
        self._max_delay_us = int(max_delay_ms * 1000)
        bind, (self._sender_host, self._sender_port), self._rtcp_to = _receiving_addresses(
            bind, sender, rtcp_to)
        self._param_sets = param_sets
        self.decoder = decoder or _codec.H264Decoder(request_idr_on_loss=True)
        self._own_decoder = decoder is None
        self._on_unit = on_unit
        self._rr_interval = rr_interval_s
        self.ssrc = random.getrandbits(32) or 1
        self.cname = f"talmiro-{self.ssrc:08x}@{socket.gethostname()}"[:255]
        self._sdes = _rtp.rtcp_sdes(self.ssrc, self.cname)  # the same in every compound
        self._depack = _rtp.RtpDepacketizer(
            payload_type=payload_type, rtx_payload_type=rtx_payload_type,
            max_wait_us=self._max_delay_us, min_wait_us=MIN_WAIT_US,
            max_delay_us=self._max_delay_us, nack=self._nack, nack_copy_us=NACK_COPY_US)
        self._rtp, self._rtcp = bind_pair(bind, port)
        try:
            self._wake_r, self._wake_w = socket.socketpair()
            # What this class sends goes out through it (the NACKs `receive_rtp` sends aside).
            self._rtcp_transport = _rtp.DatagramTransport(self._rtcp)
        except OSError:
            self._rtp.close()
            self._rtcp.close()
            raise
        # The decoder's calls are made in native code when it is the package's own.
        self._native = type(self.decoder) is _codec.H264Decoder and on_unit is None
        self._pictures = _rtp.PictureQueue(capacity=PICTURE_QUEUE, stamps=STAMPS_KEPT)
        self._lock = threading.Lock()
        self._counts = dict.fromkeys(
            ("refused_foreign_source", "rtcp_datagrams", "rtcp_refused", "rtcp_foreign_source",
             "nacks_sent", "plis_sent", "receiver_reports", "resets", "decode_errors",
             "sender_reports", "rtt_samples"), 0)
        self._init_stream_state()
        self._retime()
        self._thread = threading.Thread(target=self._run, name="talmiro-rtp-receiver",
                                        daemon=True)
        self._thread.start()

    def _init_stream_state(self) -> None:
        """What the thread learns of the stream: reports, round trip."""
        self._reception: _rtp.RtpReceptionStats | None = None
        self._media_ssrc: int | None = None
        self._mappings: dict[int, _Mapping] = {}
        self._sender_rtcp_ssrc: int | None = None  # whose sender report `_sender_rtcp` is of
        self._last_sr: dict[int, tuple[int, int]] = {}
        self._early_rtcp: list[tuple[bytes, Address, int]] = []
        self._provisional: _Mapping | None = None
        self._restart_pli = False
        self._sender_rtcp: Address | None = None
        self._rtp_source: Address | None = None
        self._nack_rtt = _rtp.NackRtt(max_age_us=NACK_RTT_AGE_US,
                                        copy_window_us=2 * NACK_COPY_US)
        # Until then a plain packet may answer a NACK sent (only then is it looked up).
        self._nack_rtt_until = 0
        self._rtt_us: float | None = None
        self._jitter_us = 0.0
        self.pattern: dict[str, int] | None = None
        self.bye = False
        self._closed = False
        self._decoder_stats: dict | None = None
        self._failure: BaseException | None = None

    # ---- the public face ----

    @property
    def address(self) -> Address:
        """The local RTP address (RTCP on the next port)."""
        return self._rtp.getsockname()[:2]

    def receive(self, timeout: float | None = None) -> list[_codec.Image]:
        """The pictures decoded since the last call; waits up to `timeout` seconds (None: for
        ever) for the first when there is none."""
        if self._failure is None:
            out = self._pictures.take(timeout)
            if out or self._failure is None:
                return out
        raise RuntimeError(f"the receiving thread failed: {self._failure}") from self._failure

    def rtp_timestamp(self, t_us: int) -> int | None:
        """The RTP timestamp of the access unit a recent picture stamped `t_us` came from."""
        entry = self._pictures.stamp_of(t_us)
        return entry[0] if entry else None

    def pattern_frame(self, t_us: int) -> int | None:
        """For a test-pattern stream, the pattern's picture number a recent picture shows."""
        ts = self.rtp_timestamp(t_us)
        p = self.pattern
        if ts is None or p is None:
            return None
        ticks = (ts - p["ts0"]) & 0xFFFFFFFF
        if ticks >= 1 << 31:
            return None
        return round(ticks * p["fps"] / 90000)

    def rtt_ms(self) -> float | None:
        """The round trip measured from NACKs to the retransmissions they asked for."""
        return None if self._rtt_us is None else self._rtt_us / 1000.0

    def stats(self) -> dict:
        """The counts so far (the keys of the receive command's summary, and more)."""
        d = self._depack.stats()
        dstats = self._decoder_stats if self._decoder_stats is not None else self.decoder.stats()
        with self._lock:
            out: dict = dict(self._counts)
        out.update(self._pictures.stats())  # pictures, flagged, dropped, latency
        sync = dstats.get("sync", {})
        out.update({
            "packets_received": d["packets_received"],
            "packets_lost": d["packets_lost"],
            "packets_recovered": d["packets_recovered"],
            "packets_late": d["packets_late"],
            "packets_refused": d["packets_refused"] + out["refused_foreign_source"],
            "packets_duplicated": d["packets_duplicated"],
            "packets_reordered": d["packets_reordered"],
            "rtx_received": d["rtx_received"],
            "refused": {k: v for k, v in d["refused"].items() if v},
            "units_complete": d["units_complete"],
            "units_incomplete": d["units_incomplete"],
            "restarts": d["restarts"],
            "tail_nacks": d["tail_nacks"],
            "losses": sync.get("losses", 0),
            "idr_requests": sync.get("idr_requests", 0),
            "decoder_errors": dstats.get("errors", 0),
            "rtt_ms": self.rtt_ms(),
            "jitter_ms": self._jitter_us / 1000.0,
            "bye": self.bye,
        })
        return out

    def close(self) -> None:
        """Stops the thread, sends BYE to the sender and closes the sockets (and the decoder
        when it made it)."""
        if self._closed:
            return
        self._closed = True
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass
        self._thread.join(5.0)
        self._pictures.close()  # a receive() waiting for ever returns
        try:
            self._send_rtcp(_rtp.rtcp_bye([self.ssrc]))
        except OSError:
            pass
        self._rtcp_transport.close()
        for s in (self._rtp, self._rtcp, self._wake_r, self._wake_w):
            s.close()
        if self._own_decoder:
            self._decoder_stats = self.decoder.stats()  # stats() stays readable
            self.decoder.close()

    def __enter__(self) -> RtpReceiver:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- the thread ----

    def _run(self) -> None:
        try:
            self._loop()
        except BaseException as err:  # reported by receive()
            self._failure = err
            self._pictures.close()

    def _loop(self) -> None:
        # A wake-up of this thread costs more than the packet it brings, so the RTP socket is
        # read by `receive_rtp`, which feeds the depacketizer, runs its timers and decodes
        # without the interpreter lock. It returns only when this thread has work: sequence
        # numbers to NACK, an IDR picture to ask for, units to decode here, RTCP in, the
        # wake-up (close), or the report timer.
        rtcp_fd, wake_fd = self._rtcp.fileno(), self._wake_r.fileno()
        watch = (rtcp_fd, wake_fd)
        next_rr = _now_us() + int(self._rr_interval * 1e6)
        while not self._closed:
            stamp = self._native_stamp()
            decoder, pictures = (None, None) if stamp is None else (self.decoder, self._pictures)
            (units, nacks, ready, foreign, source, fresh, samples, decoded,
             fed_back) = _rtp.receive_rtp(
                self._rtp.fileno(), next_rr, self._depack, watch, self._sender_host,
                self._sender_port, self._reception, self._nack_rtt, self._nack_rtt_until,
                decoder=decoder, pictures=pictures, stamp=stamp, feedback=self._feedback())
            if fed_back is not None:
                self._fed_back(*fed_back)
            if foreign:
                with self._lock:
                    self._counts["refused_foreign_source"] += foreign
            if source is not None:
                if self._sender_host is None:
                    self._first_source(source)
                self._rtp_source = source
            for seq, ts, ssrc, arrival in fresh:
                self._count_packet(seq, ts, ssrc, arrival)
            if self._restart_pli:
                self._restart_pli = False
                self._send_pli()
            if samples:
                self._rtt_us = self._nack_rtt.rtt_us
                with self._lock:
                    self._counts["rtt_samples"] += samples
                self._retime()
            if rtcp_fd in ready:
                drain(self._rtcp, self._control, 64, MAX_DATAGRAM)
            if wake_fd in ready:
                wake_drained(self._wake_r)
            # The NACK leaves before the decoding: a retransmission is a round trip away.
            if nacks:
                self._send_nack(nacks)
            if decoded[1] or decoded[2] or decoded[3]:
                self._decoded(*decoded[1:])
            if units:
                self._decode(units)
            if _now_us() >= next_rr:
                self._send_report()  # may retime the depacketizer's waits
                next_rr = _now_us() + int(self._rr_interval * random.uniform(0.5, 1.5) * 1e6)

    def _first_source(self, src: tuple) -> None:
        """Takes the first host heard as the sender's (any port)."""
        self._sender_host = src[0]
        # RTCP that came before the first packet counts now if it came from the same host.
        early, self._early_rtcp = self._early_rtcp, []
        for rtcp, rtcp_src, arrival in early:
            self._control(rtcp, rtcp_src, arrival)

    def _count_packet(self, seq: int, ts: int, ssrc: int, arrival: int) -> None:
        """A packet of the depacketizer's stream that the statistics do not count yet (a new
        source starts them over)."""
        if self._media_ssrc != ssrc:
            if self._media_ssrc is not None:
                self._new_stream(ssrc)
            self._media_ssrc = ssrc
            self._reception = _rtp.RtpReceptionStats(ssrc)
            self._provisional = None
            heard = self._last_sr.get(ssrc)
            if heard is not None:  # the report that came before the first packet
                self._reception.sender_report(*heard)
        assert self._reception is not None
        self._reception.packet(seq, ts, arrival)

    def _new_stream(self, ssrc: int) -> None:
        """The depacketizer took a new SSRC (the sender restarted): what was learnt of the old
        stream goes, and its first IDR picture is asked for (the PLI goes once the new stream is
        set up, with the packet that started it)."""
        self._mappings = {k: v for k, v in self._mappings.items() if k == ssrc}
        self._last_sr = {k: v for k, v in self._last_sr.items() if k == ssrc}
        if self._sender_rtcp_ssrc != ssrc:
            self._sender_rtcp = None  # the old sender's port; the new one's is learnt again
        self._nack_rtt = _rtp.NackRtt(max_age_us=NACK_RTT_AGE_US,
                                        copy_window_us=2 * NACK_COPY_US)
        self._nack_rtt_until = 0
        self.bye = False
        self._restart_pli = True

    def _retime(self) -> None:
        """Gives the depacketizer the round trip and jitter measured: it makes the wait for a
        missing packet and the NACK repeat interval of them."""
        rtt = None if self._rtt_us is None else int(self._rtt_us)
        self._depack.set_round_trip(rtt, int(self._jitter_us))

    def _native_stamp(self) -> tuple[int, int, int, bool] | None:
        """What `receive_rtp` stamps the units it decodes by: (ssrc, wall_us, rtp_ts, exact);
        None while this thread decodes (a foreign decoder, `on_unit`, parameter sets from the
        description still to go in front, or no mapping yet)."""
        ssrc = self._media_ssrc
        if not self._native or self._param_sets or ssrc is None:
            return None
        mapping = self._mappings.get(ssrc)
        if mapping is not None:
            return ssrc, mapping.wall_us, mapping.rtp_ts, True
        p = self._provisional
        return None if p is None else (ssrc, p.wall_us, p.rtp_ts, False)

    def _feedback(self) -> tuple[int, str, int, int, bytes, int] | None:
        """What `receive_rtp` sends NACKs with itself: (RTCP socket, host, port, our SSRC, our
        SDES, the jitter last reported); None while the stream or its RTCP address is unknown
        (this thread sends them)."""
        if not self._nack or self._reception is None:
            return None
        dest = self._rtcp_destination()
        if dest is None:
            return None
        return (self._rtcp.fileno(), dest[0], dest[1], self.ssrc, self._sdes,
                int(self._jitter_us))

    def _fed_back(self, messages: int, nack_rtt_until: int, jitter_us: int) -> None:
        """What `receive_rtp` sent: NACK packets, until when a plain packet may answer one, and
        the jitter its receiver reports said."""
        self._nack_rtt_until = max(self._nack_rtt_until, nack_rtt_until)
        self._jitter_us = float(jitter_us)
        if messages:
            with self._lock:
                self._counts["nacks_sent"] += messages

    def _decoded(self, errors: int, idr_requests: int, resets: int) -> None:
        """What came of the units `receive_rtp` decoded: a refused unit or a "request_idr"
        signal asks for an IDR picture (one PLI for all of them)."""
        if errors or resets:
            with self._lock:
                self._counts["decode_errors"] += errors
                self._counts["resets"] += resets
        if errors or idr_requests:
            self._send_pli()

    def _stamp(self, rtp_ts: int, arrival: int) -> tuple[int, bool]:
        """The capture time of a unit on the sender's clock, and whether a sender report said
        it (else: a provisional stamp from the arrival of the first unit)."""
        mapping = self._mappings.get(self._media_ssrc or 0)
        exact = mapping is not None
        if mapping is None:
            if self._provisional is None:
                self._provisional = _Mapping(wall_us() - (_now_us() - arrival), rtp_ts)
            mapping = self._provisional
        ticks = (rtp_ts - mapping.rtp_ts) & 0xFFFFFFFF
        if ticks >= 1 << 31:
            ticks -= 1 << 32
        return mapping.wall_us + (ticks * 1_000_000) // 90_000, exact

    def _decode(self, units: list) -> None:
        for unit in units:
            data, rtp_ts, arrival, complete, key, config, recovery, _recovered = unit
            data = data or b""  # a unit that lost every NAL unit may come as None
            t_us, exact = self._stamp(rtp_ts, arrival)
            if self._on_unit is not None:
                self._on_unit(unit, t_us)
            if self._param_sets:
                data = self._param_sets + data
                config = True
                self._param_sets = b""
            if not data and complete:
                continue
            self._pictures.stamp(t_us, rtp_ts, exact)
            refused = False
            try:
                pictures = self.decoder.decode(data, t_us, key, config, recovery,
                                               complete=complete)
            except _codec.MediaError:
                # libavcodec refused the unit and the decoder starts over: nothing decodes
                # until the next IDR picture, so it is asked for now rather than after the
                # decoder's silence.
                pictures = []
                refused = True
                with self._lock:
                    self._counts["decode_errors"] += 1
            signal = self.decoder.take_signal()
            if signal == "request_idr" or refused:
                self._send_pli()
            elif signal == "reset":
                with self._lock:
                    self._counts["resets"] += 1
            if pictures:
                self._pictures.put(pictures)

    # ---- RTCP ----

    def _control(self, data: bytes, src: Address, arrival: int | None = None) -> None:
        if self._sender_host is None:
            # Who the sender is is not known yet: a few datagrams wait for its first packet.
            if len(self._early_rtcp) < EARLY_RTCP:
                self._early_rtcp.append((data, src, _now_us()))
            return
        with self._lock:
            self._counts["rtcp_datagrams"] += 1
            if src[0] != self._sender_host:
                self._counts["rtcp_foreign_source"] += 1
                return
        packets, counts = _rtp.rtcp_parse(data)
        arrival = _now_us() if arrival is None else arrival
        with self._lock:
            self._counts["rtcp_refused"] += counts["refused"]
        for p in packets:
            if p["type"] == "sr":
                self._sender_rtcp, self._sender_rtcp_ssrc = src, p["ssrc"]
                if len(self._mappings) >= 8 and p["ssrc"] not in self._mappings:
                    self._mappings.clear()
                self._mappings[p["ssrc"]] = _Mapping(_rtp.us_from_ntp(p["ntp"]),
                                                     p["rtp_timestamp"])
                if len(self._last_sr) >= 8 and p["ssrc"] not in self._last_sr:
                    self._last_sr.clear()
                self._last_sr[p["ssrc"]] = (p["ntp"], arrival)
                if p["ssrc"] == self._media_ssrc and self._reception is not None:
                    self._reception.sender_report(p["ntp"], arrival)
                with self._lock:
                    self._counts["sender_reports"] += 1
            elif p["type"] == "sdes":
                for chunk in p["chunks"]:
                    for item in chunk["items"]:
                        if item[0] == "priv" and item[1] == PATTERN_PREFIX:
                            note = parse_pattern_note(item[2])
                            if note is not None:
                                self.pattern = note
            elif p["type"] == "bye":
                if self._media_ssrc is not None and self._media_ssrc in p["ssrcs"]:
                    self.bye = True
                    self._depack.end_stream()  # a new SSRC need not wait for the silence

    def _rtcp_destination(self) -> Address | None:
        return rtcp_return_address(self._rtcp_to, self._sender_rtcp, self._rtp_source)

    def _report_packets(self) -> bytes:
        blocks = []
        if self._reception is not None:
            block = self._reception.report(_now_us())
            if block is not None:
                blocks.append(block)
                self._jitter_us = block["jitter"] * 1_000_000 / 90_000
                self._retime()
        return _rtp.rtcp_rr(self.ssrc, blocks) + self._sdes

    def _send_rtcp(self, tail: bytes) -> bool:
        dest = self._rtcp_destination()
        if dest is None:
            return False
        return self._rtcp_transport.send(self._report_packets() + tail, to=dest) == 0

    def _send_report(self) -> None:
        if self._send_rtcp(b""):
            with self._lock:
                self._counts["receiver_reports"] += 1

    def _send_nack(self, seqs: list[int]) -> None:
        if self._media_ssrc is None:
            return
        now = _now_us()
        self._nack_rtt.nack_sent(seqs, now)
        self._nack_rtt_until = now + NACK_RTT_AGE_US
        # One NACK packet holds at most about 200 pairs in an ordinary datagram: split long lists.
        for i in range(0, len(seqs), 256):
            if self._send_rtcp(_rtp.rtcp_nack(self.ssrc, self._media_ssrc, seqs[i:i + 256])):
                with self._lock:
                    self._counts["nacks_sent"] += 1

    def _send_pli(self) -> None:
        if self._media_ssrc is None:
            return
        if self._send_rtcp(_rtp.rtcp_pli(self.ssrc, self._media_ssrc)):
            with self._lock:
                self._counts["plis_sent"] += 1
