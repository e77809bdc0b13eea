// Numeric socket addresses.
#include "socket_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace talmiro_py {

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
        auto& field = found->ai_family == AF_INET
                          ? reinterpret_cast<sockaddr_in*>(&out->storage)->sin_port
                          : reinterpret_cast<sockaddr_in6*>(&out->storage)->sin6_port;
        field = htons(port);
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
    const auto port = family == AF_INET
                          ? reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_port
                          : reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_port;
    return HostPort{host, ntohs(port)};
}

}  // namespace talmiro_py
