// cv4870ctl: the mainframe from the command line.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "cv4870.h"
#include "cv4870mon/json.h"
#include "cv4870mon/link.h"
#include "cv4870mon/text.h"
#include "report.h"
#include "cv4870mon/target.h"

using namespace cv4870mon;
using nlohmann::json;
using std::chrono::milliseconds;

namespace {

// Exit statuses (plugin statuses for check).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // status: the mainframe reports a problem; find: nothing found
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr int kPluginUnknown = 3;
constexpr std::size_t kMaxSendLine = 4096;
constexpr std::size_t kMaxReply = 64 * 1024;

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onStopSignal(int)
{
    stopRequested = 1;
}

struct Options
{
    int timeoutMs = 2000;
    bool json = false;
    std::string target;
    std::string resource;
    std::optional<double> warningTemp, criticalTemp;
    int intervalMs = 500;
    std::optional<long> count;
    std::optional<double> durationSeconds;
    std::string logPath;
    std::string logFormat = "csv";
    std::string powerState;
    std::string fanSpeed;
    std::string line;
};

// One line of JSON; a byte that is not UTF-8 becomes U+FFFD instead of an exception.
std::string jsonLine(const json &j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void printJson(const json &j)
{
    std::cout << jsonLine(j) << std::endl;
}

json errorJson(const std::string &resource, const std::string &error)
{
    return {{"schema_version", kSchemaVersion}, {"type", "error"}, {"resource", resource}, {"error", error}};
}

int fail(const Options &o, const std::string &what, const std::string &error)
{
    if (o.json)
        printJson(errorJson(o.resource, what + ": " + error));
    std::cerr << "cv4870ctl: " << what << ": " << error << std::endl;
    return kExitUnreachable;
}

// The resource file the VISA library reads (docs/visa-resources.md).
std::string resourceFile()
{
    const char *path = std::getenv("CV_VISA_RESOURCES");
    if (path && *path)
        return path;
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/cv-visa/resources.conf";
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/cv-visa/resources.conf";
}

int runFind(const Options &o)
{
    const std::string file = resourceFile();
    ViSession rm = VI_NULL;
    const ViStatus st = viOpenDefaultRM(&rm);
    if (st < 0)
        return fail(o, "VISA resource manager", statusText(st));
    json found = json::array();
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar name[VI_FIND_BUFLEN] = {};
    if (viFindRsrc(rm, "TCPIP?*SOCKET", &list, &count, name) >= 0) {
        for (ViUInt32 i = 0; i < count; ++i) {
            name[VI_FIND_BUFLEN - 1] = '\0';
            ViSession vi = VI_NULL;
            if (cv4870_init(name, VI_TRUE, VI_FALSE, &vi) >= 0) {
                ViInt32 ps = 0, fan = 0;
                ViChar description[CV4870_DESCRIPTION_BUFLEN] = {};
                cv4870_getSerialNumber(vi, &ps, &fan);
                cv4870_getDescription(vi, description);
                cv4870_close(vi);
                found.push_back({{"resource", name},
                                 {"description", utf8FromLatin1(description)},
                                 {"power_supply_serial", ps},
                                 {"fan_tray_serial", fan}});
            }
            if (i + 1 < count && viFindNext(list, name) < 0)
                break;
        }
        viClose(list);
    }
    viClose(rm);
    if (o.json) {
        printJson(
            {{"schema_version", kSchemaVersion}, {"type", "find"}, {"resource_file", file}, {"mainframes", found}});
    } else {
        std::cerr << "VISA resource file: " << file << std::endl;
        if (!found.empty())
            std::printf("%-40s  %-12s  %-12s  %s\n", "Resource", "PS serial", "Fan serial", "Description");
        for (const json &m : found)
            std::printf("%-40s  %-12d  %-12d  %s\n", m["resource"].get<std::string>().c_str(),
                        m["power_supply_serial"].get<int>(), m["fan_tray_serial"].get<int>(),
                        m["description"].get<std::string>().c_str());
        if (found.empty())
            std::cerr << "cv4870ctl: no mainframe found" << std::endl;
    }
    return found.empty() ? kExitFailure : kExitOk;
}

Thresholds thresholds(const Options &o)
{
    return {o.warningTemp, o.criticalTemp};
}

int runStatus(const Options &o)
{
    Link link(o.resource);
    const ReadResult r = link.read(milliseconds(o.timeoutMs));
    if (!r.snapshot)
        return fail(o, o.resource, r.error);
    const Health health = assessHealth(*r.snapshot, thresholds(o));
    if (o.json)
        printJson(toJson(*r.snapshot, health));
    else
        std::cout << cv4870ctl::statusTable(*r.snapshot, health) << std::flush;
    return health.severity == Severity::Ok ? kExitOk : kExitFailure;
}

int runCheck(const Options &o)
{
    Link link(o.resource);
    const ReadResult r = link.read(milliseconds(o.timeoutMs));
    if (!r.snapshot) {
        std::string error = r.error;
        for (char &c : error)
            c = c == '|' ? '/' : c;
        std::cout << "CV4870 UNKNOWN - " << o.resource << ": " << error << std::endl;
        return kPluginUnknown;
    }
    const Health health = assessHealth(*r.snapshot, thresholds(o));
    std::cout << cv4870ctl::pluginLine(*r.snapshot, health, thresholds(o)) << std::endl;
    return static_cast<int>(health.severity);
}

// Appends lines to the log, each written through to the file at once.
class Log
{
public:
    bool open(const std::string &path, bool csv, std::string *error)
    {
        if (path.empty())
            return true;
        file_ = std::fopen(path.c_str(), "a");
        if (!file_) {
            *error = std::strerror(errno);
            return false;
        }
        csv_ = csv;
        if (csv_ && std::ftell(file_) == 0)
            write(cv4870ctl::csvHeader());
        return true;
    }
    ~Log()
    {
        if (file_)
            std::fclose(file_);
    }
    void snapshot(const Snapshot &s, const Health &h)
    {
        if (file_)
            write(csv_ ? cv4870ctl::csvRow(s, h) : jsonLine(toJson(s, h)));
    }
    void event(const Event &e)
    {
        if (file_)
            write(csv_ ? cv4870ctl::csvRow(e) : jsonLine(toJson(e)));
    }
    bool failed() const { return failed_; }

private:
    void write(const std::string &line)
    {
        if (std::fputs((line + "\n").c_str(), file_) < 0 || std::fflush(file_) != 0)
            failed_ = true;
    }
    std::FILE *file_ = nullptr;
    bool csv_ = true;
    bool failed_ = false;
};

// Sleeps until the time point or a stop signal, in short steps.
void sleepUntil(std::chrono::steady_clock::time_point until)
{
    while (!stopRequested && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(milliseconds(20), until - std::chrono::steady_clock::now()));
}

int runWatch(const Options &o)
{
    Log log;
    std::string error;
    if (!log.open(o.logPath, o.logFormat == "csv", &error)) {
        std::cerr << "cv4870ctl: --log: cannot write " << o.logPath << ": " << error << std::endl;
        return kExitUsage;
    }
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const Thresholds limits = thresholds(o);
    Link link(o.resource);
    LinkTracker tracker(o.resource);
    std::cerr << "Watching " << o.resource << " every " << o.intervalMs << " ms" << std::endl;
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    for (long polls = 0; !stopRequested; ++polls) {
        if (o.count && polls >= *o.count)
            break;
        if (o.durationSeconds &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*o.durationSeconds))
            break;
        const ReadResult r = link.read(milliseconds(o.timeoutMs));
        std::vector<Event> events;
        if (r.snapshot) {
            events = tracker.onSnapshot(*r.snapshot);
            log.snapshot(*r.snapshot, assessHealth(*r.snapshot, limits));
        } else {
            events = tracker.onFailure(Clock::now(), r.error);
        }
        for (const Event &e : events) {
            log.event(e);
            if (o.json)
                printJson(toJson(e));
            else
                std::cout << cv4870ctl::eventLine(e) << std::endl;
        }
        if (log.failed()) {
            std::cerr << "cv4870ctl: --log: writing " << o.logPath << " failed" << std::endl;
            return kExitUnreachable;
        }
        next += milliseconds(o.intervalMs);
        const auto now = std::chrono::steady_clock::now();
        if (next < now)
            next = now; // a slow poll does not cause a burst of catch-up polls
        sleepUntil(next);
    }
    return kExitOk;
}

int runCommand(const Options &o, const char *name, const std::string &done,
               const std::function<ViStatus(ViSession)> &call)
{
    Link link(o.resource);
    std::string error;
    const ViStatus st = link.run(milliseconds(o.timeoutMs), call, &error);
    if (st < 0)
        return fail(o, name, error);
    if (o.json)
        printJson({{"schema_version", kSchemaVersion},
                   {"type", "command"},
                   {"command", name},
                   {"resource", o.resource},
                   {"ok", true}});
    else
        std::cout << done << std::endl;
    return kExitOk;
}

int runSend(const Options &o)
{
    ViSession rm = VI_NULL, vi = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st < 0)
        return fail(o, "VISA resource manager", statusText(st));
    const auto timeout = static_cast<ViUInt32>(o.timeoutMs);
    std::string reply;
    const char *step = "open";
    if ((st = viOpen(rm, o.resource.c_str(), VI_NULL, timeout, &vi)) >= 0 &&
        (st = viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout)) >= 0 &&
        (st = viSetAttribute(vi, VI_ATTR_TERMCHAR, '\n')) >= 0 &&
        (st = viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE)) >= 0) {
        step = "write";
        const std::string out = o.line + "\n";
        ViUInt32 written = 0;
        st = viWrite(vi, reinterpret_cast<ViConstBuf>(out.data()), static_cast<ViUInt32>(out.size()), &written);
        if (st >= 0 && o.line.find('?') != std::string::npos) {
            step = "read";
            ViByte buf[4096];
            do {
                ViUInt32 got = 0;
                st = viRead(vi, buf, sizeof buf, &got);
                if (st >= 0)
                    reply.append(reinterpret_cast<const char *>(buf), got);
            } while (st == VI_SUCCESS_MAX_CNT && reply.size() < kMaxReply);
            if (st == VI_SUCCESS_MAX_CNT)
                reply += " [reply cut at 64 KiB]";
        }
    }
    if (vi != VI_NULL)
        viClose(vi);
    viClose(rm);
    if (st < 0)
        return fail(o, step, statusText(st));
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.pop_back();
    for (char &c : reply) // the reply goes to a terminal: no control bytes
        c = (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) ? '?' : c;
    if (o.json)
        printJson({{"schema_version", kSchemaVersion},
                   {"type", "send"},
                   {"resource", o.resource},
                   {"line", o.line},
                   {"reply", o.line.find('?') != std::string::npos ? json(reply) : json(nullptr)}});
    else if (o.line.find('?') != std::string::npos)
        std::cout << reply << std::endl;
    return kExitOk;
}

CLI::Validator targetValidator()
{
    return CLI::Validator(
        [](std::string &text) {
            const TargetResult r = parseTarget(text);
            return r.ok ? std::string() : r.error;
        },
        "TARGET", "target");
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app{"cv4870ctl: check, watch and control Ostrel 4870 mainframes from the command line.\n"
                 "TARGET is a VISA resource string (TCPIP0::host::port::SOCKET), an IPv4 address or host name\n"
                 "(port 23), or host:port.",
                 "cv4870ctl"};
    app.set_version_flag("--version", std::string("cv4870ctl " CV_VERSION " (driver " CV4870_DRIVER_REVISION ")"));
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--timeout", o.timeoutMs, "Deadline of each read or command in ms (default 2000)")
        ->check(CLI::Range(1, 600000));
    app.add_flag("--json", o.json, "Machine-readable JSON output (schema in the manual)");
    app.footer("Exit status: 0 good, 1 the mainframe reports a problem (find: nothing found), 2 usage error,\n"
               "3 the mainframe cannot be reached or the driver fails. check uses the plugin statuses\n"
               "0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (usage errors too).");

    auto addTarget = [&](CLI::App *sub) {
        sub->add_option("TARGET", o.target, "Mainframe to talk to")->required()->check(targetValidator());
    };
    auto addThresholds = [&](CLI::App *sub) {
        sub->add_option("-w,--warning-temp", o.warningTemp, "Warning at or above this temperature (degC)")
            ->check(CLI::Range(-100.0, 500.0));
        sub->add_option("-c,--critical-temp", o.criticalTemp, "Critical at or above this temperature (degC)")
            ->check(CLI::Range(-100.0, 500.0));
    };

    CLI::App *find = app.add_subcommand("find", "List the mainframes the VISA search finds (exit 1: none)");
    CLI::App *status = app.add_subcommand("status", "One reading as a table or JSON (exit 0 healthy, 1 problem)");
    addTarget(status);
    addThresholds(status);
    CLI::App *check = app.add_subcommand("check", "Monitoring-plugin check: one status line with performance data");
    addTarget(check);
    addThresholds(check);
    CLI::App *watch = app.add_subcommand("watch", "Poll and print events as they happen; optionally log everything");
    addTarget(watch);
    addThresholds(watch);
    watch->add_option("--interval", o.intervalMs, "Poll interval in ms (default 500)")->check(CLI::Range(10, 3600000));
    watch->add_option("--count", o.count, "Stop after this many polls")->check(CLI::PositiveNumber);
    watch->add_option("--duration", o.durationSeconds, "Stop after this many seconds")->check(CLI::PositiveNumber);
    watch->add_option("--log", o.logPath, "Append every snapshot and event to this file");
    watch->add_option("--log-format", o.logFormat, "csv (default) or jsonl")->check(CLI::IsMember({"csv", "jsonl"}));
    CLI::App *power = app.add_subcommand("power", "Switch main power on or off");
    addTarget(power);
    power->add_option("STATE", o.powerState, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    CLI::App *sysreset = app.add_subcommand("sysreset", "Pulse the VXI SysReset line");
    addTarget(sysreset);
    CLI::App *reset = app.add_subcommand("reset", "Reset the mainframe to its power-on state (*RST)");
    addTarget(reset);
    CLI::App *fan = app.add_subcommand("fan", "Set the nominal fan speed");
    addTarget(fan);
    fan->add_option("RPM", o.fanSpeed, "off, 0, or 1200..3600")
        ->required()
        ->check(CLI::Validator(
            [](std::string &text) {
                if (text == "off")
                    return std::string();
                char *end = nullptr;
                errno = 0;
                const long rpm = std::strtol(text.c_str(), &end, 10);
                const bool number = !text.empty() && *end == '\0' && errno == 0;
                if (number && (rpm == 0 || (rpm >= CV4870_FAN_SPEED_MIN && rpm <= CV4870_FAN_SPEED_MAX)))
                    return std::string();
                return "fan speed " + text + " is not off, 0 or 1200..3600 rpm";
            },
            "RPM", "fan speed"));
    CLI::App *send = app.add_subcommand("send", "Send one raw protocol line; print the reply of a query (?)");
    addTarget(send);
    send->add_option("LINE", o.line, "Protocol line without its LF")
        ->required()
        ->check(CLI::Validator(
            [](std::string &text) {
                if (text.empty() || text.size() > kMaxSendLine)
                    return std::string("the line must have 1 to 4096 characters");
                if (text.find_first_of("\r\n") != std::string::npos)
                    return std::string("the line must not contain CR or LF");
                return std::string();
            },
            "LINE", "protocol line"));

    try {
        app.parse(argc, argv);
        if (o.warningTemp && o.criticalTemp && *o.criticalTemp < *o.warningTemp)
            throw CLI::ValidationError("--critical-temp", "must not be below --warning-temp");
        if (watch->parsed() && !o.logPath.empty() && o.logPath == "-")
            throw CLI::ValidationError("--log", "needs a file name");
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e);
        std::string message = e.what();
        if (app.get_subcommands().empty()) {
            // CLI11 says only that a subcommand is required: name the word it did not know.
            for (int i = 1; i < argc; ++i) {
                const std::string word = argv[i];
                if (word == "--timeout") {
                    ++i;
                } else if (!word.empty() && word[0] != '-') {
                    message = "unknown subcommand '" + word + "'";
                    break;
                }
            }
        }
        std::cerr << "cv4870ctl: " << message << " (see cv4870ctl --help)" << std::endl;
        return check->parsed() ? kPluginUnknown : kExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);
    o.resource = parseTarget(o.target).resource;

    if (find->parsed())
        return runFind(o);
    if (status->parsed())
        return runStatus(o);
    if (check->parsed())
        return runCheck(o);
    if (watch->parsed())
        return runWatch(o);
    if (power->parsed()) {
        const bool on = o.powerState == "on";
        return runCommand(o, "power", on ? "main power switched on" : "main power switched off",
                          [on](ViSession vi) { return cv4870_setMainPowerState(vi, on ? VI_TRUE : VI_FALSE); });
    }
    if (sysreset->parsed())
        return runCommand(o, "sysreset", "SysReset pulsed", [](ViSession vi) { return cv4870_setVXIsysReset(vi); });
    if (reset->parsed())
        return runCommand(o, "reset", "mainframe reset", [](ViSession vi) { return cv4870_reset(vi); });
    if (fan->parsed()) {
        const auto rpm = static_cast<ViInt32>(o.fanSpeed == "off" ? 0 : std::stol(o.fanSpeed));
        return runCommand(o, "fan", "nominal fan speed set to " + std::to_string(rpm) + " rpm",
                          [rpm](ViSession vi) { return cv4870_setFanSpeed(vi, rpm); });
    }
    return runSend(o);
}
