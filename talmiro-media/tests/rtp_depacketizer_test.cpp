// Tests of the RTP depacketizer: reordering and duplicates, every loss known, refusals by cause,
// NACK timing from the round trip, RTX, restarts and jumps, bounds, and foreign recordings.
#include "talmiro_media/rtp_depacketizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "au_records.hpp"
#include "talmiro_media/decode.hpp"

#include "rtp_streams.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

using namespace talmiro_media;
using rtp_streams::Bytes;
using rtp_streams::Nal;
namespace s = rtp_streams;

namespace {

constexpr std::uint32_t kSsrc = 0x11223344;

RtpPacketizer packetizer(std::size_t mtu, std::uint32_t ssrc = kSsrc) {
    RtpPacketizerConfig c;
    c.mtu = mtu;
    c.ssrc = ssrc;
    c.first_seq = 65500;                  // the sequence numbers wrap
    c.timestamp_offset = 0xFFFFFFFFu - 200000;  // and the timestamps
    c.rtx_ssrc = 0x99;
    return *RtpPacketizer::create(c);
}

struct Sent {
    std::vector<s::Au> aus;
    std::vector<Bytes> packets;
    // The access unit each packet belongs to.
    std::vector<std::size_t> owner;
};

Sent send(RtpPacketizer& p, const std::vector<std::vector<Nal>>& shapes,
          std::uint32_t seed = 7) {
    std::mt19937 rng(seed);
    Sent out;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        out.aus.push_back(s::make_au(shapes[i], rng));
        for (const SharedBytes& pkt : p.packetize(out.aus.back().annexb,
                                                  static_cast<std::int64_t>(i) * 33333)) {
            out.packets.emplace_back(pkt.bytes().begin(), pkt.bytes().end());
            out.owner.push_back(i);
        }
    }
    return out;
}

struct Received {
    std::vector<RtpAccessUnit> units;
    std::vector<std::uint16_t> nacks;
    std::vector<RtpRefusal> refused;

    void take(RtpOutput&& o) {
        for (auto& u : o.units) units.push_back(std::move(u));
        nacks.insert(nacks.end(), o.nacks.begin(), o.nacks.end());
        if (o.refused) refused.push_back(*o.refused);
    }
};

Bytes bytes_of(const RtpAccessUnit& u) { return {u.unit.bytes().begin(), u.unit.bytes().end()}; }

std::uint16_t seq_of(const Bytes& p) { return static_cast<std::uint16_t>(p[2] << 8 | p[3]); }

// The NAL units of Annex-B bytes.
std::vector<Bytes> nals_of(std::span<const std::uint8_t> d) {
    std::vector<Bytes> out;
    for (const NalUnit& u : nal_units(d)) out.emplace_back(d.begin() + u.begin, d.begin() + u.end);
    return out;
}

const std::vector<std::vector<Nal>> kStream = {
    {{s::kNonRef, 30}},
    {{s::kSps, 24}, {s::kPps, 6}, {s::kSei, 40}, {s::kIdr, 120'000}},  // 100 KB and more
    {{s::kP, 700}},
    {{s::kP, 2500}, {s::kP, 300}, {s::kNonRef, 50}},
    {{s::kSps, 24}, {s::kPps, 6}, {s::kIdr, 5000}, {s::kIdr, 40}},
    {{s::kP, 9500}},
    // Parameter sets between two slices of one picture.
    {{s::kIdr, 3000}, {s::kSps, 24}, {s::kPps, 6}, {s::kIdr, 3000}},
    {{s::kNonRef, 20}},
};

}  // namespace

// Packetize, reorder within blocks, duplicate some, depacketize: the same access units, byte for
// byte, complete, with their facts, at every MTU.
TEST(RtpDepacketizer, RoundTripReorderedAndDuplicated) {
    for (std::size_t mtu : {200, 1200, 9000}) {
        RtpPacketizer p = packetizer(mtu);
        const Sent sent = send(p, kStream);
        // The first packet heard starts the stream, so it goes first.
        std::vector<std::size_t> order{0};
        for (std::size_t b = 1; b < sent.packets.size(); b += 6) {
            const std::size_t e = std::min(b + 6, sent.packets.size());
            for (std::size_t i = e; i-- > b;) {
                order.push_back(i);
                if (i % 4 == 0) order.push_back(i);
            }
        }
        RtpDepacketizer d;
        Received r;
        for (std::size_t k = 0; k < order.size(); ++k)
            r.take(d.push(sent.packets[order[k]], static_cast<std::int64_t>(k) * 10));
        ASSERT_EQ(r.units.size(), sent.aus.size()) << mtu;
        for (std::size_t i = 0; i < sent.aus.size(); ++i) {
            const RtpAccessUnit& u = r.units[i];
            EXPECT_EQ(bytes_of(u), sent.aus[i].annexb) << mtu << " unit " << i;
            EXPECT_TRUE(u.complete);
            EXPECT_EQ(u.rtp_timestamp, p.timestamp_of(static_cast<std::int64_t>(i) * 33333));
            EXPECT_EQ(u.unit.key, i == 1 || i == 4 || i == 6);
            EXPECT_EQ(u.unit.config, i == 1 || i == 4 || i == 6);
        }
        const auto& st = d.stats();
        EXPECT_EQ(st.packets_duplicated, order.size() - sent.packets.size());
        EXPECT_GT(st.packets_reordered, 0u);
        EXPECT_EQ(st.packets_lost + st.packets_late + st.packets_refused + st.units_incomplete, 0u);
        EXPECT_EQ(st.units_complete, sent.aus.size());
        EXPECT_EQ(st.packets_received, order.size());
        EXPECT_EQ(st.highest_seq - st.first_seq + 1,
                  static_cast<std::int64_t>(sent.packets.size()));
    }
}

// Drop each packet in turn (but the first, which starts the stream for the receiver, and the
// last, which nothing after it can reveal): its access
// unit comes out incomplete (or, when it was that unit's only packet, the next one does, as the
// loss may have been its start), every other one complete and byte for byte; every NAL unit that
// comes out is one that was sent, whole; the NACKs name exactly the dropped packet.
TEST(RtpDepacketizer, EachLostPacketIsKnown) {
    for (std::size_t mtu : {200, 1200}) {
        RtpPacketizer p = packetizer(mtu);
        const Sent sent = send(p, kStream);
        for (std::size_t drop = 1; drop + 1 < sent.packets.size(); ++drop) {
            RtpDepacketizer d;
            Received r;
            for (std::size_t i = 0; i < sent.packets.size(); ++i)
                if (i != drop) r.take(d.push(sent.packets[i], static_cast<std::int64_t>(i)));
            r.take(d.poll(1'000'000'000));
            SCOPED_TRACE(testing::Message() << "mtu " << mtu << " drop " << drop);
            EXPECT_EQ(r.nacks, std::vector<std::uint16_t>{seq_of(sent.packets[drop])});
            const std::size_t hit = sent.owner[drop];
            const bool alone = std::count(sent.owner.begin(), sent.owner.end(), hit) == 1;
            const std::size_t damaged = alone ? hit + 1 : hit;
            ASSERT_EQ(r.units.size(), sent.aus.size() - (alone ? 1 : 0));
            for (const RtpAccessUnit& u : r.units) {
                std::size_t i = 0;
                while (i < sent.aus.size() &&
                       p.timestamp_of(static_cast<std::int64_t>(i) * 33333) != u.rtp_timestamp)
                    ++i;
                ASSERT_LT(i, sent.aus.size());
                EXPECT_NE(i, alone ? hit : sent.aus.size());
                EXPECT_EQ(u.complete, i != damaged) << "unit " << i;
                if (u.complete) {
                    EXPECT_EQ(bytes_of(u), sent.aus[i].annexb) << "unit " << i;
                    continue;
                }
                // Whole units only, in their order; fewer of them where the loss was.
                const auto got = nals_of(u.unit.bytes());
                const auto& want = sent.aus[i].nals;
                EXPECT_EQ(got.size() < want.size(), !alone);
                auto at = want.begin();
                for (const Bytes& nal : got) {
                    at = std::find(at, want.end(), nal);
                    ASSERT_NE(at, want.end()) << "a NAL unit that was not sent, in unit " << i;
                }
            }
            EXPECT_EQ(d.stats().packets_lost, 1u);
            EXPECT_EQ(d.stats().units_incomplete, 1u);
        }
    }
}

namespace {

// An RTP packet of the stream: header fields, then `payload`.
Bytes rtp(std::uint16_t seq, std::uint32_t ts, Bytes payload, bool marker = true,
          std::uint32_t ssrc = kSsrc, std::uint8_t pt = 96, std::uint8_t first = 0x80) {
    Bytes p{first, static_cast<std::uint8_t>((marker ? 0x80 : 0) | pt),
            static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(ts >> 24), static_cast<std::uint8_t>(ts >> 16),
            static_cast<std::uint8_t>(ts >> 8), static_cast<std::uint8_t>(ts),
            static_cast<std::uint8_t>(ssrc >> 24), static_cast<std::uint8_t>(ssrc >> 16),
            static_cast<std::uint8_t>(ssrc >> 8), static_cast<std::uint8_t>(ssrc)};
    for (std::uint8_t b : payload) p.push_back(b);  // (insert of an empty range trips g++ 12)
    return p;
}

}  // namespace

// Every malformed or unsupported datagram is refused by its cause; the stream goes on.
TEST(RtpDepacketizer, RefusesByCause) {
    const Bytes slice{0x41, 1, 2};
    struct Case {
        Bytes datagram;
        RtpRefusal cause;
    };
    auto with_csrc = rtp(2, 0, slice, true, kSsrc, 96, 0x82);  // two CSRC, 8 bytes: 3 present
    auto with_ext = rtp(2, 0, {0xBE, 0xDE, 0, 2, 1, 2, 3, 4}, true, kSsrc, 96, 0x90);
    const std::vector<Case> cases = {
        {Bytes(11, 0x80), RtpRefusal::Truncated},
        {with_csrc, RtpRefusal::Truncated},
        {with_ext, RtpRefusal::Truncated},
        {rtp(2, 0, {0x41, 1, 0}, true, kSsrc, 96, 0xA0), RtpRefusal::BadPadding},
        {rtp(2, 0, {0x41, 1, 9}, true, kSsrc, 96, 0xA0), RtpRefusal::BadPadding},
        {rtp(2, 0, slice, true, kSsrc, 96, 0x40), RtpRefusal::BadVersion},
        {rtp(2, 0, slice, true, kSsrc, 97), RtpRefusal::WrongPayloadType},
        {rtp(2, 0, slice, true, 0xBAD), RtpRefusal::ForeignSsrc},
        {rtp(2, 0, {25, 0, 0, 2, 0x41, 1}), RtpRefusal::StapB},
        {rtp(2, 0, {26, 0, 0}), RtpRefusal::Mtap},
        {rtp(2, 0, {27, 0, 0}), RtpRefusal::Mtap},
        {rtp(2, 0, {29, 0x85, 0, 0, 1}), RtpRefusal::FuB},
        {rtp(2, 0, {0, 1}), RtpRefusal::ReservedType},
        {rtp(2, 0, {30, 1}), RtpRefusal::ReservedType},
        {rtp(2, 0, {31, 1}), RtpRefusal::ReservedType},
        {rtp(2, 0, {24}), RtpRefusal::BadStapA},
        {rtp(2, 0, {24, 0, 3, 0x41, 1}), RtpRefusal::BadStapA},
        {rtp(2, 0, {24, 0, 0, 0, 1, 0x41}), RtpRefusal::BadStapA},
        {rtp(2, 0, {24, 0, 2, 0x41, 1, 0}), RtpRefusal::BadStapA},
        {rtp(2, 0, {24, 0, 2, 28, 1}), RtpRefusal::BadStapA},
        {rtp(2, 0, {28}), RtpRefusal::BadFuA},
        {rtp(2, 0, {28, 0x98}), RtpRefusal::BadFuA},
        {rtp(2, 0, {0x41, 1, 0, 0, 1, 0x67, 5}), RtpRefusal::BadNal},
        {rtp(2, 0, {0x41, 0, 0, 0, 7}), RtpRefusal::BadNal},
        {rtp(2, 0, {24, 0, 2, 0x41, 1, 0, 5, 0x41, 0, 0, 2, 9}), RtpRefusal::BadNal},
        {rtp(20000, 0, slice), RtpRefusal::SeqJump},
    };
    RtpDepacketizer d;
    Received r;
    r.take(d.push(rtp(1, 0, slice), 0));
    for (const Case& c : cases) {
        const RtpOutput out = d.push(c.datagram, 1);
        EXPECT_EQ(out.refused, c.cause) << rtp_refusal_name(c.cause);
        EXPECT_TRUE(out.units.empty());
    }
    // Header extension, CSRC list and padding, all well formed, around the same slice.
    Bytes full = rtp(2, 3000, {}, true, kSsrc, 96, 0xB1);
    full.insert(full.end(), {0xA, 0xB, 0xC, 0xD, 0xBE, 0xDE, 0, 1, 9, 9, 9, 9});
    full.insert(full.end(), slice.begin(), slice.end());
    full.insert(full.end(), {0, 0, 0, 4});  // one zero trailing the unit, three of padding
    r.take(d.push(full, 2));
    ASSERT_EQ(r.units.size(), 2u);
    EXPECT_EQ(bytes_of(r.units[1]), (Bytes{0, 0, 0, 1, 0x41, 1, 2}));
    EXPECT_TRUE(r.units[1].complete);
    // A start code split across two fragments: the unit is left out.
    r.take(d.push(rtp(3, 6000, {28, 0x81, 7, 0}, false), 3));
    r.take(d.push(rtp(4, 6000, {28, 0x41, 0, 1, 0x67}, true), 3));
    ASSERT_EQ(r.units.size(), 3u);
    EXPECT_TRUE(bytes_of(r.units[2]).empty());
    EXPECT_FALSE(r.units[2].complete);
    EXPECT_EQ(d.stats().packets_refused, cases.size());
    for (const Case& c : cases) EXPECT_GE(d.stats().refused[static_cast<std::size_t>(c.cause)], 1u);
    EXPECT_EQ(d.stats().packets_received, 4u);
}

// A gap is asked for at once, again every interval up to the limit, then given up at its
// deadline; a packet that comes after being asked for counts as recovered.
TEST(RtpDepacketizer, NackTimingAndRecovery) {
    RtpDepacketizerConfig c;
    c.max_wait_us = 100'000;
    c.nack_interval_us = 30'000;
    c.max_nacks = 3;
    RtpDepacketizer d(c);
    const Bytes slice{0x41, 1};
    Received r;
    r.take(d.push(rtp(10, 0, slice), 0));
    r.take(d.push(rtp(13, 3000, slice), 1000));
    EXPECT_EQ(r.nacks, (std::vector<std::uint16_t>{11, 12}));
    EXPECT_EQ(d.next_deadline_us(), 31'000);
    struct Step {
        std::int64_t now;
        std::vector<std::uint16_t> nacks;
        std::size_t units;
    };
    r.take(d.push(rtp(11, 1000, slice), 20'000));  // 11 recovered
    for (const Step& s : std::vector<Step>{{30'999, {}, 2}, {31'000, {12}, 2}, {61'000, {12}, 2},
                                           {91'000, {}, 2}, {100'999, {}, 2}, {101'000, {}, 3}}) {
        Received step;
        step.take(d.poll(s.now));
        EXPECT_EQ(step.nacks, s.nacks) << s.now;
        r.units.insert(r.units.end(), step.units.begin(), step.units.end());
        EXPECT_EQ(r.units.size(), s.units) << s.now;
    }
    ASSERT_EQ(r.units.size(), 3u);
    EXPECT_TRUE(r.units[1].complete && r.units[1].recovered);
    EXPECT_FALSE(r.units[2].complete);  // 12 may have been its first packet
    EXPECT_EQ(d.stats().packets_recovered, 1u);
    EXPECT_EQ(d.stats().packets_lost, 1u);
    EXPECT_EQ(d.stats().nacks, 4u);
    EXPECT_FALSE(d.next_deadline_us());
    // 12 after its deadline: late, then a duplicate.
    d.push(rtp(12, 2000, slice), 200'000);
    d.push(rtp(12, 2000, slice), 200'001);
    EXPECT_EQ(d.stats().packets_late, 1u);
    EXPECT_EQ(d.stats().packets_duplicated, 1u);

    // With a NACK delay, a packet merely reordered is never asked for.
    c.nack_delay_us = 20'000;
    RtpDepacketizer patient(c);
    Received q;
    q.take(patient.push(rtp(10, 0, slice), 0));
    q.take(patient.push(rtp(13, 3000, slice), 1000));
    q.take(patient.push(rtp(11, 1000, slice), 5000));
    EXPECT_EQ(patient.next_deadline_us(), 21'000);
    q.take(patient.poll(20'999));
    EXPECT_TRUE(q.nacks.empty());
    q.take(patient.poll(21'000));
    EXPECT_EQ(q.nacks, std::vector<std::uint16_t>{12});
    EXPECT_EQ(patient.stats().packets_recovered, 0u);

    // A gap longer than `max_nack_run` is not asked for.
    c.max_nack_run = 100;
    RtpDepacketizer wide(c);
    EXPECT_TRUE(wide.push(rtp(10, 0, slice), 0).nacks.empty());
    EXPECT_TRUE(wide.push(rtp(112, 0, slice), 0).nacks.empty());
    EXPECT_EQ(wide.poll(100'000).nacks, std::vector<std::uint16_t>{});
    EXPECT_EQ(wide.push(rtp(114, 0, slice), 100'001).nacks.size(), 0u);  // nack_delay_us
    EXPECT_EQ(wide.poll(120'001).nacks, std::vector<std::uint16_t>{113});

    // With a copy, the first NACK goes again shortly after, then the repeats follow the copy;
    // the copy counts among the NACKs allowed.
    c = RtpDepacketizerConfig{};
    c.nack_interval_us = 30'000;
    c.nack_copy_us = 3'000;
    RtpDepacketizer copying(c);
    EXPECT_TRUE(copying.push(rtp(10, 0, slice), 0).nacks.empty());
    EXPECT_EQ(copying.push(rtp(12, 0, slice), 1000).nacks, std::vector<std::uint16_t>{11});
    EXPECT_EQ(copying.next_deadline_us(), 4'000);
    for (const auto& [now, nacks] : std::vector<std::pair<std::int64_t, std::size_t>>{
             {3'999, 0}, {4'000, 1}, {33'999, 0}, {34'000, 1}, {64'000, 0}})
        EXPECT_EQ(copying.poll(now).nacks.size(), nacks) << now;
    EXPECT_EQ(copying.stats().nacks, 3u);
}

// A unit whose packets stop before its marker packet has its tail asked for after a short wait,
// once per stall, not a frame interval later when the next unit shows the gap; the gap that
// the next unit then shows is not asked for again at once. A sender pacing its packets is
// learnt and not asked.
TEST(RtpDepacketizer, AsksForAMissingTailSoon) {
    RtpDepacketizerConfig c;
    c.nack_interval_us = 30'000;
    const Bytes slice{0x41, 1};
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "answered" : "unanswered");
        RtpDepacketizer d(c);
        Received r;
        r.take(d.push(rtp(9, 0, slice), 0));
        r.take(d.push(rtp(10, 3000, slice, false), 33'000));
        r.take(d.push(rtp(11, 3000, slice, false), 33'100));
        EXPECT_EQ(d.next_deadline_us(), 33'100 + c.tail_wait_min_us);
        r.take(d.poll(33'100 + c.tail_wait_min_us - 1));
        EXPECT_TRUE(r.nacks.empty());
        r.take(d.poll(33'100 + c.tail_wait_min_us));
        r.take(d.poll(40'000));
        EXPECT_EQ(r.nacks, std::vector<std::uint16_t>{12});
        EXPECT_EQ(d.stats().tail_nacks, 1u);
        if (answered) {
            r.take(d.push(rtp(12, 3000, slice), 55'000));
            ASSERT_EQ(r.units.size(), 2u);
            EXPECT_TRUE(r.units[1].complete && r.units[1].recovered);
            EXPECT_EQ(d.stats().packets_recovered, 1u);
            continue;
        }
        r.take(d.push(rtp(13, 6000, slice), 50'000));
        EXPECT_EQ(r.nacks, std::vector<std::uint16_t>{12});
        r.take(d.poll(35'100 + c.nack_interval_us));
        EXPECT_EQ(r.nacks, (std::vector<std::uint16_t>{12, 12}));
        r.take(d.give_up(200'000));
        EXPECT_EQ(d.stats().packets_lost, 1u);
        EXPECT_EQ(d.stats().nacks, 2u);
    }

    // A path that once spread a unit's packets 6 ms apart: the next stall waits longer than that.
    {
        RtpDepacketizer d(c);
        Received r;
        r.take(d.push(rtp(1, 0, slice, false), 0));
        r.take(d.push(rtp(2, 0, slice, false), 100));
        r.take(d.push(rtp(3, 0, slice), 6'100));
        r.take(d.push(rtp(4, 3000, slice, false), 33'000));
        r.take(d.push(rtp(5, 3000, slice, false), 33'100));
        r.take(d.poll(33'100 + 6'500));
        EXPECT_TRUE(r.nacks.empty());
        r.take(d.poll(33'100 + c.tail_wait_max_us));
        EXPECT_EQ(r.nacks, std::vector<std::uint16_t>{6});
    }

    // Units of six packets 3 ms apart: after the first unit, nothing is asked for.
    RtpDepacketizer paced(c);
    Received r;
    std::uint16_t seq = 0;
    for (std::int64_t unit = 0; unit < 20; ++unit)
        for (std::int64_t k = 0; k < 6; ++k) {
            const std::int64_t t = unit * 33'000 + k * 3'000;
            for (auto due = paced.next_deadline_us(); due && *due <= t;
                 due = paced.next_deadline_us())
                r.take(paced.poll(*due));
            r.take(paced.push(rtp(seq++, static_cast<std::uint32_t>(unit * 3000), slice, k == 5),
                              t));
        }
    EXPECT_LE(paced.stats().tail_nacks, 2u);
    EXPECT_EQ(paced.stats().units_complete, 20u);
    EXPECT_EQ(paced.stats().packets_lost, 0u);
}

// The wait for a gap and the NACK repeat interval follow the round trip and jitter, within the
// minimum wait and the cap.
TEST(RtpDepacketizer, TimingFromTheRoundTrip) {
    struct Case {
        bool nack;
        std::optional<std::int64_t> rtt;
        std::int64_t jitter, cap, wait, interval;
    };
    for (const Case& c : std::vector<Case>{
             {true, 20'000, 2'000, 100'000, 59'000, 29'000},  // two rounds
             {true, 26'000, 2'000, 50'000, 39'000, 36'500},   // the second would miss the cap
             {true, 2'000, 0, 100'000, 20'000, 5'000},        // the floors
             {true, 80'000, 5'000, 100'000, 100'000, 110'000},  // the cap
             {true, 20'000, 0, 10'000, 10'000, 25'000},       // a cap below the floor wins
             {true, {}, 3'000, 70'000, 70'000, 35'000},       // no round trip yet: one repeat
             {false, {}, 8'000, 100'000, 32'000, 20'000},     // reordering only
             {false, 5'000, 1'000, 100'000, 20'000, 20'000},
         }) {
        RtpDepacketizerConfig config;
        config.nack = c.nack;
        config.max_delay_us = c.cap;
        RtpDepacketizer d(config);
        d.set_round_trip(c.rtt, c.jitter);
        EXPECT_EQ(d.config().max_wait_us, c.wait) << c.rtt.value_or(-1) << " " << c.cap;
        EXPECT_EQ(d.config().nack_interval_us, c.interval) << c.rtt.value_or(-1) << " " << c.cap;
    }
}

// Retransmissions in RTX form from the packetizer's history fill the gap.
TEST(RtpDepacketizer, RtxFillsTheGap) {
    RtpPacketizer p = packetizer(1200);
    const Sent sent = send(p, kStream);
    RtpDepacketizerConfig c;
    c.rtx_payload_type = 97;
    RtpDepacketizer d(c);
    Received r;
    for (std::size_t i = 0; i < sent.packets.size(); ++i)
        if (i != 5) r.take(d.push(sent.packets[i], static_cast<std::int64_t>(i)));
    ASSERT_EQ(r.nacks.size(), 1u);
    const auto rtx = p.resend_rtx(r.nacks[0]);
    const std::uint16_t lost = r.nacks[0];
    RtpOutput answered = d.push(rtx->bytes(), 1000);
    // The header an RTX packet reads as: the original sequence number, the RTX SSRC.
    ASSERT_TRUE(answered.header);
    EXPECT_EQ(answered.header->seq, lost);
    EXPECT_TRUE(answered.header->rtx);
    EXPECT_NE(answered.header->ssrc, d.stats().ssrc);
    r.take(std::move(answered));
    ASSERT_EQ(r.units.size(), sent.aus.size());
    for (std::size_t i = 0; i < sent.aus.size(); ++i) {
        EXPECT_TRUE(r.units[i].complete);
        EXPECT_EQ(bytes_of(r.units[i]), sent.aus[i].annexb);
    }
    EXPECT_EQ(d.stats().rtx_received, 1u);
    EXPECT_EQ(d.stats().packets_recovered, 1u);
    // Another RTX SSRC once one is known, or RTX before any media, is foreign.
    auto other = Bytes(rtx->bytes().begin(), rtx->bytes().end());
    other[11] ^= 1;
    const RtpOutput foreign = d.push(other, 1001);
    EXPECT_EQ(foreign.refused, RtpRefusal::ForeignSsrc);
    EXPECT_TRUE(foreign.header);  // it parsed before it was refused
    EXPECT_FALSE(d.push(Bytes(11, 0x80), 1002).header);
    EXPECT_EQ(RtpDepacketizer(c).push(rtx->bytes(), 0).refused, RtpRefusal::ForeignSsrc);
}

// A new SSRC is foreign while the stream is alive and starts the stream over after silence;
// a far sequence jump needs the next packet to confirm it.
TEST(RtpDepacketizer, RestartsAndJumps) {
    const Bytes slice{0x41, 1};
    RtpDepacketizer d;
    Received r;
    r.take(d.push(rtp(100, 0, slice), 0));
    r.take(d.push(rtp(500, 0, slice, true, 0xB), 499'999));
    r.take(d.push(rtp(501, 3000, slice, true, 0xB), 1'000'000));
    r.take(d.push(rtp(502, 6000, slice, true, 0xB), 1'000'001));
    EXPECT_EQ(r.refused, std::vector<RtpRefusal>{RtpRefusal::ForeignSsrc});
    ASSERT_EQ(r.units.size(), 3u);
    EXPECT_TRUE(r.units[1].complete && r.units[2].complete);
    EXPECT_EQ(r.units[2].ssrc, 0xBu);
    EXPECT_EQ(d.stats().restarts, 1u);
    EXPECT_EQ(d.stats().packets_lost, 0u);
    // 40000 ahead: refused, then confirmed by 40001; the unit after the jump may lack its start.
    r.take(d.push(rtp(40502, 9000, slice, true, 0xB), 1'000'002));
    r.take(d.push(rtp(40503, 12000, slice, true, 0xB), 1'000'003));
    r.take(d.push(rtp(40504, 15000, slice, true, 0xB), 1'000'004));
    ASSERT_EQ(r.units.size(), 5u);
    EXPECT_FALSE(r.units[3].complete);
    EXPECT_TRUE(r.units[4].complete);
    EXPECT_EQ(d.stats().restarts, 2u);
    EXPECT_EQ(d.stats().refused[static_cast<std::size_t>(RtpRefusal::SeqJump)], 1u);
}

// A sender that starts over with the same SSRC on a base behind its old one (the same seed
// run again), or far ahead, is taken once the packet after the first continues from it: a new
// base, counted as a restart, every unit after it out. A packet alone, a resend of an old pair
// soon after its place passed, and RTX of an old pair however late never start one: they are
// duplicates, and the stream goes on.
TEST(RtpDepacketizer, SameSsrcNewBase) {
    struct Case {
        const char* name;
        std::int64_t base;      // of the packets after the pause; the old stream ends at 2999
        std::int64_t pause_us;  // from the old stream's last packet
        std::size_t count;
        bool rtx;
        std::uint64_t restarts, duplicated;
    };
    const Bytes slice{0x41, 1};
    for (const Case& c : std::vector<Case>{
             {"the same base again", 1000, 1'000'000, 40, false, 1, 1},
             {"just behind, after a pause", 2900, 1'000'000, 40, false, 1, 1},
             {"behind the window", 3000 - 20000 + 65536, 1'000'000, 40, false, 1, 0},
             {"far ahead at once", 3000 + 20000, 1'000, 40, false, 1, 0},
             {"a packet alone", 1000, 1'000'000, 1, false, 0, 1},
             {"a resend of a pair soon after", 2700, 50'000, 2, false, 0, 2},
             {"RTX of a pair long after", 1000, 1'000'000, 2, true, 0, 2},
         }) {
        SCOPED_TRACE(c.name);
        RtpDepacketizerConfig config;
        config.rtx_payload_type = 97;
        RtpDepacketizer d(config);
        Received r;
        std::int64_t t = 0;
        for (std::uint16_t seq = 1000; seq < 3000; ++seq, t += 1'000)
            r.take(d.push(rtp(seq, seq * 3000u, slice), t));
        r.units.clear();
        t += c.pause_us;
        for (std::size_t k = 0; k < c.count; ++k, t += 1'000) {
            const auto seq = static_cast<std::uint16_t>(c.base + static_cast<std::int64_t>(k));
            const std::uint32_t ts = 7'000'000 + static_cast<std::uint32_t>(k) * 3000;
            r.take(c.rtx ? d.push(rtp(static_cast<std::uint16_t>(6000 + k), ts,
                                      Bytes{static_cast<std::uint8_t>(seq >> 8),
                                            static_cast<std::uint8_t>(seq), 0x41, 1},
                                      true, 0x99, 97),
                                  t)
                         : d.push(rtp(seq, ts, slice), t));
        }
        EXPECT_EQ(d.stats().restarts, c.restarts);
        EXPECT_EQ(d.stats().packets_duplicated, c.duplicated);
        if (c.restarts > 0) {
            // Every unit from the second packet on (the first of them may lack its start).
            ASSERT_EQ(r.units.size(), c.count - 1);
            for (std::size_t k = 1; k < r.units.size(); ++k) EXPECT_TRUE(r.units[k].complete);
            continue;
        }
        EXPECT_TRUE(r.units.empty());
        for (std::uint16_t seq = 3000; seq < 3010; ++seq, t += 1'000)
            r.take(d.push(rtp(seq, seq * 3000u, slice), t));
        EXPECT_EQ(r.units.size(), 10u);
        EXPECT_EQ(d.stats().units_incomplete, 0u);
        EXPECT_EQ(d.stats().packets_lost, 0u);
    }
}

// A unit whose tail is late: the tail is asked for, and again after the copy interval; the unit
// is given up after the wait; the next unit comes out as soon as it is complete, and the tail,
// whenever it comes, counts as late and does not come out as a second unit of that timestamp.
TEST(RtpDepacketizer, TailGivenUpComesOutOnce) {
    const Bytes slice{0x41, 1};
    for (const std::int64_t tail_at : {60'000, 80'000}) {  // before the next unit, after it
        SCOPED_TRACE(tail_at);
        RtpDepacketizerConfig c;
        c.nack_copy_us = 3'000;
        RtpDepacketizer d(c);
        d.set_timing(20'000, 30'000);
        Received r;
        auto step = [&](std::int64_t now, std::optional<Bytes> packet = {}) {
            for (auto due = d.next_deadline_us(); due && *due <= now; due = d.next_deadline_us())
                r.take(d.poll(*due));
            if (packet) r.take(d.push(*packet, now));
        };
        step(0, rtp(7, 0, slice, false));
        step(100, rtp(8, 0, slice, false));
        step(200, rtp(9, 0, slice));
        step(33'000, rtp(10, 3000, slice, false));
        step(33'100, rtp(11, 3000, slice, false));
        step(53'200);
        EXPECT_EQ(r.nacks, (std::vector<std::uint16_t>{12, 12}));  // at 35.1 ms and 38.1 ms
        EXPECT_EQ(d.stats().tail_nacks, 2u);
        ASSERT_EQ(r.units.size(), 2u);
        EXPECT_FALSE(r.units[1].complete);
        const Bytes tail = rtp(12, 3000, Bytes{0x41, 2});
        if (tail_at < 66'000) step(tail_at, tail);
        step(66'000, rtp(13, 6000, slice, false));
        step(66'100, rtp(14, 6000, slice, false));
        step(66'200, rtp(15, 6000, slice));
        ASSERT_EQ(r.units.size(), 3u);  // the next unit, not held up by the tail
        EXPECT_EQ(r.units[2].rtp_timestamp, 6000u);
        EXPECT_TRUE(r.units[2].complete);
        if (tail_at > 66'000) step(tail_at, tail);
        step(200'000);
        EXPECT_EQ(r.units.size(), 3u);
        EXPECT_EQ(d.stats().packets_late, 1u);
        EXPECT_EQ(d.stats().units_incomplete, 1u);
    }
}

// A path that delays each packet by 0..5 ms (keeping their order) at no loss: the tail wait
// learns the pauses within complete units, and asks for almost no tail that was only late;
// where a tail is then really lost, it is still asked for within the cap.
TEST(RtpDepacketizer, TailWaitLearnsTheSpread) {
    RtpDepacketizerConfig c;
    c.rtx_payload_type = 97;
    RtpDepacketizer d(c);
    Received r;
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::int64_t> delay(0, 5'000);
    std::int64_t last = 0;
    std::uint16_t seq = 0;
    for (std::int64_t unit = 0; unit <= 300; ++unit)
        for (std::int64_t k = 0; k < 4; ++k, ++seq) {
            if (unit == 300 && k == 3) break;  // the last unit's tail is lost
            const std::int64_t t = std::max(last, unit * 33'333 + k * 300 + delay(rng));
            for (auto due = d.next_deadline_us(); due && *due <= t; due = d.next_deadline_us())
                r.take(d.poll(*due));
            r.take(d.push(rtp(seq, static_cast<std::uint32_t>(unit * 3000), Bytes{0x41, 1}, k == 3),
                          t));
            last = t;
        }
    EXPECT_LE(d.stats().tail_nacks, 2u);
    EXPECT_EQ(d.stats().units_complete, 300u);
    EXPECT_LE(d.next_deadline_us(), last + d.config().tail_wait_max_us);
    r.take(d.poll(last + d.config().tail_wait_max_us));
    EXPECT_EQ(r.nacks.back(), static_cast<std::uint16_t>(seq));
}

// One NAL unit past the unit cap counts once among the dropped, however it was carried.
TEST(RtpDepacketizer, NalPastTheCapCountsOnce) {
    const Bytes body(20, 0x55);
    auto fu = [&](std::uint8_t header) {
        Bytes p{0x7C, header};
        p.insert(p.end(), body.begin(), body.end());
        return p;
    };
    Bytes single{0x65};
    single.insert(single.end(), 60, 0x55);
    for (const std::vector<Bytes>& payloads : std::vector<std::vector<Bytes>>{
             {fu(0x85), fu(0x05), fu(0x05), fu(0x45)},  // start, two middles, end
             {fu(0x85), fu(0x05), fu(0x45)},
             {fu(0x85), fu(0x45)},
             {single}}) {
        SCOPED_TRACE(payloads.size());
        RtpDepacketizerConfig c;
        c.max_unit_bytes = 40;
        RtpDepacketizer d(c);
        Received r;
        for (std::size_t i = 0; i < payloads.size(); ++i)
            r.take(d.push(rtp(static_cast<std::uint16_t>(i), 0, payloads[i],
                              i + 1 == payloads.size()),
                          0));
        ASSERT_EQ(r.units.size(), 1u);
        EXPECT_FALSE(r.units[0].complete);
        EXPECT_EQ(d.stats().nals_dropped, 1u);
        EXPECT_EQ(d.stats().units_oversized, 1u);
    }
    // So does one whose start came before the stream's first packet.
    RtpDepacketizer d;
    d.push(rtp(0, 0, fu(0x05), false), 0);
    d.push(rtp(1, 0, fu(0x05), false), 0);
    d.push(rtp(2, 0, fu(0x45)), 0);
    EXPECT_EQ(d.stats().nals_dropped, 1u);
}

// A stream whose sender said BYE gives way to the next new SSRC at once; until then (and
// without the BYE) a new SSRC waits for the silence. A BYE before any stream changes nothing.
TEST(RtpDepacketizer, AnEndedStreamGivesWayAtOnce) {
    const Bytes slice{0x41, 1};
    RtpDepacketizer d;
    d.end_stream();
    Received r;
    r.take(d.push(rtp(100, 0, slice), 0));
    r.take(d.push(rtp(7, 0, slice, true, 0xB), 1000));
    EXPECT_EQ(r.refused, std::vector<RtpRefusal>{RtpRefusal::ForeignSsrc});
    d.end_stream();
    r.take(d.push(rtp(101, 3000, slice), 2000));  // the old stream's own packets still count
    r.take(d.push(rtp(8, 3000, slice, true, 0xB), 3000));
    r.take(d.push(rtp(9, 6000, slice, true, 0xB), 4000));
    EXPECT_EQ(r.refused.size(), 1u);
    EXPECT_EQ(d.stats().restarts, 1u);
    ASSERT_EQ(r.units.size(), 4u);
    EXPECT_EQ(r.units[3].ssrc, 0xBu);
    // The new stream holds as any other: a third SSRC waits for its silence.
    r.take(d.push(rtp(50, 0, slice, true, 0xC), 5000));
    EXPECT_EQ(r.refused.size(), 2u);
    EXPECT_EQ(d.stats().restarts, 1u);
}

// The window and its byte cap give up the oldest gaps early; a unit whose end never comes is
// let go after the wait; a unit past the byte cap loses whole NAL units, not parts.
TEST(RtpDepacketizer, BoundsAndTail) {
    const Bytes slice{0x41, 1};
    RtpDepacketizerConfig c;
    c.window_packets = 64;
    c.max_buffered_bytes = 50;
    c.max_unit_bytes = 40;
    RtpDepacketizer d(c);
    Received r;
    r.take(d.push(rtp(0, 0, slice), 0));
    r.take(d.push(rtp(100, 100, slice), 1));  // 1..36 given up to make room
    EXPECT_EQ(d.stats().packets_lost, 36u);
    // Behind a gap, only two 20-byte payloads fit the byte cap: the third passes the gap.
    for (std::uint16_t s = 60; s <= 80; ++s) r.take(d.push(rtp(s, 200 + s, Bytes(20, 0x41)), 2));
    EXPECT_EQ(d.stats().forced, 36u + 23u);
    EXPECT_EQ(d.stats().packets_lost, 36u + 23u);
    r.take(d.give_up(3));
    EXPECT_EQ(d.stats().packets_lost, 36u + 23u + 19u);
    EXPECT_EQ(d.stats().units_complete, 1u + 20u);
    EXPECT_EQ(d.stats().units_incomplete, 2u);
    EXPECT_FALSE(d.next_deadline_us());

    // A unit of three 15-byte slices under a 40-byte cap: two whole slices, no part of the third.
    RtpDepacketizer small(c);
    Received u;
    u.take(small.push(rtp(7, 0, Bytes(15, 0x41), false), 0));
    u.take(small.push(rtp(8, 0, Bytes(15, 0x41), false), 0));
    u.take(small.push(rtp(9, 0, Bytes{28, 0x81, 1, 2, 3}, false), 0));
    u.take(small.push(rtp(10, 0, Bytes(15, 0x01), false), 0));  // interrupts the FU-A
    EXPECT_TRUE(u.units.empty());
    EXPECT_EQ(small.next_deadline_us(), c.max_wait_us + 1);
    u.take(small.poll(c.max_wait_us));
    EXPECT_TRUE(u.units.empty());
    u.take(small.poll(c.max_wait_us + 1));
    ASSERT_EQ(u.units.size(), 1u);
    EXPECT_FALSE(u.units[0].complete);
    EXPECT_EQ(nals_of(u.units[0].unit.bytes()),
              (std::vector<Bytes>{Bytes(15, 0x41), Bytes(15, 0x41)}));
    EXPECT_EQ(small.stats().units_oversized, 1u);
    EXPECT_EQ(small.stats().nals_dropped, 2u);
}

namespace {

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes base64_decode(const std::string& text) {
    Bytes out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const auto at = alphabet.find(c);
        if (at == std::string::npos) continue;
        bits = bits << 6 | static_cast<std::uint32_t>(at);
        if ((count += 6) >= 8) out.push_back(static_cast<std::uint8_t>(bits >> (count -= 8)));
    }
    return out;
}

// The parameter sets of an SDP's sprop-parameter-sets, as Annex-B.
Bytes sprop_sets(const std::string& sdp) {
    const auto at = sdp.find("sprop-parameter-sets=");
    if (at == std::string::npos) return {};
    const auto begin = at + 21, end = sdp.find_first_of(";\r\n", begin);
    Bytes out;
    std::string sets = sdp.substr(begin, end - begin) + ",";
    for (std::size_t from = 0, comma; (comma = sets.find(',', from)) != std::string::npos;
         from = comma + 1) {
        const Bytes nal = base64_decode(sets.substr(from, comma - from));
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

}  // namespace

// RTP recorded from Debian's ffmpeg and GStreamer senders (tests/data/rtp/README.md): nothing
// refused, no loss where the network lost nothing, and the units decode without an error.
// Where a relay dropped packets on the way, the units around each drop are the incomplete ones.
TEST(RtpDepacketizer, ForeignRecordingsDecode) {
    struct Case {
        const char* name;
        bool lossy;
    };
    for (const Case& c : {Case{"ffmpeg_zerolatency", false}, Case{"ffmpeg_bframes", false},
                          Case{"ffmpeg_sprop", false}, Case{"gst_pay", false},
                          Case{"gst_rtpbin", false}, Case{"gst_feedback", true},
                          Case{"gst_feedback_rtx", true}}) {
        SCOPED_TRACE(c.name);
        const std::string base = std::string(TALMIRO_TEST_DATA) + "/rtp/" + c.name;
        const Bytes file = read_file(base + ".bin");
        const auto records = talmiro_testing::read_au_records(file);
        ASSERT_TRUE(records && !records->empty());
        const Bytes sdp = read_file(base + ".sdp");
        Bytes sets = sprop_sets(std::string(sdp.begin(), sdp.end()));
        RtpDepacketizerConfig config;
        config.rtx_payload_type = 97;
        RtpDepacketizer d(config);
        auto decoder = H264Decoder::open({}, true);
        ASSERT_TRUE(decoder);
        std::size_t datagrams = 0, units = 0, pictures = 0;
        auto decode = [&](RtpOutput&& out) {
            EXPECT_FALSE(out.refused);
            for (RtpAccessUnit& u : out.units) {
                ++units;
                if (!sets.empty()) {
                    // A sender that keeps its parameter sets in the SDP only.
                    Bytes with = sets;
                    with.insert(with.end(), u.unit.bytes().begin(), u.unit.bytes().end());
                    u.unit.data = SharedBytes(std::move(with));
                    u.unit.config = true;
                    sets.clear();
                }
                if (!u.complete) continue;
                auto images = decoder->decode(u.unit);
                ASSERT_TRUE(images) << "unit " << units;
                pictures += images->size();
            }
        };
        for (const talmiro_testing::AuRecord& r : *records) {
            if (r.flags & talmiro_testing::kRtcp) continue;
            ++datagrams;
            decode(d.push(r.bytes, r.t_us));
        }
        decode(d.give_up(records->back().t_us + 1));
        pictures += decoder->flush()->size();
        const RtpDepacketizerStats& s = d.stats();
        EXPECT_EQ(s.packets_refused, 0u);
        EXPECT_EQ(s.packets_received, datagrams);
        EXPECT_EQ(decoder->stats().errors, 0u);
        EXPECT_EQ(s.units_complete + s.units_incomplete, units);
        EXPECT_GT(pictures, units / 2);
        if (!c.lossy) {
            EXPECT_EQ(s.packets_lost + s.units_incomplete + s.nals_dropped, 0u);
            EXPECT_EQ(pictures, s.units_complete);
        } else {
            EXPECT_GT(s.packets_lost, 0u);
            EXPECT_GT(s.units_incomplete, 0u);
            EXPECT_LE(s.units_incomplete, 2 * s.packets_lost);
            EXPECT_TRUE(!s.rtx_received || s.packets_recovered > 0);
        }
        EXPECT_EQ(s.rtx_received > 0, std::string(c.name) == "gst_feedback_rtx");
    }
}
