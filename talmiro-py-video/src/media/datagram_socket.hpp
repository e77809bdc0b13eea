// One UDP socket's way in and out, below Python: the descriptor it owns (DatagramTransport
// hands it a duplicate of the caller's), the peers' addresses (resolved once), sends in batches of
// sendmmsg and reads in batches of recvmmsg, and the counts of what went and came. Every call
// works without the interpreter lock; DatagramTransport adds the Python face and the hooks. Its
// users are the sender's send step and the receiving thread's loop (receive_loop.hpp), which
// reads into buffers of its own (ReceiveBatch), so no datagram is copied on its way in.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "socket_address.hpp"
#include "srtp_filter.hpp"

namespace talmiro_py {

// Where one send goes: every peer, some of them (by their place in the peer list), or one
// address of its own.
struct Destinations {
    bool every_peer = true;
    std::vector<std::size_t> peers;
    std::optional<SocketAddress> address;
};

struct DatagramCounts {
    std::uint64_t datagrams_sent = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t send_errors = 0;        // sends the kernel refused (or a closed socket)
    std::uint64_t datagrams_received = 0;
    std::uint64_t bytes_received = 0;
    std::uint64_t datagrams_refused = 0;  // received but dropped: too long, or not unprotected
    std::uint64_t protect_refused = 0;    // not sent: the protect hook refused them
    std::uint64_t datagrams_paced = 0;    // handed to the pace hook
    bool srtp = false;                    // protected by SRTP (what it refused below)
    SrtpCounts srtp_counts;
};

// A datagram read: a copy of its bytes and who sent it.
struct ReceivedDatagram {
    std::vector<std::uint8_t> bytes;
    SocketAddress from;
};

// Buffers for one batched read, owned and reused by the reader: `capacity` datagrams of at most
// `max_size` bytes each (left unzeroed: a read fills what it reports).
class ReceiveBatch {
public:
    ReceiveBatch(std::size_t capacity, std::size_t max_size);

    std::size_t capacity() const noexcept { return messages_.size(); }
    std::size_t max_size() const noexcept { return max_size_; }
    // The datagrams the last read kept (those too long are left out).
    std::size_t size() const noexcept { return kept_.size(); }
    std::span<const std::uint8_t> bytes(std::size_t i) const noexcept;
    const SocketAddress& from(std::size_t i) const noexcept { return from_[kept_[i]]; }

private:
    friend class DatagramSocket;
    std::size_t max_size_;
    // `capacity` slots of max_size + 1 bytes: the byte past the largest accepted shows a
    // datagram too long.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::vector<iovec> parts_;
    std::vector<mmsghdr> messages_;
    std::vector<SocketAddress> from_;
    std::vector<std::size_t> kept_;
};

class DatagramSocket {
public:
    // Takes `fd` over (closed by close() or the destructor).
    explicit DatagramSocket(int fd) noexcept : fd_(fd) {}
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    void set_peers(std::vector<SocketAddress> peers);
    // From now on, datagrams sent are protected and datagrams read are opened by `srtp`
    // (those it refuses are counted in datagrams_refused or protect_refused and go no further).
    void set_srtp(std::shared_ptr<SrtpFilter> srtp);
    bool has_srtp() const;
    std::vector<SocketAddress> peers() const;
    // Read without waiting (a set_peers under way may change it).
    std::size_t peer_count() const noexcept { return peer_count_; }

    // Each of `datagrams` to each destination, datagram by datagram, in batches of one system
    // call; the sends that failed (each counted, the next ones still tried, as for a lost
    // packet). A peer index past the list, or a closed socket, fails its sends.
    std::uint64_t send(std::span<const std::span<const std::uint8_t>> datagrams,
                       const Destinations& to);
    // Up to `max` datagrams waiting now (the socket is not waited on), each at most
    // `max_size` bytes: a longer one is counted as refused and dropped.
    std::vector<ReceivedDatagram> receive(std::size_t max, std::size_t max_size);
    // Up to `max` datagrams waiting now into `batch` (as many as it holds at most; never
    // waits), those longer than its max_size counted as refused and left out. The datagrams
    // read (kept or not), 0 when none was waiting, or -1 with errno set (EBADF once closed).
    int receive(ReceiveBatch& batch, std::size_t max);
    // The descriptor, to wait on until it is readable (-1 once closed; a close() may follow).
    int descriptor() const;

    // Closes the descriptor once the sends and reads under way are done.
    void close() noexcept;
    bool closed() const;

    DatagramCounts counts() const noexcept;
    // What the hooks above decided.
    void count_refused(std::uint64_t n) noexcept { refused_ += n; }
    void count_protect_refused(std::uint64_t n) noexcept { protect_refused_ += n; }
    void count_paced(std::uint64_t n) noexcept { paced_ += n; }

private:
    // The addresses `to` names, into `out`; how many named are not there.
    std::uint64_t resolve(const Destinations& to, std::vector<const SocketAddress*>& out) const;
    // The datagrams as they go on the wire: protected into `sealed` when SRTP is on.
    std::span<const std::span<const std::uint8_t>> seal(
        std::span<const std::span<const std::uint8_t>> datagrams,
        std::vector<std::vector<std::uint8_t>>& sealed,
        std::vector<std::span<const std::uint8_t>>& spans);
    // A datagram read opened in place (false when SRTP refused it).
    bool open(mmsghdr& message, std::uint8_t* bytes);

    // Guards `fd_` and `peers_`: shared by sends and reads, exclusive for close and set_peers.
    mutable std::shared_mutex mutex_;
    // One receive(max, max_size) at a time: its batch is the socket's.
    std::mutex read_mutex_;
    std::unique_ptr<ReceiveBatch> read_batch_;
    int fd_;
    std::vector<SocketAddress> peers_;
    std::shared_ptr<SrtpFilter> srtp_;
    std::atomic<std::size_t> peer_count_{0};
    std::atomic<std::uint64_t> sent_{0}, sent_bytes_{0}, send_errors_{0};
    std::atomic<std::uint64_t> received_{0}, received_bytes_{0}, refused_{0};
    std::atomic<std::uint64_t> protect_refused_{0}, paced_{0};
};

}  // namespace talmiro_py
