#include "talmiro_media/annexb.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <vector>

using namespace talmiro_media;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kSc3{0, 0, 1};
const Bytes kSc4{0, 0, 0, 1};
const Bytes kSps{0x67, 0x42, 0xC0, 0x1E, 0xAA};
const Bytes kPps{0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr{0x65, 0x88, 0x84, 0x21};
const Bytes kSlice{0x41, 0x9A, 0x02};
const Bytes kSeiRecovery{0x06, 0x06, 0x01, 0x84, 0x80};  // one message of type 6
const Bytes kSeiUserData{0x06, 0x05, 0x01, 0x11, 0x80};  // one message of type 5

std::vector<NalUnit> walk(std::span<const std::uint8_t> data) {
    std::vector<NalUnit> out;
    for (const NalUnit& nal : nal_units(data)) out.push_back(nal);
    return out;
}

std::vector<std::uint8_t> types_of(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    for (const NalUnit& nal : nal_units(data)) out.push_back(nal.type);
    return out;
}

Bytes bytes_of(const SharedBytes& b) { return {b.bytes().begin(), b.bytes().end()}; }

AccessUnit make_au(Bytes data, bool recovery = false) {
    AccessUnit au;
    au.data = SharedBytes(std::move(data));
    au.t_us = 1234;
    au.recovery = recovery;
    return au;
}

}  // namespace

TEST(FindStartCode, Table) {
    struct Case {
        Bytes data;
        std::size_t from;
        std::optional<StartCode> expected;
    };
    const std::vector<Case> cases{
        {{}, 0, std::nullopt},
        {{0, 0, 0, 0}, 0, std::nullopt},
        {{0, 0, 1}, 0, StartCode{0, 3}},
        {{0, 0, 0, 1, 0x67}, 0, StartCode{0, 4}},
        {{0, 0, 0, 0, 1}, 0, StartCode{1, 4}},
        {{0, 0, 0, 1}, 1, StartCode{1, 3}},
        {{0, 0, 2, 0, 0, 1}, 0, StartCode{3, 3}},
        {{0, 0, 1}, 3, std::nullopt},
        {{0, 0, 1}, static_cast<std::size_t>(-1), std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(find_start_code(c.data, c.from), c.expected)
            << testing::PrintToString(c.data) << " from " << c.from;
}

TEST(NalUnits, Table) {
    const std::vector<std::pair<Bytes, std::vector<NalUnit>>> cases{
        {{}, {}},
        {{0x65, 0x88, 0, 0}, {}},
        {cat({kSc4, {0x67, 0xAA}}), {{0, 4, 6, 7}}},
        {cat({kSc3, {0x67}}), {{0, 3, 4, 7}}},
        // The zero in front of a four-byte start code belongs to no unit.
        {{0, 0, 0, 0, 1, 0x65}, {{1, 5, 6, 5}}},
        {{0xAA, 0xBB, 0, 0, 1, 0x41}, {{2, 5, 6, 1}}},
        // Empty units are skipped: a start code at the end, two back to back.
        {cat({kSc3, {0x41}, kSc3}), {{0, 3, 4, 1}}},
        {cat({kSc3, kSc4, {0x41}}), {{3, 7, 8, 1}}},
        {cat({kSc3, kSc4, kSc3}), {}},
        // Zeros before a following start code belong to the unit before it; the type is the
        // low five bits of the header.
        {cat({kSc3, {0x67, 0xAA, 0}, kSc4, {0xE8}}), {{0, 3, 6, 7}, {6, 10, 11, 8}}},
    };
    for (const auto& [data, units] : cases)
        EXPECT_EQ(walk(data), units) << testing::PrintToString(data);
}

TEST(UnescapeRbsp, Table) {
    const std::vector<std::pair<Bytes, Bytes>> cases{
        {{}, {}},
        {{0, 0, 3, 1}, {0, 0, 1}},
        {{0, 0, 3, 3}, {0, 0, 3}},
        {{0, 0, 0, 3, 0}, {0, 0, 0, 0}},
        {{0, 3, 0, 3}, {0, 3, 0, 3}},
        // After a dropped 03 the zero count starts again.
        {{0, 0, 3, 0, 3, 0, 0, 3}, {0, 0, 0, 3, 0, 0}},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(unescape_rbsp(in), out) << testing::PrintToString(in);
}

TEST(SeiPayloadTypes, Table) {
    Bytes long_payload{0x05, 0xFF, 0x01};  // size 256, filled with bytes that look like types
    long_payload.resize(long_payload.size() + 256, 0x06);
    long_payload.insert(long_payload.end(), {0x06, 0x00, 0x80});

    const std::vector<std::pair<Bytes, std::vector<std::uint64_t>>> cases{
        {{}, {}},
        {{0x80, 0x06, 0x00}, {}},
        {{0x05, 0x01, 0xAA, 0x06, 0x01, 0x84, 0x80}, {5, 6}},
        {{0x05, 0x01, 0x80, 0x06, 0x00}, {5, 6}},  // a payload byte 0x80 is no trailing bits
        {{0xFF, 0x06, 0x00, 0x80}, {261}},
        {{0xFF, 0xFF, 0x01, 0x00}, {511}},
        {long_payload, {5, 6}},
        // Cut short: without a complete size nothing is listed; a payload past the end is.
        {{0x06}, {}},
        {{0xFF, 0x06}, {}},
        {{0x06, 0xFF, 0xFF}, {}},
        {{0x06, 0x10, 0xAA}, {6}},
        {{0x05, 0x00, 0x06, 0xFE}, {5, 6}},
    };
    for (const auto& [rbsp, types] : cases)
        EXPECT_EQ(sei_payload_types(rbsp), types) << testing::PrintToString(rbsp);
}

TEST(AuFacts, Table) {
    struct Case {
        const char* what;
        Bytes data;
        AuFacts expected;
    };
    const std::vector<Case> cases{
        {"empty", {}, {false, false}},
        {"no start code", {0x65, 0x88, 0x06, 0x06, 0x00}, {false, false}},
        {"p slice", cat({kSc4, kSlice}), {false, false}},
        {"second message", cat({kSc3, {0x06, 0x05, 0x00, 0x06, 0x00, 0x80}, kSc3, kSlice}),
         {false, true}},
        {"second sei", cat({kSc3, kSeiUserData, kSc3, kSeiRecovery}), {false, true}},
        {"type 261", cat({kSc3, {0x06, 0xFF, 0x06, 0x00, 0x80}}), {false, false}},
        {"trailing bits first", cat({kSc3, {0x06, 0x80, 0x06, 0x00}}), {false, false}},
        {"header only", cat({kSc3, {0x06}, kSc3, kIdr}), {true, false}},
        {"not an sei", cat({kSc3, {0x01, 0x06, 0x01, 0x00}}), {false, false}},
        {"sps pps sei idr", cat({kSc4, kSps, kSc4, kPps, kSc3, kSeiRecovery, kSc3, kIdr}),
         {true, true}},
        // 00 00 03 inserted by the encoder is read as if the 03 were absent, both where it
        // would shift the next type and where it would shorten a payload.
        {"escape before type", cat({kSc3, {0x06, 0x05, 0x02, 0, 0, 0x03, 0x06, 0x00}}),
         {false, true}},
        {"escape in payload", cat({kSc3, {0x06, 0x05, 0x03, 0, 0, 0x03, 0x01, 0x06, 0x00}}),
         {false, true}},
        {"escape shifts type", cat({kSc3, {0x06, 0x05, 0x03, 0, 0, 0x03, 0x06, 0x01, 0x00}}),
         {false, false}},
    };
    for (const Case& c : cases) EXPECT_EQ(au_facts(c.data), c.expected) << c.what;
}

TEST(ParamSets, ExtractAndPrime) {
    EXPECT_FALSE(extract_param_sets(Bytes{}).has_value());
    EXPECT_FALSE(extract_param_sets(cat({kSc4, kIdr, kSc3, kSeiRecovery})).has_value());
    const Bytes full = cat({kSc4, kSps, kSc3, kPps, kSc3, kSeiRecovery, kSc4, kIdr});
    EXPECT_EQ(extract_param_sets(full), cat({kSc4, kSps, kSc3, kPps}));
    // Stream order across other units; zeros before the next start code stay with the unit.
    const Bytes mixed = cat({{0xAA}, kSc3, kSps, {0}, kSc4, kIdr, kSc4, kPps});
    EXPECT_EQ(extract_param_sets(mixed), cat({kSc3, kSps, {0}, kSc4, kPps}));

    const Bytes bare_bytes = cat({kSc3, kSeiRecovery, kSc3, kSlice});
    const SharedBytes bare(bare_bytes);
    std::optional<Bytes> cache;
    EXPECT_FALSE(prime_with_param_sets(cache, bare).has_value());
    EXPECT_FALSE(cache.has_value());

    const SharedBytes with_sets(full);
    cache = Bytes{0, 0, 1, 0x67, 0x01};  // older sets are replaced
    const std::optional<SharedBytes> same = prime_with_param_sets(cache, with_sets);
    EXPECT_TRUE(same && same->shares(with_sets));
    EXPECT_EQ(cache, cat({kSc4, kSps, kSc3, kPps}));

    const std::optional<SharedBytes> primed = prime_with_param_sets(cache, bare);
    ASSERT_TRUE(primed.has_value());
    EXPECT_EQ(bytes_of(*primed), cat({*cache, bare_bytes}));
    EXPECT_EQ(primed->buffer()->capacity(), primed->size());
}

TEST(ParamSetCache, ReinsertPutsTheLatestSetsInFrontOfBareRecoveryPoints) {
    ParamSetCache cache;
    const Bytes bare = cat({kSc3, kSeiRecovery, kSc3, kSlice});

    // Before any sets: unchanged and not counted.
    AccessUnit early = make_au(bare, true);
    const SharedBytes early_data = early.data;
    AccessUnit out = cache.reinsert(std::move(early));
    EXPECT_TRUE(out.data.shares(early_data));
    EXPECT_FALSE(out.config);

    // Sets seen: taken over; the access unit comes back marked `config`, not counted.
    AccessUnit key = make_au(cat({kSc4, kSps, kSc4, kPps, kSc4, kIdr}));
    const SharedBytes key_data = key.data;
    out = cache.reinsert(std::move(key));
    EXPECT_TRUE(out.data.shares(key_data) && out.config);
    EXPECT_EQ(cache.sets, cat({kSc4, kSps, kSc4, kPps}));
    EXPECT_FALSE(cache.reinsert(make_au(cat({kSc4, kSlice}))).config);  // bare P-frame
    EXPECT_EQ(cache.reinserted, 0u);

    // A bare recovery point gets the sets; its other fields stay, its old buffer is released.
    AccessUnit rec = make_au(bare, true);
    rec.encoded_us = 77;
    const std::weak_ptr<const Bytes> old = rec.data.buffer();
    out = cache.reinsert(std::move(rec));
    EXPECT_TRUE(old.expired());
    EXPECT_EQ(bytes_of(out.data), cat({*cache.sets, bare}));
    EXPECT_TRUE(out.config && out.recovery && !out.key);
    EXPECT_EQ(out.t_us, 1234);
    EXPECT_EQ(out.encoded_us, 77);
    EXPECT_EQ(cache.reinserted, 1u);

    const Bytes newer = cat({kSc3, {0x67, 0x64}, kSc3, {0x68, 0xEE}});
    cache.reinsert(make_au(cat({newer, kSc3, kSlice})));
    EXPECT_EQ(bytes_of(cache.reinsert(make_au(bare, true)).data), cat({newer, bare}));
    EXPECT_EQ(cache.reinserted, 2u);
}

// Random byte strings and every prefix of random access units, each in an exactly sized buffer
// so the sanitizers see any read outside it, checked against properties of any input.
TEST(AnnexbRobustness, RandomAndTruncatedInput) {
    std::mt19937 rng(20261208);
    const std::uint8_t kAlphabet[] = {0, 0, 0, 0, 1, 3, 0x80, 0xFF, 0x06, 0x05, 0x65, 0x67, 0x68};
    const std::vector<Bytes> units{kSps, kPps, kIdr, kSlice, kSeiRecovery, kSeiUserData};
    std::optional<Bytes> cache;
    ParamSetCache psc;

    for (int round = 0; round < 3000; ++round) {
        Bytes source;
        if (round % 2 == 0) {
            for (std::size_t n = rng() % 48; n > 0; --n)
                source.push_back(rng() % 4 == 0 ? static_cast<std::uint8_t>(rng())
                                                : kAlphabet[rng() % std::size(kAlphabet)]);
        } else {
            for (int k = rng() % 5; k >= 0; --k)
                source = cat({source, rng() % 2 ? kSc3 : kSc4, units[rng() % units.size()]});
        }
        for (std::size_t len = 0; len <= source.size(); ++len) {
            const Bytes data(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(len));
            const std::span<const std::uint8_t> s(data);

            for (std::size_t from = 0; from <= len + 1; ++from) {
                std::optional<StartCode> want;  // by brute force
                for (std::size_t i = from; !want && i + 3 <= len; ++i) {
                    if (data[i] || data[i + 1]) continue;
                    if (data[i + 2] == 1) want = StartCode{i, 3};
                    if (data[i + 2] == 0 && i + 4 <= len && data[i + 3] == 1)
                        want = StartCode{i, 4};
                }
                ASSERT_EQ(find_start_code(s, from), want);
            }

            // Units tile the data from start code to start code; the facts and parameter sets
            // are those of the units.
            AuFacts facts;
            std::vector<std::uint8_t> set_types;
            std::size_t last_end = 0;
            for (const NalUnit& nal : walk(s)) {
                ASSERT_GE(nal.start_code, last_end);
                ASSERT_EQ(find_start_code(s, nal.start_code)->pos, nal.start_code);
                ASSERT_LT(nal.begin, nal.end);
                const std::optional<StartCode> next = find_start_code(s, nal.begin);
                ASSERT_EQ(next ? next->pos : len, nal.end);
                last_end = nal.end;
                facts.key |= nal.type == 5;
                if (nal.type == 7 || nal.type == 8) set_types.push_back(nal.type);
                if (nal.type != 6) continue;
                const Bytes rbsp = unescape_rbsp(s.subspan(nal.begin + 1, nal.end - nal.begin - 1));
                for (std::uint64_t t : sei_payload_types(rbsp)) facts.recovery |= t == 6;
            }
            ASSERT_EQ(au_facts(s), facts);
            sei_payload_types(s);

            const std::optional<Bytes> sets = extract_param_sets(s);
            ASSERT_EQ(sets ? types_of(*sets) : std::vector<std::uint8_t>{}, set_types);
            ASSERT_TRUE(!sets || !sets->empty());

            const SharedBytes shared(data);
            const std::size_t cached = cache ? cache->size() : 0;
            const std::optional<SharedBytes> primed = prime_with_param_sets(cache, shared);
            ASSERT_EQ(primed.has_value(), sets || cached > 0);
            ASSERT_TRUE(!sets || primed->shares(shared));
            ASSERT_TRUE(sets || !primed || primed->size() == cached + len);

            const std::uint64_t counted = psc.reinserted;
            const bool had = psc.sets.has_value();
            const AccessUnit out = psc.reinsert(make_au(data, round % 3 == 0));
            ASSERT_EQ(psc.reinserted, counted + (!sets && had && round % 3 == 0 ? 1 : 0));
            ASSERT_EQ(out.config, sets || psc.reinserted != counted);
        }
    }
}
