// cv4870ctl as a script sees it: the wall time of `cv4870ctl status` from
// process start to exit against the in-process emulator on loopback, beside
// starting /bin/true the same way (the cost of any process), and the CPU
// time `cv4870ctl watch` spends per snapshot at a short interval.
//
// Usage: bench_ctl [runs] [snapshots]   (defaults 50 and 400)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cv4870emu.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts argv with stdout and stderr on /dev/null and waits for it; the
// wall time in ms, and the child's resource use.
double run(std::vector<std::string> args, rusage *usage, int *status)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        std::exit(1);
    }
    wait4(pid, status, 0, usage);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double cpuMs(const rusage &u)
{
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    const int snapshots = argc > 2 ? std::atoi(argv[2]) : 400;
    if (runs < 1 || snapshots < 1) {
        std::fprintf(stderr, "usage: bench_ctl [runs] [snapshots]\n");
        return 2;
    }
    cv4870emu::Server server;
    server.setLogLevel(cv4870emu::LogLevel::Quiet);
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string target = "127.0.0.1:" + std::to_string(mf.port());

    // The two take turns so that bursts of machine load fall on both.
    std::vector<double> statusMs, trueMs;
    rusage usage{};
    int status = 0;
    for (int i = 0; i < runs; ++i) {
        statusMs.push_back(run({CV4870CTL_PROGRAM, "status", target}, &usage, &status));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "cv4870ctl status failed (status %d)\n", status);
            return 1;
        }
        trueMs.push_back(run({"/bin/true"}, &usage, &status));
    }
    std::printf("cv4870ctl status, start to exit, median of %d: %.2f ms (/bin/true: %.2f ms)\n", runs, median(statusMs),
                median(trueMs));

    const double wall = run({CV4870CTL_PROGRAM, "watch", target, "--interval", "10", "--count",
                             std::to_string(snapshots), "--log", "/dev/null"},
                            &usage, &status);
    std::printf("cv4870ctl watch, %d snapshots at 10 ms: CPU %.1f us per snapshot (user %.0f ms, system %.0f ms, "
                "wall %.0f ms, max RSS %ld kB)\n",
                snapshots, cpuMs(usage) * 1e3 / snapshots,
                static_cast<double>(usage.ru_utime.tv_sec) * 1e3 + static_cast<double>(usage.ru_utime.tv_usec) / 1e3,
                static_cast<double>(usage.ru_stime.tv_sec) * 1e3 + static_cast<double>(usage.ru_stime.tv_usec) / 1e3,
                wall, usage.ru_maxrss);
    return 0;
}
