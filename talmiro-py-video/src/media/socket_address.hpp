// Socket addresses of numeric host texts, for the functions that send datagrams without the
// interpreter lock (and so without Python's socket module).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace talmiro_py {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

inline bool same_address(const SocketAddress& a, const SocketAddress& b) noexcept {
    return a.length == b.length && std::memcmp(&a.storage, &b.storage, a.length) == 0;
}

// The address of a numeric IPv4 or IPv6 host text (a scoped one, "fe80::1%eth0", too) and a
// port; absent for anything else (a name is never looked up).
std::optional<SocketAddress> numeric_address(const char* host, std::uint16_t port) noexcept;

// The numeric host text and the port of an IPv4 or IPv6 address, as Python's socket module
// writes them; absent for another family.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};
std::optional<HostPort> host_port_of(const SocketAddress& address);

// Where RTCP for a peer goes: the address configured for it; else where the peer's RTCP came
// from; else, before any has come, its RTP source's port + 1 (RTP and RTCP on a pair of ports;
// none for port 65535, or another family); none while nothing has been heard.
std::optional<SocketAddress> rtcp_return_address(const std::optional<SocketAddress>& configured,
                                                 const std::optional<SocketAddress>& rtcp_source,
                                                 const std::optional<SocketAddress>& rtp_source);

}  // namespace talmiro_py
