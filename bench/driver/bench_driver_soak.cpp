// The long soak: the panel's poll through the driver against the in-process
// emulator injecting random link faults (extra, duplicated, late, garbage,
// oversized and missing replies, dropped connections); every successful
// call checked against the emulator's true reply to its own line.
//
// Usage: bench_driver_soak [exchanges] [fault share] [timeout ms] [seed]
//        (defaults 100000, 0.02, 60, 4870)
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "driver_soak.h"

int main(int argc, char **argv)
{
    const long exchanges = argc > 1 ? std::max(1L, std::atol(argv[1])) : 100000;
    const double share = argc > 2 ? std::atof(argv[2]) : 0.02;
    const auto timeoutMs = static_cast<ViUInt32>(argc > 3 ? std::max(10, std::atoi(argv[3])) : 60);
    const auto seed = static_cast<std::uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 4870);
    const soak::Figures f = soak::run(exchanges, share, timeoutMs, seed);
    const auto pct = [&f](long n) {
        return f.exchanges ? 100.0 * static_cast<double>(n) / static_cast<double>(f.exchanges) : 0.0;
    };
    std::printf("exchanges        %ld\n", f.exchanges);
    std::printf("injected faults  %ld (%.2f %%)\n", f.faults, pct(f.faults));
    std::printf("failed calls     %ld (%.2f %%)\n", f.failed, pct(f.failed));
    std::printf("sessions reopened %ld\n", f.reopens);
    std::printf("wrong readings   %ld\n", f.wrong);
    std::printf("run time         %.1f s (session timeout %u ms)\n", f.seconds, timeoutMs);
    if (f.wrong)
        std::printf("first wrong: %s\n", f.firstWrong.c_str());
    return f.wrong == 0 && f.exchanges == exchanges ? 0 : 1;
}
