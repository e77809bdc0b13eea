// What protects the datagrams one socket sends and opens those it reads: an outbound and an
// inbound SRTP context (either may be absent), for RTP or for RTCP as the socket carries, each
// behind a mutex of its own (the sending threads share the outbound one; a context is not
// thread-safe), and the counts of what was refused, by cause.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "talmiro_media/srtp_context.hpp"

namespace talmiro_py {

struct SrtpCounts {
    std::uint64_t auth_failures = 0;     // the tag did not match (forged, tampered, plain)
    std::uint64_t replays = 0;           // seen already, or older than the replay window
    std::uint64_t unprotect_errors = 0;  // too short or not version 2 to be opened at all
    std::uint64_t protect_errors = 0;    // not sent: not a packet to protect
};

class SrtpFilter {
public:
    SrtpFilter(bool rtcp, std::optional<talmiro_media::SrtpContext> outbound,
               std::optional<talmiro_media::SrtpContext> inbound) noexcept
        : rtcp_(rtcp), outbound_(std::move(outbound)), inbound_(std::move(inbound)) {}

    bool rtcp() const noexcept { return rtcp_; }
    bool protects() const noexcept { return outbound_.has_value(); }
    bool opens() const noexcept { return inbound_.has_value(); }

    // Each datagram protected into `out` (one buffer each, in order; one that cannot be is left
    // empty and counted). Without an outbound context, copies.
    void protect(std::span<const std::span<const std::uint8_t>> datagrams,
                 std::vector<std::vector<std::uint8_t>>& out);
    // Opens `datagram` in place: the plain length, or none when refused (counted). Without an
    // inbound context every datagram passes as it is.
    std::optional<std::size_t> open(std::span<std::uint8_t> datagram);

    SrtpCounts counts() const noexcept;

private:
    bool rtcp_;
    std::mutex out_mutex_, in_mutex_;
    std::optional<talmiro_media::SrtpContext> outbound_;
    std::optional<talmiro_media::SrtpContext> inbound_;
    std::atomic<std::uint64_t> auth_{0}, replays_{0}, malformed_{0}, protect_errors_{0};
};

}  // namespace talmiro_py
