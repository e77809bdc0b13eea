// One direction of SRTP and SRTCP (RFC 3711, and RFC 7714's AES-GCM) for every SSRC of a
// session, libsrtp2 behind a small owner: an outbound context protects the RTP or RTCP packets
// it is given, an inbound one authenticates, decrypts and replay-checks what arrives, in place.
// A context is not thread-safe: its user serialises the calls (libsrtp keeps per-SSRC rollover
// counters and replay windows in it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "talmiro_media/ffmpeg_util.hpp"

struct srtp_ctx_t_;

namespace talmiro_media {

enum class SrtpSuite : std::uint8_t {
    AesCm128HmacSha1_80,  // "AES_CM_128_HMAC_SHA1_80"
    AesCm128HmacSha1_32,  // "AES_CM_128_HMAC_SHA1_32": SRTCP sent with the 80-bit tag,
                          // taken with either (peers read the suite's name both ways)
    AeadAes128Gcm,        // "AEAD_AES_128_GCM"
    AeadAes256Gcm,        // "AEAD_AES_256_GCM"
};

inline constexpr SrtpSuite kSrtpSuites[] = {SrtpSuite::AesCm128HmacSha1_80,
                                            SrtpSuite::AesCm128HmacSha1_32,
                                            SrtpSuite::AeadAes128Gcm, SrtpSuite::AeadAes256Gcm};

// The suite an SDES name (RFC 4568, RFC 7714) stands for; none for any other text.
std::optional<SrtpSuite> srtp_suite_named(std::string_view name) noexcept;
// The SDES name of a suite.
std::string_view srtp_suite_name(SrtpSuite suite) noexcept;
// The bytes of master key and salt the suite takes (30, 30, 28, 44).
std::size_t srtp_key_salt_size(SrtpSuite suite) noexcept;

// Why an arriving packet was dropped.
enum class SrtpRefusal : std::uint8_t {
    Auth,       // the tag does not match: forged, tampered, another key, plain RTP
    Replay,     // its index was seen already, or is older than the replay window
    Malformed,  // too short for a header and a tag, or not RTP/RTCP version 2
};

struct SrtpContextDeleter {
    void operator()(srtp_ctx_t_* p) const noexcept;
};

class SrtpContext {
public:
    enum class Direction : std::uint8_t { Outbound, Inbound };

    // Replay window of an inbound context, in packets per SSRC: wide enough for the late
    // originals a reorder buffer still takes (a retransmission comes on an SSRC of its own).
    static constexpr std::uint32_t kReplayWindow = 1024;
    // Bytes protecting adds to a packet at most (tag, SRTCP index, no MKI).
    static constexpr std::size_t kMaxOverhead = 16 + 4;

    // A context for `key_salt` (master key then master salt, srtp_key_salt_size(suite) bytes).
    static Result<SrtpContext> create(SrtpSuite suite, std::span<const std::uint8_t> key_salt,
                                      Direction direction);

    // `packet` (RTP, or an RTCP compound when `rtcp`) protected into `out` (replaced). An
    // outbound context sends a packet again as it sent it before (a plain resend).
    Result<void> protect(std::span<const std::uint8_t> packet, bool rtcp,
                         std::vector<std::uint8_t>& out);
    // Checks and decrypts `packet` in place; the length of the plain packet, or why not.
    std::expected<std::size_t, SrtpRefusal> unprotect(std::span<std::uint8_t> packet, bool rtcp);

    Direction direction() const noexcept { return direction_; }

private:
    using Owner = std::unique_ptr<srtp_ctx_t_, SrtpContextDeleter>;
    SrtpContext(Owner ctx, Owner short_rtcp, SrtpSuite suite, Direction direction) noexcept
        : ctx_(std::move(ctx)),
          short_rtcp_(std::move(short_rtcp)),
          suite_(suite),
          direction_(direction) {}
    static Result<Owner> make_context(SrtpSuite suite, bool short_rtcp,
                                      std::span<const std::uint8_t> key_salt,
                                      Direction direction);
    Owner ctx_;
    // Inbound, AES_CM_128_HMAC_SHA1_32 only: SRTCP with a 32-bit tag, tried when the 80-bit
    // reading refuses a compound.
    Owner short_rtcp_;
    SrtpSuite suite_;
    Direction direction_;
};

}  // namespace talmiro_media
