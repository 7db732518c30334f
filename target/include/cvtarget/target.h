// The grammar of a mainframe target, in one place: what the VISA library
// opens, what the tools take and what the exporter's allow-list judges.
//
// A target is a TCPIP SOCKET resource ("TCPIP[board]::host::port::SOCKET",
// keywords in any case, IPv6 in brackets) or, for the tools, a host with or
// without a port. Its canonical form names the address the connection
// reaches: IPv4 in dotted decimal (leading zeros are decimal, never octal),
// IPv6 compressed in lower case, an IPv4-mapped (::ffff:a.b.c.d) or NAT64
// (64:ff9b::/96) IPv6 address as the IPv4 address it reaches, a host name
// in lower case. Every spelling of one mainframe has one key().
//
// Plain C++17, no exceptions thrown but std::bad_alloc, no I/O: the VISA
// library links it into its shared object without exporting it.
#ifndef CVTARGET_TARGET_H
#define CVTARGET_TARGET_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cvtarget {

// Longest resource string: it must fit a 256-byte VISA buffer with its NUL.
constexpr std::size_t kMaxResourceLength = 255;
// RFC 1123 limits of a host name and of one of its labels.
constexpr std::size_t kMaxHostNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;
// Port of a target given without one.
constexpr unsigned kDefaultPort = 23;

enum class HostKind { Ipv4, Ipv6, Name };

struct Host
{
    HostKind kind = HostKind::Name; // of the address reached
    bool writtenAsIpv6 = false; // an IPv6 spelling, also of an IPv4 address
    std::string text; // canonical: dotted decimal, compressed IPv6, lower-case name
    std::array<std::uint8_t, 16> bytes{}; // the address: 4 bytes for IPv4, 16 for IPv6
};

// Parses one host as written, IPv6 without brackets. A name must follow
// RFC 1123 and must not be a number the resolver would read as an address
// ("127.1", "0x7f000001"): digits and dots only must be a dotted quad.
// Returns false with *error set (when given) for anything else.
bool parseHost(std::string_view written, Host *out, std::string *error = nullptr);

struct Target
{
    unsigned board = 0; // TCPIP<board>; not part of what the connection reaches
    std::string written; // the host as written, IPv6 without brackets
    Host host;
    unsigned port = 0;

    // "TCPIP0::<host>::<port>::SOCKET" with the canonical host (IPv6 in
    // brackets): the resource that reaches exactly the judged address.
    std::string resource() const;
    // "<host>:<port>" ("[<ipv6>]:<port>"): equal for every spelling of one
    // address and port, whatever the board, case or notation.
    std::string key() const;
};

// "TCPIP[board]::host::port::SOCKET": board up to 65535, port 1..65535,
// at most kMaxResourceLength characters. Returns false with *error set
// (when given) for anything else.
bool parseResource(std::string_view text, Target *out, std::string *error = nullptr);

// What the tools accept: a TCPIP SOCKET resource string; an IPv4 address,
// host name or bare IPv6 address (port 23); host:port; [IPv6] and
// [IPv6]:port. Other VISA resources (GPIB0::8::INSTR, ...) are refused:
// only SOCKET sessions reach a mainframe.
bool parseTarget(std::string_view text, Target *out, std::string *error = nullptr);

} // namespace cvtarget

#endif
