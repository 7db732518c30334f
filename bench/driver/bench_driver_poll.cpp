// Time of one status poll -- the six queries the panel makes every 500 ms --
// through the driver, and through a bare blocking socket sending the same
// six tagged lines and reading the six reply lines (the floor). Both talk to the
// in-process emulator on loopback, one after the other.
//
// Usage: bench_driver_poll [polls]   (default 2000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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
    explicit BareSocket(std::uint16_t port)
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
    // line starts with that tag.
    bool exchange(const char *query)
    {
        const std::string tag = std::to_string(tag_++);
        line_.assign(":SYST:TAG? ").append(tag).append(";*CLS;").append(query).append(";:SYST:ERR?\n");
        if (::send(fd_, line_.data(), line_.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line_.size()))
            return false;
        for (;;) {
            const std::size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                const bool ours = pending_.compare(0, tag.size() + 1, tag + ";") == 0;
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
    int fd_ = -1;
    bool ok_ = false;
    std::string pending_;
    std::string line_;
    std::uint32_t tag_ = 0x48700000u;
};

// Times `polls` polls after a short warm-up, appending microseconds per poll.
template <typename Poll>
bool measure(int polls, Poll poll, std::vector<double> &us)
{
    for (int i = 0; i < 20; ++i)
        if (!poll())
            return false;
    for (int i = 0; i < polls; ++i) {
        const Clock::time_point t0 = Clock::now();
        if (!poll())
            return false;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int polls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
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
    BareSocket sock(mf.port());
    std::vector<double> driverUs, floorUs;
    bool driverOk = true, floorOk = sock.ok();
    for (int r = 0; r < kRounds && driverOk && floorOk; ++r) {
        driverOk = measure(
            polls / kRounds, [vi] { return drivePoll(vi); }, driverUs);
        floorOk = measure(
            polls / kRounds,
            [&sock] {
                for (const char *query : kPollQueries)
                    if (!sock.exchange(query))
                        return false;
                return true;
            },
            floorUs);
    }
    cv4870_close(vi);
    if (!driverOk || !floorOk) {
        std::fprintf(stderr, "a poll failed (%s)\n", driverOk ? "bare socket" : "driver");
        return 1;
    }
    const Figures driver = summarise(driverUs), floor = summarise(floorUs);
    std::printf("one poll = six queries, %zu polls each, microseconds per poll\n", driverUs.size());
    std::printf("%-12s %10s %10s %10s\n", "", "mean", "median", "p99");
    std::printf("%-12s %10.1f %10.1f %10.1f\n", "driver", driver.meanUs, driver.medianUs, driver.p99Us);
    std::printf("%-12s %10.1f %10.1f %10.1f\n", "bare socket", floor.meanUs, floor.medianUs, floor.p99Us);
    std::printf("driver / floor (median): %.2f\n", driver.medianUs / floor.medianUs);
    return 0;
}
