/* Resource file and network scan behind viFindRsrc.
 *
 * Format, one entry per line ('#' starts a comment, blank lines ignored):
 *   <resource string>                         listed as written
 *   scan <a.b.c.d>/<prefix> <port> [board]    listed when a connect succeeds */
#include "rsrcfile.h"

#include "rsrcname.h"
#include "tcpconn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <set>
#include <tuple>
#include <unordered_set>

namespace cvvisa {

namespace {

std::vector<std::string> splitWords(const std::string &line)
{
    std::vector<std::string> words;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    for (std::size_t i = 0; i < line.size();) {
        while (i < line.size() && blank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !blank(line[i]))
            ++i;
        if (i > start)
            words.emplace_back(line, start, i - start);
    }
    return words;
}

bool sameNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::string lowerCase(std::string s)
{
    for (char &c : s)
        c = asciiLower(c);
    return s;
}

bool allDigits(const std::string &s, std::size_t maxLen)
{
    return !s.empty() && s.size() <= maxLen &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

/* "scan a.b.c.d/prefix port [board]": fills range or says what is wrong. */
std::string parseScan(const std::vector<std::string> &words, ScanRange *range)
{
    if (words.size() < 3 || words.size() > 4)
        return "expected: scan <a.b.c.d>/<prefix> <port> [board]";
    const std::string &block = words[1];
    std::size_t slash = block.find('/');
    if (slash == std::string::npos)
        return "address block without /prefix";
    std::string addr = block.substr(0, slash), prefix = block.substr(slash + 1);
    in_addr a;
    if (inet_pton(AF_INET, addr.c_str(), &a) != 1)
        return "not a dotted IPv4 address: " + addr;
    if (!allDigits(prefix, 2) || std::atoi(prefix.c_str()) > 32)
        return "bad prefix length: " + prefix;
    int bits = std::atoi(prefix.c_str());
    if (bits < kMinScanPrefix)
        return "block larger than /" + std::to_string(kMinScanPrefix) + " refused: " + block;
    if (!allDigits(words[2], 5) || std::atol(words[2].c_str()) < 1 || std::atol(words[2].c_str()) > 65535)
        return "bad port: " + words[2];
    if (words.size() == 4 && !allDigits(words[3], 5))
        return "bad board number: " + words[3];

    std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t(0) << (32 - bits);
    std::uint32_t base = ntohl(a.s_addr) & mask;
    range->first = base;
    range->last = base | ~mask;
    /* The network and broadcast addresses of a subnet hold no device. */
    if (bits <= 30) {
        ++range->first;
        --range->last;
    }
    range->port = unsigned(std::atol(words[2].c_str()));
    range->board = words.size() == 4 ? std::to_string(std::atol(words[3].c_str())) : std::string();
    return std::string();
}

bool isPrintableName(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

struct Target
{
    std::uint32_t addr;
    unsigned port;
    std::string board;
    bool operator<(const Target &o) const { return std::tie(addr, port, board) < std::tie(o.addr, o.port, o.board); }
    bool operator==(const Target &o) const { return addr == o.addr && port == o.port && board == o.board; }
};

std::string targetName(const Target &t)
{
    char dotted[INET_ADDRSTRLEN] = "";
    in_addr a;
    a.s_addr = htonl(t.addr);
    inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    return "TCPIP" + t.board + "::" + dotted + "::" + std::to_string(t.port) + "::SOCKET";
}

SockAddr targetAddr(const Target &t)
{
    SockAddr sa;
    memset(&sa, 0, sizeof sa);
    sockaddr_in *in = reinterpret_cast<sockaddr_in *>(&sa.storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(std::uint16_t(t.port));
    in->sin_addr.s_addr = htonl(t.addr);
    sa.len = sizeof(sockaddr_in);
    return sa;
}

} // namespace

std::string resourceFilePath()
{
    const char *env = getenv("CV_VISA_RESOURCES");
    if (env && *env)
        return env;
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/cv-visa/resources.conf";
    const char *home = getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config/cv-visa/resources.conf";
    return std::string();
}

void parseResourceConfig(const std::string &text, ResourceConfig *out)
{
    std::string line;
    std::uint64_t scanned = 0;
    for (const ScanRange &r : out->scans)
        scanned += std::uint64_t(r.last) - r.first + 1;
    std::size_t pos = 0;
    for (int lineNo = 1; pos < text.size(); ++lineNo) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        line.assign(text, pos, nl - pos);
        pos = nl + 1;
        std::size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<std::string> words = splitWords(line);
        if (words.empty())
            continue;
        std::string problem;
        if (sameNoCase(words[0], "scan")) {
            ScanRange range;
            problem = parseScan(words, &range);
            std::uint64_t size = std::uint64_t(range.last) - range.first + 1;
            if (problem.empty() && scanned + size > kMaxScanAddresses)
                problem = "scan lines add up to more than " + std::to_string(kMaxScanAddresses) + " addresses";
            if (problem.empty()) {
                out->scans.push_back(range);
                scanned += size;
            }
        } else if (words.size() != 1) {
            problem = "one resource string per line";
        } else if (words[0].size() > kMaxRsrcNameLen) {
            problem = "resource string longer than " + std::to_string(kMaxRsrcNameLen) + " characters";
        } else if (!isPrintableName(words[0])) {
            problem = "resource string with control or non-ASCII characters";
        } else {
            out->names.push_back(words[0]);
        }
        if (!problem.empty())
            out->problems.push_back(std::to_string(lineNo) + ": " + problem);
    }
}

/* A path that is there but is no regular file is said once per process:
 * every search would otherwise repeat it. */
static void reportNotRegular(const std::string &path)
{
    static std::mutex lock;
    static std::set<std::string> reported;
    std::lock_guard<std::mutex> g(lock);
    if (reported.insert(path).second)
        fprintf(stderr, "visa: %s: not a regular file, ignored\n", path.c_str());
}

bool loadResourceFile(const std::string &path, ResourceConfig *out)
{
    if (path.empty())
        return false;
    /* Non-blocking, so that opening a FIFO without a writer returns. */
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        reportNotRegular(path);
        return false;
    }
    /* One byte more than the limit tells whether anything was left over. */
    std::string text(kMaxResourceFileSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += std::size_t(n);
    }
    close(fd);
    text.resize(got);
    if (text.size() > kMaxResourceFileSize) {
        /* Drop the partial last line rather than read half an entry. */
        text.resize(kMaxResourceFileSize);
        std::size_t lastNl = text.rfind('\n');
        text.resize(lastNl == std::string::npos ? 0 : lastNl + 1);
        out->problems.push_back("file larger than " + std::to_string(kMaxResourceFileSize) +
                                " bytes; the rest ignored");
    }
    parseResourceConfig(text, out);
    return true;
}

std::vector<std::string> scanRanges(const std::vector<ScanRange> &ranges, const ScanOptions &opt)
{
    std::vector<Target> targets;
    for (const ScanRange &r : ranges)
        for (std::uint64_t a = r.first; a <= r.last; ++a)
            targets.push_back({std::uint32_t(a), r.port, r.board});
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());

    struct Probe
    {
        int fd;
        std::size_t target;
        Deadline deadline;
    };
    std::vector<char> hit(targets.size(), 0);
    std::vector<Probe> inFlight;
    const std::size_t parallel = opt.parallel ? opt.parallel : 1;
    std::size_t next = 0;
    while (next < targets.size() || !inFlight.empty()) {
        while (next < targets.size() && inFlight.size() < parallel) {
            bool done = false;
            int fd = startConnect(targetAddr(targets[next]), &done);
            if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !inFlight.empty())
                break; /* out of descriptors: wait for some to come back */
            if (fd >= 0 && done) {
                hit[next] = 1;
                close(fd);
            } else if (fd >= 0) {
                inFlight.push_back({fd, next, Deadline(opt.probeTimeoutMs)});
            }
            ++next;
        }
        if (inFlight.empty())
            continue;
        std::vector<pollfd> pfds;
        int waitMs = int(opt.probeTimeoutMs);
        for (const Probe &p : inFlight) {
            pfds.push_back({p.fd, POLLOUT, 0});
            waitMs = std::min(waitMs, p.deadline.pollMs());
        }
        int n = poll(pfds.data(), pfds.size(), waitMs);
        if (n < 0 && errno != EINTR)
            n = 0;
        std::vector<Probe> still;
        for (std::size_t i = 0; i < inFlight.size(); ++i) {
            const Probe &p = inFlight[i];
            if (pfds[i].revents) {
                if (socketError(p.fd) == 0)
                    hit[p.target] = 1;
                close(p.fd);
            } else if (p.deadline.expired()) {
                close(p.fd);
            } else {
                still.push_back(p);
            }
        }
        inFlight.swap(still);
    }

    std::vector<std::string> names;
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (hit[i])
            names.push_back(targetName(targets[i]));
    return names;
}

std::vector<std::string> collectResources(const ResourceConfig &config, const ScanOptions &opt)
{
    std::vector<std::string> all = config.names;
    if (!config.scans.empty()) {
        std::vector<std::string> hits = scanRanges(config.scans, opt);
        all.insert(all.end(), hits.begin(), hits.end());
    }
    std::vector<std::string> unique;
    std::unordered_set<std::string> seen;
    seen.reserve(all.size());
    for (const std::string &name : all)
        if (seen.insert(lowerCase(name)).second)
            unique.push_back(name);
    return unique;
}

} // namespace cvvisa
