// H.264 Annex-B byte streams: the access-unit record carried between encoder and decoder, and
// the byte-level operations on it (start codes, the NAL-unit walk, header facts, parameter
// sets and their re-insertion).
//
// Everything here reads untrusted bytes: malformed input yields fewer NAL units, fewer facts or
// no parameter sets, never an error, and no function reads outside the span it is given. Each
// operation is one forward pass and allocates only its result.
//
// The few fields the receiver needs to see a lost reference picture are read from SPS, PPS,
// slice headers and recovery-point SEI messages, with bounded Exp-Golomb reads over the RBSP.
// A field that cannot be read is absent (unknown).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace talmiro_media {

// An immutable byte buffer shared by reference count; copying it copies no bytes.
class SharedBytes {
public:
    using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;

    // No buffer: `bytes()` is empty.
    SharedBytes() noexcept = default;
    explicit SharedBytes(std::vector<std::uint8_t> bytes);
    explicit SharedBytes(Buffer buffer) noexcept : buffer_(std::move(buffer)) {}
    static SharedBytes copy_of(std::span<const std::uint8_t> bytes);

    std::span<const std::uint8_t> bytes() const noexcept {
        return buffer_ ? std::span<const std::uint8_t>(*buffer_) : std::span<const std::uint8_t>();
    }
    std::size_t size() const noexcept { return buffer_ ? buffer_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    // The shared buffer itself (null when there is none), e.g. to keep it alive in an export.
    const Buffer& buffer() const noexcept { return buffer_; }
    // Both refer to the very same buffer (not merely equal bytes).
    bool shares(const SharedBytes& other) const noexcept {
        return buffer_ != nullptr && buffer_ == other.buffer_;
    }

private:
    Buffer buffer_;
};

// One encoded picture as Annex-B bytes with its header facts.
struct AccessUnit {
    // When the encoder produced it (monotonic clock); absent on the receiving side.
    std::optional<std::int64_t> encoded_us;
    // One or more NAL units, each preceded by a start code.
    SharedBytes data;
    // Capture stamp of the picture it came from.
    std::int64_t t_us = 0;
    // Holds an IDR slice (NAL type 5).
    bool key = false;
    // Carries SPS/PPS (NAL types 7 and 8).
    bool config = false;
    // Carries an SEI recovery point (SEI payload type 6).
    bool recovery = false;
    // Every byte that was sent arrived. A unit that lost some of its NAL units on the way is
    // incomplete: its picture is damaged, and so is the stream when it is a reference picture.
    bool complete = true;

    std::span<const std::uint8_t> bytes() const noexcept { return data.bytes(); }
};

// NAL unit types acted on.
inline constexpr std::uint8_t kNalSlice = 1;
inline constexpr std::uint8_t kNalIdrSlice = 5;
inline constexpr std::uint8_t kNalSei = 6;
inline constexpr std::uint8_t kNalSps = 7;
inline constexpr std::uint8_t kNalPps = 8;
// SEI payload type of a recovery point.
inline constexpr std::uint64_t kSeiRecoveryPoint = 6;

// 00 00 01 (length 3) or 00 00 00 01 (length 4) at `pos`, the offset of its first byte.
struct StartCode {
    std::size_t pos = 0;
    std::size_t len = 0;

    bool operator==(const StartCode&) const = default;
};

// The first start code whose first byte is at or after `from`. A four-byte start code is
// reported as such at its first zero. Any `from` is accepted, also one past the end.
std::optional<StartCode> find_start_code(std::span<const std::uint8_t> data,
                                         std::size_t from) noexcept;

// One non-empty NAL unit of an access unit, as positions in it: its start code, its first byte
// (the header) and just past its last byte (the next start code or the end of the data; zero
// bytes in front of a following start code belong to this unit).
struct NalUnit {
    std::size_t start_code = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    // The first byte AND 0x1F.
    std::uint8_t type = 0;

    bool operator==(const NalUnit&) const = default;
};

// The walk over the non-empty NAL units of some bytes, in order, without allocating. Bytes
// before the first start code belong to no unit; empty units are skipped. The bytes must
// outlive the walk.
class NalUnits {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = NalUnit;
        using difference_type = std::ptrdiff_t;
        using pointer = const NalUnit*;
        using reference = const NalUnit&;

        iterator() noexcept = default;
        const NalUnit& operator*() const noexcept { return unit_; }
        const NalUnit* operator->() const noexcept { return &unit_; }
        iterator& operator++() noexcept;
        void operator++(int) noexcept { ++*this; }
        bool operator==(std::default_sentinel_t) const noexcept { return done_; }

    private:
        friend class NalUnits;
        iterator(std::span<const std::uint8_t> data, std::optional<StartCode> first) noexcept;
        // Moves to the first non-empty unit at or after the start code `sc`.
        void settle(std::optional<StartCode> sc) noexcept;

        std::span<const std::uint8_t> data_;
        NalUnit unit_;
        std::optional<StartCode> next_;
        bool done_ = true;
    };

    explicit NalUnits(std::span<const std::uint8_t> data) noexcept : data_(data) {}
    iterator begin() const noexcept;
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    std::span<const std::uint8_t> data_;
};

NalUnits nal_units(std::span<const std::uint8_t> data) noexcept;

// The units of one walk, kept so that every reader of the same bytes shares it.
std::vector<NalUnit> list_nal_units(std::span<const std::uint8_t> data);

// A new buffer of `front` followed by `back`, sized exactly.
std::vector<std::uint8_t> concat_bytes(std::span<const std::uint8_t> front,
                                       std::span<const std::uint8_t> back);

// A NAL unit without the zero bytes that may trail it (stream padding, not part of the unit).
std::span<const std::uint8_t> trim_nal(std::span<const std::uint8_t> nal) noexcept;

// Whether the bytes hold none of 00 00 00, 00 00 01 and 00 00 02, which emulation prevention
// rules out inside a NAL unit: written after a start code, a unit holding one would read as
// other units, of any type.
bool nal_emulation_free(std::span<const std::uint8_t> nal) noexcept;

// The two header facts read from the bytes.
struct AuFacts {
    // Some NAL unit is an IDR slice.
    bool key = false;
    // Some SEI NAL unit carries a message of payload type 6.
    bool recovery = false;

    bool operator==(const AuFacts&) const = default;
};

AuFacts au_facts(std::span<const std::uint8_t> data) noexcept;
// The same over the units `list_nal_units(data)` gave.
AuFacts au_facts(std::span<const std::uint8_t> data, std::span<const NalUnit> units) noexcept;

// Every SPS and PPS NAL unit, in stream order, each with its own start code and the bytes up
// to the next start code: valid Annex-B to put in front of another access unit. Absent (never
// empty) when there is none.
std::optional<std::vector<std::uint8_t>> extract_param_sets(std::span<const std::uint8_t> data);
std::optional<std::vector<std::uint8_t>> extract_param_sets(std::span<const std::uint8_t> data,
                                                            std::span<const NalUnit> units);

class ParamSetFacts;

// The SPS+PPS of a stream, kept to make a recovery point decodable on its own: the encoder puts
// them in front of the recovery points it sends, the decoder sync in front of a bare recovery
// point it starts at.
struct ParamSetCache {
    // The parameter-set bytes of the latest access unit that carried SPS or PPS.
    std::optional<std::vector<std::uint8_t>> sets;
    // Access units that had `sets` put in front of them.
    std::uint64_t reinserted = 0;

    // Takes over one access unit, scanning its bytes once. One carrying SPS/PPS refreshes `sets`
    // (and, given `learn`, has them parsed into it) and comes back as it was with `config` set.
    // With `prepend`, one without them comes back with `sets` in front of its bytes (a new
    // buffer) and `config` set, once there are sets; anything else comes back as it was, with
    // `config` cleared.
    AccessUnit take(AccessUnit au, bool prepend, ParamSetFacts* learn = nullptr);
    // The same, given the units `list_nal_units(au.bytes())` gave, so the bytes are not walked.
    AccessUnit take(AccessUnit au, std::span<const NalUnit> units, bool prepend,
                    ParamSetFacts* learn = nullptr);
};

// What the receiver needs of one SPS. Every field after `id` is absent when the SPS ends (or
// holds an out-of-range value) before it.
struct SpsFacts {
    // seq_parameter_set_id, 0..31.
    std::uint32_t id = 0;
    // log2(MaxFrameNum), 4..16.
    std::optional<std::uint8_t> log2_max_frame_num;
    // Slices carry a colour_plane_id (4:4:4 coded as three planes).
    bool separate_colour_plane = false;
    // gaps_in_frame_num_value_allowed_flag: a gap in frame_num is then no sign of a loss.
    std::optional<bool> frame_num_gaps_allowed;
    // frame_mbs_only_flag: every picture is a frame (no field pictures).
    std::optional<bool> frame_mbs_only;

    bool operator==(const SpsFacts&) const = default;
};

// What the receiver needs of one PPS.
struct PpsFacts {
    // pic_parameter_set_id, 0..255.
    std::uint32_t id = 0;
    // The SPS it refers to, 0..31.
    std::uint32_t sps_id = 0;

    bool operator==(const PpsFacts&) const = default;
};

// The facts of one SPS NAL unit (its header byte included, escaped as it stands in the
// stream); absent when it is no SPS or its id cannot be read.
std::optional<SpsFacts> parse_sps(std::span<const std::uint8_t> nal) noexcept;
// The facts of one PPS NAL unit; absent when it is no PPS or either id cannot be read.
std::optional<PpsFacts> parse_pps(std::span<const std::uint8_t> nal) noexcept;

// The parsed SPS and PPS of a stream by id; a later one of the same id replaces the earlier.
class ParamSetFacts {
public:
    // Reads an SPS or PPS NAL unit into the table; any other unit is ignored.
    void learn(std::span<const std::uint8_t> nal);
    // Every SPS and PPS NAL unit of some Annex-B bytes, in order.
    void learn_all(std::span<const std::uint8_t> data);
    std::optional<SpsFacts> sps(std::uint32_t id) const noexcept;
    std::optional<PpsFacts> pps(std::uint32_t id) const noexcept;

private:
    // By id (32 SPS, 256 PPS), allocated with the first one seen, so that an empty table costs
    // nothing and a decoder holding one moves cheaply.
    std::vector<std::optional<SpsFacts>> sps_;
    std::vector<std::optional<PpsFacts>> pps_;
};

// What the receiver needs of one slice header.
struct SliceFacts {
    // nal_ref_idc: the picture is a reference picture when it is not 0.
    std::uint8_t nal_ref_idc = 0;
    // NAL type 5.
    bool idr = false;
    // 0 for the first slice of a picture (of a colour plane).
    std::optional<std::uint32_t> first_mb_in_slice;
    std::optional<std::uint32_t> pic_parameter_set_id;
    // Present when the SPS has separate colour planes.
    std::optional<std::uint8_t> colour_plane_id;
    // frame_num, with the MaxFrameNum and the gap rule of its SPS; absent when the PPS or its
    // SPS is unknown or the header ends before it.
    std::optional<std::uint32_t> frame_num;
    std::uint32_t max_frame_num = 0;
    bool frame_num_gaps_allowed = false;
    // field_pic_flag (false for a frame); absent when the SPS or the header ends before it.
    std::optional<bool> field;
    // bottom_field_flag of a field.
    bool bottom_field = false;

    bool operator==(const SliceFacts&) const = default;
};

// The facts of one slice NAL unit (type 1 or 5), its parameter sets looked up in `sets`;
// absent for any other unit.
std::optional<SliceFacts> parse_slice(std::span<const std::uint8_t> nal,
                                      const ParamSetFacts& sets) noexcept;

// recovery_frame_cnt of the first recovery-point message of one SEI NAL unit; absent when it
// has none or the count cannot be read.
std::optional<std::uint32_t> recovery_frame_cnt(std::span<const std::uint8_t> nal) noexcept;

}  // namespace talmiro_media
