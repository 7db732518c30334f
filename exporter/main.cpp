// cv4870-exporter: reads 4870 mainframes for Prometheus, one per scrape of
// /probe?target=...
#include "exporter.h"
#include "httpd.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <pthread.h>
#include <sys/resource.h>

namespace {

constexpr char kDefaultListen[] = "127.0.0.1:9870";

// Every session and every HTTP connection holds a descriptor: raises the
// soft limit to the hard one and warns when even that is short.
void raiseDescriptorLimit(std::size_t needed)
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl = raised;
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < needed)
        std::fprintf(stderr,
                     "cv4870-exporter: --max-sessions and --max-connections need about %zu file descriptors, "
                     "the limit is %llu; raise it (ulimit -n, LimitNOFILE=) or lower them\n",
                     needed, static_cast<unsigned long long>(rl.rlim_cur));
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Reads 4870 VXI mainframes for Prometheus: a scrape of /probe?target=TARGET reads one mainframe.\n"
                 "TARGET is an IPv4 address or host name (port 23), host:port, or a VISA resource string.",
                 "cv4870-exporter"};
    std::string listen = kDefaultListen;
    std::vector<std::string> allow;
    std::string allowFile;
    double probeTimeout = 10;
    std::size_t maxSessions = 1024;
    unsigned maxProbes = 256, maxConnections = 1024, connectionTimeout = 10, sessionIdle = 900;
    bool ready = false, verbose = false;
    app.add_option("--listen", listen, "Address and port to serve on, e.g. 0.0.0.0:9870 or [::1]:9870")
        ->capture_default_str();
    app.add_option("--allow", allow,
                   "Allow probes of an IPv4/IPv6 address or block (10.20.0.0/16), a host name, *.domain or a "
                   "TCPIP SOCKET resource; repeatable");
    app.add_option("--allow-file", allowFile, "File of allow-list entries, one per line, # starts a comment")
        ->check(CLI::ExistingFile);
    app.add_option("--probe-timeout", probeTimeout,
                   "Ceiling of a probe in seconds; a shorter scrape timeout from Prometheus wins")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 300.0));
    app.add_option("--max-sessions", maxSessions, "Mainframes to keep a session open for")
        ->capture_default_str()
        ->check(CLI::Range(1, 65536));
    app.add_option("--session-idle", sessionIdle,
                   "Seconds after which the session of a mainframe no longer scraped "
                   "is closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400 * 7));
    app.add_option("--max-probes", maxProbes, "Probes in progress at once; more are answered 503")
        ->capture_default_str()
        ->check(CLI::Range(1, 65536));
    app.add_option("--max-connections", maxConnections, "HTTP connections at once; more are closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 65536));
    app.add_option("--connection-timeout", connectionTimeout,
                   "Seconds after which an idle or unfinished HTTP request is closed")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    app.add_flag("--ready", ready, "Print 'LISTENING <address> <port>' on stdout once serving");
    app.add_flag("-v,--verbose", verbose, "Log refused and failed probes on stderr");
    CLI11_PARSE(app, argc, argv);

    cv4870exp::ExporterOptions options;
    std::string error;
    for (const std::string &entry : allow) {
        if (!options.allow.add(entry, &error)) {
            std::fprintf(stderr, "cv4870-exporter: --allow %s\n", error.c_str());
            return 2;
        }
    }
    if (!allowFile.empty()) {
        if (!options.allow.loadFile(allowFile, &error)) {
            std::fprintf(stderr, "cv4870-exporter: %s: %s\n", allowFile.c_str(), error.c_str());
            return 2;
        }
    }
    if (options.allow.size() == 0)
        std::fprintf(stderr, "cv4870-exporter: the allow-list is empty, so every probe is refused; "
                             "see --allow and --allow-file\n");
    options.probeTimeout = std::chrono::milliseconds(static_cast<long long>(probeTimeout * 1000));
    options.maxSessions = maxSessions;
    options.sessionIdle = std::chrono::seconds(sessionIdle);
    options.maxProbes = maxProbes;
    options.verbose = verbose;

    std::string address;
    std::uint16_t port = 0;
    in6_addr numeric{};
    if (!cv4870exp::splitListenAddress(listen, &address, &port) ||
        (inet_pton(AF_INET, address.c_str(), &numeric) != 1 && inet_pton(AF_INET6, address.c_str(), &numeric) != 1)) {
        std::fprintf(stderr, "cv4870-exporter: --listen takes a numeric address and a port, e.g. %s\n", kDefaultListen);
        return 2;
    }

    raiseDescriptorLimit(maxSessions + maxConnections + 64);

    // Signals are taken by sigwait below, on this thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    cv4870exp::Exporter exporter(std::move(options));
    cv4870exp::HttpServer server;
    cv4870exp::HttpLimits limits;
    limits.maxConnections = maxConnections;
    limits.connectionTimeoutS = connectionTimeout;
    if (!server.start(
            address, port, limits, [&exporter](const cv4870exp::HttpRequest &r) { return exporter.handle(r); },
            &error)) {
        std::fprintf(stderr, "cv4870-exporter: %s\n", error.c_str());
        return 1;
    }
    if (ready) {
        std::printf("LISTENING %s %u\n", address.c_str(), unsigned(server.port()));
        std::fflush(stdout);
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
