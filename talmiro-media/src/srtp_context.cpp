// SRTP contexts over libsrtp2.
#include "talmiro_media/srtp_context.hpp"

#include <srtp2/srtp.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <string>

namespace talmiro_media {

namespace {

struct SuiteFacts {
    std::string_view name;
    std::size_t key_salt;
    std::size_t rtp_tag;
    std::size_t rtcp_tag;
};

constexpr std::array<SuiteFacts, 4> kSuites{{
    {"AES_CM_128_HMAC_SHA1_80", 30, 10, 10},
    {"AES_CM_128_HMAC_SHA1_32", 30, 4, 10},
    {"AEAD_AES_128_GCM", 28, 16, 16},
    {"AEAD_AES_256_GCM", 44, 16, 16},
}};

const SuiteFacts& facts(SrtpSuite suite) noexcept {
    return kSuites[static_cast<std::size_t>(suite)];
}

// The RTP and RTCP crypto policies of a suite (`short_rtcp`: the 32-bit SRTCP tag of
// AES_CM_128_HMAC_SHA1_32 as some peers read it).
void set_policies(SrtpSuite suite, bool short_rtcp, srtp_policy_t& policy) noexcept {
    switch (suite) {
        case SrtpSuite::AesCm128HmacSha1_80:
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
            break;
        case SrtpSuite::AesCm128HmacSha1_32:
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
            if (short_rtcp) {
                srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtcp);
            } else {
                srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
            }
            break;
        case SrtpSuite::AeadAes128Gcm:
            srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
            srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
            break;
        case SrtpSuite::AeadAes256Gcm:
            srtp_crypto_policy_set_aes_gcm_256_16_auth(&policy.rtp);
            srtp_crypto_policy_set_aes_gcm_256_16_auth(&policy.rtcp);
            break;
    }
}

// libsrtp's one-time set-up; its status, the same for every caller.
srtp_err_status_t library_ready() {
    static std::once_flag once;
    static srtp_err_status_t status = srtp_err_status_ok;
    std::call_once(once, [] { status = srtp_init(); });
    return status;
}

std::unexpected<MediaError> srtp_error(std::string_view what, srtp_err_status_t status) {
    return std::unexpected(MediaError::unsupported(std::string(what) + " (libsrtp error " +
                                                   std::to_string(static_cast<int>(status)) +
                                                   ")"));
}

// Of two refusals of one packet, the one that says more: a replay, then a tag that does not
// match, then a packet that cannot be read.
SrtpRefusal firmer(SrtpRefusal a, SrtpRefusal b) noexcept {
    for (const SrtpRefusal r : {SrtpRefusal::Replay, SrtpRefusal::Auth})
        if (a == r || b == r) return r;
    return SrtpRefusal::Malformed;
}

// `packet` opened in place by `ctx`: its plain length, or why not.
std::expected<std::size_t, SrtpRefusal> open_with(srtp_t ctx, bool rtcp,
                                                  std::span<std::uint8_t> packet) {
    int length = static_cast<int>(packet.size());
    const auto status = rtcp ? srtp_unprotect_rtcp(ctx, packet.data(), &length)
                             : srtp_unprotect(ctx, packet.data(), &length);
    switch (status) {
        case srtp_err_status_ok: return static_cast<std::size_t>(length);
        case srtp_err_status_auth_fail: return std::unexpected(SrtpRefusal::Auth);
        case srtp_err_status_replay_fail:
        case srtp_err_status_replay_old: return std::unexpected(SrtpRefusal::Replay);
        default: return std::unexpected(SrtpRefusal::Malformed);
    }
}

}  // namespace

std::optional<SrtpSuite> srtp_suite_named(std::string_view name) noexcept {
    for (std::size_t i = 0; i < kSuites.size(); ++i)
        if (kSuites[i].name == name) return static_cast<SrtpSuite>(i);
    return std::nullopt;
}

std::string_view srtp_suite_name(SrtpSuite suite) noexcept { return facts(suite).name; }

std::size_t srtp_key_salt_size(SrtpSuite suite) noexcept { return facts(suite).key_salt; }

void SrtpContextDeleter::operator()(srtp_ctx_t_* p) const noexcept { srtp_dealloc(p); }

Result<SrtpContext> SrtpContext::create(SrtpSuite suite, std::span<const std::uint8_t> key_salt,
                                        Direction direction) {
    if (key_salt.size() != facts(suite).key_salt)
        return std::unexpected(MediaError::unsupported(
            std::string(facts(suite).name) + " takes a " +
            std::to_string(facts(suite).key_salt) + "-byte master key and salt, got " +
            std::to_string(key_salt.size())));
    if (const auto status = library_ready(); status != srtp_err_status_ok)
        return srtp_error("SRTP cannot start", status);
    auto ctx = make_context(suite, false, key_salt, direction);
    if (!ctx) return std::unexpected(ctx.error());
    Owner short_rtcp;
    if (suite == SrtpSuite::AesCm128HmacSha1_32 && direction == Direction::Inbound) {
        auto other = make_context(suite, true, key_salt, direction);
        if (!other) return std::unexpected(other.error());
        short_rtcp = std::move(*other);
    }
    return SrtpContext(std::move(*ctx), std::move(short_rtcp), suite, direction);
}

Result<SrtpContext::Owner> SrtpContext::make_context(SrtpSuite suite, bool short_rtcp,
                                                     std::span<const std::uint8_t> key_salt,
                                                     Direction direction) {
    // libsrtp derives its session keys from this copy and keeps none of it.
    std::array<std::uint8_t, SRTP_MAX_KEY_LEN> key{};
    std::copy(key_salt.begin(), key_salt.end(), key.begin());
    srtp_policy_t policy{};
    set_policies(suite, short_rtcp, policy);
    policy.ssrc.type = direction == Direction::Outbound ? ssrc_any_outbound : ssrc_any_inbound;
    policy.key = key.data();
    policy.window_size = kReplayWindow;
    policy.allow_repeat_tx = 1;
    srtp_t ctx = nullptr;
    const auto status = srtp_create(&ctx, &policy);
    std::fill(key.begin(), key.end(), std::uint8_t{0});
    if (status != srtp_err_status_ok) return srtp_error("SRTP context not made", status);
    return Owner(ctx);
}

Result<void> SrtpContext::protect(std::span<const std::uint8_t> packet, bool rtcp,
                                  std::vector<std::uint8_t>& out) {
    // libsrtp writes the trailer past the packet: room for the largest it may write.
    constexpr std::size_t kRoom = SRTP_MAX_TRAILER_LEN + 4;
    const std::size_t header = rtcp ? 8 : 12;
    if (direction_ != Direction::Outbound || packet.size() < header ||
        packet.size() > static_cast<std::size_t>(INT32_MAX) - kRoom)
        return std::unexpected(MediaError::unsupported("not a packet to protect"));
    out.resize(packet.size() + kRoom);
    std::copy(packet.begin(), packet.end(), out.begin());
    int length = static_cast<int>(packet.size());
    const auto status = rtcp ? srtp_protect_rtcp(ctx_.get(), out.data(), &length)
                             : srtp_protect(ctx_.get(), out.data(), &length);
    if (status != srtp_err_status_ok) {
        out.clear();
        return srtp_error("SRTP protect failed", status);
    }
    out.resize(static_cast<std::size_t>(length));
    return {};
}

std::expected<std::size_t, SrtpRefusal> SrtpContext::unprotect(std::span<std::uint8_t> packet,
                                                               bool rtcp) {
    const SuiteFacts& f = facts(suite_);
    // The smallest header, its tag (the shorter SRTCP one when both are taken), and SRTCP's
    // index.
    const std::size_t least = rtcp ? 8 + 4 + (short_rtcp_ ? f.rtp_tag : f.rtcp_tag)
                                   : 12 + f.rtp_tag;
    if (direction_ != Direction::Inbound || packet.size() < least ||
        packet.size() > static_cast<std::size_t>(INT32_MAX) || (packet[0] >> 6) != 2)
        return std::unexpected(SrtpRefusal::Malformed);
    const auto opened = open_with(ctx_.get(), rtcp, packet);
    if (opened || !rtcp || !short_rtcp_) return opened;
    // A refused compound is left as it came (the tag is checked before anything is decrypted):
    // the 32-bit reading may take it. Refused both ways, the firmer refusal counts: a replay
    // either way, else a tag that does not match either way (one too short for the 80-bit
    // reading may still have failed the other's).
    const auto other = open_with(short_rtcp_.get(), true, packet);
    if (other) return other;
    return std::unexpected(firmer(opened.error(), other.error()));
}

}  // namespace talmiro_media
