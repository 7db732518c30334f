// Which mainframes a probe may reach.
//
// Entries, one per --allow option or per line of an allow file:
//   10.20.0.0/16, 10.20.1.7          IPv4 blocks and single addresses
//   fd00:4870::/32, ::1              IPv6 blocks and single addresses
//   rack1-mf3.lab.example            a host name, on any port
//   *.lab.example                    every host name under a domain
//   TCPIP0::10.20.1.7::5025::SOCKET  exactly this host and port
//
// Addresses match only targets written as addresses and host names only
// targets written as those names: nothing is resolved to decide, so a
// denied probe never causes traffic, not even a DNS query.
#ifndef CV4870_EXPORTER_ALLOWLIST_H
#define CV4870_EXPORTER_ALLOWLIST_H

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
    // Adds the entries of a file: one per line, '#' starts a comment. On a
    // bad line nothing of the file is kept and *error names the line.
    bool load(std::istream &in, std::string *error = nullptr);
    std::size_t size() const;

    // Whether a probe may open this TCPIP SOCKET resource string.
    bool allows(const std::string &resource) const;

private:
    struct Block
    {
        bool v6 = false;
        std::array<std::uint8_t, 16> addr{};
        unsigned prefix = 0;
    };
    struct Socket
    {
        std::string host; // lower case
        unsigned port = 0;
    };
    std::vector<Block> blocks_;
    std::vector<std::string> names_; // lower case; "*.x" entries kept as ".x"
    std::vector<Socket> sockets_;
};

} // namespace cv4870exp

#endif
