// cv4870-web: watches the lab's mainframes, keeps their history and lets
// signed-in operators act on them over HTTP (docs/web.md).
#include <CLI/CLI.hpp>
#include <arpa/inet.h>
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
#include <optional>

#include <nlohmann/json.hpp>

#include "cvhttp/server.h"
#include "cv4870mon/pool.h"
#include "cv4870mon/process.h"
#include "fleet.h"
#include "service.h"
#include "store.h"
#include "users.h"

namespace {

using namespace cv4870web;

constexpr char kProgram[] = "cv4870-web";
constexpr char kDefaultListen[] = "127.0.0.1:8470";

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a user command or the service fails
constexpr int kExitUsage = 2;
constexpr int kRun = -1; // from a step: go on

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

bool loopback(const std::string &address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return address == "::1";
}

void raiseDescriptorLimit(std::size_t needed)
{
    if (const std::uint64_t limit = cv4870mon::raiseDescriptorLimit(needed))
        logLine("the mainframes and connections need about " + std::to_string(needed) +
                " file descriptors, the limit is " + std::to_string(limit) + "; raise it (ulimit -n)");
}

// Refuses NaN and infinities, which a range check lets through.
const CLI::Validator kFinite(
    [](std::string &text) {
        char *end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        return std::isfinite(v) ? std::string() : std::string("not a finite number: ") + text;
    },
    "FINITE");

// The command line.
struct Settings
{
    std::string listen = kDefaultListen, targetsFile;
    std::string usersFile = xdgPath("XDG_CONFIG_HOME", ".config", "users");
    std::string dbFile = xdgPath("XDG_STATE_HOME", ".local/state", "web.db");
    std::string tlsCert, tlsKey;
    double interval = 2, timeout = 2;
    bool anonymous = false, insecure = false, ready = false;
    int retention = 30;
    unsigned sessionIdle = 1800, sessionMax = 43200, loginWindow = 900, pollThreads = 16;
    std::string userName, userRole; // of the user subcommands
    std::optional<int> userStatus; // the exit status of the user subcommand that ran
};

// ---- user list, user del and user add ----

int listUsers(const Settings &s)
{
    std::vector<User> users;
    std::string error;
    if (!loadUsers(s.usersFile, &users, true, &error)) {
        logLine(error);
        return kExitUsage;
    }
    for (const User &u : users)
        std::printf("%s %s\n", u.name.c_str(), roleName(u.role));
    return kExitOk;
}

// The users file before a change, and a check of the user name; false
// with the message on stderr.
bool loadForChange(const Settings &s, bool missingOk, std::vector<User> *users)
{
    std::string error;
    if (!loadUsers(s.usersFile, users, missingOk, &error)) {
        logLine(error);
        return false;
    }
    if (!validUserName(s.userName)) {
        logLine("a user name is 1 to 64 of A-Z a-z 0-9 . _ -");
        return false;
    }
    return true;
}

int saveUsers(const Settings &s, const std::vector<User> &users)
{
    makeParents(s.usersFile);
    std::string error;
    if (!writeUsers(s.usersFile, users, &error)) {
        logLine(error);
        return kExitFailure;
    }
    return kExitOk;
}

int deleteUser(const Settings &s)
{
    std::vector<User> users;
    if (!loadForChange(s, false, &users))
        return kExitUsage;
    const auto before = users.size();
    users.erase(std::remove_if(users.begin(), users.end(), [&](const User &u) { return u.name == s.userName; }),
                users.end());
    if (users.size() == before) {
        logLine("no user " + s.userName + " in " + s.usersFile);
        return kExitFailure;
    }
    return saveUsers(s, users);
}

// Adds the user, or replaces the one of that name.
int addUser(const Settings &s)
{
    std::vector<User> users;
    if (!loadForChange(s, true, &users))
        return kExitUsage;
    const auto role = parseRole(s.userRole);
    if (!role) {
        logLine("--role is viewer, operator or admin");
        return kExitUsage;
    }
    std::string password;
    if (!readPassword(&password) || password.empty()) {
        logLine("no password on standard input");
        return kExitUsage;
    }
    User u{s.userName, *role, hashPassword(password)};
    std::fill(password.begin(), password.end(), '\0');
    if (u.hash.empty()) {
        logLine("libxcrypt could not hash the password");
        return kExitFailure;
    }
    bool replaced = false;
    for (User &other : users)
        if (other.name == s.userName) {
            other = u;
            replaced = true;
        }
    if (!replaced)
        users.push_back(u);
    return saveUsers(s, users);
}

void declareServiceOptions(CLI::App &app, Settings &s)
{
    app.add_option("--listen", s.listen, "Address and port to serve on (numeric), e.g. 127.0.0.1:8470 or [::1]:8470")
        ->capture_default_str();
    app.add_option("--targets", s.targetsFile, "The mainframes: one target a line, optionally a name after it");
    app.add_option("--users", s.usersFile, "The users file (cv4870-web user add)")->capture_default_str();
    app.add_option("--db", s.dbFile, "The database")->capture_default_str();
    app.add_option("--interval", s.interval, "Seconds between two polls of a mainframe")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.1, 3600.0));
    app.add_option("--timeout", s.timeout, "Deadline of one poll or command in seconds")
        ->capture_default_str()
        ->check(kFinite & CLI::Range(0.1, 60.0));
    app.add_option("--tls-cert", s.tlsCert, "PEM certificate chain: serve HTTPS")->check(CLI::ExistingFile);
    app.add_option("--tls-key", s.tlsKey, "PEM private key of --tls-cert")->check(CLI::ExistingFile);
    app.add_flag("--anonymous-read", s.anonymous, "Reading without signing in (never commands or the audit trail)");
    app.add_flag("--insecure-http", s.insecure, "Allow plain HTTP on an address other than loopback");
    app.add_option("--retention-days", s.retention, "Days of per-minute history kept")
        ->capture_default_str()
        ->check(CLI::Range(1, 36500));
    app.add_option("--session-idle", s.sessionIdle, "Seconds a session may stay unused")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400 * 30));
    app.add_option("--session-max", s.sessionMax, "Seconds a session lasts at most")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400 * 365));
    app.add_option("--login-window", s.loginWindow, "Seconds of the failed-login throttle's window")
        ->capture_default_str()
        ->check(CLI::Range(1, 86400));
    app.add_option("--poll-threads", s.pollThreads, "Polls running at once")
        ->capture_default_str()
        ->check(CLI::Range(1, 256));
    app.add_flag("--ready", s.ready, "Print 'LISTENING <address> <port>' on stdout once serving");
}

// user add, user del and user list: each runs once the whole command line is parsed.
void declareUserCommands(CLI::App &app, Settings &s)
{
    CLI::App *user = app.add_subcommand("user", "Manage the users file");
    user->require_subcommand(1);
    CLI::App *add = user->add_subcommand("add", "Add or replace a user; the password is read from standard input");
    add->add_option("NAME", s.userName, "User name")->required();
    add->add_option("--role", s.userRole, "viewer, operator or admin")->required();
    CLI::App *del = user->add_subcommand("del", "Remove a user");
    del->add_option("NAME", s.userName, "User name")->required();
    CLI::App *list = user->add_subcommand("list", "List the users and their roles");
    for (CLI::App *sub : {add, del, list})
        sub->add_option("--users", s.usersFile, "The users file")->capture_default_str();
    add->callback([&s] { s.userStatus = addUser(s); });
    del->callback([&s] { s.userStatus = deleteUser(s); });
    list->callback([&s] { s.userStatus = listUsers(s); });
}

// kRun to serve, or the exit status: 0 after --help and --version, 2 for
// a usage error, a user subcommand's own.
int parseCommandLine(int argc, char **argv, Settings &s)
{
    CLI::App app{"Watches 4870 VXI mainframes, keeps their history and lets signed-in operators act on them over "
                 "HTTP (docs/web.md).",
                 kProgram};
    declareServiceOptions(app, s);
    app.set_version_flag("--version", std::string(kProgram) + " " CV_VERSION);
    declareUserCommands(app, s);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        logLine(e.what());
        return kExitUsage;
    }
    return s.userStatus ? *s.userStatus : kRun;
}

struct ListenAddress
{
    std::string address;
    std::uint16_t port = 0;
};

// The options that go together or exclude each other; false with the
// message on stderr.
bool checkSettings(const Settings &s, ListenAddress *at)
{
    if (s.targetsFile.empty()) {
        logLine("--targets FILE is required");
        return false;
    }
    if (!cvhttp::splitListenAddress(s.listen, &at->address, &at->port) || !cvhttp::isNumericAddress(at->address)) {
        logLine(std::string("--listen takes a numeric address and a port, e.g. ") + kDefaultListen);
        return false;
    }
    if (s.tlsCert.empty() != s.tlsKey.empty()) {
        logLine("--tls-cert and --tls-key go together");
        return false;
    }
    if (s.tlsCert.empty() && !loopback(at->address) && !s.insecure) {
        logLine("refusing plain HTTP on " + at->address +
                ": passwords and session cookies would cross the network in clear; give --tls-cert and --tls-key, "
                "or --insecure-http when the network is trusted");
        return false;
    }
    return true;
}

// The mainframes and the users; false with the message on stderr.
bool loadConfiguration(const Settings &s, std::vector<Target> *targets, std::vector<User> *users)
{
    std::string error;
    if (!loadTargets(s.targetsFile, targets, &error)) {
        logLine(error);
        return false;
    }
    if (!loadUsers(s.usersFile, users, true, &error)) {
        logLine(error);
        return false;
    }
    if (users->empty() && !s.anonymous)
        logLine("no users in " + s.usersFile + "; add one with: cv4870-web user add NAME --role admin");
    return true;
}

// False with the message on stderr when the database cannot be opened at all.
bool openStore(Store &store, const std::string &path)
{
    makeParents(path);
    store.setLog(logLine);
    std::string error;
    if (!store.open(path, &error)) {
        logLine(error);
        return false;
    }
    if (!store.status().writable)
        logLine("database: can not write: " + store.status().error + "; serving the live state only");
    return true;
}

FleetOptions fleetOptions(const Settings &s)
{
    FleetOptions options;
    options.interval = std::chrono::milliseconds(std::llround(s.interval * 1000));
    options.fastInterval = std::min(options.interval, std::chrono::milliseconds(500));
    options.timeout = std::chrono::milliseconds(std::llround(s.timeout * 1000));
    options.threads = s.pollThreads;
    return options;
}

// One session per mainframe, all of them kept: no bound of the pool's
// may fall below the fleet (mainframes on one address, reads at once).
cv4870mon::PoolOptions poolOptions(const Settings &s, std::size_t targets)
{
    cv4870mon::PoolOptions options;
    options.maxSessions = targets + 4096;
    options.maxPerAddress = options.maxSessions;
    options.maxReads = std::max<std::size_t>(s.pollThreads + 64, 256);
    options.sessionIdle = std::chrono::seconds(60); // only sessions no longer held: removed mainframes
    return options;
}

ServiceOptions serviceOptions(const Settings &s)
{
    ServiceOptions options;
    options.anonymousRead = s.anonymous;
    options.tls = !s.tlsCert.empty();
    options.sessionIdle = std::chrono::seconds(s.sessionIdle);
    options.sessionMax = std::chrono::seconds(s.sessionMax);
    options.loginWindow = std::chrono::seconds(s.loginWindow);
    options.retentionDays = s.retention;
    return options;
}

cvhttp::ServerOptions serverOptions(const Settings &s, const ListenAddress &at)
{
    cvhttp::ServerOptions http;
    http.address = at.address;
    http.port = at.port;
    http.defaultHeaders = Service::securityHeaders();
    http.log = logLine;
    http.errorResponse = [](unsigned status, const std::string &text) {
        cvhttp::Response r;
        r.status = status;
        r.contentType = "application/json";
        r.body = nlohmann::json{{"error", text.substr(0, text.find('\n'))}}.dump() + "\n";
        return r;
    };
    if (!s.tlsCert.empty())
        http.tls = cvhttp::TlsOptions{s.tlsCert, s.tlsKey, {}};
    return http;
}

// Reads the mainframes and the users again; a file that cannot be read
// leaves what it gave before in force.
void reload(const Settings &s, Fleet &fleet, Service &service)
{
    std::string error;
    std::vector<Target> next;
    if (loadTargets(s.targetsFile, &next, &error)) {
        fleet.setTargets(next);
        service.fleetChanged();
        logLine("reloaded " + std::to_string(next.size()) + " mainframes from " + s.targetsFile);
    } else {
        logLine("reload: " + error + "; keeping the mainframes as they were");
    }
    std::vector<User> nextUsers;
    if (loadUsers(s.usersFile, &nextUsers, true, &error))
        service.setUsers(nextUsers);
    else
        logLine("reload: " + error + "; keeping the users as they were");
}

// Serves until a stop signal: kExitOk, or kExitFailure when the database
// or the server cannot start.
int serve(const Settings &s, const ListenAddress &at, const std::vector<Target> &targets,
          const std::vector<User> &users, const sigset_t &signals)
{
    Store store;
    if (!openStore(store, s.dbFile))
        return kExitFailure;
    cv4870mon::Pool pool(poolOptions(s, targets.size()));
    Fleet fleet(store, fleetOptions(s), pool);
    fleet.setTargets(targets);
    Service service(store, fleet, serviceOptions(s));
    service.setUsers(users);
    cvhttp::Server server;
    std::string error;
    const auto handler = [&service](const cvhttp::Request &r, cvhttp::Reply reply) { service.handle(r, reply); };
    if (!server.start(serverOptions(s, at), handler, &error)) {
        logLine(error);
        return kExitFailure;
    }
    fleet.start();
    if (s.ready) {
        std::printf("LISTENING %s %u\n", at.address.c_str(), unsigned(server.port()));
        std::fflush(stdout);
    }
    cv4870mon::waitForStop(signals, [&] { reload(s, fleet, service); });
    server.stop();
    service.stop();
    fleet.stop();
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    if (const int status = parseCommandLine(argc, argv, settings); status != kRun)
        return status;
    ListenAddress at;
    if (!checkSettings(settings, &at))
        return kExitUsage;
    std::vector<Target> targets;
    std::vector<User> users;
    if (!loadConfiguration(settings, &targets, &users))
        return kExitUsage;
    raiseDescriptorLimit(targets.size() * 2 + 1024 + 64);
    const sigset_t signals = cv4870mon::blockServiceSignals(); // for waitForStop
    return serve(settings, at, targets, users, signals);
}
