/* Parsing of resource strings: SOCKET names in full (the sessions this
 * library opens), the other forms of the VISA grammar for their interface,
 * board, class and canonical name. Internal to the VISA library (the tests
 * and fuzz targets use it directly). */
#ifndef CV_VISA_RSRCNAME_H
#define CV_VISA_RSRCNAME_H

#include "cvtarget/target.h"
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

using HostKind = cvtarget::HostKind;

struct SocketRsrc
{
    unsigned board = 0;
    /* As written (IPv6 without its brackets), IPv4 in dotted decimal. */
    std::string host;
    HostKind hostKind = HostKind::Name; /* as written: Ipv6 for any bracketed address */
    unsigned port = 0;
    /* "TCPIP<board>::<host>::<port>::SOCKET", the host as written */
    std::string canonical() const;
};

/* Parses "TCPIP[board]::host::port::SOCKET" (keywords case-insensitive)
 * with the target grammar every tool shares (cvtarget::parseResource).
 * Returns VI_SUCCESS or VI_ERROR_INV_RSRC_NAME; never throws for any
 * input, however long or malformed. */
ViStatus parseSocketRsrc(const char *name, SocketRsrc *out);

/* Any resource string this library knows: interface type (VI_INTF_*),
 * board, resource class and canonical name. */
struct RsrcInfo
{
    ViUInt16 intfType = 0;
    ViUInt16 board = 0;
    std::string rsrcClass; /* "INSTR", "SOCKET", "INTFC", ... */
    /* The board number written, keywords and hexadecimal digits in upper
     * case, defaults filled in; hosts, LAN device names and serial numbers
     * as written. */
    std::string canonical;
};

/* Parses every form of TCPIP (SOCKET, INSTR), GPIB (INSTR, INTFC, SERVANT),
 * ASRL INSTR, VXI and GPIB-VXI (INSTR, BACKPLANE, MEMACC, and SERVANT for
 * VXI) and USB (INSTR, RAW); keywords case-insensitive. Returns VI_SUCCESS
 * or VI_ERROR_INV_RSRC_NAME, also for a name whose canonical form would
 * not fit VI_FIND_BUFLEN bytes; never throws. */
ViStatus parseRsrc(const char *name, RsrcInfo *out);

} // namespace cvvisa

#endif
