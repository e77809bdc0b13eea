// Annex-B byte streams: start codes, the NAL-unit walk, header facts and parameter sets.
#include "talmiro_media/annexb.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "talmiro_media/internal/annexb_steps.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace talmiro_media {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
// seq_parameter_set_id is 0..31, pic_parameter_set_id 0..255.
constexpr std::size_t kSpsIds = 32;
constexpr std::size_t kPpsIds = 256;

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return b > kU64Max - a ? kU64Max : a + b;
}

// Reads a byte string as it stands.
class PlainReader {
public:
    explicit PlainReader(Bytes bytes) noexcept : bytes_(bytes) {}
    bool done() const noexcept { return pos_ >= bytes_.size(); }
    std::uint8_t current() const noexcept { return bytes_[pos_]; }
    void advance() noexcept { ++pos_; }
    void skip(std::uint64_t count) noexcept {
        pos_ = static_cast<std::size_t>(
            std::min<std::uint64_t>(saturating_add(pos_, count), bytes_.size()));
    }

private:
    Bytes bytes_;
    std::size_t pos_ = 0;
};

// Reads escaped NAL-unit bytes as their RBSP, dropping emulation-prevention bytes on the fly,
// so a scan of the RBSP needs no unescaped copy.
class UnescapingReader {
public:
    explicit UnescapingReader(Bytes bytes) noexcept : bytes_(bytes) { drop_escape(); }
    bool done() const noexcept { return pos_ >= bytes_.size(); }
    std::uint8_t current() const noexcept { return bytes_[pos_]; }
    void advance() noexcept {
        zeros_ = bytes_[pos_] == 0 ? zeros_ + 1 : 0;
        ++pos_;
        drop_escape();
    }
    void skip(std::uint64_t count) noexcept {
        for (; count > 0 && !done(); --count) advance();
    }

private:
    // A 03 after two or more zeros is not part of the RBSP and restarts the zero count, so the
    // byte after it is always taken as it is.
    void drop_escape() noexcept {
        if (zeros_ >= 2 && pos_ < bytes_.size() && bytes_[pos_] == 0x03) {
            ++pos_;
            zeros_ = 0;
        }
    }

    Bytes bytes_;
    std::size_t pos_ = 0;
    std::size_t zeros_ = 0;
};

// Reads the bits of an RBSP, most significant first, from escaped bytes; at most `limit` bytes
// are taken. Every read is bounded and absent once the bytes run out.
class RbspBits {
public:
    explicit RbspBits(UnescapingReader in, std::uint64_t limit = kU64Max) noexcept
        : in_(in), limit_(limit) {}

    std::optional<bool> bit() noexcept {
        if (left_ == 0) {
            if (in_.done() || limit_ == 0) return std::nullopt;
            byte_ = in_.current();
            in_.advance();
            --limit_;
            left_ = 8;
        }
        --left_;
        return ((byte_ >> left_) & 1) != 0;
    }
    // `count` bits (at most 32) as an unsigned number.
    std::optional<std::uint32_t> bits(unsigned count) noexcept {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            const std::optional<bool> b = bit();
            if (!b) return std::nullopt;
            value = (value << 1) | (*b ? 1 : 0);
        }
        return static_cast<std::uint32_t>(value);
    }
    // ue(v). More than 31 leading zeros would exceed 32 bits and is taken as unreadable.
    std::optional<std::uint32_t> ue() noexcept {
        unsigned zeros = 0;
        for (;;) {
            const std::optional<bool> b = bit();
            if (!b) return std::nullopt;
            if (*b) break;
            if (++zeros > 31) return std::nullopt;
        }
        const std::optional<std::uint32_t> rest = bits(zeros);
        if (!rest) return std::nullopt;
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
    }
    // se(v), only its readability matters here.
    bool skip_se() noexcept { return ue().has_value(); }
    bool skip_ue() noexcept { return ue().has_value(); }
    bool skip_bits(unsigned count) noexcept { return bits(count).has_value(); }

private:
    UnescapingReader in_;
    std::uint64_t limit_;
    std::uint8_t byte_ = 0;
    unsigned left_ = 0;
};

// The RBSP bits of a NAL unit after its one-byte header.
RbspBits nal_body_bits(Bytes nal) noexcept {
    return RbspBits(UnescapingReader(nal.empty() ? nal : nal.subspan(1)));
}

// A scaling_list() of `size` entries, read only to be passed over.
bool skip_scaling_list(RbspBits& in, unsigned size) noexcept {
    std::uint32_t last = 8;
    std::uint32_t next = 8;
    for (unsigned j = 0; j < size; ++j) {
        if (next != 0) {
            const std::optional<std::uint32_t> code = in.ue();
            if (!code) return false;
            // se(v) from its code number: 1, -1, 2, -2, ...
            const std::int64_t delta =
                (*code & 1) ? (std::int64_t{*code} + 1) / 2 : -(std::int64_t{*code} / 2);
            next = static_cast<std::uint32_t>(((std::int64_t{last} + delta) % 256 + 256) % 256);
        }
        if (next != 0) last = next;
    }
    return true;
}

// Profiles whose SPS carries chroma format, bit depths and scaling matrices.
bool has_chroma_fields(std::uint32_t profile_idc) noexcept {
    switch (profile_idc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
        case 138: case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

// An FF-coded value (255 for each FF byte, plus the first other byte), read from the current
// byte on and left behind; absent when the bytes end before the value does.
template <typename Reader>
std::optional<std::uint64_t> read_ff_coded(Reader& in) noexcept {
    std::uint64_t value = 0;
    for (; !in.done(); in.advance()) {
        const std::uint8_t b = in.current();
        value = saturating_add(value, b);
        if (b != 0xFF) {
            in.advance();
            return value;
        }
    }
    return std::nullopt;
}

// Walks the SEI messages of one RBSP, calling `on_type` with each payload type until it
// returns false. A message counts once its type and size are read; its payload may run past
// the end. Stops at the trailing bits (0x80) or at a message header cut short.
template <typename Reader, typename OnType>
void scan_sei(Reader& in, OnType&& on_type) {
    while (!in.done() && in.current() != 0x80) {
        const std::optional<std::uint64_t> type = read_ff_coded(in);
        const std::optional<std::uint64_t> size = type ? read_ff_coded(in) : std::nullopt;
        if (!size || !on_type(*type)) return;
        in.skip(*size);
    }
}

}  // namespace

std::vector<std::uint8_t> concat_bytes(std::span<const std::uint8_t> front,
                                       std::span<const std::uint8_t> back) {
    std::vector<std::uint8_t> out;
    out.reserve(front.size() + back.size());
    out.insert(out.end(), front.begin(), front.end());
    out.insert(out.end(), back.begin(), back.end());
    return out;
}

SharedBytes::SharedBytes(std::vector<std::uint8_t> bytes)
    : buffer_(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}

SharedBytes SharedBytes::copy_of(std::span<const std::uint8_t> bytes) {
    return SharedBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::optional<StartCode> find_start_code(std::span<const std::uint8_t> data,
                                         std::size_t from) noexcept {
    // Looks for the 01 that ends a start code: the first j at least two past `from` with
    // 00 00 01 at j-2. A zero in front of those, at or after `from`, makes it four bytes.
    const std::size_t n = data.size();
    if (from > n || n - from < 3) return std::nullopt;
    const std::uint8_t* p = data.data();
    const auto ending_at = [&](std::size_t j) {
        return j - 2 > from && p[j - 3] == 0 ? StartCode{j - 3, 4} : StartCode{j - 2, 3};
    };
    std::size_t j = from + 2;
#if defined(__SSE2__)
    // Sixteen candidates at a time: slice data, most of every access unit, has none.
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const auto load = [&](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    for (; n - j >= 16; j += 16) {
        const __m128i ones = _mm_cmpeq_epi8(load(j), one);
        const __m128i zeros = _mm_and_si128(_mm_cmpeq_epi8(load(j - 1), zero),
                                            _mm_cmpeq_epi8(load(j - 2), zero));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(ones, zeros)));
        if (hits != 0) return ending_at(j + static_cast<std::size_t>(std::countr_zero(hits)));
    }
#endif
    while (j < n) {
        const std::uint8_t b = p[j];
        if (b == 0) {
            ++j;
            continue;
        }
        if (b == 1 && p[j - 1] == 0 && p[j - 2] == 0) return ending_at(j);
        // Neither j+1 nor j+2 ends a start code: each would need a zero at j.
        j += 3;
    }
    return std::nullopt;
}

NalUnits::iterator::iterator(std::span<const std::uint8_t> data,
                             std::optional<StartCode> first) noexcept
    : data_(data) {
    settle(first);
}

void NalUnits::iterator::settle(std::optional<StartCode> sc) noexcept {
    while (sc) {
        const std::size_t begin = sc->pos + sc->len;
        const std::optional<StartCode> next = find_start_code(data_, begin);
        const std::size_t end = next ? next->pos : data_.size();
        if (end > begin) {
            unit_ = NalUnit{sc->pos, begin, end, static_cast<std::uint8_t>(data_[begin] & 0x1F)};
            next_ = next;
            done_ = false;
            return;
        }
        sc = next;
    }
    done_ = true;
}

NalUnits::iterator& NalUnits::iterator::operator++() noexcept {
    if (!done_) settle(next_);
    return *this;
}

NalUnits::iterator NalUnits::begin() const noexcept {
    return iterator(data_, find_start_code(data_, 0));
}

NalUnits nal_units(std::span<const std::uint8_t> data) noexcept { return NalUnits(data); }

std::vector<NalUnit> list_nal_units(std::span<const std::uint8_t> data) {
    std::vector<NalUnit> units;
    for (const NalUnit& nal : nal_units(data)) units.push_back(nal);
    return units;
}

namespace {

// `units` is a walk of `data`: the lazy one or a list of it.
template <typename Units>
AuFacts facts_of(Bytes data, const Units& units) noexcept {
    AuFacts facts;
    for (const NalUnit& nal : units) {
        if (nal.type == kNalIdrSlice) {
            facts.key = true;
        } else if (nal.type == kNalSei && !facts.recovery) {
            UnescapingReader body(data.subspan(nal.begin + 1, nal.end - nal.begin - 1));
            scan_sei(body, [&](std::uint64_t type) {
                facts.recovery = type == kSeiRecoveryPoint;
                return !facts.recovery;
            });
        }
    }
    return facts;
}

template <typename Units>
std::optional<std::vector<std::uint8_t>> param_sets_of(Bytes data, const Units& units) {
    std::optional<std::vector<std::uint8_t>> sets;
    for (const NalUnit& nal : units) {
        if (nal.type != kNalSps && nal.type != kNalPps) continue;
        if (!sets) sets.emplace();
        sets->insert(sets->end(), data.begin() + nal.start_code, data.begin() + nal.end);
    }
    return sets;
}

}  // namespace

std::span<const std::uint8_t> trim_nal(std::span<const std::uint8_t> nal) noexcept {
    std::size_t n = nal.size();
    while (n > 0 && nal[n - 1] == 0) --n;
    return nal.first(n);
}

bool nal_emulation_free(std::span<const std::uint8_t> nal) noexcept {
    const std::uint8_t* p = nal.data();
    const std::size_t n = nal.size();
    std::size_t i = 0;
    // Sixteen positions at a time: a zero at i and at i+1, and at most 2 at i+2.
    const __m128i zero = _mm_setzero_si128();
    const __m128i two = _mm_set1_epi8(2);
    const auto load = [p](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    for (; i + 18 <= n; i += 16) {
        const __m128i third = load(i + 2);
        const __m128i small = _mm_cmpeq_epi8(_mm_min_epu8(third, two), third);
        const __m128i zeros = _mm_and_si128(_mm_cmpeq_epi8(load(i), zero),
                                            _mm_cmpeq_epi8(load(i + 1), zero));
        if (_mm_movemask_epi8(_mm_and_si128(zeros, small)) != 0) return false;
    }
    for (; i + 2 < n; ++i)
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] <= 2) return false;
    return true;
}

AuFacts au_facts(std::span<const std::uint8_t> data) noexcept {
    return facts_of(data, nal_units(data));
}

AuFacts au_facts(std::span<const std::uint8_t> data, std::span<const NalUnit> units) noexcept {
    return facts_of(data, units);
}

std::vector<std::uint8_t> unescape_rbsp(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out;
    out.reserve(bytes.size());
    for (UnescapingReader in(bytes); !in.done(); in.advance()) out.push_back(in.current());
    return out;
}

std::vector<std::uint64_t> sei_payload_types(std::span<const std::uint8_t> rbsp) {
    std::vector<std::uint64_t> types;
    PlainReader in(rbsp);
    scan_sei(in, [&](std::uint64_t type) {
        types.push_back(type);
        return true;
    });
    return types;
}

std::optional<std::vector<std::uint8_t>> extract_param_sets(std::span<const std::uint8_t> data) {
    return param_sets_of(data, nal_units(data));
}

std::optional<std::vector<std::uint8_t>> extract_param_sets(std::span<const std::uint8_t> data,
                                                            std::span<const NalUnit> units) {
    return param_sets_of(data, units);
}

AccessUnit ParamSetCache::take(AccessUnit au, bool prepend, ParamSetFacts* learn) {
    const std::vector<NalUnit> units = list_nal_units(au.bytes());
    return take(std::move(au), units, prepend, learn);
}

AccessUnit ParamSetCache::take(AccessUnit au, std::span<const NalUnit> units, bool prepend,
                               ParamSetFacts* learn) {
    if (std::optional<std::vector<std::uint8_t>> found = extract_param_sets(au.bytes(), units)) {
        if (learn) learn->learn_all(*found);
        sets = std::move(found);
        au.config = true;
    } else if (prepend && sets) {
        au.data = SharedBytes(concat_bytes(*sets, au.bytes()));
        au.config = true;
        ++reinserted;
    } else {
        au.config = false;
    }
    return au;
}

std::optional<SpsFacts> parse_sps(std::span<const std::uint8_t> nal) noexcept {
    if (nal.empty() || (nal[0] & 0x1F) != kNalSps) return std::nullopt;
    RbspBits in = nal_body_bits(nal);
    const std::optional<std::uint32_t> profile_idc = in.bits(8);
    // constraint_set flags and reserved bits, level_idc.
    if (!profile_idc || !in.skip_bits(16)) return std::nullopt;
    const std::optional<std::uint32_t> id = in.ue();
    if (!id || *id >= kSpsIds) return std::nullopt;
    SpsFacts facts{*id, std::nullopt, false, std::nullopt, std::nullopt};
    if (has_chroma_fields(*profile_idc)) {
        const std::optional<std::uint32_t> chroma_format_idc = in.ue();
        if (!chroma_format_idc || *chroma_format_idc > 3) return facts;
        if (*chroma_format_idc == 3) {
            const std::optional<bool> separate = in.bit();
            if (!separate) return facts;
            facts.separate_colour_plane = *separate;
        }
        // bit_depth_luma_minus8, bit_depth_chroma_minus8, qpprime_y_zero_transform_bypass_flag.
        if (!in.skip_ue() || !in.skip_ue() || !in.skip_bits(1)) return facts;
        const std::optional<bool> matrix = in.bit();
        if (!matrix) return facts;
        if (*matrix) {
            const unsigned lists = *chroma_format_idc != 3 ? 8 : 12;
            for (unsigned i = 0; i < lists; ++i) {
                const std::optional<bool> present = in.bit();
                if (!present) return facts;
                if (*present && !skip_scaling_list(in, i < 6 ? 16 : 64)) return facts;
            }
        }
    }
    const std::optional<std::uint32_t> log2_minus4 = in.ue();
    if (!log2_minus4 || *log2_minus4 > 12) return facts;
    facts.log2_max_frame_num = static_cast<std::uint8_t>(*log2_minus4 + 4);
    const std::optional<std::uint32_t> poc_type = in.ue();
    if (!poc_type || *poc_type > 2) return facts;
    if (*poc_type == 0) {
        if (!in.skip_ue()) return facts;  // log2_max_pic_order_cnt_lsb_minus4
    } else if (*poc_type == 1) {
        // delta_pic_order_always_zero_flag, offset_for_non_ref_pic, offset_for_top_to_bottom.
        if (!in.skip_bits(1) || !in.skip_se() || !in.skip_se()) return facts;
        const std::optional<std::uint32_t> cycle = in.ue();
        if (!cycle || *cycle > 255) return facts;
        for (std::uint32_t i = 0; i < *cycle; ++i)
            if (!in.skip_se()) return facts;
    }
    if (!in.skip_ue()) return facts;  // max_num_ref_frames
    facts.frame_num_gaps_allowed = in.bit();
    // pic_width_in_mbs_minus1, pic_height_in_map_units_minus1.
    if (!facts.frame_num_gaps_allowed || !in.skip_ue() || !in.skip_ue()) return facts;
    facts.frame_mbs_only = in.bit();
    return facts;
}

std::optional<PpsFacts> parse_pps(std::span<const std::uint8_t> nal) noexcept {
    if (nal.empty() || (nal[0] & 0x1F) != kNalPps) return std::nullopt;
    RbspBits in = nal_body_bits(nal);
    const std::optional<std::uint32_t> id = in.ue();
    if (!id || *id > 255) return std::nullopt;
    const std::optional<std::uint32_t> sps_id = in.ue();
    if (!sps_id || *sps_id > 31) return std::nullopt;
    return PpsFacts{*id, *sps_id};
}

void ParamSetFacts::learn(std::span<const std::uint8_t> nal) {
    if (const std::optional<SpsFacts> sps = parse_sps(nal)) {
        sps_.resize(kSpsIds);
        sps_[sps->id] = sps;
    } else if (const std::optional<PpsFacts> pps = parse_pps(nal)) {
        pps_.resize(kPpsIds);
        pps_[pps->id] = pps;
    }
}

void ParamSetFacts::learn_all(std::span<const std::uint8_t> data) {
    for (const NalUnit& nal : nal_units(data))
        if (nal.type == kNalSps || nal.type == kNalPps)
            learn(data.subspan(nal.begin, nal.end - nal.begin));
}

std::optional<SpsFacts> ParamSetFacts::sps(std::uint32_t id) const noexcept {
    return id < sps_.size() ? sps_[id] : std::nullopt;
}

std::optional<PpsFacts> ParamSetFacts::pps(std::uint32_t id) const noexcept {
    return id < pps_.size() ? pps_[id] : std::nullopt;
}

std::optional<SliceFacts> parse_slice(std::span<const std::uint8_t> nal,
                                      const ParamSetFacts& sets) noexcept {
    if (nal.empty()) return std::nullopt;
    const std::uint8_t type = nal[0] & 0x1F;
    if (type != kNalSlice && type != kNalIdrSlice) return std::nullopt;
    SliceFacts facts;
    facts.nal_ref_idc = static_cast<std::uint8_t>((nal[0] >> 5) & 3);
    facts.idr = type == kNalIdrSlice;
    RbspBits in = nal_body_bits(nal);
    facts.first_mb_in_slice = in.ue();
    const std::optional<std::uint32_t> slice_type = facts.first_mb_in_slice ? in.ue() : std::nullopt;
    if (!slice_type || *slice_type > 9) return facts;
    facts.pic_parameter_set_id = in.ue();
    if (!facts.pic_parameter_set_id) return facts;
    const std::optional<PpsFacts> pps = sets.pps(*facts.pic_parameter_set_id);
    if (!pps) return facts;
    const std::optional<SpsFacts> sps = sets.sps(pps->sps_id);
    if (!sps || !sps->log2_max_frame_num) return facts;
    if (sps->separate_colour_plane) {
        const std::optional<std::uint32_t> plane = in.bits(2);
        if (!plane) return facts;
        facts.colour_plane_id = static_cast<std::uint8_t>(*plane);
    }
    facts.frame_num = in.bits(*sps->log2_max_frame_num);
    if (facts.frame_num) {
        facts.max_frame_num = std::uint32_t{1} << *sps->log2_max_frame_num;
        // An SPS cut short before the flag leaves the gap rule unknown: no gap is a loss then.
        facts.frame_num_gaps_allowed = sps->frame_num_gaps_allowed.value_or(true);
        if (sps->frame_mbs_only == true) {
            facts.field = false;
        } else if (sps->frame_mbs_only == false) {
            facts.field = in.bit();
            if (facts.field == true) {
                const std::optional<bool> bottom = in.bit();
                if (!bottom) facts.field.reset();
                facts.bottom_field = bottom.value_or(false);
            }
        }
    }
    return facts;
}

std::optional<std::uint32_t> recovery_frame_cnt(std::span<const std::uint8_t> nal) noexcept {
    if (nal.empty() || (nal[0] & 0x1F) != kNalSei) return std::nullopt;
    UnescapingReader in(nal.subspan(1));
    while (!in.done() && in.current() != 0x80) {
        const std::optional<std::uint64_t> type = read_ff_coded(in);
        const std::optional<std::uint64_t> size = type ? read_ff_coded(in) : std::nullopt;
        if (!size) return std::nullopt;
        if (*type == kSeiRecoveryPoint) return RbspBits(in, *size).ue();
        in.skip(*size);
    }
    return std::nullopt;
}

}  // namespace talmiro_media
