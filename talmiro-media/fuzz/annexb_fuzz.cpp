// The Annex-B operations on arbitrary bytes: every result is compared with a straightforward
// re-reading of the same bytes, so a wrong position, a lost or invented NAL unit, a mis-read
// SEI or a read past the end (AddressSanitizer) is a finding.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/annexb.hpp"

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

    std::optional<Vec> cache = extract_param_sets(first);
    FUZZ_CHECK(cache == first_sets);
    const SharedBytes au = SharedBytes::copy_of(second);
    const std::optional<SharedBytes> primed = prime_with_param_sets(cache, au);
    if (second_sets) {
        FUZZ_CHECK(primed && primed->shares(au));
        FUZZ_CHECK(cache == second_sets);
    } else if (!first_sets) {
        FUZZ_CHECK(!primed && !cache);
    } else {
        FUZZ_CHECK(primed && same(primed->bytes(), cat(*first_sets, second)));
        FUZZ_CHECK(cache == first_sets);
    }

    ParamSetCache pc;
    AccessUnit a;
    a.data = SharedBytes::copy_of(first);
    a.t_us = -7;
    a.recovery = recovery;
    const AccessUnit out1 = pc.reinsert(a);
    FUZZ_CHECK(out1.data.shares(a.data));
    FUZZ_CHECK(out1.config == first_sets.has_value());
    FUZZ_CHECK(pc.sets == first_sets && pc.reinserted == 0);

    AccessUnit b;
    b.data = au;
    b.t_us = 42;
    b.key = true;
    b.recovery = recovery;
    b.encoded_us = 9;
    const AccessUnit out2 = pc.reinsert(b);
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

    const std::size_t split = size ? data[0] % (size + 1) : 0;
    check_caches(d.first(split), d.subspan(split), size > 1 && (data[1] & 1));
    return 0;
}
