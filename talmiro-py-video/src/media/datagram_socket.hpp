// One UDP socket's way in and out, below Python: the descriptor it owns (DatagramTransport
// hands it a duplicate of the caller's), the peers' addresses (resolved once), sends in batches of
// sendmmsg and reads in batches of recvmmsg, and the counts of what went and came. Every call
// works without the interpreter lock; DatagramTransport adds the Python face and the hooks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "socket_address.hpp"

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
};

// A datagram read: a copy of its bytes and who sent it.
struct ReceivedDatagram {
    std::vector<std::uint8_t> bytes;
    SocketAddress from;
};

class DatagramSocket {
public:
    // Takes `fd` over (closed by close() or the destructor).
    explicit DatagramSocket(int fd) noexcept : fd_(fd) {}
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    void set_peers(std::vector<SocketAddress> peers);
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

    // Guards `fd_` and `peers_`: shared by sends and reads, exclusive for close and set_peers.
    mutable std::shared_mutex mutex_;
    // One read at a time: the read buffer is the socket's.
    std::mutex read_mutex_;
    std::vector<std::uint8_t> read_buffer_;
    int fd_;
    std::vector<SocketAddress> peers_;
    std::atomic<std::size_t> peer_count_{0};
    std::atomic<std::uint64_t> sent_{0}, sent_bytes_{0}, send_errors_{0};
    std::atomic<std::uint64_t> received_{0}, received_bytes_{0}, refused_{0};
    std::atomic<std::uint64_t> protect_refused_{0}, paced_{0};
};

}  // namespace talmiro_py
