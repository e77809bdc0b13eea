// Batched sends and reads on one UDP socket.
#include "datagram_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace talmiro_py {

namespace {

// Messages handed to one sendmmsg call at most.
constexpr std::size_t kSendBatch = 256;
// Bytes of read buffer at most (its slots are `max_size` each; one slot at least).
constexpr std::size_t kReadBufferBytes = 1 << 20;

mmsghdr message_to(iovec& datagram, const SocketAddress& to) noexcept {
    mmsghdr m{};
    m.msg_hdr.msg_name = const_cast<sockaddr*>(to.get());
    m.msg_hdr.msg_namelen = to.length;
    m.msg_hdr.msg_iov = &datagram;
    m.msg_hdr.msg_iovlen = 1;
    return m;
}

}  // namespace

DatagramSocket::~DatagramSocket() { close(); }

void DatagramSocket::set_peers(std::vector<SocketAddress> peers) {
    std::unique_lock held(mutex_);
    peers_ = std::move(peers);
    peer_count_ = peers_.size();
}

std::vector<SocketAddress> DatagramSocket::peers() const {
    std::shared_lock held(mutex_);
    return peers_;
}

std::uint64_t DatagramSocket::resolve(const Destinations& to,
                                      std::vector<const SocketAddress*>& out) const {
    std::uint64_t missing = 0;
    if (to.address) out.push_back(&*to.address);
    if (to.every_peer) {
        for (const SocketAddress& a : peers_) out.push_back(&a);
    }
    for (std::size_t i : to.peers) {
        if (i < peers_.size()) {
            out.push_back(&peers_[i]);
        } else {
            ++missing;
        }
    }
    return missing;
}

std::uint64_t DatagramSocket::send(std::span<const std::span<const std::uint8_t>> datagrams,
                                   const Destinations& to) {
    std::shared_lock held(mutex_);
    std::vector<const SocketAddress*> addresses;
    std::uint64_t errors = resolve(to, addresses) * datagrams.size();
    std::vector<iovec> iov;
    iov.reserve(datagrams.size());
    for (const auto d : datagrams)
        iov.push_back({const_cast<std::uint8_t*>(d.data()), d.size()});
    std::vector<mmsghdr> messages;
    messages.reserve(iov.size() * addresses.size());
    for (iovec& d : iov)
        for (const SocketAddress* a : addresses) messages.push_back(message_to(d, *a));
    std::uint64_t sent = 0, bytes = 0;
    for (std::size_t at = 0; at < messages.size();) {
        const auto n = static_cast<unsigned int>(std::min(kSendBatch, messages.size() - at));
        const int done = fd_ < 0 ? -1 : sendmmsg(fd_, messages.data() + at, n, MSG_DONTWAIT);
        if (done > 0) {
            for (int i = 0; i < done; ++i) bytes += messages[at + i].msg_len;
            sent += static_cast<std::uint64_t>(done);
            at += static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EINTR && fd_ >= 0) {
            continue;
        } else {
            errors += 1;  // this one failed; the next ones are tried
            at += 1;
        }
    }
    sent_ += sent;
    sent_bytes_ += bytes;
    send_errors_ += errors;
    return errors;
}

std::vector<ReceivedDatagram> DatagramSocket::receive(std::size_t max, std::size_t max_size) {
    std::lock_guard reading(read_mutex_);
    std::shared_lock held(mutex_);
    std::vector<ReceivedDatagram> out;
    if (fd_ < 0 || max == 0 || max_size == 0) return out;
    const std::size_t slots = std::clamp<std::size_t>(kReadBufferBytes / max_size, 1, max);
    // One byte past the largest accepted shows a datagram too long (MSG_TRUNC says it too).
    read_buffer_.resize(slots * (max_size + 1));
    std::vector<iovec> iov(slots);
    std::vector<mmsghdr> messages(slots);
    std::vector<SocketAddress> from(slots);
    while (out.size() < max) {
        const std::size_t n = std::min(slots, max - out.size());
        for (std::size_t i = 0; i < n; ++i) {
            iov[i] = {read_buffer_.data() + i * (max_size + 1), max_size + 1};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &from[i].storage;
            messages[i].msg_hdr.msg_namelen = sizeof from[i].storage;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(fd_, messages.data(), static_cast<unsigned int>(n), MSG_DONTWAIT,
                                 nullptr);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // nothing more (EAGAIN), or an error the next read sees again
        for (int i = 0; i < got; ++i) {
            const mmsghdr& m = messages[i];
            received_ += 1;
            received_bytes_ += m.msg_len;
            if (m.msg_len > max_size || (m.msg_hdr.msg_flags & MSG_TRUNC)) {
                refused_ += 1;
                continue;
            }
            const auto* data = static_cast<const std::uint8_t*>(iov[i].iov_base);
            from[i].length = m.msg_hdr.msg_namelen;
            out.push_back({std::vector<std::uint8_t>(data, data + m.msg_len), from[i]});
        }
        if (static_cast<std::size_t>(got) < n) break;
    }
    return out;
}

void DatagramSocket::close() noexcept {
    std::unique_lock held(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool DatagramSocket::closed() const {
    std::shared_lock held(mutex_);
    return fd_ < 0;
}

DatagramCounts DatagramSocket::counts() const noexcept {
    return {sent_, sent_bytes_, send_errors_, received_, received_bytes_, refused_,
            protect_refused_, paced_};
}

}  // namespace talmiro_py
