#include "talmiro_media/rtp_depacketizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

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

Sent send(RtpPacketizer& p, const std::vector<std::vector<Nal>>& specs, std::uint32_t seed = 7) {
    std::mt19937 rng(seed);
    Sent out;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        out.aus.push_back(s::make_au(specs[i], rng));
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
            EXPECT_EQ(u.unit.key, i == 1 || i == 4);
            EXPECT_EQ(u.unit.config, i == 1 || i == 4);
        }
        const auto& st = d.stats();
        EXPECT_EQ(st.packets_duplicated, order.size() - sent.packets.size());
        EXPECT_GT(st.packets_reordered, 0u);
        EXPECT_EQ(st.packets_lost + st.packets_late + st.packets_refused + st.units_incomplete, 0u);
        EXPECT_EQ(st.units_complete, sent.aus.size());
        EXPECT_EQ(st.packets_received, order.size());
        EXPECT_EQ(st.highest_seq - st.first_seq + 1, static_cast<std::int64_t>(sent.packets.size()));
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
