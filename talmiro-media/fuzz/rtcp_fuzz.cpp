// RTCP parsing of arbitrary datagrams: a read past the input (AddressSanitizer) or any
// undefined arithmetic is a finding, and so is a parse whose counts disagree with its packets.
// Every packet read must be writable again, and the written compound must parse back to the
// same packets without a refusal. The generic-NACK pairs read must name, once re-paired, the
// same sequence numbers. The same bytes then drive the reception statistics as (sequence
// number, timestamp, arrival step) records, the NACK round trip as (request, retransmission)
// records, the NTP conversions, and the transport-wide feedback builder as (sequence number,
// arrival step, build) records whose feedback must write and parse back equal. The RTP header
// extension reader is run over the same bytes as a packet, for every id. Last, the packets
// read go to a sender's congestion controller (two receivers and one unknown), whose log holds
// a run of sent packets: its target must stay within its bounds.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <span>
#include <variant>
#include <vector>

#include "fuzz_input.hpp"
#include "talmiro_media/congestion_controller.hpp"
#include "talmiro_media/nack_rtt.hpp"
#include "talmiro_media/rtcp.hpp"
#include "talmiro_media/rtp_header_extension.hpp"
#include "talmiro_media/rtp_reception_stats.hpp"
#include "talmiro_media/transport_feedback_builder.hpp"

using namespace talmiro_media;

namespace {

using Vec = std::vector<std::uint8_t>;

// Above this the rewritten packets may no longer fit (a chunk read without its end gains one).
constexpr std::size_t kRewriteLimit = 200'000;

void check_parse(std::span<const std::uint8_t> d) {
    const RtcpParsed parsed = parse_rtcp(d);
    FUZZ_CHECK(parsed.counts.parsed == parsed.packets.size());
    // A datagram ends at its first refused header: at most one such refusal.
    FUZZ_CHECK(parsed.counts.truncated + parsed.counts.bad_version <= 1);
    const RtcpCounts& c = parsed.counts;
    const std::uint64_t seen = c.parsed + c.refused() + c.unknown_type + c.unknown_feedback;
    FUZZ_CHECK(seen * 4 <= d.size() + 3);

    std::size_t statuses = 0;
    for (const RtcpPacket& p : parsed.packets) {
        if (const auto* fb = std::get_if<RtcpTransportFeedback>(&p)) {
            // Consecutive numbers from the base, times in whole 250 µs units.
            FUZZ_CHECK(!fb->statuses.empty() && fb->reference_time <= 0xFFFFFF);
            for (std::size_t i = 0; i < fb->statuses.size(); ++i) {
                const TransportFeedbackStatus& st = fb->statuses[i];
                FUZZ_CHECK(st.seq == static_cast<std::uint16_t>(fb->base_seq + i));
                FUZZ_CHECK(!st.arrival_us || *st.arrival_us % kTransportFeedbackDeltaUs == 0);
            }
            statuses += fb->statuses.size();
        }
        if (const auto* nack = std::get_if<RtcpNack>(&p)) {
            const std::vector<std::uint16_t> seqs = nack_seqs(nack->pairs);
            const std::vector<std::uint16_t> again = nack_seqs(nack_pairs(seqs));
            FUZZ_CHECK(std::set(seqs.begin(), seqs.end()) == std::set(again.begin(), again.end()));
            // Split into packets of a bound the pairs pick, the same pairs come back in order.
            const std::size_t bound = 16 + 4 * (nack->pairs[0].blp & 0x3F);
            std::vector<NackPair> read;
            for (const Vec& packet : write_nacks(1, 2, seqs, bound)) {
                FUZZ_CHECK(packet.size() <= bound);
                const RtcpParsed one = parse_rtcp(packet);
                FUZZ_CHECK(one.packets.size() == 1);
                const auto& pairs = std::get<RtcpNack>(one.packets[0]).pairs;
                read.insert(read.end(), pairs.begin(), pairs.end());
            }
            FUZZ_CHECK(read == nack_pairs(seqs));
        }
    }
    FUZZ_CHECK(statuses <= kRtcpMaxFeedbackStatuses);
    if (d.size() > kRewriteLimit) return;
    const auto rebuilt = build_rtcp(parsed.packets);
    FUZZ_CHECK(rebuilt.has_value());
    const RtcpParsed again = parse_rtcp(*rebuilt);
    FUZZ_CHECK(again.packets == parsed.packets);
    FUZZ_CHECK(again.counts == (RtcpCounts{.parsed = parsed.packets.size()}));
}

void check_stats(const std::uint8_t* data, std::size_t size) {
    talmiro_fuzz::FuzzInput in(data, size);
    RtpReceptionStats stats(in.take<std::uint32_t>(), in.take<std::uint32_t>());
    std::int64_t now = in.take<std::int64_t>();
    while (!in.empty()) {
        const auto kind = in.take<std::uint8_t>();
        // Mostly small steps forward, sometimes anything.
        const std::int64_t step =
            kind & 0x80 ? in.take<std::int32_t>() : std::int64_t{in.take<std::uint8_t>()};
        now = static_cast<std::int64_t>(static_cast<std::uint64_t>(now) +
                                        static_cast<std::uint64_t>(step));
        if (kind & 0x40) {
            stats.sender_report(in.take<std::uint64_t>(), now);
        } else if (kind & 0x20) {
            const auto block = stats.report(now);
            const RtpReceptionStats::Counts c = stats.counts();
            FUZZ_CHECK(block.has_value() == (c.expected > 0));
            if (block) {
                FUZZ_CHECK(block->cumulative_lost >= -0x800000 &&
                           block->cumulative_lost <= 0x7FFFFF);
                FUZZ_CHECK(block->extended_highest_seq == c.extended_highest_seq);
                Vec out;
                FUZZ_CHECK(append_rtcp(out, RtcpReceiverReport{1, {*block}}).has_value());
            }
        } else {
            stats.packet(in.take<std::uint16_t>(), in.take<std::uint32_t>(), now);
        }
        const RtpReceptionStats::Counts c = stats.counts();
        FUZZ_CHECK(c.lost == static_cast<std::int64_t>(c.expected) -
                                 static_cast<std::int64_t>(c.received));
    }
}

// Requests and retransmissions as records: every sample is a non-negative time, every
// retransmission is counted once, and the smoothed value stays between the samples' extremes.
void check_nack_rtt(const std::uint8_t* data, std::size_t size) {
    talmiro_fuzz::FuzzInput in(data, size);
    NackRtt rtt(NackRtt::Config{in.take<std::uint8_t>() + 1u, in.take<std::uint16_t>()});
    std::int64_t now = 0;
    std::uint64_t retransmissions = 0;
    std::int64_t lowest = std::numeric_limits<std::int64_t>::max(), highest = 0;
    while (!in.empty()) {
        const auto kind = in.take<std::uint8_t>();
        now += kind >> 1;
        if (kind & 1) {
            const auto sample = rtt.retransmission(in.take<std::uint16_t>(), now);
            ++retransmissions;
            if (sample) {
                FUZZ_CHECK(*sample >= 0 && sample == rtt.latest_us());
                lowest = std::min(lowest, *sample);
                highest = std::max(highest, *sample);
            }
        } else {
            std::vector<std::uint16_t> seqs(in.take<std::uint8_t>() % 8);
            for (std::uint16_t& seq : seqs) seq = in.take<std::uint16_t>();
            rtt.nack_sent(seqs, now);
        }
        const NackRtt::Counts& c = rtt.counts();
        FUZZ_CHECK(c.samples + c.ambiguous + c.unmatched == retransmissions);
        FUZZ_CHECK(rtt.rtt_us().has_value() == (c.samples > 0));
        if (rtt.rtt_us()) FUZZ_CHECK(*rtt.rtt_us() >= lowest && *rtt.rtt_us() <= highest);
    }
}

// The feedback of one build: within the packet bound and the window together, consecutive
// packets from one base on, each written and parsed back equal.
void check_feedback(const TransportFeedbackBuilder& builder,
                    const std::vector<RtcpTransportFeedback>& packets) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const RtcpTransportFeedback& fb = packets[i];
        FUZZ_CHECK(!fb.statuses.empty() && fb.statuses.size() <= builder.config().max_statuses);
        if (i > 0) {
            const RtcpTransportFeedback& before = packets[i - 1];
            FUZZ_CHECK(fb.base_seq == static_cast<std::uint16_t>(before.base_seq +
                                                                  before.statuses.size()));
        }
        total += fb.statuses.size();
        Vec out;
        FUZZ_CHECK(append_rtcp(out, fb).has_value());
        const RtcpParsed parsed = parse_rtcp(out);
        FUZZ_CHECK(parsed.packets.size() == 1);
        FUZZ_CHECK(std::get<RtcpTransportFeedback>(parsed.packets[0]) == fb);
    }
    FUZZ_CHECK(total <= builder.config().window);
}

void check_feedback_builder(const std::uint8_t* data, std::size_t size) {
    talmiro_fuzz::FuzzInput in(data, size);
    const std::size_t max_statuses = in.take<std::uint8_t>() % 64 + 1;
    const std::size_t window = in.take<std::uint16_t>() % 512 + 1;
    auto builder = TransportFeedbackBuilder::create({1, 2, max_statuses, window});
    FUZZ_CHECK(builder.has_value());
    std::int64_t now = in.take<std::int64_t>();
    std::uint64_t arrivals = 0;
    while (!in.empty()) {
        const auto kind = in.take<std::uint8_t>();
        if (kind & 0x80) {
            const bool pending = builder->pending();
            const auto packets = builder->build();
            FUZZ_CHECK(packets.empty() != pending && !builder->pending());
            check_feedback(*builder, packets);
            continue;
        }
        // Mostly small steps forward, sometimes anything.
        const std::int64_t step =
            kind & 0x40 ? in.take<std::int32_t>() : std::int64_t{in.take<std::uint8_t>()} * 250;
        now = static_cast<std::int64_t>(static_cast<std::uint64_t>(now) +
                                        static_cast<std::uint64_t>(step));
        builder->packet_arrived(in.take<std::uint16_t>(), now);
        const TransportFeedbackBuilder::Counts& c = builder->counts();
        FUZZ_CHECK(c.arrivals == ++arrivals);
        FUZZ_CHECK(c.duplicates + c.too_old <= c.arrivals);
    }
}

void check_header_extension(std::span<const std::uint8_t> d) {
    for (unsigned id = 0; id < 256; ++id) {
        const auto found = find_rtp_header_extension(d, static_cast<std::uint8_t>(id));
        if (!found) continue;
        FUZZ_CHECK(id > 0 && found->data() >= d.data() + 16 &&
                   found->data() + found->size() <= d.data() + d.size());
        const auto seq = read_transport_seq(d, static_cast<std::uint8_t>(id));
        FUZZ_CHECK(seq.has_value() == (found->size() == 2));
    }
}

void check_time(const std::uint8_t* data, std::size_t size) {
    talmiro_fuzz::FuzzInput in(data, size);
    const auto us = in.take<std::int64_t>();
    const auto ntp = in.take<std::uint64_t>();
    const auto lsr = in.take<std::uint32_t>();
    const auto dlsr = in.take<std::uint32_t>();
    // The span NTP time can name without ambiguity: 1968-01-20 to 2104-02-26.
    constexpr std::int64_t kFirst = -61'505'152'000'000;
    constexpr std::int64_t kLast = 4'233'462'144'000'000;
    if (us >= kFirst && us < kLast) FUZZ_CHECK(us_from_ntp(ntp_from_us(us)) == us);
    (void)us_from_ntp(ntp);
    const auto rtt = rtt_us(lsr, dlsr, ntp);
    // A round trip is below 2^31 units of 1/65536 s (32,768 s).
    FUZZ_CHECK(!rtt || (*rtt >= 0 && *rtt < 32'768'000'000));
    FUZZ_CHECK(compact_from_us(us_from_compact(lsr)) <= lsr);
}

}  // namespace

void check_congestion(std::span<const std::uint8_t> d) {
    CongestionControllerConfig config;
    config.receivers = 2;
    config.rate.start_bps = 500'000;
    config.rate.min_bps = 100'000;
    config.rate.max_bps = 2'000'000;
    auto cc = CongestionController::create(config);
    FUZZ_CHECK(cc.has_value());
    for (std::uint32_t seq = 0; seq < 300; ++seq)
        cc->sent(static_cast<std::uint16_t>(seq * 7), 1'200, std::int64_t{seq} * 1'000);
    const RtcpParsed parsed = parse_rtcp(d);
    std::int64_t now = 2'000'000;
    std::size_t i = 0;
    for (const RtcpPacket& p : parsed.packets) {
        const std::size_t receiver = d.empty() ? 0 : d[i++ % d.size()] % 3;
        cc->on_rtcp(receiver, p, now += 10'000);
        cc->on_receiver_report(receiver, static_cast<std::uint8_t>(i), std::int64_t(i) * 997, now);
        FUZZ_CHECK(cc->target_bps() >= 100'000 && cc->target_bps() <= 2'000'000);
    }
    if (CongestionController::only_feedback(parsed)) FUZZ_CHECK(parsed.counts.refused() == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes live in an exactly sized heap buffer, so any read past them is reported.
    const Vec input(data, data + size);
    check_parse(input);
    check_stats(input.data(), input.size());
    check_nack_rtt(input.data(), input.size());
    check_time(input.data(), input.size());
    check_feedback_builder(input.data(), input.size());
    check_header_extension(input);
    check_congestion(input);
    return 0;
}
