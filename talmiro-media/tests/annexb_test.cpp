// Tests of the Annex-B readers: start codes, NAL units, RBSP, SEI, access-unit facts, parameter
// sets, and the SPS/PPS/slice-header fields the sync policy reads, on tables and broken input.
#include "talmiro_media/annexb.hpp"

#include <gtest/gtest.h>

#include "byte_vectors.hpp"
#include "h264_bits.hpp"
#include "talmiro_media/internal/annexb_steps.hpp"

#include <initializer_list>
#include <random>
#include <vector>

using namespace talmiro_media;

namespace {

using talmiro_test::Bytes;
using talmiro_test::cat;

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
}

TEST(ParamSetCache, PutsTheLatestSetsInFrontOfBareAccessUnitsToPrepend) {
    ParamSetCache cache;
    const Bytes bare = cat({kSc3, kSeiRecovery, kSc3, kSlice});

    // Before any sets: unchanged and not counted.
    AccessUnit early = make_au(bare, true);
    const SharedBytes early_data = early.data;
    AccessUnit out = cache.take(std::move(early), true);
    EXPECT_TRUE(out.data.shares(early_data));
    EXPECT_FALSE(out.config);

    // Sets seen: taken over; the access unit comes back marked `config`, not counted.
    AccessUnit key = make_au(cat({kSc4, kSps, kSc4, kPps, kSc4, kIdr}));
    const SharedBytes key_data = key.data;
    out = cache.take(std::move(key), true);
    EXPECT_TRUE(out.data.shares(key_data) && out.config);
    EXPECT_EQ(cache.sets, cat({kSc4, kSps, kSc4, kPps}));
    EXPECT_FALSE(cache.take(make_au(cat({kSc4, kSlice})), false).config);  // not to prepend
    EXPECT_EQ(cache.reinserted, 0u);

    // A bare recovery point gets the sets; its other fields stay, its old buffer is released.
    AccessUnit rec = make_au(bare, true);
    rec.encoded_us = 77;
    const std::weak_ptr<const Bytes> old = rec.data.buffer();
    out = cache.take(std::move(rec), true);
    EXPECT_TRUE(old.expired());
    EXPECT_EQ(bytes_of(out.data), cat({*cache.sets, bare}));
    EXPECT_EQ(out.data.buffer()->capacity(), out.data.size());
    EXPECT_TRUE(out.config && out.recovery && !out.key);
    EXPECT_EQ(out.t_us, 1234);
    EXPECT_EQ(out.encoded_us, 77);
    EXPECT_EQ(cache.reinserted, 1u);

    const Bytes newer = cat({kSc3, {0x67, 0x64}, kSc3, {0x68, 0xEE}});
    cache.take(make_au(cat({newer, kSc3, kSlice})), false);
    EXPECT_EQ(bytes_of(cache.take(make_au(bare, true), true).data), cat({newer, bare}));
    EXPECT_EQ(cache.reinserted, 2u);
}

// Random byte strings and every prefix of random access units, each in an exactly sized buffer
// so the sanitizers see any read outside it, checked against properties of any input.
TEST(AnnexbRobustness, RandomAndTruncatedInput) {
    std::mt19937 rng(20261208);
    const std::uint8_t kAlphabet[] = {0, 0, 0, 0, 1, 3, 0x80, 0xFF, 0x06, 0x05, 0x65, 0x67, 0x68};
    const std::vector<Bytes> units{kSps, kPps, kIdr, kSlice, kSeiRecovery, kSeiUserData};
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

            const std::uint64_t counted = psc.reinserted;
            const std::size_t cached = psc.sets ? psc.sets->size() : 0;
            const AccessUnit in = make_au(data, round % 3 == 0);
            const AccessUnit out = psc.take(in, in.recovery);
            ASSERT_EQ(psc.reinserted, counted + (!sets && cached && in.recovery ? 1 : 0));
            ASSERT_EQ(out.config, sets || psc.reinserted != counted);
            ASSERT_EQ(out.data.shares(in.data), psc.reinserted == counted);
            ASSERT_EQ(out.data.size(), len + (psc.reinserted != counted ? cached : 0));
        }
    }
}

namespace hb = h264_bits;

TEST(ParseSps, Table) {
    const hb::Sps high{.profile_idc = 100, .id = 31, .scaling_lists = true,
                       .log2_max_frame_num = 9, .poc_type = 1, .gaps_allowed = true};
    // 12 scaling lists with 4:4:4.
    const hb::Sps planes{.profile_idc = 244, .chroma_format_idc = 3, .separate_colour_plane = true,
                         .scaling_lists = true, .log2_max_frame_num = 16, .poc_type = 2};
    const hb::Sps baseline{.id = 3, .log2_max_frame_num = 5};
    // profile 0, flags 0, level 1: the level byte stands behind an emulation-prevention byte.
    const hb::Sps escaped{.profile_idc = 0, .level_idc = 1, .id = 2, .log2_max_frame_num = 12};
    const hb::Sps bad_id{.id = 32};
    const hb::Sps bad_log2{.log2_max_frame_num = 17};
    // An out-of-range POC type: what follows cannot be read.
    const hb::Sps no_gaps{.id = 3, .log2_max_frame_num = 5, .poc_type = 3};
    const Bytes cut = hb::nal_unit(0x67, hb::BitWriter(hb::sps_bits(baseline)).raw());

    struct Case {
        const char* name;
        Bytes nal;
        std::optional<SpsFacts> want;
    };
    const Case cases[] = {
        {"high, scaling lists, poc type 1", hb::sps(high), SpsFacts{31, 9, false, true, true}},
        {"4:4:4 separate planes, 12 lists", hb::sps(planes), SpsFacts{0, 16, true, false, true}},
        {"baseline", hb::sps(baseline), SpsFacts{3, 5, false, false, true}},
        {"escaped level byte", hb::sps(escaped), SpsFacts{2, 12, false, false, true}},
        {"id above 31", hb::sps(bad_id), std::nullopt},
        {"log2 above 16", hb::sps(bad_log2),
         SpsFacts{0, std::nullopt, false, std::nullopt, std::nullopt}},
        {"unknown poc type", hb::sps(no_gaps), SpsFacts{3, 5, false, std::nullopt, std::nullopt}},
        {"cut before the id", Bytes{0x67, 0x42, 0, 0x1E}, std::nullopt},
        {"a PPS is no SPS", hb::pps(0, 0), std::nullopt},
        {"empty", Bytes{}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_sps(c.nal), c.want) << c.name;
    // Raw bits without the stop bit still carry every field up to the gap flag.
    EXPECT_EQ(parse_sps(cut)->log2_max_frame_num, 5);
}

TEST(ParsePpsAndSlice, Table) {
    EXPECT_EQ(parse_pps(hb::pps(200, 31)), (PpsFacts{200, 31}));
    EXPECT_EQ(parse_pps(hb::pps(256, 0)), std::nullopt);
    EXPECT_EQ(parse_pps(hb::pps(1, 32)), std::nullopt);

    hb::Sps wide{.id = 1, .log2_max_frame_num = 10};
    const hb::Sps planes{.profile_idc = 244, .id = 2, .chroma_format_idc = 3,
                         .separate_colour_plane = true, .log2_max_frame_num = 6};
    const hb::Sps gaps{.id = 3, .log2_max_frame_num = 10, .gaps_allowed = true};
    ParamSetFacts sets;
    sets.learn_all(hb::annexb({hb::sps(wide), hb::sps(planes), hb::sps(gaps), hb::pps(0, 1),
                               hb::pps(7, 2), hb::pps(9, 3), hb::pps(5, 30)}));

    struct Case {
        const char* name;
        hb::Slice slice;
        std::optional<std::uint32_t> first_mb, frame_num;
        std::optional<std::uint8_t> plane;
        std::uint32_t max_frame_num;
        bool gaps;
    };
    const Case cases[] = {
        {"10-bit frame_num", {2, false, 0, 5, 0, {}, 1000, 10, false, {}}, 0, 1000, {}, 1024,
         false},
        {"IDR", {3, true, 0, 7, 0, {}, 0, 10, false, {}}, 0, 0, {}, 1024, false},
        {"colour plane 2", {1, false, 0, 0, 7, 2, 63, 6, false, {}}, 0, 63, 2, 64, false},
        {"gaps allowed", {2, false, 0, 5, 9, {}, 4, 10, false, {}}, 0, 4, {}, 1024, true},
        {"not the first slice", {2, false, 99, 5, 0, {}, 3, 10, false, {}}, 99, 3, {}, 1024, false},
        {"unknown PPS", {2, false, 0, 5, 4, {}, 3, 10, false, {}}, 0, {}, {}, 0, false},
        {"PPS of an unknown SPS", {2, false, 0, 5, 5, {}, 3, 10, false, {}}, 0, {}, {}, 0, false},
    };
    for (const Case& c : cases) {
        const std::optional<SliceFacts> got = parse_slice(hb::slice(c.slice), sets);
        ASSERT_TRUE(got) << c.name;
        EXPECT_EQ(got->nal_ref_idc, c.slice.nal_ref_idc) << c.name;
        EXPECT_EQ(got->idr, c.slice.idr) << c.name;
        EXPECT_EQ(got->first_mb_in_slice, c.first_mb) << c.name;
        EXPECT_EQ(got->pic_parameter_set_id, c.slice.pps_id) << c.name;
        EXPECT_EQ(got->frame_num, c.frame_num) << c.name;
        EXPECT_EQ(got->colour_plane_id, c.plane) << c.name;
        EXPECT_EQ(got->max_frame_num, c.max_frame_num) << c.name;
        EXPECT_EQ(got->frame_num_gaps_allowed, c.gaps) << c.name;
    }
    EXPECT_EQ(parse_slice(hb::pps(0, 0), sets), std::nullopt);
    // A later SPS of the same id replaces the earlier one.
    wide.log2_max_frame_num = 4;
    sets.learn(hb::sps(wide));
    EXPECT_EQ(parse_slice(hb::slice({2, false, 0, 5, 0, {}, 9, 4, false, {}}), sets)->frame_num,
              9u);
}

TEST(RecoveryFrameCnt, Table) {
    EXPECT_EQ(recovery_frame_cnt(hb::recovery_sei(0)), 0u);
    EXPECT_EQ(recovery_frame_cnt(hb::recovery_sei(29)), 29u);
    EXPECT_EQ(recovery_frame_cnt(hb::recovery_sei(70000)), 70000u);
    // Only a user-data message; a recovery point whose payload is empty; no SEI at all.
    EXPECT_EQ(recovery_frame_cnt(kSeiUserData), std::nullopt);
    EXPECT_EQ(recovery_frame_cnt(Bytes{0x06, 0x06, 0x00, 0x80}), std::nullopt);
    EXPECT_EQ(recovery_frame_cnt(kSlice), std::nullopt);
    EXPECT_EQ(recovery_frame_cnt(kSeiRecovery), 0u);
}

// Every prefix of every unit, in an exactly sized buffer: nothing read outside it, and a field
// read from a prefix is the field of the whole unit.
TEST(BitstreamFactsRobustness, Prefixes) {
    const hb::Sps high{.profile_idc = 100, .scaling_lists = true, .log2_max_frame_num = 7};
    ParamSetFacts sets;
    sets.learn(hb::sps(high));
    sets.learn(hb::pps(0, 0));
    const std::vector<Bytes> units{hb::sps(high), hb::pps(0, 0),
                                   hb::slice({2, false, 0, 5, 0, {}, 77, 7, false, {}}),
                                   hb::recovery_sei(300)};
    for (const Bytes& unit : units) {
        const std::optional<SpsFacts> sps = parse_sps(unit);
        const std::optional<SliceFacts> slice = parse_slice(unit, sets);
        const std::optional<std::uint32_t> count = recovery_frame_cnt(unit);
        for (std::size_t len = 0; len <= unit.size(); ++len) {
            const Bytes part(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(len));
            if (const auto got = parse_sps(part); got && got->log2_max_frame_num) {
                EXPECT_EQ(got->log2_max_frame_num, sps->log2_max_frame_num);
            }
            if (const auto got = parse_slice(part, sets); got && got->frame_num) {
                EXPECT_EQ(got->frame_num, slice->frame_num);
            }
            if (const auto got = recovery_frame_cnt(part)) {
                EXPECT_EQ(got, count);
            }
            parse_pps(part);
        }
    }
}

// 00 00 00, 00 00 01 and 00 00 02 at every offset (across the 16-byte blocks of the search);
// 00 00 03 and a lone 00 00 at the end are allowed.
TEST(NalEmulationFree, EveryOffset) {
    for (std::size_t at = 0; at + 3 <= 40; ++at)
        for (std::uint8_t third : {0, 1, 2, 3}) {
            Bytes nal(40, 0x55);
            nal[at] = nal[at + 1] = 0;
            nal[at + 2] = third;
            EXPECT_EQ(nal_emulation_free(nal), third == 3) << at << " " << int{third};
        }
    EXPECT_TRUE(nal_emulation_free(Bytes{0x41, 0, 0}));
    EXPECT_TRUE(nal_emulation_free(Bytes{}));
    EXPECT_EQ(trim_nal(Bytes{0x41, 0, 7, 0, 0}).size(), 3u);
}
