// The TARGET argument: a VISA resource string, a host, or host:port.
#ifndef CV4870MON_TARGET_H
#define CV4870MON_TARGET_H

#include <string>
#include <string_view>

namespace cv4870mon {

constexpr int kDefaultPort = 23;

struct TargetResult
{
    bool ok = false;
    std::string resource; // when ok: the VISA resource string to open
    std::string error; // when not ok: what is wrong, for the user
};

// Accepts
//   a VISA resource string ("TCPIP0::host::5025::SOCKET", anything with
//     "::"): passed on as is once it is a single word of printable ASCII of
//     at most 255 characters, with a letter-led interface name and no empty
//     field;
//   an IPv4 address or host name: TCPIP0::<host>::23::SOCKET;
//   host:port with a port of 1..65535: TCPIP0::<host>::<port>::SOCKET.
// Host names follow RFC 1123 (labels of letters, digits and '-', at most 63
// characters each, 253 in all); a name of digits and dots only must be a
// dotted-quad IPv4 address.
TargetResult parseTarget(std::string_view text);

// "host:port" of a TCPIP SOCKET resource string ("TCPIP0::[::1]::23::SOCKET"
// gives "[::1]:23"); the resource itself when it is not one.
std::string socketEndpoint(const std::string &resource);

} // namespace cv4870mon

#endif
