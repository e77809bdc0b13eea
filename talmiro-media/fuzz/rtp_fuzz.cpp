// The RTP depacketizer on arbitrary datagram sequences, and the packetizer and depacketizer
// together on arbitrary access units through a channel that drops, repeats and reorders.
//
// Input: one mode byte. Mode 0 (even): a configuration, then steps, each a control byte (push,
// poll or give up, and a time step) and for a push a length and that many bytes. Mode 1 (odd):
// an MTU byte, an access unit's length and bytes, then channel decisions per packet.
//
// Checked on every call: what comes out is bounded (held bytes, unit bytes), holds only whole
// H.264 NAL units of types 1..23, NACKs name each sequence number once per call, and the counters
// add up. In mode 1: without loss the units come back whole and complete; with loss every NAL
// unit that comes out is one that went in.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/rtp_depacketizer.hpp"
#include "talmiro_media/rtp_packetizer.hpp"

using namespace talmiro_media;
using talmiro_fuzz::FuzzInput;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> nals_of(std::span<const std::uint8_t> d) {
    std::vector<Bytes> out;
    for (const NalUnit& u : nal_units(d)) {
        std::size_t end = u.end;
        while (end > u.begin && d[end - 1] == 0) --end;
        if (end > u.begin) out.emplace_back(d.begin() + u.begin, d.begin() + end);
    }
    return out;
}

struct Checked {
    explicit Checked(const RtpDepacketizerConfig& c) : config(c) {}

    const RtpDepacketizerConfig& config;
    std::uint64_t pushes = 0;
    std::uint64_t units = 0;
    std::vector<RtpAccessUnit> out;

    void check(RtpDepacketizer& d, RtpOutput&& o) {
        std::set<std::uint16_t> nacked;
        for (std::uint16_t s : o.nacks) FUZZ_CHECK(nacked.insert(s).second);
        FUZZ_CHECK(d.buffered_bytes() <= config.max_buffered_bytes + 65535);
        FUZZ_CHECK(d.pending_unit_bytes() <= config.max_unit_bytes + 5);
        for (RtpAccessUnit& u : o.units) {
            FUZZ_CHECK(u.unit.data.size() <= config.max_unit_bytes + 5);
            for (const NalUnit& n : nal_units(u.unit.bytes()))
                FUZZ_CHECK(n.type >= 1 && n.type <= 23);
            out.push_back(std::move(u));
        }
        units += o.units.size();
        const RtpDepacketizerStats& s = d.stats();
        FUZZ_CHECK(s.packets_received + s.packets_refused == pushes);
        FUZZ_CHECK(s.units_complete + s.units_incomplete == units);
        std::uint64_t refused = 0;
        for (std::uint64_t n : s.refused) refused += n;
        FUZZ_CHECK(refused == s.packets_refused);
    }
};

void datagrams(FuzzInput& in) {
    RtpDepacketizerConfig c;
    const std::uint8_t flags = in.take<std::uint8_t>();
    c.rtx_payload_type = 97;
    if (flags & 1) c.ssrc = 0x11223344;
    c.nack = (flags & 2) == 0;
    c.window_packets = std::size_t{64} << (flags >> 2 & 7);
    c.max_buffered_bytes = 1024u + in.take<std::uint16_t>() * 16u;
    c.max_unit_bytes = 256u + in.take<std::uint16_t>() * 4u;
    c.max_wait_us = in.take<std::uint16_t>();
    c.nack_interval_us = in.take<std::uint8_t>() * 100;
    c.max_dropout = 100u + in.take<std::uint16_t>() % 5000u;
    c.ssrc_silence_us = in.take<std::uint16_t>();
    RtpDepacketizer d(c);
    Checked checked(c);
    std::int64_t now = in.take<std::int64_t>() >> 8;
    while (!in.empty()) {
        const std::uint8_t op = in.take<std::uint8_t>();
        now += (op >> 2) * 97;
        switch (op & 3) {
            case 0:
            case 1: {
                const std::size_t n = in.take<std::uint16_t>() % 2048;
                // An exactly sized copy, so any read past the datagram is reported.
                const Bytes datagram = in.take_vector(n);
                checked.pushes += 1;
                checked.check(d, d.push(datagram, now));
                break;
            }
            case 2: checked.check(d, d.poll(now)); break;
            default: checked.check(d, d.give_up(now)); break;
        }
    }
    checked.check(d, d.give_up(now));
    FUZZ_CHECK(d.buffered_bytes() == 0 && d.pending_unit_bytes() == 0);
}

// The order a channel delivers `count` packets in, one input byte per packet deciding its fate:
// lost (never the first or the last; `lost` is set), sent twice, or swapped with an earlier one.
std::vector<std::size_t> channel(FuzzInput& in, std::size_t count, bool& lost) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t fate = in.take<std::uint8_t>();
        if (i > 0 && i + 1 < count && fate % 16 == 1) {
            lost = true;
            continue;
        }
        order.push_back(i);
        if (fate % 16 == 2) order.push_back(i);
        // Swap with an earlier one (never the first, which starts the stream).
        if (fate >= 128 && order.size() > 2) {
            const std::size_t j = 1 + fate % (order.size() - 2);
            std::swap(order[j], order.back());
        }
    }
    return order;
}

// What came out of a round trip of `au`: without loss the unit whole and complete (its NAL
// units of types 1..23 free of emulation), then the next; with loss, for the unit, only NAL
// units that went in, in their order, marked incomplete.
void check_delivered(const Bytes& au, bool lost, const Checked& checked,
                     const RtpDepacketizer& d, const RtpPacketizer& packetizer) {
    const std::vector<Bytes> sent = nals_of(au);
    if (!lost) {
        std::vector<Bytes> kept;
        for (const Bytes& n : sent)
            if ((n[0] & 0x1F) >= 1 && (n[0] & 0x1F) <= 23 && nal_emulation_free(n))
                kept.push_back(n);
        FUZZ_CHECK(d.stats().packets_lost == 0);
        FUZZ_CHECK(checked.out.size() == (kept.empty() ? 1u : 2u));
        for (const RtpAccessUnit& u : checked.out) FUZZ_CHECK(u.complete);
        if (!kept.empty()) FUZZ_CHECK(nals_of(checked.out[0].unit.bytes()) == kept);
        return;
    }
    for (const RtpAccessUnit& u : checked.out) {
        if (u.rtp_timestamp != packetizer.timestamp_of(0)) continue;
        FUZZ_CHECK(!u.complete);
        auto at = sent.begin();
        for (const Bytes& n : nals_of(u.unit.bytes())) {
            at = std::find(at, sent.end(), n);
            FUZZ_CHECK(at != sent.end());
        }
    }
}

void round_trip(FuzzInput& in) {
    RtpPacketizerConfig pc;
    pc.mtu = kMinRtpMtu + in.take<std::uint8_t>() * 8u;
    pc.first_seq = in.take<std::uint16_t>();
    const std::size_t size = in.take<std::uint16_t>() % 20000;
    const Bytes au = in.take_vector(size);
    auto packetizer = RtpPacketizer::create(pc);
    FUZZ_CHECK(packetizer.has_value());
    std::vector<SharedBytes> packets = packetizer->packetize(au, 0);
    // A second unit after it, so that a lost last packet shows as a gap.
    const Bytes next{0, 0, 0, 1, 0x41, 1};
    for (SharedBytes& p : packetizer->packetize(next, 33333)) packets.push_back(std::move(p));
    for (const SharedBytes& p : packets) FUZZ_CHECK(p.size() <= pc.mtu - 2);

    RtpDepacketizerConfig c;
    RtpDepacketizer d(c);
    Checked checked(c);
    bool lost = false;
    for (std::size_t i : channel(in, packets.size(), lost)) {
        checked.pushes += 1;
        checked.check(d, d.push(packets[i].bytes(), 0));
        FUZZ_CHECK(!d.stats().packets_refused);
    }
    checked.check(d, d.poll(1'000'000'000));
    checked.check(d, d.give_up(1'000'000'001));
    check_delivered(au, lost, checked, d, *packetizer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    if (in.take<std::uint8_t>() & 1)
        round_trip(in);
    else
        datagrams(in);
    return 0;
}
