// cv4870-emulator: emulates one or more 4870 mainframes on TCP.
#include "cv4870emu.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/resource.h>
#include <string>

namespace {

const char kFooter[] = "Further mainframes get consecutive serial numbers and seeds. Stops\n"
                       "cleanly on SIGINT and SIGTERM. Needs count x (1 + max clients) + 16\n"
                       "file descriptors: the soft limit is raised to the hard one at start.";

// Descriptors besides those of the mainframes: standard streams, epoll, the
// wake-up event and some to spare.
constexpr long kSpareDescriptors = 16;

struct Options
{
    std::string address = "127.0.0.1";
    long port = 23;
    long count = 1;
    std::string spread = "address";
    long psSerial = 48700001;
    long fanSerial = 48710001;
    std::string firmware = "A.03.11";
    std::string description = "4870 VXI Mainframe";
    long seed = 4870;
    bool simulation = false;
    long maxClients = 64;
    bool ready = false;
    int verbosity = 0;
};

std::string checkFirmware(const std::string &text)
{
    bool ok = !text.empty() && text.size() <= 64;
    for (char c : text) {
        if (c < 0x21 || c > 0x7e || c == ',' || c == ';' || c == '"')
            ok = false;
    }
    return ok ? std::string() : "printable ASCII without blanks, ',', ';' or '\"' (at most 64 characters)";
}

std::string checkAddress(const std::string &text)
{
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1 ? std::string() : "'" + text + "' is not a dotted IPv4 address";
}

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the mainframes cannot listen
constexpr int kExitUsage = 2;
constexpr int kRun = -1; // from a step: go on

void declareOptions(CLI::App &app, Options &o)
{
    app.add_option("--address", o.address, "IPv4 address to listen on")
        ->type_name("A")
        ->capture_default_str()
        ->check(CLI::Validator(checkAddress, ""));
    app.add_option("--port", o.port, "TCP port; 0 picks a free port")
        ->type_name("P")
        ->capture_default_str()
        ->check(CLI::Range(0L, 65535L));
    app.add_option("--count", o.count, "number of mainframes (at most 1024)")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1L, 1024L));
    app.add_option("--spread", o.spread,
                   "with --count: 'address' uses consecutive addresses on the same port, 'port' consecutive ports")
        ->type_name("MODE")
        ->capture_default_str()
        ->check(CLI::IsMember({"address", "port"}));
    app.add_option("--ps-serial", o.psSerial, "power-supply serial number of the first mainframe")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(0L, 2147483647L - 1024));
    app.add_option("--fan-serial", o.fanSerial, "fan-tray serial number of the first mainframe")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(0L, 2147483647L - 1024));
    app.add_option("--firmware", o.firmware, "firmware revision")
        ->type_name("REV")
        ->capture_default_str()
        ->check(CLI::Validator(checkFirmware, ""));
    app.add_option("--description", o.description, "module description")
        ->type_name("TEXT")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](const std::string &text) { return text.size() <= 200 ? std::string() : "at most 200 characters"; }, ""));
    app.add_option("--seed", o.seed, "noise seed of the first mainframe")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(0L, 2147483647L));
    app.add_flag("--simulation", o.simulation, "enable the SIMulation fault-injection commands");
    app.add_option("--max-clients", o.maxClients, "simultaneous clients per mainframe")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(1L, 1024L));
    app.add_flag("--ready", o.ready,
                 "print 'LISTENING <n> <address> <port>' per mainframe and then 'READY' on stdout once listening");
    app.add_flag("-v,--verbose", o.verbosity, "log connections; twice: also commands and replies");
}

// kRun, or the exit status: 0 after --help and --version, 2 for a usage error.
int parseArguments(int argc, char **argv, Options &o)
{
    CLI::App app("Emulates 4870 VXI mainframes answering their protocol on TCP.", "cv4870-emulator");
    app.footer(kFooter);
    app.get_formatter()->column_width(40);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast); // the last one given counts
    declareOptions(app, o);
    app.set_version_flag("--version", std::string("cv4870-emulator " CV_VERSION));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return kExitOk;
    } catch (const CLI::CallForVersion &e) {
        std::printf("%s\n", e.what());
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        std::fprintf(stderr, "cv4870-emulator: %s (see --help)\n", what.c_str());
        return kExitUsage;
    }
    return kRun;
}

// Raises the soft descriptor limit to the hard one, as servers do, and
// says whether it covers `needed`.
bool enoughDescriptors(long needed, rlim_t *limit)
{
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return true; // nothing known: let the listeners tell
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl = raised;
    }
    *limit = rl.rlim_cur;
    return rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= static_cast<rlim_t>(needed);
}

void tooFewDescriptors(long needed, long count, rlim_t limit)
{
    std::fprintf(stderr,
                 "cv4870-emulator: %ld mainframes need %ld file descriptors (a listener and one client each), "
                 "but the limit is %llu; raise it (ulimit -n) or lower --count\n",
                 count, needed, static_cast<unsigned long long>(limit));
}

std::string timestamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

// The first address of the mainframes, in host order.
std::uint32_t firstAddress(const Options &o)
{
    in_addr base{};
    ::inet_pton(AF_INET, o.address.c_str(), &base);
    return ntohl(base.s_addr);
}

// The checks of --count against --address or --port; false with the
// message on stderr.
bool checkCount(const Options &o)
{
    const bool spreadPorts = o.spread == "port";
    const std::uint32_t first = firstAddress(o);
    if (!spreadPorts && o.count > 1 && (first >> 24) == 127 && ((first + o.count - 1) >> 24) != 127) {
        std::fprintf(stderr, "cv4870-emulator: --count: %ld addresses from %s leave 127.0.0.0/8\n", o.count,
                     o.address.c_str());
        return false;
    }
    if (spreadPorts && o.port != 0 && o.port + o.count - 1 > 65535) {
        std::fprintf(stderr, "cv4870-emulator: --count: %ld ports from %ld go beyond 65535\n", o.count, o.port);
        return false;
    }
    return true;
}

struct Descriptors
{
    long needed = 0; // a listener and one client per mainframe
    rlim_t limit = 0; // in force after raising it
};

// Every listener with one client must fit; beyond that, a listener that
// runs out of descriptors pauses its accepts until a client leaves.
// False with the message on stderr when even the first do not fit.
bool checkDescriptors(const Options &o, Descriptors *d)
{
    d->needed = o.count * 2 + kSpareDescriptors;
    const long wanted = o.count * (1 + o.maxClients) + kSpareDescriptors;
    if (!enoughDescriptors(d->needed, &d->limit)) {
        tooFewDescriptors(d->needed, o.count, d->limit);
        return false;
    }
    if (d->limit != RLIM_INFINITY && d->limit < static_cast<rlim_t>(wanted))
        std::fprintf(stderr,
                     "cv4870-emulator: the descriptor limit %llu is below the %ld that %ld clients on every "
                     "mainframe need; clients past it wait until others leave\n",
                     static_cast<unsigned long long>(d->limit), wanted, o.maxClients);
    return true;
}

void addMainframes(cv4870emu::Server &server, const Options &o)
{
    server.setLogLevel(static_cast<cv4870emu::LogLevel>(o.verbosity > 2 ? 2 : o.verbosity));
    server.setLogSink(
        [](const std::string &line) { std::fprintf(stderr, "%s %s\n", timestamp().c_str(), line.c_str()); });
    server.setMaxClients(static_cast<int>(o.maxClients));
    const bool spreadPorts = o.spread == "port";
    const std::uint32_t first = firstAddress(o);
    for (long i = 0; i < o.count; ++i) {
        std::string address = o.address;
        long port = o.port;
        if (spreadPorts) {
            port = o.port == 0 ? 0 : o.port + i;
        } else {
            in_addr a{};
            a.s_addr = htonl(first + static_cast<std::uint32_t>(i));
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &a, text, sizeof text);
            address = text;
        }
        cv4870emu::Mainframe &mf =
            server.addMainframe(address, static_cast<std::uint16_t>(port), static_cast<std::uint32_t>(o.seed + i));
        cv4870emu::Identity id;
        id.psSerial = static_cast<std::int32_t>(o.psSerial + i);
        id.fanSerial = static_cast<std::int32_t>(o.fanSerial + i);
        id.firmware = o.firmware;
        id.description = o.count > 1 ? o.description + " #" + std::to_string(i + 1) : o.description;
        mf.setIdentity(id);
        mf.setSimulationCommands(o.simulation);
    }
}

// The signals are taken by sigwait() in waitForStop(); the server thread
// inherits the mask and never sees them.
sigset_t blockStopSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// False with the message on stderr when a mainframe cannot listen.
bool startServer(cv4870emu::Server &server, const Options &o, const Descriptors &d)
{
    std::string error;
    if (server.start(&error))
        return true;
    if (errno == EMFILE || errno == ENFILE) {
        std::fprintf(stderr, "cv4870-emulator: %s\n", error.c_str());
        tooFewDescriptors(d.needed, o.count, d.limit);
        return false;
    }
    std::fprintf(stderr,
                 "cv4870-emulator: %s\n"
                 "Choose another address or port with --address and --port "
                 "(e.g. --port 5025, or --port 0 for a free port).\n",
                 error.c_str());
    return false;
}

void announce(cv4870emu::Server &server)
{
    for (std::size_t i = 0; i < server.count(); ++i) {
        cv4870emu::Mainframe &mf = server.mainframe(i);
        std::printf("LISTENING %zu %s %u\n", i + 1, mf.address().c_str(), static_cast<unsigned>(mf.port()));
    }
    std::printf("READY\n");
    std::fflush(stdout);
}

void waitForStop(const sigset_t &signals, const Options &o)
{
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    if (o.verbosity > 0)
        std::fprintf(stderr, "%s stopping on %s\n", timestamp().c_str(), signal == SIGINT ? "SIGINT" : "SIGTERM");
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (const int status = parseArguments(argc, argv, o); status != kRun)
        return status;
    if (!checkCount(o))
        return kExitUsage;
    Descriptors descriptors;
    if (!checkDescriptors(o, &descriptors))
        return kExitFailure;
    cv4870emu::Server server;
    addMainframes(server, o);
    const sigset_t signals = blockStopSignals();
    if (!startServer(server, o, descriptors))
        return kExitFailure;
    if (o.ready)
        announce(server);
    waitForStop(signals, o);
    server.stop();
    return kExitOk;
}
