// Scrapes through cv4870-exporter (a child process) of mainframes emulated
// in this process, as Prometheus makes them: one keep-alive connection per
// target, the scrape timeout header, every target of a round at once.
//
//   1. one mainframe scraped back to back: median and p99 latency, and the
//      exporter's CPU time per scrape;
//   2. 16, 64 and 256 mainframes scraped in parallel rounds: round time and
//      CPU per scrape, which stays flat when the cost grows linearly;
//   3. the exporter's peak resident memory (VmHWM) with 1,024 open sessions;
//   4. one mainframe scraped back to back while 1,000 connections from four
//      other addresses hold unfinished requests: latency, and the exporter's
//      threads and resident memory with those connections open.
//
// Usage: bench_exporter [scrapes]   (scrapes of the single mainframe, default 2000)
// CV4870_EXPORTER=<program> runs another build of the exporter.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cv4870emu.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The exporter as a child process.
struct Exporter
{
    pid_t pid = -1;
    int port = 0;

    bool start(const char *program)
    {
        int out[2];
        if (pipe(out) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const char *argv[] = {program,          "--listen", "127.0.0.1:0",  "--ready", "--allow", "127.0.0.1",
                              "--max-sessions", "1100",     "--max-probes", "1024",    nullptr};
        const int rc = posix_spawn(&pid, program, &actions, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char line[128] = {};
        FILE *f = fdopen(out[0], "r");
        const bool ok =
            rc == 0 && f && std::fgets(line, sizeof line, f) && std::sscanf(line, "LISTENING %*s %d", &port) == 1;
        if (f)
            std::fclose(f);
        return ok;
    }
    ~Exporter()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    // User plus system CPU seconds of the process so far.
    double cpuSeconds() const
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(all.substr(all.rfind(')') + 2));
        std::string skip;
        for (int i = 0; i < 11; ++i)
            fields >> skip;
        double utime = 0, stime = 0;
        fields >> utime >> stime;
        return (utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    std::size_t threads() const
    {
        std::size_t n = 0;
        if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
            while (const dirent *e = readdir(dir))
                n += e->d_name[0] != '.' ? 1u : 0u;
            closedir(dir);
        }
        return n;
    }
    long statusKb(const char *key) const
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, std::strlen(key), key) == 0)
                return std::atol(line.c_str() + std::strlen(key) + 1);
        }
        return -1;
    }
};

// A TCP socket bound to a loopback source address, or unbound.
int openFrom(const char *source)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from);
    }
    return fd;
}

// One keep-alive HTTP connection, as Prometheus keeps one per target.
struct Scraper
{
    int fd = -1;
    std::string request;

    Scraper(int exporterPort, int targetPort, const char *source = nullptr)
    {
        request = "GET /probe?target=127.0.0.1:" + std::to_string(targetPort) +
                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Prometheus-Scrape-Timeout-Seconds: 10\r\n\r\n";
        fd = openFrom(source);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(exporterPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Scraper()
    {
        if (fd >= 0)
            close(fd);
    }
    // True when the answer is 200 with "cv4870_up 1".
    bool scrape()
    {
        if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            return false;
        std::string in;
        char buf[8192];
        std::size_t need = std::string::npos;
        while (need == std::string::npos || in.size() < need) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            in.append(buf, std::size_t(n));
            const std::size_t end = in.find("\r\n\r\n");
            const std::size_t length = in.find("Content-Length: ");
            if (need == std::string::npos && end != std::string::npos && length != std::string::npos)
                need = end + 4 + std::strtoul(in.c_str() + length + 16, nullptr, 10);
        }
        return in.compare(0, 12, "HTTP/1.1 200") == 0 && in.find("\ncv4870_up 1\n") != std::string::npos;
    }
};

struct Emulated
{
    cv4870emu::Server server;
    std::vector<int> ports;
    explicit Emulated(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            server.addMainframe("127.0.0.1", 0, std::uint32_t(4870 + i));
        std::string error;
        if (!server.start(&error)) {
            std::fprintf(stderr, "emulator: %s\n", error.c_str());
            std::exit(1);
        }
        for (std::size_t i = 0; i < count; ++i)
            ports.push_back(server.mainframe(i).port());
    }
};

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))];
}

void single(const char *program, int scrapes)
{
    Emulated emu(1);
    Exporter exporter;
    if (!exporter.start(program))
        std::exit(1);
    Scraper s(exporter.port, emu.ports[0]);
    for (int i = 0; i < 100; ++i)
        s.scrape();
    std::vector<double> ms;
    const double cpu0 = exporter.cpuSeconds();
    int failed = 0;
    for (int i = 0; i < scrapes; ++i) {
        const Clock::time_point t = Clock::now();
        failed += s.scrape() ? 0 : 1;
        ms.push_back(msSince(t));
    }
    const double cpu = exporter.cpuSeconds() - cpu0;
    std::printf("one mainframe, %d scrapes: median %.3f ms, p99 %.3f ms, exporter CPU %.1f us per scrape, "
                "%d failed\n",
                scrapes, percentile(ms, 0.5), percentile(ms, 0.99), cpu * 1e6 / scrapes, failed);
}

void parallel(const char *program, std::size_t count, int rounds)
{
    Emulated emu(count);
    Exporter exporter;
    if (!exporter.start(program))
        std::exit(1);
    std::vector<std::unique_ptr<Scraper>> scrapers;
    for (int port : emu.ports)
        scrapers.push_back(std::make_unique<Scraper>(exporter.port, port));

    // One thread per target, released together for every round.
    std::mutex m;
    std::condition_variable cv;
    int round = -1;
    std::size_t finished = 0, failed = 0;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            for (int r = 0; r < rounds; ++r) {
                {
                    std::unique_lock<std::mutex> lock(m);
                    cv.wait(lock, [&] { return round >= r; });
                }
                const bool ok = scrapers[i]->scrape();
                std::lock_guard<std::mutex> lock(m);
                failed += ok ? 0u : 1u;
                ++finished;
                cv.notify_all();
            }
        });
    }
    std::vector<double> roundMs;
    double cpu0 = 0;
    for (int r = 0; r < rounds; ++r) {
        if (r == 2) // the first two rounds open the sessions
            cpu0 = exporter.cpuSeconds();
        const Clock::time_point t = Clock::now();
        std::unique_lock<std::mutex> lock(m);
        round = r;
        cv.notify_all();
        cv.wait(lock, [&] { return finished == count * std::size_t(r + 1); });
        if (r >= 2)
            roundMs.push_back(msSince(t));
    }
    const double cpu = exporter.cpuSeconds() - cpu0;
    for (std::thread &t : threads)
        t.join();
    const double scrapes = double(count) * double(rounds - 2);
    std::printf("%zu mainframes in parallel, %d rounds: round median %.2f ms (%.3f ms per mainframe), p99 %.2f ms, "
                "exporter CPU %.1f us per scrape, VmHWM %.1f MB, %zu failed\n",
                count, rounds - 2, percentile(roundMs, 0.5), percentile(roundMs, 0.5) / double(count),
                percentile(roundMs, 0.99), cpu * 1e6 / scrapes, double(exporter.statusKb("VmHWM:")) / 1024, failed);
}

void memory(const char *program, std::size_t count)
{
    Emulated emu(count);
    Exporter exporter;
    if (!exporter.start(program))
        std::exit(1);
    const long before = exporter.statusKb("VmHWM:");
    std::size_t up = 0;
    for (int port : emu.ports) {
        Scraper one(exporter.port, port);
        up += one.scrape() ? 1u : 0u;
    }
    std::printf("%zu open sessions (%zu up): exporter VmHWM %.1f MB (%.1f MB at start), VmRSS %.1f MB, "
                "%.1f kB per session\n",
                count, up, double(exporter.statusKb("VmHWM:")) / 1024, double(before) / 1024,
                double(exporter.statusKb("VmRSS:")) / 1024,
                double(exporter.statusKb("VmHWM:") - before) / double(count));
}

void slowClients(const char *program, std::size_t count, int scrapes)
{
    Emulated emu(1);
    Exporter exporter;
    if (!exporter.start(program))
        std::exit(1);
    const long rssBefore = exporter.statusKb("VmRSS:");
    const std::size_t threadsBefore = exporter.threads();
    // Unfinished requests from four addresses, as a few hostile hosts would
    // hold them; the deadlines in force are longer than this part runs.
    const char *const sources[] = {"127.0.0.10", "127.0.0.11", "127.0.0.12", "127.0.0.13"};
    std::vector<int> slow;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(exporter.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (std::size_t i = 0; i < count; ++i) {
        const int fd = openFrom(sources[i % 4]);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            send(fd, "GET / HTTP/1.1\r\nHost", 21, 0) == 21)
            slow.push_back(fd);
        else
            close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rss = exporter.statusKb("VmRSS:");
    const std::size_t threads = exporter.threads();
    Scraper s(exporter.port, emu.ports[0], "127.0.0.2");
    std::vector<double> ms;
    int failed = 0;
    const Clock::time_point begin = Clock::now();
    for (int i = 0; i < scrapes && msSince(begin) < 5000; ++i) {
        const Clock::time_point t = Clock::now();
        failed += s.scrape() ? 0 : 1;
        ms.push_back(msSince(t));
    }
    std::size_t open = 0;
    for (int fd : slow) {
        char c;
        const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        open += n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 1u : 0u;
        close(fd);
    }
    std::printf("%zu slow connections (%zu still open after): %zu scrapes, median %.3f ms, p99 %.3f ms, %d failed; "
                "exporter threads %zu (%zu before), VmRSS %.1f MB (%.1f MB before)\n",
                count, open, ms.size(), ms.empty() ? 0.0 : percentile(ms, 0.5), ms.empty() ? 0.0 : percentile(ms, 0.99),
                failed, threads, threadsBefore, double(rss) / 1024, double(rssBefore) / 1024);
}

} // namespace

int main(int argc, char **argv)
{
    const int scrapes = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char *program = std::getenv("CV4870_EXPORTER") ? std::getenv("CV4870_EXPORTER") : CV4870_EXPORTER_PROGRAM;
    // CV4870_BENCH_ONLY=single|parallel|256|memory|slow runs one part alone.
    const char *only = std::getenv("CV4870_BENCH_ONLY");
    signal(SIGPIPE, SIG_IGN);
    const auto part = [only](const char *name) { return !only || std::strcmp(only, name) == 0; };
    if (part("single"))
        single(program, scrapes > 0 ? scrapes : 2000);
    for (std::size_t count : {std::size_t(16), std::size_t(64), std::size_t(256)}) {
        if (part("parallel") || (count == 256 && part("256")))
            parallel(program, count, int(std::max<std::size_t>(22, 4096 / count + 2)));
    }
    if (part("memory"))
        memory(program, 1024);
    if (part("slow"))
        slowClients(program, 1000, scrapes > 0 ? scrapes : 2000);
    return 0;
}
