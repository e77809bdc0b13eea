// The Annex-B operations on arbitrary bytes: every result is compared with a straightforward
// re-reading of the same bytes, so a wrong position, a lost or invented NAL unit, a mis-read
// SEI or a read past the end (AddressSanitizer) is a finding. The SPS, PPS, slice-header and
// recovery-point readers are compared with readers over an unescaped copy, bit by bit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/annexb.hpp"
#include "talmiro_media/internal/annexb_steps.hpp"

using namespace talmiro_media;

namespace {

using Bytes = std::span<const std::uint8_t>;
using Vec = std::vector<std::uint8_t>;

std::optional<StartCode> ref_start_code(Bytes d, std::size_t from) {
    const std::size_t n = d.size();
    if (from > n || n - from < 3) return std::nullopt;
    for (std::size_t i = from; i + 3 <= n; ++i) {
        if (d[i] != 0 || d[i + 1] != 0) continue;
        if (d[i + 2] == 1) return StartCode{i, 3};
        if (d[i + 2] == 0 && i + 4 <= n && d[i + 3] == 1) return StartCode{i, 4};
    }
    return std::nullopt;
}

std::vector<NalUnit> ref_nal_units(Bytes d) {
    std::vector<NalUnit> out;
    std::optional<StartCode> sc = ref_start_code(d, 0);
    while (sc) {
        const std::size_t begin = sc->pos + sc->len;
        const std::optional<StartCode> next = ref_start_code(d, begin);
        const std::size_t end = next ? next->pos : d.size();
        if (end > begin)
            out.push_back({sc->pos, begin, end, static_cast<std::uint8_t>(d[begin] & 0x1F)});
        sc = next;
    }
    return out;
}

Vec ref_unescape(Bytes b) {
    Vec out;
    int zeros = 0;
    for (std::uint8_t byte : b) {
        if (byte == 3 && zeros >= 2) {
            zeros = 0;
            continue;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
}

std::vector<std::uint64_t> ref_sei_types(Bytes r) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::vector<std::uint64_t> out;
    const std::uint64_t n = r.size();
    std::uint64_t i = 0;
    while (i < n && r[i] != 0x80) {
        std::uint64_t type = 0;
        while (r[i] == 0xFF) {
            type += 255;
            if (++i >= n) return out;
        }
        type += r[i];
        std::uint64_t j = i + 1;
        if (j >= n) return out;
        std::uint64_t size = 0;
        while (r[j] == 0xFF) {
            size += 255;
            if (++j >= n) return out;
        }
        size += r[j];
        out.push_back(type);
        i = size > kMax - (j + 1) ? kMax : j + 1 + size;
    }
    return out;
}

std::optional<Vec> ref_param_sets(Bytes d) {
    Vec out;
    for (const NalUnit& u : ref_nal_units(d))
        if (u.type == kNalSps || u.type == kNalPps)
            out.insert(out.end(), d.begin() + u.start_code, d.begin() + u.end);
    if (out.empty()) return std::nullopt;
    return out;
}

AuFacts ref_facts(Bytes d) {
    AuFacts f;
    for (const NalUnit& u : ref_nal_units(d)) {
        if (u.type == kNalIdrSlice) f.key = true;
        if (u.type == kNalSei) {
            const auto types = ref_sei_types(ref_unescape(d.subspan(u.begin + 1, u.end - u.begin - 1)));
            if (std::find(types.begin(), types.end(), kSeiRecoveryPoint) != types.end())
                f.recovery = true;
        }
    }
    return f;
}

Vec cat(Bytes a, Bytes b) {
    Vec out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bool ref_emulation_free(Bytes d) {
    for (std::size_t i = 0; i + 2 < d.size(); ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] <= 2) return false;
    return true;
}

bool same(Bytes a, Bytes b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

void check_start_codes(Bytes d) {
    const std::size_t n = d.size();
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, n / 2, n - std::min<std::size_t>(n, 3),
                             n, n + 1, std::numeric_limits<std::size_t>::max()})
        FUZZ_CHECK(find_start_code(d, from) == ref_start_code(d, from));
}

void check_walk(Bytes d) {
    const std::vector<NalUnit> expected = ref_nal_units(d);
    std::size_t k = 0;
    for (const NalUnit& u : nal_units(d)) {
        FUZZ_CHECK(k < expected.size());
        FUZZ_CHECK(u == expected[k]);
        ++k;
    }
    FUZZ_CHECK(k == expected.size());
}

// The cache operations on the input split in two: parameter sets from the first part, an
// access unit in the second.
void check_caches(Bytes first, Bytes second, bool recovery) {
    const std::optional<Vec> first_sets = ref_param_sets(first);
    const std::optional<Vec> second_sets = ref_param_sets(second);

    FUZZ_CHECK(extract_param_sets(first) == first_sets);
    const SharedBytes au = SharedBytes::copy_of(second);

    ParamSetCache pc;
    AccessUnit a;
    a.data = SharedBytes::copy_of(first);
    a.t_us = -7;
    a.recovery = recovery;
    const AccessUnit out1 = pc.take(a, recovery);
    FUZZ_CHECK(out1.data.shares(a.data));
    FUZZ_CHECK(out1.config == first_sets.has_value());
    FUZZ_CHECK(pc.sets == first_sets && pc.reinserted == 0);

    AccessUnit b;
    b.data = au;
    b.t_us = 42;
    b.key = true;
    b.recovery = recovery;
    b.encoded_us = 9;
    const AccessUnit out2 = pc.take(b, recovery);
    FUZZ_CHECK(out2.t_us == 42 && out2.key && out2.recovery == recovery && out2.encoded_us == 9);
    if (second_sets) {
        FUZZ_CHECK(out2.data.shares(au) && out2.config && pc.sets == second_sets);
        FUZZ_CHECK(pc.reinserted == 0);
    } else if (recovery && first_sets) {
        FUZZ_CHECK(same(out2.data.bytes(), cat(*first_sets, second)) && out2.config);
        FUZZ_CHECK(pc.reinserted == 1 && pc.sets == first_sets);
    } else {
        FUZZ_CHECK(out2.data.shares(au) && !out2.config && pc.reinserted == 0);
    }
}

// Bits of an unescaped copy, read by index; past the end every read is absent.
struct RefBits {
    Vec bytes;
    std::size_t bit = 0;
    std::size_t end_bit = std::numeric_limits<std::size_t>::max();

    std::optional<std::uint32_t> u(unsigned n) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++bit) {
            if (bit / 8 >= bytes.size() || bit >= end_bit) return std::nullopt;
            v = v << 1 | ((bytes[bit / 8] >> (7 - bit % 8)) & 1);
        }
        return static_cast<std::uint32_t>(v);
    }
    std::optional<std::uint32_t> ue() {
        unsigned zeros = 0;
        for (;;) {
            const auto b = u(1);
            if (!b) return std::nullopt;
            if (*b) break;
            if (++zeros == 32) return std::nullopt;
        }
        const auto rest = u(zeros);
        if (!rest) return std::nullopt;
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *rest);
    }
    std::optional<std::int64_t> se() {
        const auto k = ue();
        if (!k) return std::nullopt;
        return (*k & 1) ? (std::int64_t{*k} + 1) / 2 : -(std::int64_t{*k} / 2);
    }
};

RefBits ref_body(Bytes nal) { return RefBits{ref_unescape(nal.subspan(1))}; }

std::optional<SpsFacts> ref_sps(Bytes nal) {
    if (nal.empty() || (nal[0] & 0x1F) != kNalSps) return std::nullopt;
    RefBits r = ref_body(nal);
    const auto profile = r.u(8);
    if (!profile || !r.u(16)) return std::nullopt;
    const auto id = r.ue();
    if (!id || *id >= 32) return std::nullopt;
    SpsFacts f{*id, std::nullopt, false, std::nullopt, std::nullopt};
    const std::uint32_t high[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(high), std::end(high), *profile) != std::end(high)) {
        const auto chroma = r.ue();
        if (!chroma || *chroma > 3) return f;
        if (*chroma == 3) {
            const auto sep = r.u(1);
            if (!sep) return f;
            f.separate_colour_plane = *sep;
        }
        if (!r.ue() || !r.ue() || !r.u(1)) return f;
        const auto matrix = r.u(1);
        if (!matrix) return f;
        for (unsigned i = 0; *matrix && i < (*chroma == 3 ? 12u : 8u); ++i) {
            const auto present = r.u(1);
            if (!present) return f;
            std::int64_t last = 8, next = 8;
            for (unsigned j = 0; *present && j < (i < 6 ? 16u : 64u); ++j) {
                if (next != 0) {
                    const auto delta = r.se();
                    if (!delta) return f;
                    next = ((last + *delta) % 256 + 256) % 256;
                }
                if (next != 0) last = next;
            }
        }
    }
    const auto log2 = r.ue();
    if (!log2 || *log2 > 12) return f;
    f.log2_max_frame_num = static_cast<std::uint8_t>(*log2 + 4);
    const auto poc = r.ue();
    if (!poc || *poc > 2) return f;
    if (*poc == 0 && !r.ue()) return f;
    if (*poc == 1) {
        if (!r.u(1) || !r.se() || !r.se()) return f;
        const auto cycle = r.ue();
        if (!cycle || *cycle > 255) return f;
        for (std::uint32_t i = 0; i < *cycle; ++i)
            if (!r.se()) return f;
    }
    if (!r.ue()) return f;
    if (const auto gaps = r.u(1)) f.frame_num_gaps_allowed = *gaps != 0;
    if (!f.frame_num_gaps_allowed || !r.ue() || !r.ue()) return f;
    if (const auto frames_only = r.u(1)) f.frame_mbs_only = *frames_only != 0;
    return f;
}

std::optional<PpsFacts> ref_pps(Bytes nal) {
    if (nal.empty() || (nal[0] & 0x1F) != kNalPps) return std::nullopt;
    RefBits r = ref_body(nal);
    const auto id = r.ue();
    const auto sps_id = id ? r.ue() : std::nullopt;
    if (!sps_id || *id > 255 || *sps_id > 31) return std::nullopt;
    return PpsFacts{*id, *sps_id};
}

std::optional<SliceFacts> ref_slice(Bytes nal, const std::vector<std::optional<SpsFacts>>& sps,
                                    const std::vector<std::optional<PpsFacts>>& pps) {
    if (nal.empty() || ((nal[0] & 0x1F) != 1 && (nal[0] & 0x1F) != 5)) return std::nullopt;
    SliceFacts f;
    f.nal_ref_idc = static_cast<std::uint8_t>(nal[0] >> 5 & 3);
    f.idr = (nal[0] & 0x1F) == 5;
    RefBits r = ref_body(nal);
    f.first_mb_in_slice = r.ue();
    const auto type = f.first_mb_in_slice ? r.ue() : std::nullopt;
    if (!type || *type > 9) return f;
    f.pic_parameter_set_id = r.ue();
    if (!f.pic_parameter_set_id || *f.pic_parameter_set_id > 255) return f;
    const auto& p = pps[*f.pic_parameter_set_id];
    if (!p || !sps[p->sps_id] || !sps[p->sps_id]->log2_max_frame_num) return f;
    const SpsFacts& s = *sps[p->sps_id];
    if (s.separate_colour_plane) {
        const auto plane = r.u(2);
        if (!plane) return f;
        f.colour_plane_id = static_cast<std::uint8_t>(*plane);
    }
    f.frame_num = r.u(*s.log2_max_frame_num);
    if (f.frame_num) {
        f.max_frame_num = 1u << *s.log2_max_frame_num;
        f.frame_num_gaps_allowed = s.frame_num_gaps_allowed.value_or(true);
        if (s.frame_mbs_only == true) f.field = false;
        if (s.frame_mbs_only == false) {
            const auto field = r.u(1);
            const auto bottom = field == 1u ? r.u(1) : std::optional<std::uint32_t>(0);
            if (field && bottom) {
                f.field = *field != 0;
                f.bottom_field = *bottom != 0;
            }
        }
    }
    return f;
}

std::optional<std::uint32_t> ref_recovery_count(Bytes nal) {
    if (nal.empty() || (nal[0] & 0x1F) != kNalSei) return std::nullopt;
    const Vec r = ref_unescape(nal.subspan(1));
    std::uint64_t i = 0;
    const std::uint64_t n = r.size();
    // The SEI walk of ref_sei_types, stopping at the first recovery point.
    while (i < n && r[i] != 0x80) {
        std::uint64_t type = 0, size = 0;
        for (; i < n && r[i] == 0xFF; ++i) type += 255;
        if (i >= n) return std::nullopt;
        type += r[i++];
        for (; i < n && r[i] == 0xFF; ++i) size += 255;
        if (i >= n) return std::nullopt;
        size += r[i++];
        if (type == kSeiRecoveryPoint) {
            RefBits bits{Vec(r.begin() + static_cast<std::ptrdiff_t>(i), r.end())};
            bits.end_bit = size > n ? std::numeric_limits<std::size_t>::max() : size * 8;
            return bits.ue();
        }
        if (size > n - i) return std::nullopt;
        i += size;
    }
    return std::nullopt;
}

// Every NAL unit of the input through the bitstream readers, with the parameter-set table
// learned from the units before it.
void check_bitstream_facts(Bytes d) {
    ParamSetFacts facts;
    std::vector<std::optional<SpsFacts>> sps(32);
    std::vector<std::optional<PpsFacts>> pps(256);
    for (const NalUnit& u : ref_nal_units(d)) {
        const Bytes nal = d.subspan(u.begin, u.end - u.begin);
        const std::optional<SpsFacts> s = parse_sps(nal);
        FUZZ_CHECK(s == ref_sps(nal));
        const std::optional<PpsFacts> p = parse_pps(nal);
        FUZZ_CHECK(p == ref_pps(nal));
        FUZZ_CHECK(parse_slice(nal, facts) == ref_slice(nal, sps, pps));
        FUZZ_CHECK(recovery_frame_cnt(nal) == ref_recovery_count(nal));
        facts.learn(nal);
        if (s) sps[s->id] = s;
        if (p) pps[p->id] = p;
        for (std::uint32_t id = 0; id < 32; ++id) FUZZ_CHECK(facts.sps(id) == sps[id]);
        if (p) FUZZ_CHECK(facts.pps(p->id) == p);
    }
    FUZZ_CHECK(!facts.sps(32) && !facts.pps(256));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes live in an exactly sized heap buffer, so any read past them is reported.
    const Vec input(data, data + size);
    const Bytes d(input);

    check_start_codes(d);
    check_walk(d);
    FUZZ_CHECK(au_facts(d) == ref_facts(d));
    FUZZ_CHECK(unescape_rbsp(d) == ref_unescape(d));
    FUZZ_CHECK(sei_payload_types(d) == ref_sei_types(d));
    const std::optional<Vec> sets = extract_param_sets(d);
    FUZZ_CHECK(sets == ref_param_sets(d));
    FUZZ_CHECK(!sets || !sets->empty());

    check_bitstream_facts(d);
    FUZZ_CHECK(nal_emulation_free(d) == ref_emulation_free(d));
    const Bytes trimmed = trim_nal(d);
    FUZZ_CHECK(trimmed.data() == d.data() && (trimmed.empty() || trimmed.back() != 0));
    FUZZ_CHECK(std::all_of(d.begin() + static_cast<std::ptrdiff_t>(trimmed.size()), d.end(),
                           [](std::uint8_t b) { return b == 0; }));

    const std::size_t split = size ? data[0] % (size + 1) : 0;
    check_caches(d.first(split), d.subspan(split), size > 1 && (data[1] & 1));
    return 0;
}
