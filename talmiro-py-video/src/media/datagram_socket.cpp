// Batched sends and reads on one UDP socket.
#include "datagram_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
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

void DatagramSocket::set_srtp(std::shared_ptr<SrtpFilter> srtp) {
    std::unique_lock held(mutex_);
    srtp_ = std::move(srtp);
}

bool DatagramSocket::has_srtp() const {
    std::shared_lock held(mutex_);
    return srtp_ != nullptr;
}

std::span<const std::span<const std::uint8_t>> DatagramSocket::seal(
    std::span<const std::span<const std::uint8_t>> datagrams,
    std::vector<std::vector<std::uint8_t>>& sealed,
    std::vector<std::span<const std::uint8_t>>& spans) {
    if (!srtp_ || !srtp_->protects()) return datagrams;
    srtp_->protect(datagrams, sealed);
    for (const auto& d : sealed) {
        if (d.empty()) {
            protect_refused_ += 1;
        } else {
            spans.emplace_back(d);
        }
    }
    return spans;
}

bool DatagramSocket::open(mmsghdr& message, std::uint8_t* bytes) {
    if (!srtp_) return true;
    const auto plain = srtp_->open({bytes, message.msg_len});
    if (!plain) return false;
    message.msg_len = static_cast<unsigned int>(*plain);
    return true;
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

std::uint64_t DatagramSocket::send(std::span<const std::span<const std::uint8_t>> plain,
                                   const Destinations& to) {
    std::shared_lock held(mutex_);
    std::vector<std::vector<std::uint8_t>> sealed;
    std::vector<std::span<const std::uint8_t>> sealed_spans;
    const auto datagrams = seal(plain, sealed, sealed_spans);
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

ReceiveBatch::ReceiveBatch(std::size_t capacity, std::size_t max_size)
    : max_size_(max_size),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity * (max_size + 1))),
      parts_(capacity),
      messages_(capacity),
      from_(capacity) {
    kept_.reserve(capacity);
}

std::span<const std::uint8_t> ReceiveBatch::bytes(std::size_t i) const noexcept {
    const std::size_t at = kept_[i];
    return {buffer_.get() + at * (max_size_ + 1), messages_[at].msg_len};
}

int DatagramSocket::receive(ReceiveBatch& batch, std::size_t max) {
    batch.kept_.clear();
    std::shared_lock held(mutex_);
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    const std::size_t n = std::min(max, batch.capacity());
    for (std::size_t i = 0; i < n; ++i) {
        batch.parts_[i] = {batch.buffer_.get() + i * (batch.max_size_ + 1), batch.max_size_ + 1};
        batch.messages_[i] = {};
        msghdr& h = batch.messages_[i].msg_hdr;
        h.msg_name = &batch.from_[i].storage;
        h.msg_namelen = sizeof batch.from_[i].storage;
        h.msg_iov = &batch.parts_[i];
        h.msg_iovlen = 1;
    }
    int got = -1;
    do {
        got = n == 0 ? 0 : recvmmsg(fd_, batch.messages_.data(), static_cast<unsigned int>(n),
                                   MSG_DONTWAIT, nullptr);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < got; ++i) {
        mmsghdr& m = batch.messages_[i];
        received_ += 1;
        received_bytes_ += m.msg_len;
        if (m.msg_len > batch.max_size_ || (m.msg_hdr.msg_flags & MSG_TRUNC) ||
            !open(m, batch.buffer_.get() + i * (batch.max_size_ + 1))) {
            refused_ += 1;
            continue;
        }
        batch.from_[i].length = std::min<socklen_t>(m.msg_hdr.msg_namelen,
                                                    sizeof(sockaddr_storage));
        batch.kept_.push_back(static_cast<std::size_t>(i));
    }
    return got;
}

std::vector<ReceivedDatagram> DatagramSocket::receive(std::size_t max, std::size_t max_size) {
    std::lock_guard reading(read_mutex_);
    std::vector<ReceivedDatagram> out;
    if (max == 0 || max_size == 0) return out;
    const std::size_t slots = std::clamp<std::size_t>(kReadBufferBytes / max_size, 1, max);
    if (!read_batch_ || read_batch_->capacity() != slots || read_batch_->max_size() != max_size)
        read_batch_ = std::make_unique<ReceiveBatch>(slots, max_size);
    ReceiveBatch& batch = *read_batch_;
    while (out.size() < max) {
        const std::size_t asked = std::min(slots, max - out.size());
        // Nothing more (none waiting), or an error the next read sees again.
        const int got = receive(batch, asked);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const auto d = batch.bytes(i);
            out.push_back({std::vector<std::uint8_t>(d.begin(), d.end()), batch.from(i)});
        }
        if (got <= 0 || static_cast<std::size_t>(got) < asked) break;
    }
    return out;
}

int DatagramSocket::descriptor() const {
    std::shared_lock held(mutex_);
    return fd_;
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
    DatagramCounts c{sent_, sent_bytes_, send_errors_, received_, received_bytes_, refused_,
                     protect_refused_, paced_, false, {}};
    std::shared_lock held(mutex_);
    if (srtp_) {
        c.srtp = true;
        c.srtp_counts = srtp_->counts();
    }
    return c;
}

}  // namespace talmiro_py
