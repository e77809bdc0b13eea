// The decoder sync policy: which access units may reach the H.264 decoder, priming a bare
// recovery point with cached SPS/PPS, and when to ask the sender for an IDR picture or start
// over. Pure logic over access units and a few notifications from the decoder.
//
// The policy also follows the frame_num of the stream it passes on: a reference picture that
// never arrived shows as a gap, which damages the stream until an IDR picture or the recovery
// point a recovery-point SEI names makes it whole again. A burst of lost units long enough for
// frame_num to come round to a value that looks right is seen in the capture stamps instead,
// once they have shown a steady frame interval. An access unit that arrived incomplete, and a
// reference picture the decoder had to conceal, damage the stream the same way. The access
// units it passes on while damaged are marked, and (unless switched off) it asks for an IDR
// picture at once; so does an incomplete unit before any start point. An IDR picture whose slices name a PPS (or an SPS behind it) never seen, its
// parameter sets lost on the way, is not passed on: it is a loss, and asks the same way.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "talmiro_media/annexb.hpp"
#include "talmiro_media/param_set_store.hpp"

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
    // A loss requests an IDR picture at once, and again every `stuck_frames` access units while
    // the stream stays damaged. It also keeps every two requests at least `stuck_frames` access
    // units apart, unless an IDR picture came in between: that answered them.
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
    std::uint64_t losses = 0;              // damage: lost, incomplete or concealed reference
                                           // pictures

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
    // The access unit depends on a lost reference picture, or is itself incomplete: its
    // pictures are not what was sent.
    bool damaged = false;
    // Its picture is a reference picture (a slice with nal_ref_idc not 0).
    bool reference = false;
    // Its picture is an IDR picture (a first slice of NAL type 5).
    bool idr = false;
    // Its picture is a field that the next access unit may complete: the decoder may still
    // write into it after it came out.
    bool first_field = false;
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

    // Called for every access unit before anything else is done with it; reads `data`, `t_us`,
    // `key`, `recovery` and `complete`. A unit holding SPS/PPS and no slice is kept in the
    // cache and passes nothing on (the decoder has no picture to make of it).
    SyncVerdict push(const AccessUnit& au);
    // The decoder released one picture (also pictures drained by a flush).
    void picture_out() noexcept;
    // The decoder met an error and flushed itself: wait for the next start point.
    void decoder_failed() noexcept;
    // The decoder dropped all it held on the caller's word (a flush): wait for the next start
    // point, as after a reset, without counting one.
    void restart() noexcept;
    // The decoder had to conceal part of a reference picture it released: the stream is damaged
    // from there on. Returns RequestIdr when that asks for an IDR picture now.
    std::optional<SyncSignal> reference_concealed() noexcept;

    SyncState state() const noexcept { return state_; }
    // Access units pushed since the last picture, start or reset (saturating).
    std::uint32_t fed_since_output() const noexcept { return fed_since_output_; }
    // Every SPS and PPS seen, by id (the SPS first), decoded or not; never cleared.
    const std::optional<std::vector<std::uint8_t>>& param_sets() const noexcept {
        return sets_.all();
    }
    const SyncCounters& counters() const noexcept { return counters_; }

private:
    // What the tests read inside: internal/test_access.hpp.
    friend struct TestAccess;

    // The field that the next picture may complete: its frame_num and parity.
    struct OpenField {
        std::uint32_t frame_num = 0;
        bool bottom = false;
    };

    // Leaves Waiting.
    void start() noexcept;
    // Back to Waiting, counted as a reset.
    void reset() noexcept;
    // Hands on `au`, behind `prefix` when there is one (`units` is the walk of `au`), and raises
    // the wedged or request signal when due.
    SyncVerdict pass_on(const AccessUnit& au, std::span<const NalUnit> units,
                        std::optional<std::vector<std::uint8_t>> prefix, bool key, bool starting);
    // An access unit without a slice: parameter sets on their own, or every slice lost.
    SyncVerdict no_picture(const AccessUnit& au, bool changed);
    // A start point whose parameter sets never arrived: a lost picture.
    SyncVerdict sets_missing(bool changed);
    // While waiting, a recovery point to start at (and the prefix of sets it needs, if any), or
    // absent when it cannot start there.
    std::optional<std::optional<std::vector<std::uint8_t>>> recovery_start(
        const AccessUnit& au, const NalUnit* slice, bool carries_sets);
    // Drops an access unit (while waiting, or a start point whose sets never came); requests
    // when the silence reaches its threshold.
    SyncVerdict drop() noexcept;
    // Access units without a picture after which an IDR picture is requested: the recovery
    // silence after a start at a recovery point, until the first picture or request.
    std::uint32_t silence_threshold() const noexcept;
    void clear_counts() noexcept;
    // Forgets the stream's frame_num, field and stamp history and its damage (at every start,
    // reset and restart).
    void forget_stream() noexcept;
    // Follows frame_num, fields, stamps, recovery points and completeness through one access
    // unit passed on, and fills `damaged`, `reference` and `first_field` of its verdict.
    void track(const AccessUnit& au, std::span<const NalUnit> units, SyncVerdict& verdict) noexcept;
    // Sets or reaches the recovery point of a damaged stream: `picture` (its first slice) and
    // the recovery_frame_cnt of its SEI, if any.
    void follow_recovery(const std::optional<SliceFacts>& picture,
                         std::optional<std::uint32_t> recovery_count) noexcept;
    // Follows one picture (the first slice of it); whether it reveals a loss. `jump` is the
    // stamp distance to the last unit in frame intervals (0 when the stamps say nothing).
    bool follow(const SliceFacts& slice, std::int64_t jump, bool& first_field) noexcept;
    // The stamp distance from the last unit in learnt frame intervals, 0 until the stamps have
    // been steady; then learns from `t_us`.
    std::int64_t stamp_jump(std::int64_t t_us) noexcept;
    // The stream is damaged from here on.
    void damage() noexcept;
    // The PPS the slice names and that PPS's SPS have been seen (or the slice does not say).
    bool sets_known(std::span<const std::uint8_t> slice) const noexcept;
    // A request may go out now: with `request_idr_on_loss`, only `stuck_frames` after the last
    // unless an IDR picture came since.
    bool request_spaced() const noexcept;
    // An incomplete unit while waiting asks now, not after `stuck_frames`: it is most likely the
    // start point itself (an IDR picture whose first packets were lost, or the unit a receiver
    // joined in the middle of), and the next one may be far. Spaced as every request.
    bool start_lost() const noexcept;
    // Counts a RequestIdr and returns it.
    SyncSignal request() noexcept;

    ParamSetStore sets_;
    SyncConfig config_;
    SyncCounters counters_;
    std::uint32_t fed_since_output_ = 0;
    // Access units since the last picture, start, reset or IDR request (saturating).
    std::uint32_t silence_ = 0;
    // The current start was a recovery point and no picture or request has come since.
    bool recovery_start_ = false;
    // Sets were kept from units that did not reach the decoder: the next unit passed on takes
    // them all in front.
    bool unfed_ = false;
    SyncState state_ = SyncState::Waiting;
    // Access units pushed since the last RequestIdr (saturating; none yet, or an IDR picture
    // since, counts as many).
    std::uint32_t since_request_ = std::numeric_limits<std::uint32_t>::max();
    // frame_num of the last reference picture passed on; absent when unknown.
    std::optional<std::uint32_t> prev_ref_frame_num_;
    // The last picture passed on was a field without its pair.
    std::optional<OpenField> open_field_;
    // A loss has damaged the stream being decoded and nothing has made it whole yet.
    bool damaged_ = false;
    // The frame_num of the reference picture that makes the damaged stream whole (the
    // recovery point a recovery-point SEI named).
    std::optional<std::uint32_t> recovery_target_;
    // The stamp of the last unit passed on, the frame interval learnt from the stamps, and how
    // many intervals in a row matched it.
    std::optional<std::int64_t> last_t_us_;
    std::int64_t interval_us_ = 0;
    std::uint32_t steady_ = 0;
};

}  // namespace talmiro_media
