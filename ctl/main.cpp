// cv4870ctl: the mainframe from the command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
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
#include "cv4870mon/failure.h"
#include "cv4870mon/json.h"
#include "cv4870mon/link.h"
#include "cv4870mon/range.h"
#include "cv4870mon/target.h"
#include "cv4870mon/text.h"
#include "report.h"

using namespace cv4870mon;
using nlohmann::json;
using std::chrono::milliseconds;

namespace {

// Exit statuses (plugin statuses for check).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // status: the mainframe reports a problem; find: nothing found
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr int kPluginCritical = 2;
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
    std::optional<double> timeoutSeconds; // check's -t
    bool json = false;
    std::string target;
    std::string resource;
    std::string warningRange, criticalRange;
    std::string powerExpected = "on";
    std::string unreachable = "critical";
    std::string findFormat;
    int intervalMs = 500;
    std::optional<long> count;
    std::optional<double> durationSeconds;
    std::string logPath;
    std::string logFormat = "csv";
    std::string powerState;
    std::string fanSpeed;
    std::string line;
    int exitStatus = kExitOk; // set by the subcommand that ran
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

int fail(const Options &o, const std::string &what, const std::string &error, const Failure &failure = {})
{
    if (o.json) {
        json j = {{"schema_version", kSchemaVersion},
                  {"type", "error"},
                  {"resource", o.resource},
                  {"error", what + ": " + error}};
        if (failure)
            j["failure"] = toJson(failure);
        printJson(j);
    }
    std::cerr << "cv4870ctl: " << what << ": " << error << std::endl;
    return kExitUnreachable;
}

// Numbers on the command line: CLI11 would take "nan" and "inf".
CLI::Validator finiteNumber()
{
    return CLI::Validator(
        [](std::string &text) {
            char *end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            return !text.empty() && *end == '\0' && std::isfinite(v) ? std::string()
                                                                     : "'" + text + "' is not a finite number";
        },
        "NUMBER", "finite number");
}

CLI::Validator rangeValidator()
{
    return CLI::Validator(
        [](std::string &text) {
            const RangeResult r = parseRange(text);
            return r.ok ? std::string() : r.error;
        },
        "RANGE", "range");
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

Thresholds thresholds(const Options &o)
{
    Thresholds t;
    if (!o.warningRange.empty())
        t.warning = parseRange(o.warningRange).range;
    if (!o.criticalRange.empty())
        t.critical = parseRange(o.criticalRange).range;
    t.powerExpectedOff = o.powerExpected == "off";
    return t;
}

void addTarget(CLI::App *sub, Options &o)
{
    sub->add_option("TARGET", o.target, "Mainframe to talk to")->required()->check(targetValidator());
    sub->parse_complete_callback([&o] { o.resource = parseTarget(o.target).resource; });
}

void addThresholds(CLI::App *sub, Options &o)
{
    sub->add_option("-w,--warning-temp", o.warningRange,
                    "Warning range for both temperatures in degC (plugin syntax: 45, 10:45, ~:45, @10:20)")
        ->check(rangeValidator());
    sub->add_option("-c,--critical-temp", o.criticalRange, "Critical range for both temperatures in degC")
        ->check(rangeValidator());
    sub->add_option("--power-expected", o.powerExpected,
                    "on (default): main power off is a warning; off: power off is fine and on a warning")
        ->check(CLI::IsMember({"on", "off"}));
}

// ---- find ----

void runFind(Options &o)
{
    ViSession rm = VI_NULL;
    const ViStatus st = viOpenDefaultRM(&rm);
    if (st < 0) {
        o.exitStatus = fail(o, "VISA resource manager", statusText(st));
        return;
    }
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
    // What the library itself looked for and read.
    ViChar file[VI_FIND_BUFLEN] = {};
    ViBoolean read = VI_FALSE;
    viGetAttribute(rm, VI_ATTR_CV_RSRC_FILE, file);
    viGetAttribute(rm, VI_ATTR_CV_RSRC_FILE_READ, &read);
    viClose(rm);
    const std::string fileNote = read      ? std::string("VISA resource file: ") + file
                                 : file[0] ? std::string("no VISA resource file at ") + file
                                           : std::string("no VISA resource file (no location is set)");
    if (o.findFormat == "prometheus") {
        std::cout << jsonLine(cv4870ctl::serviceDiscovery(found)) << std::endl;
        std::cerr << fileNote << std::endl;
    } else if (o.json) {
        printJson({{"schema_version", kSchemaVersion},
                   {"type", "find"},
                   {"resource_file", file},
                   {"resource_file_read", read != VI_FALSE},
                   {"mainframes", found}});
    } else {
        std::cerr << fileNote << std::endl;
        if (!found.empty())
            std::printf("%-40s  %-12s  %-12s  %s\n", "Resource", "PS serial", "Fan serial", "Description");
        for (const json &m : found)
            std::printf("%-40s  %-12d  %-12d  %s\n", m["resource"].get<std::string>().c_str(),
                        m["power_supply_serial"].get<int>(), m["fan_tray_serial"].get<int>(),
                        m["description"].get<std::string>().c_str());
        if (found.empty())
            std::cerr << "cv4870ctl: no mainframe found" << (read ? "" : " (" + fileNote + ")") << std::endl;
    }
    o.exitStatus = found.empty() ? kExitFailure : kExitOk;
}

void setupFind(CLI::App &app, Options &o)
{
    CLI::App *find = app.add_subcommand("find", "List the mainframes the VISA search finds (exit 1: none)");
    find->add_option("--format", o.findFormat, "prometheus: a Prometheus file-based service discovery file on stdout")
        ->check(CLI::IsMember({"prometheus"}));
    find->callback([&o] { runFind(o); });
}

// ---- status and check ----

void setupStatus(CLI::App &app, Options &o)
{
    CLI::App *status = app.add_subcommand("status", "One reading as a table or JSON (exit 0 healthy, 1 problem)");
    addTarget(status, o);
    addThresholds(status, o);
    status->callback([&o] {
        Link link(o.resource);
        const ReadResult r = link.read(milliseconds(o.timeoutMs));
        if (!r.snapshot) {
            o.exitStatus = fail(o, o.resource, r.error, r.failure);
            return;
        }
        const Health health = assessHealth(*r.snapshot, thresholds(o));
        if (o.json)
            printJson(toJson(*r.snapshot, health));
        else
            std::cout << cv4870ctl::statusTable(*r.snapshot, health) << std::flush;
        o.exitStatus = health.severity == Severity::Ok ? kExitOk : kExitFailure;
    });
}

void setupCheck(CLI::App &app, Options &o)
{
    CLI::App *check = app.add_subcommand("check", "Monitoring-plugin check: one status line with performance data");
    addTarget(check, o);
    addThresholds(check, o);
    check->add_option("-t,--timeout-seconds", o.timeoutSeconds, "Deadline of the check in seconds (0.001 to 600)")
        ->check(finiteNumber() & CLI::Range(0.001, 600.0));
    check
        ->add_option("--unreachable", o.unreachable,
                     "State of a mainframe that cannot be read: critical (default) or unknown")
        ->check(CLI::IsMember({"critical", "unknown"}));
    check->callback([&o] {
        const auto deadline =
            o.timeoutSeconds ? milliseconds(std::lround(*o.timeoutSeconds * 1000.0)) : milliseconds(o.timeoutMs);
        Link link(o.resource);
        const ReadResult r = link.read(deadline);
        if (!r.snapshot) {
            const bool unknown = o.unreachable == "unknown";
            std::cout << cv4870ctl::pluginFailureLine(unknown ? "UNKNOWN" : "CRITICAL", o.resource + ": " + r.error)
                      << std::endl;
            o.exitStatus = unknown ? kPluginUnknown : kPluginCritical;
            return;
        }
        const Thresholds limits = thresholds(o);
        const Health health = assessHealth(*r.snapshot, limits);
        std::cout << cv4870ctl::pluginLine(*r.snapshot, health, limits) << std::endl;
        o.exitStatus = static_cast<int>(health.severity);
    });
}

// ---- watch ----

// Appends whole rows to the log: each row goes to the file in one write;
// a write that fails or stores only part of the row is cut back off, and
// the log takes no further rows.
class Log
{
public:
    bool open(const std::string &path, bool csv, std::string *error)
    {
        if (path.empty())
            return true;
        // Read access lets a cut last row be found; a log we may only write to is taken as it is.
        fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        const bool readable = fd_ >= 0;
        if (!readable && errno == EACCES)
            fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd_ < 0 || !dropPartialRow(readable)) {
            *error = std::strerror(errno);
            return false;
        }
        csv_ = csv;
        if (csv_ && size_ == 0)
            write(cv4870ctl::csvHeader());
        if (failed_)
            *error = std::strerror(errno);
        return !failed_;
    }
    ~Log()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    void snapshot(const Snapshot &s, const Health &h)
    {
        write(csv_ ? cv4870ctl::csvRow(s, h) : jsonLine(toJson(s, h)));
    }
    void event(const Event &e) { write(csv_ ? cv4870ctl::csvRow(e) : jsonLine(toJson(e))); }
    bool failed() const { return failed_; }

private:
    // A file left with a cut last row (by an older writer, or a crash)
    // gets it removed, so that the next row starts on a line of its own.
    bool dropPartialRow(bool readable)
    {
        struct stat st = {};
        if (fstat(fd_, &st) != 0)
            return false;
        off_t end = st.st_size;
        if (!readable) {
            size_ = end;
            return true;
        }
        char buf[4096];
        while (end > 0) {
            const off_t from = end > off_t(sizeof buf) ? end - off_t(sizeof buf) : 0;
            const ssize_t got = pread(fd_, buf, std::size_t(end - from), from);
            if (got != end - from)
                return false;
            const char *nl = static_cast<const char *>(memrchr(buf, '\n', std::size_t(got)));
            if (nl) {
                end = from + (nl - buf) + 1;
                break;
            }
            end = from;
        }
        if (end != st.st_size && ftruncate(fd_, end) != 0)
            return false;
        size_ = end;
        return true;
    }

    void write(const std::string &line)
    {
        if (fd_ < 0 || failed_)
            return;
        const std::string row = line + "\n";
        ssize_t n;
        do {
            n = ::write(fd_, row.data(), row.size());
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(row.size())) {
            size_ += n;
            return;
        }
        const int err = n < 0 ? errno : ENOSPC;
        if (n > 0 && ftruncate(fd_, size_) != 0)
            std::cerr << "cv4870ctl: --log: cannot remove a partly written row: " << std::strerror(errno) << std::endl;
        errno = err;
        failed_ = true;
    }

    int fd_ = -1;
    off_t size_ = 0;
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
            const bool first = !tracker.last();
            events = tracker.onSnapshot(*r.snapshot);
            if (first) {
                const std::vector<Event> present = presentAtStart(*r.snapshot);
                events.insert(events.end(), present.begin(), present.end());
            }
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
            std::cerr << "cv4870ctl: --log: writing " << o.logPath << " failed: " << std::strerror(errno)
                      << "; the log ends with its last whole row" << std::endl;
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

void setupWatch(CLI::App &app, Options &o)
{
    CLI::App *watch = app.add_subcommand("watch", "Poll and print events as they happen; optionally log everything");
    addTarget(watch, o);
    addThresholds(watch, o);
    watch->add_option("--interval", o.intervalMs, "Poll interval in ms (default 500)")->check(CLI::Range(10, 3600000));
    watch->add_option("--count", o.count, "Stop after this many polls")->check(CLI::PositiveNumber);
    watch->add_option("--duration", o.durationSeconds, "Stop after this many seconds")
        ->check(finiteNumber() & CLI::PositiveNumber);
    watch->add_option("--log", o.logPath, "Append every snapshot and event to this file");
    watch->add_option("--log-format", o.logFormat, "csv (default) or jsonl")->check(CLI::IsMember({"csv", "jsonl"}));
    watch->callback([&o] {
        if (o.logPath == "-")
            throw CLI::ValidationError("--log", "needs a file name");
        o.exitStatus = runWatch(o);
    });
}

// ---- the panel's commands and send ----

void runCommand(Options &o, const char *name, const std::string &done, const std::function<ViStatus(ViSession)> &call)
{
    Link link(o.resource);
    std::string error;
    Failure failure;
    const ViStatus st = link.run(milliseconds(o.timeoutMs), call, &error, &failure);
    if (st < 0) {
        o.exitStatus = fail(o, name, error, failure);
        return;
    }
    if (o.json)
        printJson({{"schema_version", kSchemaVersion},
                   {"type", "command"},
                   {"command", name},
                   {"resource", o.resource},
                   {"ok", true}});
    else
        std::cout << done << std::endl;
    o.exitStatus = kExitOk;
}

CLI::Validator fanSpeedValidator()
{
    return CLI::Validator(
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
        "RPM", "fan speed");
}

void setupCommands(CLI::App &app, Options &o)
{
    CLI::App *power = app.add_subcommand("power", "Switch main power on or off");
    addTarget(power, o);
    power->add_option("STATE", o.powerState, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    power->callback([&o] {
        const bool on = o.powerState == "on";
        runCommand(o, "power", on ? "main power switched on" : "main power switched off",
                   [on](ViSession vi) { return cv4870_setMainPowerState(vi, on ? VI_TRUE : VI_FALSE); });
    });
    CLI::App *sysreset = app.add_subcommand("sysreset", "Pulse the VXI SysReset line");
    addTarget(sysreset, o);
    sysreset->callback(
        [&o] { runCommand(o, "sysreset", "SysReset pulsed", [](ViSession vi) { return cv4870_setVXIsysReset(vi); }); });
    CLI::App *reset = app.add_subcommand("reset", "Reset the mainframe to its power-on state (*RST)");
    addTarget(reset, o);
    reset->callback([&o] { runCommand(o, "reset", "mainframe reset", [](ViSession vi) { return cv4870_reset(vi); }); });
    CLI::App *fan = app.add_subcommand("fan", "Set the nominal fan speed");
    addTarget(fan, o);
    fan->add_option("RPM", o.fanSpeed, "off, 0, or 1200..3600")->required()->check(fanSpeedValidator());
    fan->callback([&o] {
        const auto rpm = static_cast<ViInt32>(o.fanSpeed == "off" ? 0 : std::stol(o.fanSpeed));
        runCommand(o, "fan", "nominal fan speed set to " + std::to_string(rpm) + " rpm",
                   [rpm](ViSession vi) { return cv4870_setFanSpeed(vi, rpm); });
    });
}

void runSend(Options &o)
{
    ViSession rm = VI_NULL, vi = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st < 0) {
        o.exitStatus = fail(o, "VISA resource manager", statusText(st));
        return;
    }
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
    const Failure failure = classifyFailure(st, o.resource);
    if (vi != VI_NULL)
        viClose(vi);
    viClose(rm);
    if (st < 0) {
        o.exitStatus = fail(o, step, failure.message, failure);
        return;
    }
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
    o.exitStatus = kExitOk;
}

void setupSend(CLI::App &app, Options &o)
{
    CLI::App *send = app.add_subcommand("send", "Send one raw protocol line; print the reply of a query (?)");
    addTarget(send, o);
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
    send->callback([&o] { runSend(o); });
}

// ---- usage errors ----

// One line naming what is wrong: on stderr, and for check also as the
// plugin's UNKNOWN status line on stdout.
int usageError(const CLI::App &app, const CLI::ParseError &e, int argc, char **argv)
{
    std::string message = e.what();
    std::string subcommand; // the first word that is not an option or --timeout's value
    for (int i = 1; i < argc && subcommand.empty(); ++i) {
        const std::string word = argv[i];
        if (word == "--timeout")
            ++i;
        else if (!word.empty() && word[0] != '-')
            subcommand = word;
    }
    if (app.get_subcommands().empty() && !subcommand.empty() && subcommand != "check") {
        // CLI11 says only that a subcommand is required: name the word it did not know.
        message = "unknown subcommand '" + subcommand + "'";
    }
    if (subcommand == "check") {
        std::cout << cv4870ctl::pluginFailureLine("UNKNOWN", "usage: " + message + " (see cv4870ctl check --help)")
                  << std::endl;
        return kPluginUnknown;
    }
    std::cerr << "cv4870ctl: " << message << " (see cv4870ctl --help)" << std::endl;
    return kExitUsage;
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
               "0 OK, 1 WARNING, 2 CRITICAL (also unreachable), 3 UNKNOWN (usage errors).");
    setupFind(app, o);
    setupStatus(app, o);
    setupCheck(app, o);
    setupWatch(app, o);
    setupCommands(app, o);
    setupSend(app, o);

    std::signal(SIGPIPE, SIG_IGN);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e);
        return usageError(app, e, argc, argv);
    }
    return o.exitStatus;
}
