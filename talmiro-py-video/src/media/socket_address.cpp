// Numeric socket addresses.
#include "socket_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace talmiro_py {

namespace {

// The port field of an IPv4 or IPv6 address (network order), or null for another family.
in_port_t* port_field(SocketAddress& a) noexcept {
    if (a.storage.ss_family == AF_INET)
        return &reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port;
    if (a.storage.ss_family == AF_INET6)
        return &reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port;
    return nullptr;
}

const in_port_t* port_field(const SocketAddress& a) noexcept {
    return port_field(const_cast<SocketAddress&>(a));
}

}  // namespace

std::optional<SocketAddress> numeric_address(const char* host, std::uint16_t port) noexcept {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;  // never a name lookup
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    std::optional<SocketAddress> out;
    if ((found->ai_family == AF_INET || found->ai_family == AF_INET6) &&
        found->ai_addrlen <= sizeof(sockaddr_storage)) {
        out.emplace();
        std::memcpy(&out->storage, found->ai_addr, found->ai_addrlen);
        out->length = found->ai_addrlen;
        *port_field(*out) = htons(port);
    }
    freeaddrinfo(found);
    return out;
}

std::optional<HostPort> host_port_of(const SocketAddress& address) {
    const int family = address.storage.ss_family;
    if (family != AF_INET && family != AF_INET6) return std::nullopt;
    char host[NI_MAXHOST];
    if (getnameinfo(address.get(), address.length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return std::nullopt;
    return HostPort{host, ntohs(*port_field(address))};
}

std::optional<SocketAddress> rtcp_return_address(const std::optional<SocketAddress>& configured,
                                                 const std::optional<SocketAddress>& rtcp_source,
                                                 const std::optional<SocketAddress>& rtp_source) {
    if (configured) return configured;
    if (rtcp_source) return rtcp_source;
    std::optional<SocketAddress> next = rtp_source;
    in_port_t* port = next ? port_field(*next) : nullptr;
    if (!port || ntohs(*port) == 0xFFFF) return std::nullopt;
    *port = htons(static_cast<std::uint16_t>(ntohs(*port) + 1));
    return next;
}

}  // namespace talmiro_py
