// Time of one status poll -- the six queries the panel makes every 500 ms --
// through the driver, and through a bare blocking socket sending the same
// six tagged lines and reading the six reply lines (the floor). Both talk to the
// in-process emulator on loopback, one after the other. Beside the wall time
// per poll, the CPU time of the calling thread per query: the figure to
// compare when the emulator shares the client's core (`taskset -c 1`), as
// it is free of the emulator's own work. A second floor sends the bare
// query (`:STAT:LIN?` alone), without the driver's tag and error query.
//
// Usage: bench_driver_poll [polls] [driver|tagged|plain]   (default 2000)
// With a side named, only that side runs: for a profiler or strace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cv4870.h"
#include "cv4870emu.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *const kPollQueries[] = {":STAT:LIN?",  ":MEAS:VOLT?", ":MEAS:CURR?",
                                    ":OUTP:STAT?", ":FAN:SPE?",   ":MEAS:TEMP?"};

struct Figures
{
    double meanUs, medianUs, p99Us;
};

// CPU time of the calling thread, user and system, in microseconds.
double threadCpuUs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

Figures summarise(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    return {sum / static_cast<double>(us.size()), us[us.size() / 2], us[us.size() * 99 / 100]};
}

bool drivePoll(ViSession vi)
{
    ViBoolean f[7];
    ViReal64 v[7];
    ViInt32 n[4];
    return cv4870_getStatus(vi, f, f + 1, f + 2, f + 3, f + 4, f + 5) == VI_SUCCESS &&
           cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6) == VI_SUCCESS &&
           cv4870_getOutputCurrents(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6) == VI_SUCCESS &&
           cv4870_getOutputStates(vi, f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6) == VI_SUCCESS &&
           cv4870_getFanSpeed(vi, n, n + 1, n + 2, n + 3) == VI_SUCCESS &&
           cv4870_getTemperature(vi, n, n + 1) == VI_SUCCESS;
}

// The floor: one blocking socket, each line written whole, each reply read
// up to its LF (with a 2 s bound, as the driver has).
class BareSocket
{
public:
    BareSocket(std::uint16_t port, bool tagged)
        : tagged_(tagged)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~BareSocket() { ::close(fd_); }
    bool ok() const { return ok_; }

    // The driver's line for `query` with the next tag; true when the reply
    // line starts with that tag. Untagged: the query alone, any reply line.
    bool exchange(const char *query)
    {
        const std::string tag = tagged_ ? std::to_string(tag_++) : std::string();
        if (tagged_)
            line_.assign(":SYST:TAG? ").append(tag).append(";*CLS;").append(query).append(";:SYST:ERR?\n");
        else
            line_.assign(query).append("\n");
        if (::send(fd_, line_.data(), line_.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line_.size()))
            return false;
        for (;;) {
            const std::size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                const bool ours = !tagged_ || pending_.compare(0, tag.size() + 1, tag + ";") == 0;
                pending_.erase(0, lf + 1);
                return ours;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                return false;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            pending_.append(buf, static_cast<std::size_t>(n));
        }
    }

private:
    bool tagged_;
    int fd_ = -1;
    bool ok_ = false;
    std::string pending_;
    std::string line_;
    std::uint32_t tag_ = 0x48700000u;
};

// Times `polls` polls after a short warm-up, appending microseconds per poll
// and adding the thread's CPU time over them to `cpuUs`.
template <typename Poll>
bool measure(int polls, Poll poll, std::vector<double> &us, double &cpuUs)
{
    for (int i = 0; i < 20; ++i)
        if (!poll())
            return false;
    const double cpu0 = threadCpuUs();
    for (int i = 0; i < polls; ++i) {
        const Clock::time_point t0 = Clock::now();
        if (!poll())
            return false;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    cpuUs += threadCpuUs() - cpu0;
    return true;
}

bool bareSocketPoll(BareSocket &sock)
{
    for (const char *query : kPollQueries)
        if (!sock.exchange(query))
            return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int polls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    const std::string only = argc > 2 ? argv[2] : "";
    const auto runs = [&only](const char *side) { return only.empty() || only == side; };
    cv4870emu::Server server;
    server.setLogLevel(cv4870emu::LogLevel::Quiet);
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }
    std::string rsrc = "TCPIP::127.0.0.1::" + std::to_string(mf.port()) + "::SOCKET";

    ViSession vi = VI_NULL;
    const ViStatus st = cv4870_init(&rsrc[0], VI_TRUE, VI_FALSE, &vi);
    if (st != VI_SUCCESS) {
        char text[CV4870_ERROR_MESSAGE_BUFLEN];
        cv4870_error_message(VI_NULL, st, text);
        std::fprintf(stderr, "cv4870_init: %s\n", text);
        return 1;
    }
    // Driver and floor take turns in rounds, so that a burst of load on the
    // machine does not fall on one side only.
    constexpr int kRounds = 10;
    BareSocket sock(mf.port(), true), plain(mf.port(), false);
    std::vector<double> driverUs, floorUs, plainUs;
    double driverCpu = 0, floorCpu = 0, plainCpu = 0;
    bool driverOk = true, floorOk = sock.ok() && plain.ok();
    for (int r = 0; r < kRounds && driverOk && floorOk; ++r) {
        if (runs("driver"))
            driverOk = measure(
                polls / kRounds, [vi] { return drivePoll(vi); }, driverUs, driverCpu);
        if (runs("tagged"))
            floorOk = measure(
                polls / kRounds, [&sock] { return bareSocketPoll(sock); }, floorUs, floorCpu);
        if (runs("plain") && floorOk)
            floorOk = measure(
                polls / kRounds, [&plain] { return bareSocketPoll(plain); }, plainUs, plainCpu);
    }
    cv4870_close(vi);
    if (!driverOk || !floorOk) {
        std::fprintf(stderr, "a poll failed (%s)\n", driverOk ? "bare socket" : "driver");
        return 1;
    }
    const int perSide = polls / kRounds * kRounds;
    std::printf("one poll = six queries, %d polls each, microseconds per poll; CPU of the calling thread per query\n",
                perSide);
    std::printf("%-20s %10s %10s %10s %10s\n", "", "mean", "median", "p99", "CPU/query");
    const auto row = [perSide](const char *name, const std::vector<double> &us, double cpuUs) {
        if (us.empty())
            return;
        const Figures f = summarise(us);
        std::printf("%-20s %10.1f %10.1f %10.1f %10.2f\n", name, f.meanUs, f.medianUs, f.p99Us, cpuUs / perSide / 6);
    };
    row("driver", driverUs, driverCpu);
    row("bare socket, tagged", floorUs, floorCpu);
    row("bare socket, plain", plainUs, plainCpu);
    if (only.empty()) {
        const double driverMedian = summarise(driverUs).medianUs;
        std::printf("driver / tagged floor: median %.2f, CPU %.2f\n", driverMedian / summarise(floorUs).medianUs,
                    driverCpu / floorCpu);
        std::printf("driver / plain floor:  median %.2f, CPU %.2f\n", driverMedian / summarise(plainUs).medianUs,
                    driverCpu / plainCpu);
    }
    return 0;
}
