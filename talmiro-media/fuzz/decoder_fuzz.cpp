// The core decoder on arbitrary access-unit sequences with arbitrary flags and stamps, seeded
// with streams from the project's encoder. Nothing that arrives may crash, leak or read out of
// bounds; besides, every picture must be a whole I420 picture, the counters of the decoder and
// its policy must agree, and a libavcodec error must leave the decoder waiting for a start
// point with its timestamp history gone.
//
// Input: 4 bytes of settings ([0] bit 0 output_corrupt, bit 1 start_at_recovery off;
// [1] stuck_frames; [2] wedged_frames; [3] recovery_silence_frames), then access-unit records
// (au_records.hpp) whose spare flag bits choose a stamp rule (bits 3-5), a flush instead of
// the decode (bit 6) and an access unit that arrived incomplete (bit 7).

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "au_records.hpp"
#include "fuzz_input.hpp"
#include "talmiro_media/decode.hpp"
#include "talmiro_media/internal/test_access.hpp"

using namespace talmiro_media;
using talmiro_fuzz::FuzzInput;

namespace {

constexpr int kMaxRecords = 96;
constexpr std::uint8_t kFlush = 64;
constexpr std::uint8_t kIncomplete = 128;

// The stamp a record's rule gives after `previous`; rule 0 keeps the record's own.
std::int64_t stamp_of(const talmiro_testing::AuRecord& r, std::int64_t previous) {
    // Wrapping arithmetic on the stamps, done unsigned.
    const auto prev = static_cast<std::uint64_t>(previous);
    switch ((r.flags >> 3) & 7) {
        case 0: return r.t_us;
        case 1: return static_cast<std::int64_t>(prev + 33333);
        case 2: return previous;
        case 3: return static_cast<std::int64_t>(prev - 1000);
        case 4: return std::numeric_limits<std::int64_t>::min();
        case 5: return std::numeric_limits<std::int64_t>::max();
        case 6: return 0;
        default: return static_cast<std::int64_t>(prev + 1);
    }
}

void check_picture(const Image& im) {
    FUZZ_CHECK(im.width > 0 && im.height > 0);
    FUZZ_CHECK(im.y().size() == std::size_t{im.width} * im.height);
    FUZZ_CHECK(im.u().size() == std::size_t{im.cw()} * im.ch());
    FUZZ_CHECK(im.v().size() == im.u().size());
}

void check_counters(const H264Decoder& d) {
    const DecoderStats& s = d.stats();
    const SyncCounters& c = d.sync().counters();
    FUZZ_CHECK(s.images == c.output);
    FUZZ_CHECK(s.fed <= c.fed);
    FUZZ_CHECK(s.errors <= c.resets);
    FUZZ_CHECK(s.recovering <= s.images);
    FUZZ_CHECK(c.frames == c.dropped + c.fed);
}

void check_error(const H264Decoder& d, const MediaError& e) {
    // A wrong pixel format is the one error that leaves the decoder as it is.
    if (e.kind() == MediaError::Kind::Unsupported && e.detail().starts_with("decoded pixel format "))
        return;
    FUZZ_CHECK(d.sync().state() == SyncState::Waiting);
    FUZZ_CHECK(!TestAccess::last_pts(d).has_value());
}

// A flush: its pictures are whole, it forgets the stamps and leaves the pending signal alone.
void flush_step(H264Decoder& dec) {
    const std::optional<SyncSignal> before = dec.signal();
    const auto out = dec.flush();
    if (out) {
        for (const Image& im : *out) check_picture(im);
        FUZZ_CHECK(!TestAccess::last_pts(dec).has_value());
    } else {
        check_error(dec, out.error());
    }
    FUZZ_CHECK(dec.signal() == before);
}

AccessUnit unit_of(const talmiro_testing::AuRecord& r, std::int64_t t_us) {
    AccessUnit au;
    au.data = SharedBytes::copy_of(r.bytes);
    au.t_us = t_us;
    au.key = r.key();
    au.recovery = r.recovery();
    au.config = r.config();
    au.complete = (r.flags & kIncomplete) == 0;
    return au;
}

// A decode of `au`, then (with `take_signal`) a take of the pending signal.
void decode_step(H264Decoder& dec, const AccessUnit& au, bool take_signal) {
    const std::optional<std::int64_t> last = TestAccess::last_pts(dec);
    const std::uint64_t fed = dec.sync().counters().fed;
    const std::uint64_t starts = dec.sync().counters().starts;
    const auto out = dec.decode(au);
    const bool passed = dec.sync().counters().fed == fed + 1;
    if (out) {
        for (const Image& im : *out) check_picture(im);
        if (!passed) FUZZ_CHECK(out->empty());
        // The picture of an incomplete unit is never shown as good.
        if (!au.complete && passed)
            for (const Image& im : *out)
                if (im.t_us == *TestAccess::last_pts(dec)) FUZZ_CHECK(im.recovering);
        // Packet stamps only go up between starts and resets.
        if (passed && last && dec.sync().counters().starts == starts &&
            dec.signal() != SyncSignal::Reset) {
            FUZZ_CHECK(TestAccess::last_pts(dec).has_value() && *TestAccess::last_pts(dec) > *last);
            FUZZ_CHECK(au.t_us <= *last || *TestAccess::last_pts(dec) == au.t_us);
        }
    } else {
        FUZZ_CHECK(passed);
        check_error(dec, out.error());
    }
    if (take_signal) {
        const std::optional<SyncSignal> s = dec.signal();
        FUZZ_CHECK(dec.take_signal() == s && !dec.signal());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint8_t flags = in.take<std::uint8_t>();
    SyncConfig config;
    config.start_at_recovery = !(flags & 2);
    config.stuck_frames = in.take<std::uint8_t>();
    config.wedged_frames = in.take<std::uint8_t>();
    config.recovery_silence_frames = in.take<std::uint8_t>();
    auto opened = H264Decoder::open(config, flags & 1);
    FUZZ_CHECK(opened.has_value());
    H264Decoder& dec = *opened;

    std::span<const std::uint8_t> records = in.take_bytes(in.remaining());
    std::int64_t previous = 0;
    for (int n = 0; n < kMaxRecords && !records.empty(); ++n) {
        const talmiro_testing::AuRecord r = talmiro_testing::take_au_record(records);
        previous = stamp_of(r, previous);
        if (r.flags & kFlush) flush_step(dec);
        else decode_step(dec, unit_of(r, previous), n % 3 == 0);
        check_counters(dec);
    }
    return 0;
}
