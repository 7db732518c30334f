// The target grammar: hosts, TCPIP SOCKET resources and the tools' forms.
#include "cvtarget/target.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace cvtarget {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool fail(std::string *error, const char *why)
{
    if (error)
        *error = why;
    return false;
}

// Reads a decimal number of 1 to maxDigits digits up to maxValue from the
// front of *s and takes it off.
bool readNumber(std::string_view *s, std::size_t maxDigits, unsigned long maxValue, unsigned long *value)
{
    std::size_t n = 0;
    unsigned long v = 0;
    while (n < s->size() && isDigit((*s)[n])) {
        if (++n > maxDigits)
            return false;
        v = v * 10 + static_cast<unsigned long>((*s)[n - 1] - '0');
    }
    if (n == 0 || v > maxValue)
        return false;
    s->remove_prefix(n);
    *value = v;
    return true;
}

// Takes the keyword off the front of *s, compared without regard to case.
bool takeKeyword(std::string_view *s, const char *upper)
{
    const std::size_t n = std::strlen(upper);
    if (s->size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (lower((*s)[i]) != lower(upper[i]))
            return false;
    }
    s->remove_prefix(n);
    return true;
}

bool takeSeparator(std::string_view *s)
{
    if (s->substr(0, 2) != "::")
        return false;
    s->remove_prefix(2);
    return true;
}

bool parsePort(std::string_view digits, unsigned *port, std::string *error)
{
    unsigned long value = 0;
    if (!readNumber(&digits, 5, 65535, &value) || !digits.empty() || value == 0)
        return fail(error, "the port must be a number from 1 to 65535");
    *port = unsigned(value);
    return true;
}

// Exactly four decimal octets 0-255 of at most three digits each.
bool parseDottedQuad(std::string_view s, std::array<std::uint8_t, 16> *bytes)
{
    for (std::size_t i = 0; i < 4; ++i) {
        unsigned long octet = 0;
        if (i > 0 && (s.empty() || s.front() != '.'))
            return false;
        if (i > 0)
            s.remove_prefix(1);
        if (!readNumber(&s, 3, 255, &octet))
            return false;
        (*bytes)[i] = std::uint8_t(octet);
    }
    return s.empty();
}

std::string dotted(const std::array<std::uint8_t, 16> &b)
{
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

bool parseIpv6(const std::string &written, Host *h, std::string *error)
{
    in6_addr a{};
    if (written.size() >= INET6_ADDRSTRLEN || inet_pton(AF_INET6, written.c_str(), &a) != 1)
        return fail(error, "not an IPv6 address");
    std::memcpy(h->bytes.data(), &a, 16);
    h->writtenAsIpv6 = true;
    static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const std::uint8_t nat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
    if (std::memcmp(h->bytes.data(), mapped, 12) == 0 || std::memcmp(h->bytes.data(), nat64, 12) == 0) {
        // Reaches an IPv4 host: judged, keyed and allowed as that host.
        std::array<std::uint8_t, 16> v4{};
        std::memcpy(v4.data(), h->bytes.data() + 12, 4);
        h->bytes = v4;
        h->kind = HostKind::Ipv4;
        h->text = dotted(v4);
        return true;
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &a, text, sizeof text);
    h->kind = HostKind::Ipv6;
    h->text = text;
    return true;
}

bool parseName(std::string_view written, Host *h, std::string *error)
{
    if (written.size() > kMaxHostNameLength)
        return fail(error, "the host name is longer than 253 characters");
    bool numeric = true, bigPart = false;
    std::size_t start = 0;
    while (start <= written.size()) {
        std::size_t end = written.find('.', start);
        if (end == std::string_view::npos)
            end = written.size();
        const std::string_view label = written.substr(start, end - start);
        if (label.empty())
            return fail(error, "the host has an empty label");
        if (label.size() > kMaxLabelLength)
            return fail(error, "a label of the host name is longer than 63 characters");
        if (label.front() == '-' || label.back() == '-')
            return fail(error, "a label of the host name starts or ends with '-'");
        for (char c : label) {
            if (!isDigit(c) && !isAlpha(c) && c != '-')
                return fail(error, "the host has a character other than letters, digits, '-' and '.'");
            numeric = numeric && isDigit(c);
        }
        bigPart = bigPart || label.size() > 3 || (label.size() == 3 && label > "255");
        start = end + 1;
    }
    // Digits and dots only: an address, and not a dotted quad.
    if (numeric)
        return fail(error,
                    bigPart ? "an IPv4 address has a part above 255" : "an IPv4 address has four parts (a.b.c.d)");
    std::string name(written);
    in_addr a{};
    if (inet_aton(name.c_str(), &a) != 0)
        return fail(error, "the host is a number the resolver reads as an address; write it as a.b.c.d");
    for (char &c : name)
        c = lower(c);
    h->kind = HostKind::Name;
    h->text = std::move(name);
    return true;
}

} // namespace

bool parseHost(std::string_view written, Host *out, std::string *error)
{
    Host h;
    if (written.empty())
        return fail(error, "the host is empty");
    for (char c : written) {
        if (c <= ' ' || c >= 0x7f)
            return fail(error, "the host has a blank or a control character");
    }
    if (written.find(':') != std::string_view::npos) {
        if (!parseIpv6(std::string(written), &h, error))
            return false;
    } else if (parseDottedQuad(written, &h.bytes)) {
        h.kind = HostKind::Ipv4;
        h.text = dotted(h.bytes);
    } else if (!parseName(written, &h, error)) {
        return false;
    }
    *out = std::move(h);
    return true;
}

std::string Target::resource() const
{
    const std::string h = host.kind == HostKind::Ipv6 ? "[" + host.text + "]" : host.text;
    return "TCPIP0::" + h + "::" + std::to_string(port) + "::SOCKET";
}

std::string Target::key() const
{
    const std::string h = host.kind == HostKind::Ipv6 ? "[" + host.text + "]" : host.text;
    return h + ":" + std::to_string(port);
}

bool parseResource(std::string_view s, Target *out, std::string *error)
{
    const char *const malformed = "not a TCPIP SOCKET resource (TCPIP0::host::port::SOCKET)";
    if (s.size() > kMaxResourceLength)
        return fail(error, "the resource string is longer than 255 characters");
    Target t;
    if (!takeKeyword(&s, "TCPIP"))
        return fail(error, malformed);
    unsigned long board = 0;
    if (!s.empty() && isDigit(s.front()) && !readNumber(&s, 5, 65535, &board))
        return fail(error, "the board number must be at most 65535");
    t.board = unsigned(board);
    if (!takeSeparator(&s))
        return fail(error, malformed);
    std::size_t end = 0;
    if (!s.empty() && s.front() == '[') {
        end = s.find(']');
        if (end == std::string_view::npos)
            return fail(error, "an IPv6 address in brackets lacks its ']'");
        t.written = std::string(s.substr(1, end - 1));
        if (t.written.find(':') == std::string::npos)
            return fail(error, "only an IPv6 address goes in brackets");
        ++end;
    } else {
        end = s.find("::");
        if (end == std::string_view::npos)
            return fail(error, malformed);
        t.written = std::string(s.substr(0, end));
        if (t.written.find(':') != std::string::npos)
            return fail(error, "an IPv6 address must be written in brackets");
    }
    if (!parseHost(t.written, &t.host, error))
        return false;
    s.remove_prefix(end);
    if (!takeSeparator(&s))
        return fail(error, malformed);
    const std::size_t portEnd = s.find("::");
    if (portEnd == std::string_view::npos)
        return fail(error, malformed);
    if (!parsePort(s.substr(0, portEnd), &t.port, error))
        return false;
    s.remove_prefix(portEnd + 2);
    if (!takeKeyword(&s, "SOCKET") || !s.empty())
        return fail(error, malformed);
    *out = std::move(t);
    return true;
}

bool parseTarget(std::string_view text, Target *out, std::string *error)
{
    if (text.empty())
        return fail(error, "the target is empty");
    if (text.size() > kMaxResourceLength)
        return fail(error, "the target is longer than 255 characters");
    for (char c : text) {
        if (c <= ' ' || c >= 0x7f)
            return fail(error, "the target has a blank or a control character");
    }
    // A resource string starts with its interface keyword, letters that no
    // IPv6 address starts with (they are not all hexadecimal digits).
    std::size_t letters = 0;
    while (letters < text.size() && isAlpha(text[letters]))
        ++letters;
    std::size_t afterBoard = letters;
    while (afterBoard < text.size() && isDigit(text[afterBoard]))
        ++afterBoard;
    bool hexOnly = true;
    for (std::size_t i = 0; i < letters; ++i)
        hexOnly = hexOnly && isHexDigit(text[i]);
    if (letters > 0 && !hexOnly && text.substr(afterBoard, 2) == "::") {
        std::string_view keyword = text.substr(0, letters);
        if (!takeKeyword(&keyword, "TCPIP") || !keyword.empty())
            return fail(error, "only TCPIP SOCKET resources reach a mainframe (TCPIP0::host::port::SOCKET)");
        return parseResource(text, out, error);
    }

    Target t;
    t.port = kDefaultPort;
    std::string_view host = text;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return fail(error, "an IPv6 address in brackets lacks its ']'");
        host = text.substr(1, close - 1);
        if (host.find(':') == std::string_view::npos)
            return fail(error, "only an IPv6 address goes in brackets");
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return fail(error, "only ':port' may follow an IPv6 address in brackets");
        if (!rest.empty() && !parsePort(rest.substr(1), &t.port, error))
            return false;
    } else if (const std::size_t colon = text.find(':');
               colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
        host = text.substr(0, colon);
        if (!parsePort(text.substr(colon + 1), &t.port, error))
            return false;
    }
    t.written = std::string(host);
    if (!parseHost(t.written, &t.host, error))
        return false;
    if (t.resource().size() > kMaxResourceLength)
        return fail(error, "the host is too long for a resource string (255 characters in all)");
    *out = std::move(t);
    return true;
}

} // namespace cvtarget
