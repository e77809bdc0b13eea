// The settings of the RTP receiver of one H.264 stream: which packets it takes, how long it
// waits for a gap, when it asks for lost packets again, and the bounds of its memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace talmiro_media {

struct RtpDepacketizerConfig {
    std::uint8_t payload_type = 96;
    // Retransmissions in RTX form (their own payload type and SSRC, the original sequence
    // number in front of the payload) are taken when set. Plain resends (the original packet
    // again) are always taken.
    std::optional<std::uint8_t> rtx_payload_type;
    // The RTX stream's SSRC; learned from its first packet when absent.
    std::optional<std::uint32_t> rtx_ssrc;
    // The media SSRC; when absent, the first one heard, and after `ssrc_silence_us` without a
    // packet of it, the next new one (the sender restarted).
    std::optional<std::uint32_t> ssrc;
    std::int64_t ssrc_silence_us = 500'000;
    // How long a gap is waited for before the access units around it are passed on incomplete.
    std::int64_t max_wait_us = 100'000;
    // What `set_round_trip` makes of the round trip: a wait long enough for two NACK rounds, or
    // for one when a second could not end before `max_delay_us`; at least `min_wait_us` (the
    // same wait holds a unit whose marker packet has not come, and a pacing sender spreads one
    // picture's packets over milliseconds), at most `max_delay_us`.
    std::int64_t min_wait_us = 20'000;
    std::int64_t max_delay_us = 100'000;
    // NACKs: each missing sequence number is reported `nack_delay_us` after its gap showed (0:
    // at once; more tolerates reordering), then again every `nack_interval_us` (0: never again)
    // while it is waited for, `max_nacks` times at most (255 at most).
    bool nack = true;
    std::int64_t nack_delay_us = 0;
    // The first NACK of a gap is sent again this long after it (0 or less: not at all), before
    // the repeats: on a lossy path the NACK or the retransmission it asks for is lost about
    // twice as often as a packet, and each such loss costs the unit a round trip and more of
    // waiting; a copy costs a few bytes, and a second retransmission when both arrive. It
    // counts among the `max_nacks`.
    std::int64_t nack_copy_us = 0;
    std::int64_t nack_interval_us = 30'000;
    std::uint32_t max_nacks = 3;
    // A unit whose packets stopped without its marker packet: its tail is asked for (the sequence
    // number after the last heard) once nothing has come for twice the packet spacing measured
    // within units plus three times the jitter, or 1.5 times the longest pause within the
    // complete units of late if more (a jittery path spreads a unit's packets), held between
    // these bounds and below half the wait for a gap, instead of waiting for the next unit to show
    // the gap a frame interval later. The ask is repeated like a gap's NACK (`nack_copy_us`, then
    // `nack_interval_us`) while the stall lasts, at most `max_nacks` times per unit, and only once
    // the stream has shown marker bits: a sender that merely paces its packets costs a NACK now
    // and then, never a flood. What arrives for a unit after it was passed on incomplete counts
    // as late and is not passed on again.
    std::int64_t tail_wait_min_us = 2'000;
    std::int64_t tail_wait_max_us = 10'000;
    // A gap of more sequence numbers than this is not asked for: resending it would take longer
    // than a new key picture, and a forged sequence number must not make the sender resend
    // thousands of packets.
    std::uint32_t max_nack_run = 1000;
    // The reorder window in packets (rounded up to a power of two, 64..32768): how far ahead
    // of the release point a packet may be before the oldest gaps are given up to make room.
    std::size_t window_packets = 8192;
    // Bytes of payload held in the window at most (the oldest gaps are given up beyond it).
    std::size_t max_buffered_bytes = 32u << 20;
    // Bytes of one access unit at most: a 4096x2304 4:2:0 picture coded as raw macroblocks
    // (the largest an IDR picture can be) with room to spare. NAL units beyond it are left out.
    std::size_t max_unit_bytes = 16u << 20;
    // How far (in sequence numbers) a packet may jump from the stream before it needs the
    // next one to confirm it. A step back needs it too when its place was passed longer ago than
    // any answer to a NACK or late packet is worth waiting for (see `RtpReorderWindow::check`).
    std::uint32_t max_dropout = 3000;
};

}  // namespace talmiro_media
