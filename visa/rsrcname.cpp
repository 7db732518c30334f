/* TCPIP SOCKET resource strings: TCPIP[board]::host::port::SOCKET. */
#include "rsrcname.h"

#include <arpa/inet.h>

#include <cstring>

namespace cvvisa {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool startsWithNoCase(const char *s, const char *prefix)
{
    for (; *prefix; ++s, ++prefix) {
        if (asciiUpper(*s) != *prefix)
            return false;
    }
    return true;
}

/* Reads a decimal number of 1 to maxDigits digits not larger than maxValue;
 * advances *p past it. */
bool readNumber(const char **p, int maxDigits, unsigned long maxValue, unsigned long *value)
{
    const char *s = *p;
    unsigned long v = 0;
    int n = 0;
    while (isDigit(*s)) {
        if (++n > maxDigits)
            return false;
        v = v * 10 + unsigned(*s - '0');
        ++s;
    }
    if (n == 0 || v > maxValue)
        return false;
    *p = s;
    *value = v;
    return true;
}

} // namespace

bool isDottedIpv4(const std::string &host)
{
    const char *p = host.c_str();
    for (int i = 0; i < 4; ++i) {
        unsigned long octet;
        if (i > 0 && *p++ != '.')
            return false;
        if (!readNumber(&p, 3, 255, &octet))
            return false;
    }
    return *p == '\0';
}

bool isValidHostName(const std::string &host)
{
    if (host.empty() || host.size() > 253)
        return false;
    std::size_t labelLen = 0;
    char prev = '.';
    bool allNumeric = true;
    for (char c : host) {
        if (c == '.') {
            if (labelLen == 0 || prev == '-')
                return false;
            labelLen = 0;
        } else if (isAlpha(c) || isDigit(c) || c == '-') {
            if (labelLen == 0 && c == '-')
                return false;
            if (++labelLen > 63)
                return false;
            if (!isDigit(c))
                allNumeric = false;
        } else {
            return false;
        }
        prev = c;
    }
    /* A trailing dot would be a fully qualified name; keep names plain.
     * Digits and dots only must be a dotted address, not a name: the
     * resolver would read "10.1" as an address of its own. */
    return prev != '.' && prev != '-' && !allNumeric;
}

std::string SocketRsrc::canonical() const
{
    std::string s = "TCPIP" + std::to_string(board) + "::";
    if (hostKind == HostKind::Ipv6)
        s += "[" + host + "]";
    else
        s += host;
    s += "::" + std::to_string(port) + "::SOCKET";
    return s;
}

ViStatus parseSocketRsrc(const char *name, SocketRsrc *out)
{
    if (!name || !out)
        return VI_ERROR_INV_RSRC_NAME;
    /* Bounded length check: never walk past the longest name accepted. */
    if (memchr(name, '\0', kMaxRsrcNameLen + 1) == nullptr)
        return VI_ERROR_INV_RSRC_NAME;

    SocketRsrc r;
    const char *p = name;
    if (!startsWithNoCase(p, "TCPIP"))
        return VI_ERROR_INV_RSRC_NAME;
    p += 5;
    if (isDigit(*p)) {
        unsigned long board;
        if (!readNumber(&p, 5, 65535, &board))
            return VI_ERROR_INV_RSRC_NAME;
        r.board = unsigned(board);
    }
    if (strncmp(p, "::", 2) != 0)
        return VI_ERROR_INV_RSRC_NAME;
    p += 2;

    if (*p == '[') {
        const char *close = strchr(p, ']');
        if (!close)
            return VI_ERROR_INV_RSRC_NAME;
        r.host.assign(p + 1, close);
        in6_addr a6;
        if (r.host.empty() || inet_pton(AF_INET6, r.host.c_str(), &a6) != 1)
            return VI_ERROR_INV_RSRC_NAME;
        r.hostKind = HostKind::Ipv6;
        p = close + 1;
        if (strncmp(p, "::", 2) != 0)
            return VI_ERROR_INV_RSRC_NAME;
    } else {
        const char *sep = strstr(p, "::");
        if (!sep)
            return VI_ERROR_INV_RSRC_NAME;
        r.host.assign(p, sep);
        if (isDottedIpv4(r.host))
            r.hostKind = HostKind::Ipv4;
        else if (isValidHostName(r.host))
            r.hostKind = HostKind::Name;
        else
            return VI_ERROR_INV_RSRC_NAME;
        p = sep;
    }
    p += 2;

    unsigned long port;
    if (!readNumber(&p, 5, 65535, &port) || port == 0)
        return VI_ERROR_INV_RSRC_NAME;
    r.port = unsigned(port);
    if (strncmp(p, "::", 2) != 0)
        return VI_ERROR_INV_RSRC_NAME;
    p += 2;
    if (!startsWithNoCase(p, "SOCKET") || p[6] != '\0')
        return VI_ERROR_INV_RSRC_NAME;

    *out = std::move(r);
    return VI_SUCCESS;
}

} // namespace cvvisa
