// For the fuzz targets: the address the VISA library connects a SOCKET
// resource to, resolved as it resolves it (numeric hosts only), and whether
// that is the address the target grammar judged.
#ifndef CV_TESTS_TARGET_REACHED_H
#define CV_TESTS_TARGET_REACHED_H

#include "cvtarget/target.h"
#include "rsrcname.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

// True when the VISA library would connect to exactly the address judged:
// a numeric host resolves to host.bytes (an IPv4-mapped or NAT64 address
// to the IPv4 address inside it), and a name does not resolve numerically.
inline bool visaReachesJudgedHost(const cvvisa::SocketRsrc &r, const cvtarget::Host &host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    const bool numeric = getaddrinfo(r.host.c_str(), "1", &hints, &res) == 0;
    if (!numeric)
        return host.kind == cvtarget::HostKind::Name;
    std::uint8_t bytes[16] = {};
    std::size_t size = 4;
    if (res->ai_family == AF_INET) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in *>(res->ai_addr)->sin_addr, 4);
    } else {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6 *>(res->ai_addr)->sin6_addr, 16);
        size = 16;
        static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        static const std::uint8_t nat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
        if (std::memcmp(bytes, mapped, 12) == 0 || std::memcmp(bytes, nat64, 12) == 0) {
            std::memmove(bytes, bytes + 12, 4);
            size = 4;
        }
    }
    freeaddrinfo(res);
    const bool v4 = host.kind == cvtarget::HostKind::Ipv4;
    return host.kind != cvtarget::HostKind::Name && (size == 4) == v4 &&
           std::memcmp(bytes, host.bytes.data(), size) == 0;
}

#endif
