// Which mainframes a probe may reach.
//
// Entries, one per --allow option or per line of an allow file:
//   10.20.0.0/16, 10.20.1.7          IPv4 blocks and single addresses
//   fd00:4870::/32, ::1              IPv6 blocks and single addresses
//   rack1-mf3.lab.example            a host name, on any port
//   *.lab.example                    every host name under a domain
//   TCPIP0::10.20.1.7::5025::SOCKET  exactly this host and port
//
// Entries and targets are read with the one target grammar (cvtarget): an
// address is judged as the address the connection reaches, so an
// IPv4-mapped or NAT64 IPv6 spelling counts as its IPv4 address (and never
// matches an IPv6 block), and leading zeros are decimal. Addresses match
// only targets written as addresses and host names only targets written as
// those names: nothing is resolved to decide, so a denied probe never
// causes traffic, not even a DNS query.
#ifndef CV4870_EXPORTER_ALLOWLIST_H
#define CV4870_EXPORTER_ALLOWLIST_H

#include "cvtarget/target.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace cv4870exp {

class AllowList
{
public:
    // Adds one entry; false with *error set when it does not parse.
    bool add(const std::string &entry, std::string *error = nullptr);
    // Adds the entries of a text: one per line, '#' starts a comment. On a
    // bad line nothing of it is kept and *error names the line. At most
    // kMaxFileSize bytes are read; a longer text is refused.
    bool load(std::istream &in, std::string *error = nullptr);
    // The same for a file, which must be a regular file of at most
    // kMaxFileSize bytes: a FIFO, a device or a directory is refused at
    // once, without waiting for a writer or reading without end.
    bool loadFile(const std::string &path, std::string *error = nullptr);
    std::size_t size() const;
    static constexpr std::size_t kMaxFileSize = 1 << 20;

    // Whether a probe may reach this target, or open this TCPIP SOCKET
    // resource string.
    bool allows(const cvtarget::Target &target) const;
    bool allows(const std::string &resource) const;

private:
    struct Block
    {
        bool v6 = false;
        std::array<std::uint8_t, 16> addr{};
        unsigned prefix = 0;
    };
    bool loadText(const std::string &text, std::string *error);
    std::vector<Block> blocks_;
    std::vector<std::string> names_; // lower case; "*.x" entries kept as ".x"
    std::vector<std::string> sockets_; // cvtarget::Target::key() of each resource entry
};

} // namespace cv4870exp

#endif
