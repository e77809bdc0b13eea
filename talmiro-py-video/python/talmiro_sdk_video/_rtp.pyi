"""Type stubs for the compiled network module `talmiro_sdk_video._rtp`."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, Required, Self, TypeAlias, TypedDict, final, type_check_only

from _typeshed import HasFileno
from typing_extensions import Buffer

from talmiro_sdk_video._codec import H264Decoder, Image, Signal

__all__ = ["RtpReceptionStats", "NackRtt", "RtpPacketizer", "RtpDepacketizer", "RtpResponder",
           "PictureQueue", "DatagramTransport", "RtpSendStep", "RtpReceiveLoop", "rtcp_parse",
           "rtcp_sr", "rtcp_rr", "rtcp_sdes", "rtcp_bye", "rtcp_nack", "rtcp_pli", "rtcp_fir",
           "ntp_from_us", "us_from_ntp", "rtcp_rtt_us", "rtcp_return_address"]

# The SRTP suites DatagramTransport.set_srtp takes, with their master key and salt sizes.
SRTP_SUITES: dict[str, int]
TRANSPORT_SEQ_EXTENSION_URI: str

# One access unit out of the RTP depacketizer: (data, rtp_timestamp, arrival_us, complete, key,
# config, recovery, recovered). `data` may be empty when every NAL unit of it was lost.
RtpUnitTuple: TypeAlias = tuple[bytes, int, int, bool, bool, bool, bool, bool]
# What RtpDepacketizer.push / poll / give_up give: (units, sequence numbers to NACK).
RtpOutputTuple: TypeAlias = tuple[list[RtpUnitTuple], list[int]]
RtpRefusal: TypeAlias = Literal[
    "truncated", "bad_version", "bad_padding", "wrong_payload_type", "foreign_ssrc", "seq_jump",
    "stap_b", "mtap", "fu_b", "reserved_type", "bad_stap_a", "bad_fu_a", "bad_nal",
]

@type_check_only
class RtpPacketizerStats(TypedDict):
    access_units: int
    empty_units: int
    nal_units: int
    nal_units_skipped: int
    packets: int
    single_packets: int
    stap_a_packets: int
    fu_a_packets: int
    bytes: int
    payload_bytes: int
    resent: int
    rtx_packets: int
    history_misses: int
    history_packets: int
    history_size: int

@type_check_only
class RtpDepacketizerStats(TypedDict):
    packets_received: int
    bytes_received: int
    packets_lost: int
    packets_duplicated: int
    packets_reordered: int
    packets_late: int
    packets_recovered: int
    rtx_received: int
    packets_refused: int
    refused: dict[RtpRefusal, int]
    units_complete: int
    units_incomplete: int
    nals_dropped: int
    units_oversized: int
    nacks: int
    tail_nacks: int
    restarts: int
    forced: int
    ssrc: int
    first_seq: int
    highest_seq: int
    jitter: float

@final
class RtpPacketizer:
    """H.264 access units in, RTP datagrams out (single NAL unit, STAP-A, FU-A), with the
    history that answers NACKs plainly or in RTX form."""
    def __new__(
        cls,
        payload_type: int = 96,
        mtu: int = 1200,
        ssrc: int | None = None,
        first_seq: int | None = None,
        timestamp_offset: int | None = None,
        rtx_payload_type: int = 97,
        rtx_ssrc: int | None = None,
        rtx_first_seq: int | None = None,
        history_bytes: int = 2000000,
        transport_cc_extension_id: int | None = None,
        transport_first_seq: int | None = None,
    ) -> Self: ...
    @property
    def ssrc(self) -> int: ...
    @property
    def rtx_ssrc(self) -> int: ...
    @property
    def payload_type(self) -> int: ...
    @property
    def rtx_payload_type(self) -> int: ...
    @property
    def mtu(self) -> int: ...
    @property
    def next_seq(self) -> int: ...
    @property
    def last_timestamp(self) -> int: ...
    @property
    def profile_level_id(self) -> str | None: ...
    @property
    def sprop_parameter_sets(self) -> str | None: ...
    def packetize(self, data: Buffer, capture_us: int) -> list[bytes]: ...
    def resend(self, seq: int) -> bytes | None: ...
    def resend_rtx(self, seq: int) -> bytes | None: ...
    def timestamp_of(self, capture_us: int) -> int: ...
    def stats(self) -> RtpPacketizerStats: ...

@final
class RtpDepacketizer:
    """RTP datagrams in, Annex-B access units out in decode order, each complete or not, with
    the sequence numbers to NACK. Every byte is untrusted; memory is bounded."""
    def __new__(
        cls,
        payload_type: int = 96,
        rtx_payload_type: int | None = None,
        ssrc: int | None = None,
        rtx_ssrc: int | None = None,
        max_wait_us: int = 100000,
        min_wait_us: int = 20000,
        max_delay_us: int = 100000,
        nack: bool = True,
        nack_delay_us: int = 0,
        nack_copy_us: int = 0,
        nack_interval_us: int = 30000,
        max_nacks: int = 3,
        max_nack_run: int = 1000,
        tail_wait_min_us: int = 2000,
        tail_wait_max_us: int = 10000,
        ssrc_silence_us: int = 500000,
        window_packets: int = 8192,
        max_buffered_bytes: int = 33554432,
        max_unit_bytes: int = 16777216,
    ) -> Self: ...
    def push(self, datagram: Buffer, arrival_us: int) -> RtpOutputTuple: ...
    def poll(self, now_us: int) -> RtpOutputTuple: ...
    def give_up(self, now_us: int) -> RtpOutputTuple: ...
    def next_deadline_us(self) -> int | None: ...
    def tail_wait_us(self) -> int: ...
    def set_timing(self, max_wait_us: int, nack_interval_us: int) -> None: ...
    def set_round_trip(self, rtt_us: int | None, jitter_us: int = 0) -> None: ...
    def end_stream(self) -> None: ...
    def timing(self) -> tuple[int, int]: ...
    def stats(self) -> RtpDepacketizerStats: ...

@type_check_only
class RtpResponderStats(TypedDict):
    idr_requests: int
    idr_requests_coalesced: int
    resends: int
    resend_limited: int
    resend_over_budget: int
    nack_over_budget: int

# What RtpResponder.answer_nack did with the numbers a NACK list named.
@type_check_only
class NackAnswer(TypedDict):
    named: int
    not_held: int
    resent: int
    limited: int
    over_budget: int
    nack_over_budget: int
    pairs_dropped: int

@final
class RtpResponder:
    """How a sender answers feedback: IDR requests coalesce (at most one per round trip or
    `min_idr_interval_us`, none while one asked for is unsent); each NACKed packet is resent at
    most `max_resends` times per receiver, from a byte budget that refills at twice the media
    rate of the last second; a receiver's NACKs are handled up to its feedback budget."""
    def __new__(
        cls,
        max_resends: int = 3,
        default_rtt_us: int = 100000,
        idr_pending_limit_us: int = 1000000,
        resend_min_rate: int = 125000,
        resend_burst: int = 524288,
        max_resend_entries: int = 65536,
        min_idr_interval_us: int = 0,
        nack_min_rate: int = 128,
        max_nack_pairs: int = 1024,
    ) -> Self: ...
    def request_idr(self, now_us: int, rtt_us: int | None = None) -> bool: ...
    def idr_sent(self, now_us: int, first: bool = False) -> None: ...
    def media_sent(self, now_us: int, bytes: int, packets: int = 1) -> None: ...
    def may_resend(
        self, receiver: int, seq: int, now_us: int,
    ) -> Literal["resend", "limited", "over_budget"]: ...
    def resent(self, receiver: int, seq: int, bytes: int) -> None: ...
    def answer_nack(
        self, packetizer: RtpPacketizer, receiver: int, pairs: Sequence[tuple[int, int]],
        now_us: int, rtx: bool = True,
    ) -> tuple[list[bytes], NackAnswer]: ...
    def stats(self) -> RtpResponderStats: ...

# Where DatagramTransport.send sends: None for every peer, a peer's index, indices, or an
# address (numeric host, port).
Destination: TypeAlias = int | Sequence[int] | tuple[str, int] | None

@type_check_only
class DatagramTransportStats(TypedDict):
    datagrams_sent: int
    bytes_sent: int
    send_errors: int
    datagrams_received: int
    bytes_received: int
    datagrams_refused: int
    protect_refused: int
    datagrams_paced: int
    auth_failures: int
    replays: int
    unprotect_errors: int
    srtp: bool

@final
class DatagramTransport:
    """The one way datagrams go in and out of a UDP socket, in batches of one system call
    without the interpreter lock, with a protect/unprotect hook and a pace hook. An
    RtpReceiveLoop takes only transports without hooks; none can be set while it holds one.
    SRTP (set_srtp) works below the hooks, for every user of the transport."""
    protect: Callable[[bytes], Buffer | None] | None
    unprotect: Callable[[bytes], bytes | None] | None
    pace: Callable[[list[bytes], Destination], object] | None
    def __new__(
        cls, sock: HasFileno | int, peers: Iterable[tuple[str, int]] = (),
        max_size: int = 65536, protect: Callable[[bytes], Buffer | None] | None = None,
        unprotect: Callable[[bytes], bytes | None] | None = None,
        pace: Callable[[list[bytes], Destination], object] | None = None,
    ) -> Self: ...
    @property
    def peers(self) -> list[tuple[str, int]]: ...
    @property
    def closed(self) -> bool: ...
    def send(self, datagrams: Buffer | Sequence[Buffer], to: Destination = None) -> int: ...
    def send_now(self, datagrams: Buffer | Sequence[Buffer], to: Destination = None) -> int: ...
    def receive(self, max_count: int = 64) -> list[tuple[bytes, tuple[str, int]]]: ...
    def set_peers(self, peers: Iterable[tuple[str, int]]) -> None: ...
    def set_srtp(self, rtcp: bool, outbound_suite: str | None = None,
                 outbound_key: bytes | None = None, inbound_suite: str | None = None,
                 inbound_key: bytes | None = None) -> None: ...
    def close(self) -> None: ...
    def stats(self) -> DatagramTransportStats: ...

@final
class RtpSendStep:
    """A sender's work per access unit and per NACK, one native call each: packetize (and
    keep), tell the responder, send through the transport."""
    def __new__(cls, packetizer: RtpPacketizer, responder: RtpResponder,
                transport: DatagramTransport, rtx: bool = True, receivers: int = 0,
                start_bps: int = 1000000, min_bps: int = 150000,
                max_bps: int = 2000000) -> Self: ...
    def send(self, data: Buffer, capture_us: int, now_us: int,
             before: Callable[[], object] | None = None) -> int: ...
    def answer_nack(self, receiver: int, pairs: Sequence[tuple[int, int]], now_us: int,
                    to: Destination = None) -> NackAnswer: ...
    def run_pacer(self) -> None: ...
    def stop_pacer(self) -> None: ...
    def read_feedback(self, transport: DatagramTransport, max_count: int = 64,
                      wake_fd: int = -1, timeout_us: int = 0
                      ) -> tuple[list[tuple[bytes, tuple[str, int]]], int | None, bool]: ...
    def congestion_feedback(self, receiver: int, data: Buffer, now_us: int) -> int: ...
    def congestion_report(self, receiver: int, fraction_lost: int, rtt_us: int | None,
                          now_us: int) -> int: ...
    def congestion_stats(self, now_us: int) -> dict[str, Any]: ...

@type_check_only
class PictureQueueStats(TypedDict):
    pictures: int
    flagged: int
    pictures_dropped: int
    latency_p50_us: int | None
    latency_p99_us: int | None
    latency_mean_us: float | None

@final
class PictureQueue:
    def __new__(cls, capacity: int = 256, stamps: int = 1024,
                latencies: int = 100000) -> Self: ...
    def put(self, pictures: Sequence[Image]) -> None: ...
    def take(self, timeout: float | None = None) -> list[Image]: ...
    def stamp(self, t_us: int, rtp_ts: int, exact: bool) -> None: ...
    def stamp_of(self, t_us: int) -> tuple[int, bool] | None: ...
    def close(self) -> None: ...
    def stats(self) -> PictureQueueStats: ...
    def latencies(self) -> list[int]: ...

# RTCP. Each builder returns the bytes of one packet; concatenated, they make a compound packet
# (which starts with rtcp_sr or rtcp_rr; a feedback message may also go alone).

SdesItemName: TypeAlias = Literal["cname", "name", "email", "phone", "loc", "tool", "note"]
# An SDES item: (name, value), or ("priv", prefix, value) for a private extension.
SdesItem: TypeAlias = tuple[SdesItemName, str] | tuple[Literal["priv"], str, str]

@type_check_only
class ReportBlock(TypedDict):
    ssrc: int
    # Of the packets expected since the previous report, the share lost, in 1/256.
    fraction_lost: int
    # Expected minus received since the start, -2**23 .. 2**23-1.
    cumulative_lost: int
    extended_highest_seq: int
    # Interarrival jitter in timestamp units (90 kHz for video).
    jitter: int
    # Middle 32 bits of the NTP time of the last sender report heard (0: none) and the time
    # since, in 1/65536 s.
    lsr: int
    dlsr: int

# What the builders take: a missing key other than "ssrc" is 0.
@type_check_only
class ReportBlockArg(TypedDict, total=False):
    ssrc: Required[int]
    fraction_lost: int
    cumulative_lost: int
    extended_highest_seq: int
    jitter: int
    lsr: int
    dlsr: int

@type_check_only
class RtcpSr(TypedDict):
    type: Literal["sr"]
    ssrc: int
    ntp: int
    rtp_timestamp: int
    packet_count: int
    octet_count: int
    reports: list[ReportBlock]

@type_check_only
class RtcpRr(TypedDict):
    type: Literal["rr"]
    ssrc: int
    reports: list[ReportBlock]

@type_check_only
class SdesChunk(TypedDict):
    ssrc: int
    # Items of types other than these are left out.
    items: list[SdesItem]

@type_check_only
class RtcpSdes(TypedDict):
    type: Literal["sdes"]
    chunks: list[SdesChunk]

@type_check_only
class RtcpBye(TypedDict):
    type: Literal["bye"]
    ssrcs: list[int]
    reason: str | None

@type_check_only
class RtcpNack(TypedDict, total=False):
    type: Required[Literal["nack"]]
    sender_ssrc: Required[int]
    media_ssrc: Required[int]
    # (PID, BLP) as sent, and the sequence numbers they name, pair by pair (not with
    # rtcp_parse(..., nack_lost=False)).
    pairs: Required[list[tuple[int, int]]]
    lost: list[int]

@type_check_only
class RtcpPli(TypedDict):
    type: Literal["pli"]
    sender_ssrc: int
    media_ssrc: int

@type_check_only
class FirEntry(TypedDict):
    ssrc: int
    seq: int

@type_check_only
class RtcpFir(TypedDict):
    type: Literal["fir"]
    sender_ssrc: int
    media_ssrc: int
    entries: list[FirEntry]

RtcpPacket: TypeAlias = RtcpSr | RtcpRr | RtcpSdes | RtcpBye | RtcpNack | RtcpPli | RtcpFir

# What rtcp_parse counted in one datagram. A refused header ("truncated", "bad_version") ends
# the datagram; any other refusal skips one packet.
@type_check_only
class RtcpCounts(TypedDict):
    parsed: int
    # The sum of the refusals below.
    refused: int
    truncated: int
    bad_version: int
    bad_padding: int
    count_past_end: int
    too_short: int
    malformed: int
    # Skipped, not refused: packet types and feedback formats not acted on.
    unknown_type: int
    unknown_feedback: int
    # NACK pairs past the first 1,024 of the datagram, not read.
    nack_pairs_dropped: int

@type_check_only
class ReceptionCounts(TypedDict):
    received: int
    expected: int
    lost: int
    extended_highest_seq: int
    jitter: int
    restarts: int
    jumps_ignored: int
    sender_reports: int

@final
class RtpReceptionStats:
    def __new__(cls, ssrc: int, clock_rate: int = 90000) -> Self: ...
    @property
    def ssrc(self) -> int: ...
    @property
    def clock_rate(self) -> int: ...
    def packet(self, seq: int, rtp_timestamp: int, arrival_us: int) -> None: ...
    def sender_report(self, ntp: int, arrival_us: int) -> None: ...
    def report(self, now_us: int) -> ReportBlock | None: ...
    def stats(self) -> ReceptionCounts: ...

@type_check_only
class NackRttCounts(TypedDict):
    samples: int
    ambiguous: int
    unmatched: int

@final
class NackRtt:
    def __new__(cls, capacity: int = 1024, max_age_us: int = 5000000,
                copy_window_us: int = 0) -> Self: ...
    @property
    def rtt_us(self) -> int | None: ...
    @property
    def latest_us(self) -> int | None: ...
    def nack_sent(self, seqs: Iterable[int], now_us: int) -> None: ...
    def retransmission(self, seq: int, now_us: int) -> int | None: ...
    def stats(self) -> NackRttCounts: ...

def rtcp_parse(data: Buffer, nack_lost: bool = True) -> tuple[list[RtcpPacket], RtcpCounts]: ...
def rtcp_sr(
    ssrc: int, ntp: int, rtp_timestamp: int, packet_count: int, octet_count: int,
    reports: Iterable[ReportBlockArg] = (),
) -> bytes: ...
def rtcp_rr(ssrc: int, reports: Iterable[ReportBlockArg] = ()) -> bytes: ...
def rtcp_sdes(ssrc: int, cname: str, items: Iterable[SdesItem] = ()) -> bytes: ...
def rtcp_bye(ssrcs: Iterable[int], reason: str | None = None) -> bytes: ...
def rtcp_nack(sender_ssrc: int, media_ssrc: int, lost: Iterable[int]) -> bytes: ...
def rtcp_pli(sender_ssrc: int, media_ssrc: int) -> bytes: ...
def rtcp_fir(sender_ssrc: int, media_ssrc: int, seq: int) -> bytes: ...
def ntp_from_us(unix_us: int) -> int: ...
def us_from_ntp(ntp: int) -> int: ...
def rtcp_rtt_us(lsr: int, dlsr: int, arrival_ntp: int) -> int | None: ...
def rtcp_return_address(
    configured: tuple[str, int] | None, rtcp_source: tuple[str, int] | None,
    rtp_source: tuple[str, int] | None,
) -> tuple[str, int] | None:
    """Where RTCP for a peer goes: `configured`, else where its RTCP came from, else its RTP
    source port + 1 (none for 65535); None while nothing was heard."""

@type_check_only
class RtpUnit(tuple[bytes, int, int, bool, bool, bool, bool, bool]):
    """An access unit as it came from the network (indexable as an RtpUnitTuple)."""
    @property
    def data(self) -> bytes: ...
    @property
    def rtp_timestamp(self) -> int: ...
    @property
    def arrival_us(self) -> int: ...
    @property
    def complete(self) -> bool: ...
    @property
    def key(self) -> bool: ...
    @property
    def config(self) -> bool: ...
    @property
    def recovery(self) -> bool: ...
    @property
    def recovered(self) -> bool: ...
    @property
    def t_us(self) -> int: ...
    @property
    def exact(self) -> bool: ...

@type_check_only
class RtpReceiveLoopStats(TypedDict):
    refused_foreign_source: int
    rtcp_datagrams: int
    rtcp_refused: int
    rtcp_foreign_source: int
    nacks_sent: int
    plis_sent: int
    receiver_reports: int
    transport_feedback_sent: int
    resets: int
    decode_errors: int
    sender_reports: int
    rtt_samples: int
    wakeups: int
    packets_received: int
    packets_lost: int
    packets_recovered: int
    packets_late: int
    packets_refused: int
    packets_duplicated: int
    packets_reordered: int
    rtx_received: int
    refused: dict[RtpRefusal, int]
    units_complete: int
    units_incomplete: int
    restarts: int
    tail_nacks: int
    rtt_ms: float | None
    jitter_ms: float
    bye: bool

@final
class RtpReceiveLoop:
    """A receiving thread's loop: the receive session in native code, every datagram through
    the `rtp` and `rtcp` transports (without hooks), held while it lives."""
    def __new__(
        cls, rtp: DatagramTransport, rtcp: DatagramTransport, wake_fd: int,
        pictures: PictureQueue, ssrc: int = 1,
        cname: str = ..., payload_type: int = 96, rtx_payload_type: int | None = None,
        max_delay_us: int = 100000, min_wait_us: int = 20000, nack: bool = True,
        nack_copy_us: int = 0, report_interval_us: int = 1000000,
        nack_rtt_age_us: int = 5000000, seed: int = 1, note_prefix: str = ...,
        param_sets: bytes = b"", sender_host: str | None = None, sender_port: int | None = None,
        rtcp_to_host: str | None = None, rtcp_to_port: int | None = None,
        decoder: H264Decoder | None = None, transport_cc_extension_id: int | None = None,
    ) -> Self: ...
    def run(self) -> list[RtpUnit] | None: ...
    def decoded(self, refused: bool, signal: Signal | None) -> None: ...
    def goodbye(self) -> None: ...
    def stats(self) -> RtpReceiveLoopStats: ...
    @property
    def note(self) -> str | None: ...
