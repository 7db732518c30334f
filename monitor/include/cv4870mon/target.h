// The TARGET argument of the tools: what cvtarget's grammar accepts.
#ifndef CV4870MON_TARGET_H
#define CV4870MON_TARGET_H

#include <string>
#include <string_view>

#include "cvtarget/target.h"

namespace cv4870mon {

constexpr int kDefaultPort = int(cvtarget::kDefaultPort);

struct TargetResult
{
    bool ok = false;
    // When ok: the canonical resource string to open
    // ("TCPIP0::<host>::<port>::SOCKET"), which reaches the address judged.
    std::string resource;
    cvtarget::Target target; // when ok: the parsed target, with its key()
    std::string error; // when not ok: what is wrong, for the user
};

// Accepts a TCPIP SOCKET resource string, an IPv4 address, host name or
// IPv6 address (port 23), host:port, [IPv6] and [IPv6]:port; see
// cvtarget::parseTarget.
TargetResult parseTarget(std::string_view text);

// "host:port" of a TCPIP SOCKET resource string in canonical form, its
// cvtarget key ("TCPIP0::[0::1]::23::SOCKET" gives "[::1]:23"); the
// resource itself when it is not one.
std::string socketEndpoint(const std::string &resource);

} // namespace cv4870mon

#endif
