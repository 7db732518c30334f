// cv4870-exporter: reads 4870 mainframes for Prometheus, one per scrape of
// /probe?target=...
#include "cv4870mon/process.h"
#include "exporter.h"
#include "webconfig.h"

#include <CLI/CLI.hpp>
#include <cvhttp/server.h>
#include <cvhttp/workers.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr char kDefaultListen[] = "127.0.0.1:9870";

enum class Level { Debug, Info, Warn, Error };
const char *const kLevelNames[] = {"debug", "info", "warn", "error"};

// One line per event on stderr, as logfmt or JSON.
class Log
{
public:
    Level level = Level::Info;
    bool json = false;

    void operator()(Level at, const std::string &message, const cvhttp::Fields &fields = {})
    {
        if (at < level)
            return;
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        gmtime_r(&now.tv_sec, &utc);
        char stamp[40];
        const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        std::snprintf(stamp + n, sizeof stamp - n, ".%03ldZ", now.tv_nsec / 1000000);
        const char *name = kLevelNames[static_cast<int>(at)];
        std::string line;
        if (json) {
            nlohmann::json object{{"ts", stamp}, {"level", name}, {"msg", message}};
            for (const auto &field : fields)
                object[field.first] = field.second;
            line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        } else {
            line = std::string("ts=") + stamp + " level=" + name + " msg=" + quoted(message);
            for (const auto &field : fields)
                line += " " + field.first + "=" + quoted(field.second);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    // A logfmt value: in double quotes, with \\ and \" escaped and line
    // breaks as spaces.
    static std::string quoted(const std::string &value)
    {
        std::string out = "\"";
        for (char c : value) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c == '\n' || c == '\r' ? ' ' : c;
        }
        return out + '"';
    }

    std::mutex mutex_;
};

// Every session and every HTTP connection holds a descriptor: the soft
// limit goes up to the hard one, with a warning when even that is short.
void raiseDescriptorLimit(std::size_t needed, Log &log)
{
    if (const std::uint64_t limit = cv4870mon::raiseDescriptorLimit(needed))
        log(Level::Warn, "--max-sessions and --max-connections need about " + std::to_string(needed) +
                             " file descriptors, the limit is " + std::to_string(limit) +
                             "; raise it (ulimit -n, LimitNOFILE=) or lower them");
}

// Refuses NaN and the infinities, which pass a range check.
const CLI::Validator kFinite(
    [](std::string &text) {
        try {
            std::size_t used = 0;
            const double value = std::stod(text, &used);
            return std::isfinite(value) ? std::string() : "not a finite number: " + text;
        } catch (const std::exception &) {
            return std::string(); // not a number at all: the option's own parse says so
        }
    },
    "FINITE");

cvhttp::Response plain(unsigned status, std::string body)
{
    return cvhttp::Response::text(status, std::move(body));
}

cvhttp::Response unauthorized()
{
    cvhttp::Response r = plain(401, "Unauthorized.\n");
    r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"cv4870-exporter\"");
    return r;
}

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the server cannot start
constexpr int kExitUsage = 2;
constexpr int kRun = -1; // from a step: go on

// The command line.
struct Settings
{
    std::string listen = kDefaultListen;
    std::string webConfigFile;
    bool lifecycle = false;
    std::vector<std::string> allow;
    std::string allowFile;
    double probeTimeout = 10, requestDeadline = 10;
    std::size_t maxSessions = 1024;
    unsigned maxProbes = 256, maxConnections = 1024, maxPerIp = 512, connectionTimeout = 10, sessionIdle = 900;
    std::string logLevel = "info", logFormat = "logfmt";
    bool ready = false, verbose = false;
};

void declareWebOptions(CLI::App &app, Settings &s)
{
    app.add_option("--web.listen-address,--listen", s.listen,
                   "Address and port to serve on, e.g. 0.0.0.0:9870 or [::1]:9870")
        ->capture_default_str();
    app.add_option("--web.config.file", s.webConfigFile,
                   "Web configuration file (YAML) for TLS and basic authentication, as Prometheus' exporters take");
    app.add_flag("--web.enable-lifecycle", s.lifecycle, "Reload the allow-list on POST /-/reload (SIGHUP always does)");
    app.add_option("--allow", s.allow,
                   "Allow probes of an IPv4/IPv6 address or block (10.20.0.0/16), a host name, *.domain or a "
                   "TCPIP SOCKET resource; repeatable");
    app.add_option("--allow-file", s.allowFile, "File of allow-list entries, one per line, # starts a comment")
        ->check(CLI::ExistingFile);
}

void declareLimitOptions(CLI::App &app, Settings &s)
{
    app.add_option("--probe-timeout", s.probeTimeout,
                   "Ceiling of a probe in seconds; a shorter scrape timeout from Prometheus wins")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.01, 300.0));
    app.add_option("--max-sessions", s.maxSessions, "Mainframes to keep a session open for")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 65536));
    app.add_option("--session-idle", s.sessionIdle,
                   "Seconds after which the session of a mainframe no longer scraped "
                   "is closed")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 86400 * 7));
    app.add_option("--max-probes", s.maxProbes, "Probes in progress at once; more are answered 503")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 65536));
    app.add_option("--max-connections", s.maxConnections,
                   "HTTP connections at once (fewer when the descriptor limit is lower); more wait")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 65536));
    app.add_option("--max-connections-per-ip", s.maxPerIp,
                   "HTTP connections at once from one address, at most half of --max-connections; more are closed")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 65536));
    app.add_option("--connection-timeout", s.connectionTimeout,
                   "Seconds after which an HTTP connection without any traffic is closed")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(1, 3600));
    app.add_option("--request-deadline", s.requestDeadline,
                   "Seconds an HTTP request may take from its first byte to its last; slower ones are closed")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.1, 600.0));
}

void declareLogOptions(CLI::App &app, Settings &s)
{
    app.add_option("--log.level", s.logLevel, "Least severity logged: debug, info, warn or error")
        ->capture_default_str()
        ->check(CLI::IsMember({"debug", "info", "warn", "error"}));
    app.add_option("--log.format", s.logFormat, "Log lines as logfmt or json")
        ->capture_default_str()
        ->check(CLI::IsMember({"logfmt", "json"}));
    app.add_flag("--ready", s.ready, "Print 'LISTENING <address> <port>' on stdout once serving");
    app.add_flag("-v,--verbose", s.verbose, "Same as --log.level debug: also log refused and failed probes");
}

// kRun, or the exit status: 0 after --help and --version, 2 for a usage error.
int parseCommandLine(int argc, char **argv, Settings &s)
{
    CLI::App app{"Reads 4870 VXI mainframes for Prometheus: a scrape of /probe?target=TARGET reads one mainframe.\n"
                 "TARGET is an IPv4 address or host name (port 23), host:port, or a VISA resource string.",
                 "cv4870-exporter"};
    app.set_version_flag("--version", std::string("cv4870-exporter ") + CV_VERSION);
    declareWebOptions(app, s);
    declareLimitOptions(app, s);
    declareLogOptions(app, s);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) // --help, --version
            return app.exit(e);
        std::string what = e.what();
        for (char &c : what)
            c = c == '\n' ? ' ' : c;
        std::fprintf(stderr, "cv4870-exporter: %s (see --help)\n", what.c_str());
        return kExitUsage;
    }
    return kRun;
}

void configureLog(const Settings &s, Log &log)
{
    log.json = s.logFormat == "json";
    for (std::size_t i = 0; i < 4; ++i) {
        if (s.logLevel == kLevelNames[i])
            log.level = static_cast<Level>(i);
    }
    if (s.verbose)
        log.level = Level::Debug;
}

// The --allow entries and the file's, read anew on every reload.
bool readAllowList(const Settings &s, cv4870exp::AllowList *list, std::string *why)
{
    for (const std::string &entry : s.allow)
        list->add(entry);
    if (s.allowFile.empty())
        return true;
    if (!list->loadFile(s.allowFile, why)) {
        *why = s.allowFile + ": " + *why;
        return false;
    }
    return true;
}

// The allow-list at start; false with the message on stderr.
bool loadAllowList(const Settings &s, cv4870exp::AllowList *list)
{
    std::string error;
    for (const std::string &entry : s.allow) {
        if (!list->add(entry, &error)) {
            std::fprintf(stderr, "cv4870-exporter: --allow %s\n", error.c_str());
            return false;
        }
    }
    if (!s.allowFile.empty()) {
        cv4870exp::AllowList full;
        if (!readAllowList(s, &full, &error)) {
            std::fprintf(stderr, "cv4870-exporter: %s\n", error.c_str());
            return false;
        }
        *list = std::move(full);
    }
    return true;
}

// What the command line names besides the options: checked before anything starts.
struct Configuration
{
    cv4870exp::AllowList allow;
    cv4870exp::WebConfig web;
    std::string address;
    std::uint16_t port = 0;
};

// The allow-list, the web configuration and the listen address; false
// with the message on stderr.
bool loadConfiguration(const Settings &s, Configuration *config)
{
    if (!loadAllowList(s, &config->allow))
        return false;
    std::string error;
    if (!s.webConfigFile.empty() && !cv4870exp::loadWebConfig(s.webConfigFile, &config->web, &error)) {
        std::fprintf(stderr, "cv4870-exporter: --web.config.file %s: %s\n", s.webConfigFile.c_str(), error.c_str());
        return false;
    }
    if (!cvhttp::splitListenAddress(s.listen, &config->address, &config->port) ||
        !cvhttp::isNumericAddress(config->address)) {
        std::fprintf(stderr, "cv4870-exporter: --web.listen-address takes a numeric address and a port, e.g. %s\n",
                     kDefaultListen);
        return false;
    }
    return true;
}

cv4870exp::ExporterOptions exporterOptions(const Settings &s, cv4870exp::AllowList allow, Log &log)
{
    cv4870exp::ExporterOptions options;
    options.allow = std::move(allow);
    options.probeTimeout = std::chrono::milliseconds(static_cast<long long>(s.probeTimeout * 1000));
    options.maxSessions = s.maxSessions;
    options.sessionIdle = std::chrono::seconds(s.sessionIdle);
    options.maxProbes = s.maxProbes;
    options.verbose = log.level == Level::Debug;
    options.log = [&log](const std::string &message, const cvhttp::Fields &fields) {
        log(Level::Debug, message, fields);
    };
    return options;
}

cvhttp::ServerOptions serverOptions(const Settings &s, const Configuration &config, Log &log)
{
    cvhttp::ServerOptions http;
    http.address = config.address;
    http.port = config.port;
    http.limits.maxConnections = s.maxConnections;
    http.limits.maxConnectionsPerIp = s.maxPerIp;
    http.limits.idleTimeout = std::chrono::seconds(s.connectionTimeout);
    http.limits.requestDeadline = std::chrono::milliseconds(static_cast<long long>(s.requestDeadline * 1000));
    http.limits.requestBodyBytes = 8 * 1024; // the exporter takes no body
    // Two polling threads share the connections: each poll() walks half of
    // them, which keeps a scrape quick beside a thousand idle connections.
    http.threads = 2;
    http.tls = config.web.tls;
    http.defaultHeaders = config.web.headers;
    http.log = [&log](const std::string &line) { log(Level::Debug, "http: " + line); };
    return http;
}

// The HTTP side in front of the exporter: basic authentication, the
// lifecycle and health endpoints, and the allow-list's reloads.
class Endpoints
{
public:
    Endpoints(const Settings &settings, Log &log, cv4870exp::Exporter &exporter,
              std::map<std::string, std::string> users)
        : settings_(settings)
        , log_(log)
        , exporter_(exporter)
        , auth_(std::move(users))
        , slowWork_(std::make_unique<cvhttp::Workers>(2, 64))
    {}

    bool authenticates() const { return auth_.enabled(); }

    // Reloads the allow-list; a bad one leaves the list in force as it is.
    bool reload(std::string *outcome)
    {
        std::lock_guard<std::mutex> lock(reloadMutex_);
        cv4870exp::AllowList fresh;
        std::string why;
        if (!readAllowList(settings_, &fresh, &why)) {
            log_(Level::Error, "allow-list not reloaded, the previous one stays in force", {{"error", why}});
            exporter_.reloadFailed();
            *outcome = why;
            return false;
        }
        *outcome = std::to_string(fresh.size()) + " entries";
        log_(Level::Info, "allow-list reloaded", {{"entries", std::to_string(fresh.size())}});
        exporter_.setAllowList(std::move(fresh));
        return true;
    }

    // With basic_auth_users every path asks for a login, /-/healthy too.
    void handle(const cvhttp::Request &r, cvhttp::Reply reply)
    {
        if (auth_.enabled()) {
            switch (auth_.quick(r.header("Authorization"))) {
            case cv4870exp::BasicAuth::Verdict::Allowed:
                break;
            case cv4870exp::BasicAuth::Verdict::Denied:
                reply.send(unauthorized());
                return;
            case cv4870exp::BasicAuth::Verdict::Slow:
                if (!slowWork_->submit([this, r, reply] {
                        if (auth_.verify(r.header("Authorization")))
                            route(r, reply);
                        else
                            reply.send(unauthorized());
                    }))
                    reply.send(plain(503, "Too many logins being checked at once.\n"));
                return;
            }
        }
        route(r, std::move(reply));
    }

    // Runs the tasks still queued and ends the workers, once the server has
    // stopped: the tasks use the handlers above.
    void finish() { slowWork_.reset(); }

private:
    void route(const cvhttp::Request &r, cvhttp::Reply reply)
    {
        if (r.path == "/-/reload") {
            reloadEndpoint(r, std::move(reply));
        } else if (r.method != "GET" && r.method != "HEAD") {
            cvhttp::Response refused = plain(405, "Only GET and HEAD are served.\n");
            refused.headers.emplace_back("Allow", "GET, HEAD");
            reply.send(std::move(refused));
        } else if (r.path == "/-/healthy") {
            reply.send(plain(200, "Healthy.\n"));
        } else if (r.path == "/-/ready") {
            reply.send(plain(200, "Ready.\n"));
        } else {
            exporter_.handle(r, std::move(reply));
        }
    }

    void reloadEndpoint(const cvhttp::Request &r, cvhttp::Reply reply)
    {
        if (r.method != "POST" && r.method != "PUT") {
            cvhttp::Response refused = plain(405, "Only POST and PUT reload.\n");
            refused.headers.emplace_back("Allow", "POST, PUT");
            reply.send(std::move(refused));
        } else if (!settings_.lifecycle) {
            reply.send(plain(403, "Lifecycle API is not enabled (--web.enable-lifecycle).\n"));
        } else if (!slowWork_->submit([this, reply] {
                       std::string outcome;
                       const bool ok = reload(&outcome);
                       reply.send(plain(ok ? 200 : 500, (ok ? "Reloaded: " : "Not reloaded: ") + outcome + "\n"));
                   })) {
            reply.send(plain(503, "Busy, try again.\n"));
        }
    }

    const Settings &settings_;
    Log &log_;
    cv4870exp::Exporter &exporter_;
    std::mutex reloadMutex_;
    cv4870exp::BasicAuth auth_;
    // bcrypt takes tens of milliseconds: logins not yet remembered are
    // checked here, never on the server's polling thread; reloads read
    // their file here too. Declared last, so ended before what its tasks
    // use.
    std::unique_ptr<cvhttp::Workers> slowWork_;
};

void announce(const Settings &s, const Configuration &config, const cvhttp::Server &server, bool authenticates,
              Log &log)
{
    const cvhttp::ServerStats limits = server.stats();
    log(Level::Info, std::string("serving ") + (config.web.tls ? "HTTPS" : "HTTP") +
                         (authenticates ? " with basic authentication" : "") + " on " + config.address + " port " +
                         std::to_string(server.port()) + ", at most " + std::to_string(limits.maxConnections) +
                         " connections, " + std::to_string(limits.maxConnectionsPerIp) + " per address");
    if (s.ready) {
        std::printf("LISTENING %s %u\n", config.address.c_str(), unsigned(server.port()));
        std::fflush(stdout);
    }
}

// Serves until a stop signal: kExitOk, or kExitFailure when the server cannot start.
int serve(const Settings &s, Configuration config, Log &log, const sigset_t &signals)
{
    cv4870exp::Exporter exporter(exporterOptions(s, std::move(config.allow), log));
    Endpoints endpoints(s, log, exporter, std::move(config.web.users));
    cvhttp::Server server;
    std::string error;
    const auto handler = [&endpoints](const cvhttp::Request &r, cvhttp::Reply reply) {
        endpoints.handle(r, std::move(reply));
    };
    if (!server.start(serverOptions(s, config, log), handler, &error)) {
        log(Level::Error, error);
        return kExitFailure;
    }
    announce(s, config, server, endpoints.authenticates(), log);
    cv4870mon::waitForStop(signals, [&endpoints] {
        std::string outcome;
        endpoints.reload(&outcome);
    });
    server.stop();
    endpoints.finish();
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    if (const int status = parseCommandLine(argc, argv, settings); status != kRun)
        return status;
    Log log;
    configureLog(settings, log);
    Configuration config;
    if (!loadConfiguration(settings, &config))
        return kExitUsage;
    if (config.allow.size() == 0)
        log(Level::Warn, "the allow-list is empty, so every probe is refused; see --allow and --allow-file");
    raiseDescriptorLimit(settings.maxSessions + settings.maxConnections + 64, log);
    const sigset_t signals = cv4870mon::blockServiceSignals(); // for waitForStop
    return serve(settings, std::move(config), log, signals);
}
