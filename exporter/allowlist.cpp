#include "allowlist.h"

#include "rsrcname.h"

#include <arpa/inet.h>

#include <cstring>

namespace cv4870exp {

namespace {

std::string lower(std::string text)
{
    for (char &c : text)
        c = cvvisa::asciiLower(c);
    return text;
}

// One word of printable ASCII: the C functions below stop at a NUL, so
// "10.0.0.1\0junk" must not get as far as them.
bool printableWord(const std::string &text)
{
    for (char c : text) {
        if (c <= ' ' || c > '~')
            return false;
    }
    return true;
}

std::string trimmed(const std::string &text)
{
    const char *blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Host name in lower case without its final dot; empty when it is not one.
// Names that the C library would still read as an address ("127.1",
// "0x7f000001") are refused: they are addresses in disguise.
std::string hostName(const std::string &text)
{
    std::string name = lower(text);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    in_addr a;
    if (!cvvisa::isValidHostName(name) || inet_aton(name.c_str(), &a) != 0)
        return {};
    return name;
}

// Parses an IPv4 or IPv6 address strictly (no octal or short forms).
bool parseAddress(const std::string &text, bool *v6, std::array<std::uint8_t, 16> *addr)
{
    addr->fill(0);
    *v6 = text.find(':') != std::string::npos;
    return inet_pton(*v6 ? AF_INET6 : AF_INET, text.c_str(), addr->data()) == 1;
}

bool inBlock(const std::array<std::uint8_t, 16> &addr, const std::array<std::uint8_t, 16> &net, unsigned prefix)
{
    for (unsigned i = 0; i < prefix / 8; ++i) {
        if (addr[i] != net[i])
            return false;
    }
    const unsigned rest = prefix % 8;
    const auto mask = static_cast<std::uint8_t>(0xffu << (8 - rest));
    return rest == 0 || (addr[prefix / 8] & mask) == net[prefix / 8];
}

} // namespace

bool AllowList::add(const std::string &entryText, std::string *error)
{
    const std::string entry = trimmed(entryText);
    auto fail = [&](const char *why) {
        if (error)
            *error = "'" + entry + "': " + why;
        return false;
    };
    if (entry.empty() || entry.size() > cvvisa::kMaxRsrcNameLen || !printableWord(entry))
        return fail("not an address, block, host name or resource");

    if (lower(entry).compare(0, 5, "tcpip") == 0 && entry.find("::") != std::string::npos) {
        cvvisa::SocketRsrc r;
        if (cvvisa::parseSocketRsrc(entry.c_str(), &r) != VI_SUCCESS)
            return fail("not a TCPIP SOCKET resource");
        sockets_.push_back({lower(r.host), r.port});
        return true;
    }
    if (entry.compare(0, 2, "*.") == 0) {
        const std::string domain = hostName(entry.substr(2));
        if (domain.empty())
            return fail("not a domain after '*.'");
        names_.push_back("." + domain);
        return true;
    }

    Block b;
    const std::size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    if (parseAddress(address, &b.v6, &b.addr)) {
        const unsigned bits = b.v6 ? 128 : 32;
        b.prefix = bits;
        if (slash != std::string::npos) {
            const std::string length = entry.substr(slash + 1);
            if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(length) > bits)
                return fail("prefix length out of range");
            b.prefix = unsigned(std::stoul(length));
            std::array<std::uint8_t, 16> masked{};
            for (unsigned i = 0; i < b.prefix; ++i)
                masked[i / 8] = std::uint8_t(masked[i / 8] | (b.addr[i / 8] & (0x80u >> (i % 8))));
            if (masked != b.addr)
                return fail("address bits set beyond the prefix length");
        }
        blocks_.push_back(b);
        return true;
    }
    if (slash != std::string::npos)
        return fail("not an address block");
    const std::string name = hostName(entry);
    if (name.empty())
        return fail("not an address, block, host name or resource");
    names_.push_back(name);
    return true;
}

bool AllowList::load(std::istream &in, std::string *error)
{
    AllowList parsed;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trimmed(line.substr(0, line.find('#')));
        std::string why;
        if (!line.empty() && !parsed.add(line, &why)) {
            if (error)
                *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (in.bad()) {
        if (error)
            *error = "read error";
        return false;
    }
    blocks_.insert(blocks_.end(), parsed.blocks_.begin(), parsed.blocks_.end());
    names_.insert(names_.end(), parsed.names_.begin(), parsed.names_.end());
    sockets_.insert(sockets_.end(), parsed.sockets_.begin(), parsed.sockets_.end());
    return true;
}

std::size_t AllowList::size() const
{
    return blocks_.size() + names_.size() + sockets_.size();
}

bool AllowList::allows(const std::string &resource) const
{
    cvvisa::SocketRsrc r;
    if (!printableWord(resource) || cvvisa::parseSocketRsrc(resource.c_str(), &r) != VI_SUCCESS)
        return false;
    const std::string host = lower(r.host);

    if (r.hostKind == cvvisa::HostKind::Name) {
        const std::string name = hostName(host);
        if (name.empty())
            return false;
        for (const Socket &s : sockets_) {
            if (s.host == name && s.port == r.port)
                return true;
        }
        for (const std::string &entry : names_) {
            if (entry[0] == '.'
                    ? name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0
                    : name == entry)
                return true;
        }
        return false;
    }

    bool v6 = false;
    std::array<std::uint8_t, 16> addr;
    if (!parseAddress(host, &v6, &addr))
        return false;
    for (const Socket &s : sockets_) {
        bool sv6 = false;
        std::array<std::uint8_t, 16> saddr;
        if (s.port == r.port && parseAddress(s.host, &sv6, &saddr) && sv6 == v6 && saddr == addr)
            return true;
    }
    for (const Block &b : blocks_) {
        if (b.v6 == v6 && inBlock(addr, b.addr, b.prefix))
            return true;
    }
    return false;
}

} // namespace cv4870exp
