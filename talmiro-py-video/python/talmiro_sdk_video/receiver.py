"""The receiving end of the network link: one H.264 stream over RTP/UDP in, decoded pictures
out, and RTCP back to the sender.

    receiver = RtpReceiver(5004)                 # RTP on 5004, RTCP on 5005
    while running:
        for picture in receiver.receive(timeout=0.1):
            show(picture)                        # picture.t_us: capture time on the sender's clock
    receiver.close()
    print(receiver.stats())

A thread of its own runs `RtpReceiveLoop`: the core's receive session (depacketizer, reception
statistics, round trip, sender-report mapping, feedback) over both sockets in native code, every
datagram in and out passing the socket's `DatagramTransport` (which opens and protects them
when the stream is SRTP: what does not authenticate never reaches the session), without the
interpreter lock, decoding with the package's own decoder (a `H264Decoder`, no
`on_unit`) and queueing the pictures in a `PictureQueue`; the thread runs Python only to decode
with another decoder or to call `on_unit`. It sends:

- a NACK as soon as the depacketizer reports a gap (compound with a receiver report), and a
  copy of it 3 ms later;
- a PLI whenever the decoder raises "request_idr";
- receiver reports about once a second;
- transport-wide feedback (RTCP RTPFB, format 15) for the packets that carry the
  transport-wide sequence number under `transport_cc`, every 50 ms while the media pays for
  it (the feedback keeps within 5 % of the media's bytes; sparser media space it out), for the
  sender's congestion control.

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

from . import _codec, _rtp
from ._net import Address, as_address, bind_family, bind_pair, parse_host, peer_address
from .pattern_note import PATTERN_PREFIX, parse_pattern_note
from .sdp import TRANSPORT_CC_EXTENSION_ID, VideoSdp
from .srtp import _SRTP_REFUSALS, SrtpKey, _check_keys, protect

# The depacketizer makes the wait for a missing packet of the round trip and jitter measured;
# never less than this: the same wait holds a unit whose marker packet has not come, and a
# pacing sender spreads one picture's packets over milliseconds (it costs nothing when nothing
# is lost: a unit goes on the moment it is complete).
MIN_WAIT_US = 20_000
DEFAULT_MAX_DELAY_MS = 100.0
# Each first NACK goes again this long after it: where packets are lost, a NACK or its answer is
# lost about twice as often, and each such loss would hold the unit a round trip more; the copy
# costs a second retransmission when both arrive. Spaced so that one short burst does not take
# both.
NACK_COPY_US = 3_000
# Pictures waiting to be taken by `receive`; beyond this the oldest go (counted).
PICTURE_QUEUE = 256
# How long a NACK sent waits for the retransmission that measures the round trip.
NACK_RTT_AGE_US = 5_000_000
# Stamps remembered to say which RTP timestamp a picture came from.
STAMPS_KEPT = 1024
# The keys of `stats()` the loop counts, in the order they come (the pictures' counts follow).
_LOOP_COUNTS = ("refused_foreign_source", "rtcp_datagrams", "rtcp_refused", "rtcp_foreign_source",
                "nacks_sent", "plis_sent", "receiver_reports", "transport_feedback_sent",
                "resets", "decode_errors", "sender_reports", "rtt_samples")
_PACKET_COUNTS = ("packets_received", "packets_lost", "packets_recovered", "packets_late",
                  "packets_refused", "packets_duplicated", "packets_reordered", "rtx_received",
                  "refused", "units_complete", "units_incomplete", "restarts", "tail_nacks")


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
    description offers NACK, or when there is none). `srtp`: the stream's SRTP key (default:
    the description's `a=crypto`, else plain RTP); `srtp_feedback`: the key of the RTCP this end
    sends (default: the stream's). `transport_cc`: the header extension id (1..14) of the
    transport-wide sequence number answered with transport-wide feedback (None: none); with
    `sdp`, the description's `a=extmap` (None when it has none).
    """

    def __init__(self, port: int = 0, *, bind: str = "0.0.0.0", sender: str | Address | None = None,
                 rtcp_to: str | Address | None = None, sdp: VideoSdp | None = None,
                 payload_type: int = 96, rtx_payload_type: int | None = 97,
                 max_delay_ms: float = DEFAULT_MAX_DELAY_MS, nack: bool | None = None,
                 decoder: _codec.H264Decoder | None = None, rr_interval_s: float = 1.0,
                 on_unit: Callable[[tuple, int], None] | None = None,
                 srtp: SrtpKey | None = None, srtp_feedback: SrtpKey | None = None,
                 transport_cc: int | None = TRANSPORT_CC_EXTENSION_ID):
        if not 0 < max_delay_ms <= 10_000:
            raise ValueError(f"max_delay_ms must be above 0 and at most 10000, got {max_delay_ms}")
        if srtp is None and sdp is not None:
            srtp = sdp.crypto
        if sdp is not None:
            transport_cc = sdp.transport_cc
        self.srtp = _check_keys(srtp, srtp_feedback)
        port, payload_type, rtx_payload_type, nack, param_sets = _from_sdp(
            sdp, port, payload_type, rtx_payload_type, nack)
        bind, (sender_host, sender_port), rtcp_to = _receiving_addresses(bind, sender, rtcp_to)
        self.decoder = decoder or _codec.H264Decoder(request_idr_on_loss=True)
        self._own_decoder = decoder is None
        self._on_unit = on_unit
        self.ssrc = random.getrandbits(32) or 1
        self.cname = f"talmiro-{self.ssrc:08x}@{socket.gethostname()}"[:255]
        self._pictures = _rtp.PictureQueue(capacity=PICTURE_QUEUE, stamps=STAMPS_KEPT)
        self._rtp, self._rtcp = bind_pair(bind, port)
        try:
            self._wake_r, self._wake_w = socket.socketpair()
            # Every datagram in and out, media and RTCP, passes these.
            self._media = _rtp.DatagramTransport(self._rtp)
            self._control = _rtp.DatagramTransport(self._rtcp)
            if srtp is not None:
                protect(self._media, self._control, srtp, srtp_feedback or srtp, sending=False)
        except OSError:
            self._rtp.close()
            self._rtcp.close()
            raise
        # The decoder's calls are made in native code when it is the package's own.
        native = type(self.decoder) is _codec.H264Decoder and on_unit is None
        self._loop = _rtp.RtpReceiveLoop(
            self._media, self._control, self._wake_r.fileno(), self._pictures,
            ssrc=self.ssrc, cname=self.cname, payload_type=payload_type,
            rtx_payload_type=rtx_payload_type, max_delay_us=int(max_delay_ms * 1000),
            min_wait_us=MIN_WAIT_US, nack=True if nack is None else nack,
            nack_copy_us=NACK_COPY_US, report_interval_us=int(rr_interval_s * 1e6),
            nack_rtt_age_us=NACK_RTT_AGE_US, seed=random.getrandbits(64),
            note_prefix=PATTERN_PREFIX, param_sets=param_sets, sender_host=sender_host,
            sender_port=sender_port, rtcp_to_host=rtcp_to[0] if rtcp_to else None,
            rtcp_to_port=rtcp_to[1] if rtcp_to else None,
            decoder=self.decoder if native else None, transport_cc_extension_id=transport_cc)
        self._pattern: tuple[str | None, dict[str, int] | None] = (None, None)
        self._closed = False
        self._decoder_stats: dict | None = None
        self._failure: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="talmiro-rtp-receiver",
                                        daemon=True)
        self._thread.start()

    # ---- the public face ----

    @property
    def address(self) -> Address:
        """The local RTP address (RTCP on the next port)."""
        return self._rtp.getsockname()[:2]

    @property
    def bye(self) -> bool:
        """The sender said BYE for the stream (until a new stream starts)."""
        return self._loop.stats()["bye"]

    @property
    def pattern(self) -> dict[str, int] | None:
        """For a test-pattern stream, what the sender's note says of the pattern."""
        note = self._loop.note
        text, fields = self._pattern
        if note is not None and note != text:
            parsed = parse_pattern_note(note)
            self._pattern = (note, parsed if parsed is not None else fields)
        return self._pattern[1]

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
        return self._loop.stats()["rtt_ms"]

    def stats(self) -> dict:
        """The counts so far (the keys of the receive command's summary, and more)."""
        n = self._loop.stats()
        dstats = self._decoder_stats if self._decoder_stats is not None else self.decoder.stats()
        out: dict = {k: n[k] for k in _LOOP_COUNTS}
        out.update(self._pictures.stats())  # pictures, flagged, dropped, latency
        out.update({k: n[k] for k in _PACKET_COUNTS})
        sync = dstats.get("sync", {})
        out.update({
            "losses": sync.get("losses", 0),
            "idr_requests": sync.get("idr_requests", 0),
            "decoder_errors": dstats.get("errors", 0),
            "rtt_ms": n["rtt_ms"],
            "jitter_ms": n["jitter_ms"],
            "bye": n["bye"],
            "srtp": self.srtp.suite if self.srtp else None,
        })
        media, control = self._media.stats(), self._control.stats()
        out.update({k: media[k] + control[k] for k in _SRTP_REFUSALS})
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
        if not self._thread.is_alive():  # else the loop still reads the sockets
            self._loop.goodbye()
            for s in (self._media, self._control, self._rtp, self._rtcp, self._wake_r,
                      self._wake_w):
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
            while not self._closed:
                units = self._loop.run()
                if units is None:
                    continue
                self._decode(units)
        except BaseException as err:  # reported by receive()
            self._failure = err
            self._pictures.close()

    def _decode(self, units: list) -> None:
        """Units the loop leaves to this thread: another kind of decoder, or `on_unit`."""
        for unit in units:
            if self._on_unit is not None:
                self._on_unit(unit, unit.t_us)
            if not unit.data and unit.complete:
                continue
            self._pictures.stamp(unit.t_us, unit.rtp_timestamp, unit.exact)
            refused = False
            try:
                pictures = self.decoder.decode(unit.data, unit.t_us, unit.key, unit.config,
                                               unit.recovery, complete=unit.complete)
            except _codec.MediaError:
                # libavcodec refused the unit and the decoder starts over: nothing decodes
                # until the next IDR picture, so it is asked for now rather than after the
                # decoder's silence.
                pictures = []
                refused = True
            self._loop.decoded(refused, self.decoder.take_signal())
            if pictures:
                self._pictures.put(pictures)
