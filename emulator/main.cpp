// cv4870-emulator: emulates one or more 4870 mainframes on TCP.
#include "cv4870emu.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>

namespace {

const char kUsage[] = "Usage: cv4870-emulator [options]\n"
                      "Emulates 4870 VXI mainframes answering their protocol on TCP.\n"
                      "\n"
                      "  --address A        IPv4 address to listen on (default 127.0.0.1)\n"
                      "  --port P           TCP port (default 23); 0 picks a free port\n"
                      "  --count N          number of mainframes (default 1, at most 1024)\n"
                      "  --spread MODE      with --count: 'address' (default) uses consecutive\n"
                      "                     addresses on the same port, 'port' consecutive ports\n"
                      "  --ps-serial N      power-supply serial number of the first mainframe\n"
                      "  --fan-serial N     fan-tray serial number of the first mainframe\n"
                      "  --firmware REV     firmware revision (default A.03.11)\n"
                      "  --description TEXT module description (default \"4870 VXI Mainframe\")\n"
                      "  --seed N           noise seed of the first mainframe (default 4870)\n"
                      "  --simulation       enable the SIMulation fault-injection commands\n"
                      "  --max-clients N    simultaneous clients per mainframe (default 64)\n"
                      "  --ready            print 'LISTENING <n> <address> <port>' per mainframe\n"
                      "                     and then 'READY' on stdout once listening\n"
                      "  -v, --verbose      log connections; twice: also commands and replies\n"
                      "  -h, --help         this text\n"
                      "\n"
                      "Further mainframes get consecutive serial numbers and seeds. Stops\n"
                      "cleanly on SIGINT and SIGTERM.\n";

struct Options
{
    std::string address = "127.0.0.1";
    long port = 23;
    long count = 1;
    bool spreadPorts = false;
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

bool parseLong(const char *text, long min, long max, long &value)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    value = v;
    return true;
}

bool validFirmware(const std::string &text)
{
    if (text.empty() || text.size() > 64)
        return false;
    for (char c : text) {
        if (c < 0x21 || c > 0x7e || c == ',' || c == ';' || c == '"')
            return false;
    }
    return true;
}

// Returns 0 to run, otherwise the exit status.
int parseArguments(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char *&out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "cv4870-emulator: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](long min, long max, long &out) {
            const char *text = nullptr;
            if (!value(text))
                return false;
            if (!parseLong(text, min, max, out)) {
                std::fprintf(stderr, "cv4870-emulator: %s: '%s' is not a number from %ld to %ld\n", arg.c_str(), text,
                             min, max);
                return false;
            }
            return true;
        };
        const char *text = nullptr;
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--address") {
            ok = value(text);
            if (ok)
                o.address = text;
        } else if (arg == "--port") {
            ok = number(0, 65535, o.port);
        } else if (arg == "--count") {
            ok = number(1, 1024, o.count);
        } else if (arg == "--spread") {
            ok = value(text);
            if (ok && std::strcmp(text, "address") != 0 && std::strcmp(text, "port") != 0) {
                std::fprintf(stderr, "cv4870-emulator: --spread takes 'address' or 'port'\n");
                ok = false;
            }
            o.spreadPorts = ok && std::strcmp(text, "port") == 0;
        } else if (arg == "--ps-serial") {
            ok = number(0, 2147483647L - 1024, o.psSerial);
        } else if (arg == "--fan-serial") {
            ok = number(0, 2147483647L - 1024, o.fanSerial);
        } else if (arg == "--firmware") {
            ok = value(text);
            if (ok && !validFirmware(text)) {
                std::fprintf(stderr, "cv4870-emulator: --firmware takes printable ASCII without blanks, ',', ';' "
                                     "or '\"' (at most 64 characters)\n");
                ok = false;
            }
            if (ok)
                o.firmware = text;
        } else if (arg == "--description") {
            ok = value(text);
            if (ok && std::strlen(text) > 200) {
                std::fprintf(stderr, "cv4870-emulator: --description is limited to 200 characters\n");
                ok = false;
            }
            if (ok)
                o.description = text;
        } else if (arg == "--seed") {
            ok = number(0, 2147483647L, o.seed);
        } else if (arg == "--simulation") {
            o.simulation = true;
        } else if (arg == "--max-clients") {
            ok = number(1, 1024, o.maxClients);
        } else if (arg == "--ready") {
            o.ready = true;
        } else if (arg == "-v" || arg == "--verbose") {
            ++o.verbosity;
        } else if (arg == "-vv") {
            o.verbosity += 2;
        } else {
            std::fprintf(stderr, "cv4870-emulator: unknown option '%s' (see --help)\n", arg.c_str());
            ok = false;
        }
        if (!ok)
            return 2;
    }
    return 0;
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

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const int rc = parseArguments(argc, argv, o);
    if (rc != 0)
        return rc < 0 ? 0 : rc;

    in_addr base{};
    if (::inet_pton(AF_INET, o.address.c_str(), &base) != 1) {
        std::fprintf(stderr, "cv4870-emulator: '%s' is not a dotted IPv4 address (see --address)\n", o.address.c_str());
        return 2;
    }
    const std::uint32_t first = ntohl(base.s_addr);
    if (!o.spreadPorts && o.count > 1 && (first >> 24) == 127 && ((first + o.count - 1) >> 24) != 127) {
        std::fprintf(stderr, "cv4870-emulator: %ld addresses from %s leave 127.0.0.0/8\n", o.count, o.address.c_str());
        return 2;
    }
    if (o.spreadPorts && o.port != 0 && o.port + o.count - 1 > 65535) {
        std::fprintf(stderr, "cv4870-emulator: %ld ports from %ld go beyond 65535\n", o.count, o.port);
        return 2;
    }

    cv4870emu::Server server;
    server.setLogLevel(static_cast<cv4870emu::LogLevel>(o.verbosity > 2 ? 2 : o.verbosity));
    server.setLogSink(
        [](const std::string &line) { std::fprintf(stderr, "%s %s\n", timestamp().c_str(), line.c_str()); });
    server.setMaxClients(static_cast<int>(o.maxClients));
    for (long i = 0; i < o.count; ++i) {
        std::string address = o.address;
        long port = o.port;
        if (o.spreadPorts) {
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
        mf.setPsSerial(static_cast<std::int32_t>(o.psSerial + i));
        mf.setFanSerial(static_cast<std::int32_t>(o.fanSerial + i));
        mf.setFirmware(o.firmware);
        mf.setDescription(o.count > 1 ? o.description + " #" + std::to_string(i + 1) : o.description);
        mf.setSimulationCommands(o.simulation);
    }

    // The signals are taken by sigwait() below; the server thread inherits
    // the mask and never sees them.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr,
                     "cv4870-emulator: %s\n"
                     "Choose another address or port with --address and --port "
                     "(e.g. --port 5025, or --port 0 for a free port).\n",
                     error.c_str());
        return 1;
    }
    if (o.ready) {
        for (std::size_t i = 0; i < server.count(); ++i) {
            cv4870emu::Mainframe &mf = server.mainframe(i);
            std::printf("LISTENING %zu %s %u\n", i + 1, mf.address().c_str(), static_cast<unsigned>(mf.port()));
        }
        std::printf("READY\n");
        std::fflush(stdout);
    }

    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    if (o.verbosity > 0)
        std::fprintf(stderr, "%s stopping on %s\n", timestamp().c_str(), signal == SIGINT ? "SIGINT" : "SIGTERM");
    server.stop();
    return 0;
}
