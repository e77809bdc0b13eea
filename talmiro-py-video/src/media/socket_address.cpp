// Numeric socket addresses.
#include "socket_address.hpp"

#include <arpa/inet.h>

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

}  // namespace talmiro_py
