// Numeric socket addresses.
#include "socket_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>

namespace talmiro_py {

std::optional<SocketAddress> numeric_address(const char* host, std::uint16_t port) noexcept {
    SocketAddress out;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out.length = sizeof(sockaddr_in6);
    } else {
        return std::nullopt;
    }
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
