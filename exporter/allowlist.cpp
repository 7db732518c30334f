#include "allowlist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace cv4870exp {

namespace {

using cvtarget::HostKind;

std::string trimmed(const std::string &text)
{
    const char *blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool startsWithTcpip(const std::string &text)
{
    static const char word[] = "tcpip";
    for (std::size_t i = 0; i < 5; ++i) {
        if (i >= text.size() || (text[i] | 0x20) != word[i])
            return false;
    }
    return true;
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

bool prefixLength(const std::string &text, unsigned bits, unsigned *length)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > bits)
        return false;
    *length = unsigned(std::stoul(text));
    return true;
}

} // namespace

bool AllowList::add(const std::string &entryText, std::string *error)
{
    const std::string entry = trimmed(entryText);
    auto fail = [&](const std::string &why) {
        if (error)
            *error = "'" + entry + "': " + why;
        return false;
    };
    if (entry.empty() || entry.size() > cvtarget::kMaxResourceLength)
        return fail("not an address, block, host name or resource");

    std::string why;
    if (startsWithTcpip(entry) && entry.find("::") != std::string::npos) {
        cvtarget::Target t;
        if (!cvtarget::parseResource(entry, &t, &why))
            return fail(why);
        sockets_.push_back(t.key());
        return true;
    }
    const bool wildcard = entry.compare(0, 2, "*.") == 0;
    const std::size_t slash = entry.find('/');
    std::string hostText = entry.substr(wildcard ? 2 : 0, slash);
    if (!hostText.empty() && hostText.back() == '.' && hostText.find(':') == std::string::npos)
        hostText.pop_back(); // a fully qualified name, as its plain one
    cvtarget::Host host;
    if (!cvtarget::parseHost(hostText, &host, &why))
        return fail(why);
    if (wildcard || host.kind == HostKind::Name) {
        if (host.kind != HostKind::Name)
            return fail("not a domain after '*.'");
        if (slash != std::string::npos)
            return fail("not an address block");
        names_.push_back((wildcard ? "." : "") + host.text);
        return true;
    }

    Block b;
    b.v6 = host.kind == HostKind::Ipv6;
    b.addr = host.bytes;
    b.prefix = b.v6 ? 128 : 32;
    if (slash != std::string::npos) {
        // A block written in IPv6 around IPv4 addresses (::ffff:a.b.c.d/n,
        // 64:ff9b::a.b.c.d/n) is the IPv4 block it reaches.
        const unsigned offset = host.writtenAsIpv6 && !b.v6 ? 96 : 0;
        unsigned length = 0;
        if (!prefixLength(entry.substr(slash + 1), offset + b.prefix, &length) || length < offset)
            return fail(offset ? "prefix length out of range (an IPv4 block in IPv6 takes /96 to /128)"
                               : "prefix length out of range");
        b.prefix = length - offset;
        std::array<std::uint8_t, 16> masked{};
        for (unsigned i = 0; i < b.prefix; ++i)
            masked[i / 8] = std::uint8_t(masked[i / 8] | (b.addr[i / 8] & (0x80u >> (i % 8))));
        if (masked != b.addr)
            return fail("address bits set beyond the prefix length");
    }
    blocks_.push_back(b);
    return true;
}

bool AllowList::loadText(const std::string &text, std::string *error)
{
    AllowList parsed;
    std::istringstream in(text);
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
    blocks_.insert(blocks_.end(), parsed.blocks_.begin(), parsed.blocks_.end());
    names_.insert(names_.end(), parsed.names_.begin(), parsed.names_.end());
    sockets_.insert(sockets_.end(), parsed.sockets_.begin(), parsed.sockets_.end());
    return true;
}

bool AllowList::load(std::istream &in, std::string *error)
{
    std::string text(kMaxFileSize + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        if (error)
            *error = "read error";
        return false;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) {
        if (error)
            *error = "larger than 1 MiB";
        return false;
    }
    return loadText(text, error);
}

bool AllowList::loadFile(const std::string &path, std::string *error)
{
    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(std::string("cannot read: ") + std::strerror(errno));
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st
    {};
    if (::fstat(fd, &st) != 0)
        return fail(std::string("cannot read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail("not a regular file");
    if (st.st_size > static_cast<off_t>(kMaxFileSize))
        return fail("larger than 1 MiB");
    std::string text;
    char buffer[65536];
    while (text.size() <= kMaxFileSize) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(std::string("read error: ") + std::strerror(errno));
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (text.size() > kMaxFileSize)
        return fail("larger than 1 MiB");
    return loadText(text, error);
}

std::size_t AllowList::size() const
{
    return blocks_.size() + names_.size() + sockets_.size();
}

bool AllowList::allows(const cvtarget::Target &target) const
{
    const std::string key = target.key();
    for (const std::string &s : sockets_) {
        if (s == key)
            return true;
    }
    const cvtarget::Host &host = target.host;
    if (host.kind == HostKind::Name) {
        const std::string &name = host.text;
        for (const std::string &entry : names_) {
            if (entry[0] == '.'
                    ? name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0
                    : name == entry)
                return true;
        }
        return false;
    }
    const bool v6 = host.kind == HostKind::Ipv6;
    for (const Block &b : blocks_) {
        if (b.v6 == v6 && inBlock(host.bytes, b.addr, b.prefix))
            return true;
    }
    return false;
}

bool AllowList::allows(const std::string &resource) const
{
    cvtarget::Target t;
    return cvtarget::parseResource(resource, &t) && allows(t);
}

} // namespace cv4870exp
