// The decoder sync policy: which access units may reach the H.264 decoder, priming a bare
// recovery point with cached SPS/PPS, and when to ask the sender for an IDR picture or start
// over. Pure logic over access units and three notifications from the decoder.
//
// The policy also follows the frame_num of the stream it passes on: a reference picture that
// never arrived shows as a gap, which damages the stream until an IDR picture or the end of a
// recovery-point countdown makes it whole again. The access units it passes on while damaged
// are marked, and (unless switched off) it asks for an IDR picture at once.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "talmiro_media/annexb.hpp"

namespace talmiro_media {

// Thresholds of the policy. Every value is accepted; 0 and 1 make every push count.
struct SyncConfig {
    // Access units without a picture after which an IDR is requested (while waiting: dropped
    // access units between two requests).
    std::uint32_t stuck_frames = 10;
    // Access units without a picture after which a started policy resets.
    std::uint32_t wedged_frames = 150;
    // Replaces `stuck_frames` for the first request after a start at a recovery point, until
    // the first picture or the first request.
    std::uint32_t recovery_silence_frames = 60;
    // A recovery-point access unit may serve as a start point.
    bool start_at_recovery = true;
    // A gap in frame_num requests an IDR picture at once, and again every `stuck_frames` access
    // units while the stream stays damaged. It also keeps every two requests at least
    // `stuck_frames` access units apart.
    bool request_idr_on_loss = true;
};

enum class SyncState : std::uint8_t {
    Waiting = 0,    // no start point yet (also after a reset)
    Primed = 1,     // started, nothing out yet
    Streaming = 2,  // at least one picture came out since the start
};

// What the caller must do or expect.
enum class SyncSignal : std::uint8_t {
    RequestIdr = 0,  // ask the sender for an IDR picture
    Reset = 1,       // the stream is wedged: the policy waits for a new start point
};

// "waiting", "primed", "streaming".
std::string_view sync_state_name(SyncState state) noexcept;
// "request_idr", "reset".
std::string_view sync_signal_name(SyncSignal signal) noexcept;

struct SyncCounters {
    std::uint64_t frames = 0;              // every push
    std::uint64_t dropped = 0;             // pushes that passed nothing on
    std::uint64_t fed = 0;                 // pushes that passed an access unit on
    std::uint64_t output = 0;              // pictures out
    std::uint64_t starts = 0;              // departures from Waiting
    std::uint64_t starts_at_recovery = 0;  // of those, at a recovery point
    std::uint64_t resets = 0;              // wedged resets and decoder failures
    std::uint64_t idr_requests = 0;        // RequestIdr signals returned
    std::uint64_t losses = 0;              // gaps in frame_num: lost reference pictures

    bool operator==(const SyncCounters&) const = default;
};

// The outcome of one push.
struct SyncVerdict {
    // The bytes to hand to the decoder now; absent when the access unit is dropped.
    std::optional<SharedBytes> au;
    std::optional<SyncSignal> signal;
    // Hand the bytes over flagged as a key packet.
    bool key = false;
    // This push left Waiting: the decoder must discard all it holds before taking `au`.
    bool start = false;
    // The access unit depends on a lost reference picture: its pictures are not what was sent.
    bool damaged = false;
};

class DecoderSync {
public:
    explicit DecoderSync(SyncConfig config = {}) noexcept : config_(config) {}
    // Out of line: inlined into a decoder's move, g++ 12 takes the moves of the optional
    // members for reads of uninitialised memory (-Wmaybe-uninitialized at -O2).
    DecoderSync(DecoderSync&&) noexcept;
    DecoderSync& operator=(DecoderSync&&) noexcept;
    DecoderSync(const DecoderSync&) = default;
    DecoderSync& operator=(const DecoderSync&) = default;
    ~DecoderSync() = default;

    // Called for every access unit before anything else is done with it; reads only `data`,
    // `key` and `recovery`.
    SyncVerdict push(const AccessUnit& au);
    // The decoder released one picture (also pictures drained by a flush).
    void picture_out() noexcept;
    // The decoder met an error and flushed itself: wait for the next start point.
    void decoder_failed() noexcept;

    SyncState state() const noexcept { return state_; }
    // Access units pushed since the last picture, start or reset (saturating).
    std::uint32_t fed_since_output() const noexcept { return fed_since_output_; }
    // SPS/PPS of the latest access unit that carried them, decoded or not; never cleared.
    const std::optional<std::vector<std::uint8_t>>& param_sets() const noexcept {
        return param_sets_.sets;
    }
    const SyncCounters& counters() const noexcept { return counters_; }

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    // Leaves Waiting.
    void start() noexcept;
    // Back to Waiting, counted as a reset.
    void reset() noexcept;
    // Hands the bytes on (`units` is their walk) and raises the wedged or request signal when
    // due.
    SyncVerdict pass_on(SharedBytes bytes, std::span<const NalUnit> units, bool key,
                        bool starting);
    // Drops an access unit while waiting; requests on every `stuck_frames`-th.
    SyncVerdict drop() noexcept;
    void clear_counts() noexcept;
    // Forgets the stream's frame_num history and damage (at every start and reset).
    void forget_stream() noexcept;
    // Follows frame_num and recovery points through one access unit passed on.
    void track(std::span<const std::uint8_t> data, std::span<const NalUnit> units) noexcept;
    // A request may go out now: with `request_idr_on_loss`, only `stuck_frames` after the last.
    bool request_spaced() const noexcept;
    // Raises RequestIdr in `verdict`.
    void request(SyncVerdict& verdict) noexcept;

    ParamSetCache param_sets_;
    // The parsed SPS/PPS seen so far, by id; like `param_sets_`, kept through resets.
    ParamSetFacts facts_;
    SyncConfig config_;
    SyncCounters counters_;
    std::uint32_t fed_since_output_ = 0;
    // Access units since the last picture, start, reset or IDR request (saturating).
    std::uint32_t silence_ = 0;
    // The current start was a recovery point and no picture or request has come since.
    bool recovery_start_ = false;
    SyncState state_ = SyncState::Waiting;
    // Access units pushed since the last RequestIdr (saturating; none yet counts as many).
    std::uint32_t since_request_ = std::numeric_limits<std::uint32_t>::max();
    // frame_num of the last reference picture passed on; absent when unknown.
    std::optional<std::uint32_t> prev_ref_frame_num_;
    // A gap has damaged the stream being decoded and nothing has made it whole yet.
    bool damaged_ = false;
    // Access units left until a recovery point makes the damaged stream whole.
    std::optional<std::uint32_t> recovery_countdown_;
};

}  // namespace talmiro_media
