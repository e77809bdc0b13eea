// SRTP on a socket's datagrams.
#include "srtp_filter.hpp"

namespace talmiro_py {

void SrtpFilter::protect(std::span<const std::span<const std::uint8_t>> datagrams,
                         std::vector<std::vector<std::uint8_t>>& out) {
    out.resize(datagrams.size());
    std::lock_guard held(out_mutex_);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        if (!outbound_) {
            out[i].assign(datagrams[i].begin(), datagrams[i].end());
        } else if (!outbound_->protect(datagrams[i], rtcp_, out[i])) {
            out[i].clear();
            protect_errors_ += 1;
        }
    }
}

std::optional<std::size_t> SrtpFilter::open(std::span<std::uint8_t> datagram) {
    if (!inbound_) return datagram.size();
    std::expected<std::size_t, talmiro_media::SrtpRefusal> opened;
    {
        std::lock_guard held(in_mutex_);
        opened = inbound_->unprotect(datagram, rtcp_);
    }
    if (opened) return *opened;
    using talmiro_media::SrtpRefusal;
    switch (opened.error()) {
        case SrtpRefusal::Auth: auth_ += 1; break;
        case SrtpRefusal::Replay: replays_ += 1; break;
        case SrtpRefusal::Malformed: malformed_ += 1; break;
    }
    return std::nullopt;
}

SrtpCounts SrtpFilter::counts() const noexcept {
    return {auth_, replays_, malformed_, protect_errors_};
}

}  // namespace talmiro_py
