/* Parsing of TCPIP SOCKET resource strings. Internal to the VISA library
 * (the tests and fuzz targets use it directly). */
#ifndef CV_VISA_RSRCNAME_H
#define CV_VISA_RSRCNAME_H

#include "visa.h"

#include <cstddef>
#include <string>

namespace cvvisa {

/* Longest resource string accepted, NUL excluded: every name must fit the
 * 256-byte description buffers of viFindRsrc and VI_ATTR_RSRC_NAME. */
constexpr std::size_t kMaxRsrcNameLen = VI_FIND_BUFLEN - 1;

/* ASCII case folding; the C library's follows the process locale, and in a
 * Turkish one 'i' and 'I' are not each other's case. */
inline char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}
inline char asciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

enum class HostKind { Ipv4, Ipv6, Name };

struct SocketRsrc
{
    unsigned board = 0;
    std::string host; /* as written; IPv6 without its brackets */
    HostKind hostKind = HostKind::Name;
    unsigned port = 0;
    /* "TCPIP<board>::<host>::<port>::SOCKET", the host as written */
    std::string canonical() const;
};

/* Parses "TCPIP[board]::host::port::SOCKET" (keywords case-insensitive).
 * Returns VI_SUCCESS or VI_ERROR_INV_RSRC_NAME; never throws for any
 * input, however long or malformed. */
ViStatus parseSocketRsrc(const char *name, SocketRsrc *out);

/* Host name per RFC 1123: dot-separated labels of letters, digits and
 * hyphens, no label starting or ending with a hyphen. */
bool isValidHostName(const std::string &host);
/* Exactly four decimal octets 0-255 separated by dots. */
bool isDottedIpv4(const std::string &host);

} // namespace cvvisa

#endif
