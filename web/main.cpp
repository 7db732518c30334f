// cv4870-web: watches the lab's mainframes, keeps their history and lets
// signed-in operators act on them over HTTP (docs/web.md).
#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <pthread.h>

#include <nlohmann/json.hpp>

#include "cvhttp/server.h"
#include "cv4870mon/pool.h"
#include "fleet.h"
#include "service.h"
#include "store.h"
#include "users.h"

namespace {

using namespace cv4870web;

constexpr char kProgram[] = "cv4870-web";
constexpr char kDefaultListen[] = "127.0.0.1:8470";

void logLine(const std::string &line)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
}

// $XDG_<KIND>_HOME/cv4870-web/<file>, with the fallback under $HOME.
std::string xdgPath(const char *variable, const char *fallback, const char *file)
{
    const char *base = std::getenv(variable);
    std::string dir;
    if (base && base[0] == '/')
        dir = base;
    else if (const char *home = std::getenv("HOME"))
        dir = std::string(home) + "/" + fallback;
    else
        dir = ".";
    return dir + "/cv4870-web/" + file;
}

// Makes the folders of a file (mode 0700) when missing.
void makeParents(const std::string &path)
{
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
}

bool loadUsers(const std::string &path, std::vector<User> *users, bool missingOk, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        if (missingOk && errno == ENOENT) {
            users->clear();
            return true;
        }
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!parseUsers(in, users, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

bool loadTargets(const std::string &path, std::vector<Target> *targets, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!parseTargets(in, targets, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// One line from standard input, without echo on a terminal.
bool readPassword(std::string *password)
{
    const bool tty = ::isatty(0);
    termios old{};
    if (tty) {
        std::fprintf(stderr, "Password: ");
        ::tcgetattr(0, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(0, TCSAFLUSH, &quiet);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, *password));
    if (tty) {
        ::tcsetattr(0, TCSAFLUSH, &old);
        std::fprintf(stderr, "\n");
    }
    if (!password->empty() && password->back() == '\r')
        password->pop_back();
    return got;
}

int userCommand(const std::string &action, const std::string &name, const std::string &role, const std::string &path)
{
    std::vector<User> users;
    std::string error;
    if (!loadUsers(path, &users, action != "del", &error)) {
        logLine(error);
        return 2;
    }
    if (action == "list") {
        for (const User &u : users)
            std::printf("%s %s\n", u.name.c_str(), roleName(u.role));
        return 0;
    }
    if (!validUserName(name)) {
        logLine("a user name is 1 to 64 of A-Z a-z 0-9 . _ -");
        return 2;
    }
    if (action == "del") {
        const auto before = users.size();
        users.erase(std::remove_if(users.begin(), users.end(), [&](const User &u) { return u.name == name; }),
                    users.end());
        if (users.size() == before) {
            logLine("no user " + name + " in " + path);
            return 1;
        }
    } else {
        const auto r = parseRole(role);
        if (!r) {
            logLine("--role is viewer, operator or admin");
            return 2;
        }
        std::string password;
        if (!readPassword(&password) || password.empty()) {
            logLine("no password on standard input");
            return 2;
        }
        User u{name, *r, hashPassword(password)};
        std::fill(password.begin(), password.end(), '\0');
        if (u.hash.empty()) {
            logLine("libxcrypt could not hash the password");
            return 1;
        }
        bool replaced = false;
        for (User &other : users)
            if (other.name == name) {
                other = u;
                replaced = true;
            }
        if (!replaced)
            users.push_back(u);
    }
    makeParents(path);
    if (!writeUsers(path, users, &error)) {
        logLine(error);
        return 1;
    }
    return 0;
}

bool loopback(const std::string &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return address == "::1";
}

void raiseDescriptorLimit(std::size_t needed)
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < needed)
        logLine("the mainframes and connections need about " + std::to_string(needed) +
                " file descriptors, the limit is " + std::to_string(rl.rlim_cur) + "; raise it (ulimit -n)");
}

// Refuses NaN and infinities, which a range check lets through.
const CLI::Validator kFinite(
    [](std::string &text) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        return std::isfinite(v) ? std::string() : std::string("not a finite number: ") + text;
    },
    "FINITE");

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Watches 4870 VXI mainframes, keeps their history and lets signed-in operators act on them over "
                 "HTTP (docs/web.md).",
                 kProgram};
    std::string listen = kDefaultListen, targetsFile, usersFile = xdgPath("XDG_CONFIG_HOME", ".config", "users"),
                dbFile = xdgPath("XDG_STATE_HOME", ".local/state", "web.db"), tlsCert, tlsKey;
    double interval = 2, timeout = 2;
    bool anonymous = false, insecure = false, ready = false;
    int retention = 30;
    unsigned sessionIdle = 1800, sessionMax = 43200, loginWindow = 900, pollThreads = 16;
    app.add_option("--listen", listen, "Address and port to serve on (numeric), e.g. 127.0.0.1:8470 or [::1]:8470")
        ->capture_default_str();
    app.add_option("--targets", targetsFile, "The mainframes: one target a line, optionally a name after it");
    app.add_option("--users", usersFile, "The users file (cv4870-web user add)")->capture_default_str();
    app.add_option("--db", dbFile, "The database")->capture_default_str();
    app.add_option("--interval", interval, "Seconds between two polls of a mainframe")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.1, 3600.0));
    app.add_option("--timeout", timeout, "Deadline of one poll or command in seconds")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.1, 60.0));
    app.add_option("--tls-cert", tlsCert, "PEM certificate chain: serve HTTPS")->check(CLI::ExistingFile);
    app.add_option("--tls-key", tlsKey, "PEM private key of --tls-cert")->check(CLI::ExistingFile);
    app.add_flag("--anonymous-read", anonymous, "Reading without signing in (never commands or the audit trail)");
    app.add_flag("--insecure-http", insecure, "Allow plain HTTP on an address other than loopback");
    app.add_option("--retention-days", retention, "Days of per-minute history kept")
        ->capture_default_str()
        ->check(CLI::Range(1, 36500));
    app.add_option("--session-idle", sessionIdle, "Seconds a session may stay unused")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400 * 30));
    app.add_option("--session-max", sessionMax, "Seconds a session lasts at most")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400 * 365));
    app.add_option("--login-window", loginWindow, "Seconds of the failed-login throttle's window")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));
    app.add_option("--poll-threads", pollThreads, "Polls running at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 256));
    app.add_flag("--ready", ready, "Print 'LISTENING <address> <port>' on stdout once serving");
    app.set_version_flag("--version", std::string(kProgram) + " " CV_VERSION);

    CLI::App *user = app.add_subcommand("user", "Manage the users file");
    user->require_subcommand(1);
    std::string userName, userRole;
    CLI::App *add = user->add_subcommand("add", "Add or replace a user; the password is read from standard input");
    add->add_option("NAME", userName, "User name")->required();
    add->add_option("--role", userRole, "viewer, operator or admin")->required();
    CLI::App *del = user->add_subcommand("del", "Remove a user");
    del->add_option("NAME", userName, "User name")->required();
    CLI::App *list = user->add_subcommand("list", "List the users and their roles");
    for (CLI::App *sub : {add, del, list})
        sub->add_option("--users", usersFile, "The users file")->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        logLine(e.what());
        return 2;
    }
    if (user->parsed())
        return userCommand(add->parsed() ? "add" : del->parsed() ? "del" : "list", userName, userRole, usersFile);

    if (targetsFile.empty()) {
        logLine("--targets FILE is required");
        return 2;
    }
    std::string address, error;
    std::uint16_t port = 0;
    if (!cvhttp::splitListenAddress(listen, &address, &port) || !cvhttp::isNumericAddress(address)) {
        logLine(std::string("--listen takes a numeric address and a port, e.g. ") + kDefaultListen);
        return 2;
    }
    if (tlsCert.empty() != tlsKey.empty()) {
        logLine("--tls-cert and --tls-key go together");
        return 2;
    }
    const bool tls = !tlsCert.empty();
    if (!tls && !loopback(address) && !insecure) {
        logLine("refusing plain HTTP on " + address +
                ": passwords and session cookies would cross the network in clear; give --tls-cert and --tls-key, "
                "or --insecure-http when the network is trusted");
        return 2;
    }
    std::vector<Target> targets;
    if (!loadTargets(targetsFile, &targets, &error)) {
        logLine(error);
        return 2;
    }
    std::vector<User> users;
    if (!loadUsers(usersFile, &users, true, &error)) {
        logLine(error);
        return 2;
    }
    if (users.empty() && !anonymous)
        logLine("no users in " + usersFile + "; add one with: cv4870-web user add NAME --role admin");

    raiseDescriptorLimit(targets.size() * 2 + 1024 + 64);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    makeParents(dbFile);
    Store store;
    store.setLog(logLine);
    if (!store.open(dbFile, &error)) {
        logLine(error);
        return 1;
    }
    if (!store.status().writable)
        logLine("database: can not write: " + store.status().error + "; serving the live state only");

    FleetOptions fleetOptions;
    fleetOptions.interval = std::chrono::milliseconds(std::llround(interval * 1000));
    fleetOptions.fastInterval = std::min(fleetOptions.interval, std::chrono::milliseconds(500));
    fleetOptions.timeout = std::chrono::milliseconds(std::llround(timeout * 1000));
    fleetOptions.threads = pollThreads;
    // One session per mainframe, all of them kept: no bound of the pool's
    // may fall below the fleet (mainframes on one address, reads at once).
    cv4870mon::PoolOptions poolOptions;
    poolOptions.maxSessions = targets.size() + 4096;
    poolOptions.maxPerAddress = poolOptions.maxSessions;
    poolOptions.maxReads = std::max<std::size_t>(pollThreads + 64, 256);
    poolOptions.sessionIdle = std::chrono::seconds(60); // only sessions no longer held: removed mainframes
    cv4870mon::Pool pool(poolOptions);
    Fleet fleet(store, fleetOptions, pool);
    fleet.setTargets(targets);

    ServiceOptions serviceOptions;
    serviceOptions.anonymousRead = anonymous;
    serviceOptions.tls = tls;
    serviceOptions.sessionIdle = std::chrono::seconds(sessionIdle);
    serviceOptions.sessionMax = std::chrono::seconds(sessionMax);
    serviceOptions.loginWindow = std::chrono::seconds(loginWindow);
    serviceOptions.retentionDays = retention;
    Service service(store, fleet, serviceOptions);
    service.setUsers(users);

    cvhttp::ServerOptions http;
    http.address = address;
    http.port = port;
    http.defaultHeaders = Service::securityHeaders();
    http.log = logLine;
    http.errorResponse = [](unsigned status, const std::string &text) {
        cvhttp::Response r;
        r.status = status;
        r.contentType = "application/json";
        r.body = nlohmann::json{{"error", text.substr(0, text.find('\n'))}}.dump() + "\n";
        return r;
    };
    if (tls)
        http.tls = cvhttp::TlsOptions{tlsCert, tlsKey, {}};
    cvhttp::Server server;
    if (!server.start(
            http, [&service](const cvhttp::Request &r, cvhttp::Reply reply) { service.handle(r, reply); }, &error)) {
        logLine(error);
        return 1;
    }
    fleet.start();
    if (ready) {
        std::printf("LISTENING %s %u\n", address.c_str(), unsigned(server.port()));
        std::fflush(stdout);
    }
    for (;;) {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGHUP)
            break;
        std::vector<Target> next;
        if (loadTargets(targetsFile, &next, &error)) {
            fleet.setTargets(next);
            service.fleetChanged();
            logLine("reloaded " + std::to_string(next.size()) + " mainframes from " + targetsFile);
        } else {
            logLine("reload: " + error + "; keeping the mainframes as they were");
        }
        std::vector<User> nextUsers;
        if (loadUsers(usersFile, &nextUsers, true, &error))
            service.setUsers(nextUsers);
        else
            logLine("reload: " + error + "; keeping the users as they were");
    }
    server.stop();
    service.stop();
    fleet.stop();
    return 0;
}
