/* Worst cases of the VISA library's bookkeeping: viFindRsrc with hostile
 * find expressions over a full resource file, and closing many resource
 * managers.
 *
 *   bench_visa_find [rounds]     (default 3) */
#include "findexpr.h"
#include "visa.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

/* Alternatives a|b|c... of n copies of item, cut to the length limit. */
std::string alternatives(const std::string &item, int n)
{
    std::string out = item;
    for (int i = 1; i < n && out.size() + 1 + item.size() <= 4096; ++i)
        out += "|" + item;
    return out;
}

struct Case
{
    const char *what;
    std::string expr;
};

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    /* As many names as fit the 1 MiB the library reads. */
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "bench_visa_find.conf";
    std::size_t names = 0;
    {
        std::ofstream out(file);
        std::size_t bytes = 0;
        for (unsigned i = 0;; ++i) {
            const std::string line = "TCPIP::127." + std::to_string(i >> 16 & 255) + "." +
                                     std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255) + "::23::SOCKET\n";
            if (bytes + line.size() > (1u << 20))
                break;
            out << line;
            bytes += line.size();
            ++names;
        }
    }
    setenv("CV_VISA_RESOURCES", file.c_str(), 1);

    const std::vector<Case> cases = {
        {"?*", "?*"},
        {"1,365 alternatives ?*", alternatives("?*", 2000)},
        {"1,024 alternatives ?*?*", alternatives("?*?*", 2000)},
        {"819 alternatives ?*1?*", alternatives("?*1?*", 2000)},
        {"585 literal names", alternatives("TCPIP::127.0.0.1::23::SOCKET", 2000).substr(0, 4090)},
        {"(?*)* nested 60 deep", repeat("(", 60) + "?*" + repeat(")*", 60)},
        {"?*1 then 20 ?", "?*1" + std::string(20, '?')},
        {"?*1 then 12 ?", "?*1" + std::string(12, '?')},
        {"?*, 1 of 38 classes, 12 ?",
         "?*[0-9a-z.:_]" + std::string(12, '?') + "|" + alternatives("[0-9]", 10) + "|" + alternatives("[a-z]", 26)},
        {"2,000 classes then 10 ?",
         "?*[0-9a-z]" + std::string(10, '?') + "|" + repeat("[0-9]", 400) + "|" + repeat("[a-z]", 400)},
        {"1,365 alternatives [0-9]*", alternatives("[0-9]*", 2000)},
        {"2,048 ?* in a row", repeat("?*", 2048)},
        {"(?|?*)+ repeated", repeat("(?|?*)+", 585)},
    };
    std::vector<std::string> list;
    {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line) && list.size() < 30000;)
            list.push_back(line);
    }
    std::printf("compile and match against %zu names, best to worst of %d rounds:\n", list.size(), rounds);
    double worst = 0;
    for (const Case &c : cases) {
        double best = 1e300, slowest = 0;
        ViStatus st = VI_SUCCESS;
        std::size_t hits = 0;
        for (int r = 0; r < rounds; ++r) {
            const auto t0 = Clock::now();
            cvvisa::FindExpr fe;
            st = fe.compile(c.expr.c_str());
            hits = 0;
            if (st == VI_SUCCESS)
                hits = std::size_t(
                    std::count_if(list.begin(), list.end(), [&](const std::string &n) { return fe.matches(n); }));
            const double ms = msSince(t0);
            best = std::min(best, ms);
            slowest = std::max(slowest, ms);
        }
        worst = std::max(worst, slowest);
        std::printf("  %-28s %4zu chars: %8.2f to %8.2f ms, %s, %zu names\n", c.what, c.expr.size(), best, slowest,
                    st == VI_SUCCESS ? "matched" : "refused", hits);
    }
    std::printf("slowest: %.2f ms\n", worst);

    ViSession rm = VI_NULL;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS)
        return 1;
    double best = 1e300, slowest = 0;
    ViUInt32 count = 0;
    for (int r = 0; r < rounds; ++r) {
        ViChar desc[VI_FIND_BUFLEN];
        const auto t0 = Clock::now();
        viFindRsrc(rm, "?*", nullptr, &count, desc);
        const double ms = msSince(t0);
        best = std::min(best, ms);
        slowest = std::max(slowest, ms);
    }
    std::printf("viFindRsrc \"?*\" over the whole file (%zu lines): %.2f to %.2f ms, %u names\n", names, best, slowest,
                count);
    viClose(rm);

    /* The handle table at its size limit. */
    std::vector<ViSession> rms(65536);
    for (ViSession &m : rms)
        if (viOpenDefaultRM(&m) != VI_SUCCESS)
            m = VI_NULL;
    const auto t0 = Clock::now();
    for (ViSession m : rms)
        viClose(m);
    std::printf("closing %zu resource managers: %.1f ms\n", rms.size(), msSince(t0));
    std::filesystem::remove(file);
    return 0;
}
