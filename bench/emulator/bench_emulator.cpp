// Emulator throughput: round trips per second and CPU time per round trip,
// for one client and for 32 concurrent clients on one mainframe.
//
// Each round trip is one line the way the driver sends it, cycling through
// the six queries of one panel poll: "*CLS;<query>;:SYST:ERR?".
//
// Then the cost of one short connection (connect, *IDN?, close) against a
// server emulating 64, 256 and 1,000 mainframes, each idle client-less.
#include "cv4870emu.h"
#include "lineclient.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

const char *const kPoll[] = {"STAT:LIN?", "MEAS:VOLT?", "MEAS:CURR?", "OUTP:STAT?", "FAN:SPE?", "MEAS:TEMP?"};

double cpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Figures
{
    long queries = 0;
    double wall = 0.0;
    double serverCpu = 0.0; // process CPU minus the clients' own threads
    double clientCpu = 0.0;
    long failures = 0;
};

Figures measure(int clients, long perClient)
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_emulator: %s\n", error.c_str());
        std::exit(1);
    }
    std::vector<std::thread> threads;
    std::vector<double> clientCpu(static_cast<std::size_t>(clients), 0.0);
    std::atomic<long> failures{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};

    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            LineClient client;
            if (!client.connect(mf.address(), mf.port())) {
                ++failures;
                ++ready;
                return;
            }
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            for (long i = 0; i < perClient; ++i) {
                const std::string line = std::string("*CLS;") + kPoll[i % 6] + ";:SYST:ERR?";
                const std::string reply = client.query(line);
                static const std::string ok = ";0,\"No error\"";
                if (reply.size() <= ok.size() || reply.compare(reply.size() - ok.size(), ok.size(), ok) != 0)
                    ++failures;
            }
            clientCpu[static_cast<std::size_t>(c)] = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
        });
    }
    while (ready.load() < clients)
        std::this_thread::yield();
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = cpuSeconds(CLOCK_MONOTONIC);
    go = true;
    for (std::thread &t : threads)
        t.join();
    Figures f;
    f.wall = cpuSeconds(CLOCK_MONOTONIC) - wall0;
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    for (double c : clientCpu)
        f.clientCpu += c;
    f.serverCpu = cpu - f.clientCpu;
    f.queries = clients * perClient;
    f.failures = failures.load();
    return f;
}

void print(const char *label, const Figures &f)
{
    std::printf("%-22s %8ld round trips in %6.2f s: %9.0f per s, server CPU %6.1f us, client CPU %6.1f us per "
                "round trip%s\n",
                label, f.queries, f.wall, static_cast<double>(f.queries) / f.wall,
                f.serverCpu / static_cast<double>(f.queries) * 1e6, f.clientCpu / static_cast<double>(f.queries) * 1e6,
                f.failures ? "  (FAILURES)" : "");
}

// The command layer alone (parser, model, reply text), without sockets.
void measureCommandLayer(long lines)
{
    cv4870emu::Mainframe mf;
    long bytes = 0;
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    for (long i = 0; i < lines; ++i)
        bytes += static_cast<long>(mf.processLine(std::string("*CLS;") + kPoll[i % 6] + ";:SYST:ERR?").bytes.size());
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    std::printf("%-22s %8ld lines, %ld reply bytes: CPU %6.2f us per line\n", "command layer only", lines, bytes,
                cpu / static_cast<double>(lines) * 1e6);
}

// Connect, one *IDN? and close, over the mainframes in turn: the median
// and range over five batches of the time per connection, and the server
// thread's CPU per connection (process CPU less this thread's).
void measureConnections(int mainframes, int perBatch)
{
    cv4870emu::Server server;
    for (int i = 0; i < mainframes; ++i)
        server.addMainframe("127.0.25." + std::to_string(1 + i % 250), 0);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench_emulator: %s\n", error.c_str());
        std::exit(1);
    }
    std::vector<double> batches, serverCpu;
    long failures = 0;
    for (int b = 0; b < 5; ++b) {
        const double wall0 = cpuSeconds(CLOCK_MONOTONIC);
        const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double thread0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < perBatch; ++i) {
            cv4870emu::Mainframe &mf = server.mainframe(static_cast<std::size_t>((b * perBatch + i) % mainframes));
            LineClient client;
            if (!client.connect(mf.address(), mf.port()) || client.query("*IDN?").empty())
                ++failures;
        }
        batches.push_back((cpuSeconds(CLOCK_MONOTONIC) - wall0) / perBatch * 1e6);
        const double clientCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread0;
        serverCpu.push_back((cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0 - clientCpu) / perBatch * 1e6);
    }
    std::sort(batches.begin(), batches.end());
    std::sort(serverCpu.begin(), serverCpu.end());
    std::printf("%4d mainframes: connect, *IDN?, close: median %6.1f us (%.1f to %.1f), server CPU %5.1f us (%.1f "
                "to %.1f) per connection%s\n",
                mainframes, batches[2], batches.front(), batches.back(), serverCpu[2], serverCpu.front(),
                serverCpu.back(), failures ? "  (FAILURES)" : "");
}

} // namespace

int main(int argc, char **argv)
{
    // Round trips per client; scale with the first argument (default 1).
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const long single = static_cast<long>(30000 * (scale > 0 ? scale : 1.0));
    const long each = static_cast<long>(2000 * (scale > 0 ? scale : 1.0));
    measure(1, 1000); // warm-up
    print("1 client", measure(1, single));
    print("32 concurrent clients", measure(32, each));
    measureCommandLayer(single * 4);
    for (int mainframes : {64, 256, 1000})
        measureConnections(mainframes, static_cast<int>(400 * (scale > 0 ? scale : 1.0)));
    return 0;
}
