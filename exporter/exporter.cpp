#include "exporter.h"

#include "cv4870.h"
#include "exposition.h"
#include "cv4870mon/health.h"
#include "cv4870mon/link.h"
#include "cv4870mon/target.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace cv4870exp {

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kVersion[] = CV_VERSION;

// Why a request got no reading; the label of cv4870_exporter_errors_total.
enum Kind { BadRequest, Denied, Overload, Timeout, Connection, Protocol, Mainframe, Backoff, Other, KindCount };
const char *const kKindNames[KindCount] = {"bad_request", "denied",    "overload", "timeout", "connection",
                                           "protocol",    "mainframe", "backoff",  "other"};

Kind failureKind(const cv4870mon::ReadResult &r)
{
    if (r.backoff)
        return Backoff;
    switch (r.status) {
    case VI_ERROR_TMO:
        return Timeout;
    case VI_ERROR_RSRC_NFOUND:
    case VI_ERROR_CONN_LOST:
    case VI_ERROR_IO:
        return Connection;
    case VI_ERROR_INV_RESPONSE:
    case VI_ERROR_FAIL_ID_QUERY:
        return Protocol;
    default:
        // The mainframe's own error codes, device-specific and SCPI.
        return r.status >= CV4870_ERROR_MAINFRAME_OTHER && r.status <= CV4870_ERROR_SCPI_BASE - CV4870_SCPI_CODE_MIN
                   ? Mainframe
                   : Other;
    }
}

// Upper bounds of the probe duration histogram, in seconds.
constexpr double kBuckets[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr std::size_t kBucketCount = sizeof kBuckets / sizeof kBuckets[0];

// One read of a mainframe; every scrape that arrives while it runs shares it.
struct Flight
{
    bool done = false; // guarded by Target::mutex
    cv4870mon::ReadResult result;
};

struct Target
{
    explicit Target(const std::string &resource)
        : link(resource)
    {}
    cv4870mon::Link link;
    std::mutex mutex;
    std::condition_variable finished;
    std::shared_ptr<Flight> flight; // the running or the last read
    std::atomic<bool> open{false};
    Steady::time_point lastUse; // guarded by the map's mutex
};

HttpResponse text(unsigned status, std::string body)
{
    HttpResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

const char kIndex[] = "<!DOCTYPE html>\n<html><head><title>cv4870-exporter</title></head><body>\n"
                      "<h1>cv4870-exporter</h1>\n"
                      "<p>Reads 4870 VXI mainframes for Prometheus.</p>\n"
                      "<form action=\"probe\"><label>Target <input name=\"target\" "
                      "placeholder=\"10.20.1.7 or host:port or a VISA resource\"></label> "
                      "<input type=\"submit\" value=\"Probe\"></form>\n"
                      "<p><a href=\"metrics\">The exporter's own metrics</a></p>\n</body></html>\n";

} // namespace

milliseconds probeBudget(std::string_view header, milliseconds ceiling)
{
    double seconds = 0;
    const auto parsed = std::from_chars(header.data(), header.data() + header.size(), seconds);
    if (header.empty() || parsed.ec != std::errc() || parsed.ptr != header.data() + header.size() ||
        !std::isfinite(seconds) || seconds <= 0)
        return ceiling;
    seconds -= std::min(seconds * 0.1, 0.5);
    if (seconds * 1000 >= double(ceiling.count()))
        return ceiling;
    return milliseconds(std::max<long long>(1, static_cast<long long>(seconds * 1000)));
}

struct Exporter::Impl
{
    ExporterOptions options;
    const double startTime =
        double(std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count()) /
        1000;

    std::mutex mapMutex;
    std::unordered_map<std::string, std::shared_ptr<Target>> targets;
    Steady::time_point lastSweep; // of sessions idle too long; guarded by mapMutex

    // Reads in the background; the destructor waits for them.
    std::mutex readsMutex;
    std::condition_variable readsDone;
    unsigned readsRunning = 0;

    std::atomic<unsigned> probesRunning{0};
    std::atomic<std::uint64_t> errors[KindCount] = {};
    std::atomic<std::uint64_t> probesUp{0}, probesDown{0}, sharedReads{0};
    std::atomic<std::uint64_t> buckets[kBucketCount + 1] = {};
    std::atomic<std::uint64_t> durationMicros{0};
    std::mutex requestsMutex;
    std::map<std::pair<std::string, unsigned>, std::uint64_t> requests; // (handler, status)

    HttpResponse probe(const HttpRequest &request);
    HttpResponse metrics();
    std::shared_ptr<Target> acquire(const std::string &resource);
    bool startRead(const std::shared_ptr<Target> &target, const std::shared_ptr<Flight> &flight, milliseconds budget);
    HttpResponse refuse(Kind kind, unsigned status, const std::string &why);
    void countRequest(const char *handler, unsigned status);
};

Exporter::Exporter(ExporterOptions options)
    : d(std::make_unique<Impl>())
{
    d->options = std::move(options);
}

Exporter::~Exporter()
{
    std::unique_lock<std::mutex> lock(d->readsMutex);
    d->readsDone.wait(lock, [this] { return d->readsRunning == 0; });
}

void Exporter::Impl::countRequest(const char *handler, unsigned status)
{
    std::lock_guard<std::mutex> lock(requestsMutex);
    ++requests[{handler, status}];
}

HttpResponse Exporter::handle(const HttpRequest &request)
{
    HttpResponse response;
    const char *handler = "other";
    if (request.path == "/probe") {
        handler = "probe";
        response = d->probe(request);
    } else if (request.path == "/metrics") {
        handler = "metrics";
        response = d->metrics();
    } else if (request.path == "/") {
        handler = "index";
        response = text(200, kIndex);
        response.contentType = "text/html; charset=utf-8";
    } else {
        response = text(404, "Not found. The exporter serves /probe?target=..., /metrics and /.\n");
    }
    d->countRequest(handler, response.status);
    return response;
}

HttpResponse Exporter::Impl::refuse(Kind kind, unsigned status, const std::string &why)
{
    ++errors[kind];
    if (options.verbose)
        std::fprintf(stderr, "cv4870-exporter: probe refused (%u): %s\n", status, why.c_str());
    return text(status, why + "\n");
}

std::shared_ptr<Target> Exporter::Impl::acquire(const std::string &resource)
{
    const auto idle = [](Target &t) {
        std::lock_guard<std::mutex> lock(t.mutex);
        return !t.flight || t.flight->done;
    };
    std::lock_guard<std::mutex> lock(mapMutex);
    const Steady::time_point now = Steady::now();
    if (now - lastSweep >= std::chrono::seconds(1)) {
        // Closes the sessions of mainframes no longer scraped.
        lastSweep = now;
        for (auto it = targets.begin(); it != targets.end();) {
            if (now - it->second->lastUse > options.sessionIdle && idle(*it->second))
                it = targets.erase(it);
            else
                ++it;
        }
    }
    auto found = targets.find(resource);
    if (found == targets.end()) {
        if (targets.size() >= options.maxSessions) {
            // Makes room by closing the session scraped longest ago that is
            // not being read.
            auto oldest = targets.end();
            for (auto it = targets.begin(); it != targets.end(); ++it) {
                if (idle(*it->second) && (oldest == targets.end() || it->second->lastUse < oldest->second->lastUse))
                    oldest = it;
            }
            if (oldest == targets.end())
                return nullptr;
            targets.erase(oldest);
        }
        found = targets.emplace(resource, std::make_shared<Target>(resource)).first;
    }
    found->second->lastUse = now;
    return found->second;
}

static void finishRead(Target &target, Flight &flight, cv4870mon::ReadResult result)
{
    target.open = result.snapshot.has_value();
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        flight.result = std::move(result);
        flight.done = true;
    }
    target.finished.notify_all();
}

bool Exporter::Impl::startRead(const std::shared_ptr<Target> &target, const std::shared_ptr<Flight> &flight,
                               milliseconds budget)
{
    std::lock_guard<std::mutex> lock(readsMutex);
    try {
        // The read runs apart from the request so that a connect the driver
        // bounds by its own timeout can not hold the scrape past its budget.
        std::thread([this, target, flight, budget] {
            finishRead(*target, *flight, target->link.read(budget));
            std::lock_guard<std::mutex> g(readsMutex);
            --readsRunning;
            readsDone.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return false;
    }
    ++readsRunning;
    return true;
}

HttpResponse Exporter::Impl::probe(const HttpRequest &request)
{
    const Steady::time_point begin = Steady::now();
    const std::string *targetText = nullptr;
    for (const auto &arg : request.query) {
        if (arg.first != "target")
            continue;
        if (targetText)
            return refuse(BadRequest, 400, "Give one target parameter, not several.");
        targetText = &arg.second;
    }
    if (!targetText || targetText->empty())
        return refuse(BadRequest, 400, "Missing target parameter: /probe?target=<address, host:port or resource>.");
    const cv4870mon::TargetResult parsed = cv4870mon::parseTarget(*targetText);
    if (!parsed.ok)
        return refuse(BadRequest, 400, "Bad target: " + parsed.error + ".");
    if (!options.allow.allows(parsed.resource))
        return refuse(Denied, 403, "Target " + parsed.resource + " is not on the allow-list.");

    if (probesRunning.fetch_add(1) >= options.maxProbes) {
        --probesRunning;
        return refuse(Overload, 503, "Too many probes in progress.");
    }
    struct Release
    {
        std::atomic<unsigned> &count;
        ~Release() { --count; }
    } release{probesRunning};

    const milliseconds budget = probeBudget(request.scrapeTimeout, options.probeTimeout);
    const Steady::time_point deadline = begin + budget;
    const std::shared_ptr<Target> target = acquire(parsed.resource);
    if (!target)
        return refuse(Overload, 503, "Every session slot is busy.");

    cv4870mon::ReadResult result;
    {
        std::unique_lock<std::mutex> lock(target->mutex);
        std::shared_ptr<Flight> flight = target->flight;
        if (flight && !flight->done) {
            ++sharedReads;
        } else {
            flight = std::make_shared<Flight>();
            target->flight = flight;
            if (target->open) {
                // On an open session every exchange is bounded by the
                // budget, so the request reads itself.
                lock.unlock();
                finishRead(*target, *flight, target->link.read(budget));
                lock.lock();
            } else if (!startRead(target, flight, budget)) {
                flight->done = true;
                flight->result.error = "no thread left for a read";
                return refuse(Overload, 503, "No thread left for a read.");
            }
        }
        if (target->finished.wait_until(lock, deadline, [&] { return flight->done; })) {
            result = flight->result;
        } else {
            result.status = VI_ERROR_TMO;
            result.error = "no reading within " + std::to_string(budget.count()) + " ms";
        }
    }

    const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();
    std::size_t bucket = 0;
    while (bucket < kBucketCount && seconds > kBuckets[bucket])
        ++bucket;
    ++buckets[bucket];
    durationMicros += static_cast<std::uint64_t>(seconds * 1e6);

    MetricWriter w;
    const bool up = result.snapshot.has_value();
    w.gauge("cv4870_up", "1 when the mainframe answered every query of this probe, else 0.", up ? 1 : 0);
    w.gauge("cv4870_probe_duration_seconds", "Time this probe took.", seconds);
    if (!up) {
        ++probesDown;
        ++errors[failureKind(result)];
        if (options.verbose)
            std::fprintf(stderr, "cv4870-exporter: %s: %s\n", parsed.resource.c_str(), result.error.c_str());
        HttpResponse r = text(200, w.text());
        r.contentType = kExpositionContentType;
        return r;
    }
    ++probesUp;

    const cv4870mon::Snapshot &s = *result.snapshot;
    const cv4870mon::Identity &id = s.identity;
    const std::string serial = std::to_string(id.powerSupplySerial);
    const std::string fanSerial = std::to_string(id.fanTraySerial);
    w.family("cv4870_info", "gauge", "Identity of the mainframe; the value is always 1.");
    w.sample("cv4870_info",
             {{"serial", serial},
              {"fan_serial", fanSerial},
              {"firmware", id.firmwareRevision},
              {"description", id.description}},
             1);
    const struct
    {
        const char *name;
        bool value;
        const char *help;
    } lines[] = {
        {"cv4870_main_power_on", s.status.powerOn, "Status line: main power is switched on."},
        {"cv4870_input_fail", s.status.inputFail, "Status line: the mains input of the power supply has failed."},
        {"cv4870_output_fail", s.status.outputFail, "Status line: an output is off or outside 5 % of nominal."},
        {"cv4870_fan_fail", s.status.fanFail, "Status line: a fan has run below half its nominal speed."},
        {"cv4870_sensor_fail", s.status.sensorFail, "Status line: a temperature has reached its sensor limit."},
        {"cv4870_sysfail", s.status.sysFail, "Status line: VXI SysFail is asserted."},
    };
    for (const auto &line : lines)
        w.gauge(line.name, line.help, line.value ? 1 : 0);

    w.family("cv4870_output_voltage_volts", "gauge", "Measured voltage of a power-supply output.");
    for (std::size_t i = 0; i < cv4870mon::kOutputCount; ++i)
        w.sample("cv4870_output_voltage_volts", {{"output", cv4870mon::kOutputNames[i]}}, s.outputs[i].voltageVolts);
    w.family("cv4870_output_current_amperes", "gauge", "Load current of a power-supply output.");
    for (std::size_t i = 0; i < cv4870mon::kOutputCount; ++i)
        w.sample("cv4870_output_current_amperes", {{"output", cv4870mon::kOutputNames[i]}},
                 s.outputs[i].currentAmperes);
    w.family("cv4870_output_ok", "gauge", "1 when the output is on and within 5 % of nominal.");
    for (std::size_t i = 0; i < cv4870mon::kOutputCount; ++i)
        w.sample("cv4870_output_ok", {{"output", cv4870mon::kOutputNames[i]}}, s.outputs[i].ok ? 1 : 0);

    w.gauge("cv4870_fan_nominal_speed_rpm", "Nominal fan speed; 0 when the fans are switched off.", s.fanNominalRpm);
    w.family("cv4870_fan_speed_rpm", "gauge", "Measured speed of a fan.");
    const char *const fanNames[] = {"1", "2", "3"};
    for (std::size_t i = 0; i < cv4870mon::kFanCount; ++i)
        w.sample("cv4870_fan_speed_rpm", {{"fan", fanNames[i]}}, s.fanRpm[i]);
    w.family("cv4870_temperature_celsius", "gauge", "Temperature of a sensor.");
    w.sample("cv4870_temperature_celsius", {{"sensor", "fan_tray"}}, s.fanTrayCelsius);
    w.sample("cv4870_temperature_celsius", {{"sensor", "power_supply"}}, s.powerSupplyCelsius);
    w.gauge("cv4870_health_severity", "Health of this reading: 0 ok, 1 warning (main power off), 2 critical.",
            double(static_cast<int>(cv4870mon::assessHealth(s).severity)));

    HttpResponse r = text(200, w.text());
    r.contentType = kExpositionContentType;
    return r;
}

HttpResponse Exporter::Impl::metrics()
{
    MetricWriter w;
    w.family("cv4870_exporter_build_info", "gauge", "Version of the exporter; the value is always 1.");
    w.sample("cv4870_exporter_build_info", {{"version", kVersion}}, 1);
    {
        std::lock_guard<std::mutex> lock(requestsMutex);
        w.family("cv4870_exporter_requests_total", "counter", "HTTP requests served, by handler and status.");
        for (const auto &r : requests) {
            const std::string code = std::to_string(r.first.second);
            w.sample("cv4870_exporter_requests_total", {{"handler", r.first.first}, {"code", code}}, double(r.second));
        }
    }
    w.family("cv4870_exporter_probes_total", "counter", "Probes that read a mainframe, by outcome.");
    w.sample("cv4870_exporter_probes_total", {{"result", "up"}}, double(probesUp.load()));
    w.sample("cv4870_exporter_probes_total", {{"result", "down"}}, double(probesDown.load()));
    w.family("cv4870_exporter_errors_total", "counter", "Probes without a reading, by the reason.");
    for (std::size_t k = 0; k < KindCount; ++k)
        w.sample("cv4870_exporter_errors_total", {{"kind", kKindNames[k]}}, double(errors[k].load()));
    w.family("cv4870_exporter_shared_reads_total", "counter", "Probes answered by a read another scrape had started.");
    w.sample("cv4870_exporter_shared_reads_total", double(sharedReads.load()));
    w.family("cv4870_exporter_probe_duration_seconds", "histogram", "Time a probe took.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= kBucketCount; ++i) {
        cumulative += buckets[i].load();
        const std::string le = i < kBucketCount ? formatValue(kBuckets[i]) : "+Inf";
        w.sample("cv4870_exporter_probe_duration_seconds_bucket", {{"le", le}}, double(cumulative));
    }
    w.sample("cv4870_exporter_probe_duration_seconds_sum", double(durationMicros.load()) / 1e6);
    w.sample("cv4870_exporter_probe_duration_seconds_count", double(cumulative));

    std::size_t kept = 0, open = 0;
    {
        std::lock_guard<std::mutex> lock(mapMutex);
        kept = targets.size();
        for (const auto &t : targets)
            open += t.second->open ? 1u : 0u;
    }
    w.gauge("cv4870_exporter_sessions", "Mainframes the exporter keeps a session holder for.", double(kept));
    w.gauge("cv4870_exporter_sessions_open", "Of those, sessions open after their last read.", double(open));
    w.gauge("cv4870_exporter_probes_in_progress", "Probes being answered now.", double(probesRunning.load()));

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    w.family("process_cpu_seconds_total", "counter", "User and system CPU time of the exporter.");
    w.sample("process_cpu_seconds_total", cpu);
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    if (statm >> pages >> resident)
        w.gauge("process_resident_memory_bytes", "Resident memory of the exporter.",
                double(resident) * double(sysconf(_SC_PAGESIZE)));
    w.gauge("process_start_time_seconds", "Start of the exporter since the epoch.", startTime);
    std::size_t fds = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++fds;
        closedir(dir);
        w.gauge("process_open_fds", "Open file descriptors of the exporter.", double(fds - 3)); // ".", "..", dir
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        w.gauge("process_max_fds", "Limit of open file descriptors.", double(limit.rlim_cur));

    HttpResponse r = text(200, w.text());
    r.contentType = kExpositionContentType;
    return r;
}

} // namespace cv4870exp
