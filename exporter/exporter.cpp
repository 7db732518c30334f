#include "exporter.h"

#include "collect.h"
#include "cv4870.h"
#include "exposition.h"
#include "cv4870mon/pool.h"
#include "cv4870mon/target.h"

#include <cvhttp/workers.h>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>

namespace cv4870exp {

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kVersion[] = CV_VERSION;

// Why a request got no reading; the label of cv4870_exporter_errors_total:
// the exporter's own refusals, then the monitoring core's failure reasons.
enum Kind { BadRequest, Denied, Overload, Backoff, FirstReason };
constexpr std::size_t KindCount = FirstReason + cv4870mon::kFailureReasons.size();
const char *const kKindNames[FirstReason] = {"bad_request", "denied", "overload", "backoff"};

const char *kindName(std::size_t kind)
{
    return kind < FirstReason ? kKindNames[kind]
                              : cv4870mon::failureReasonName(cv4870mon::kFailureReasons[kind - FirstReason]);
}

// The reason of a failed read. A read that outlived the probe's time has
// no classification of its own: a timeout. Other when nothing tells.
cv4870mon::FailureReason failureReason(const cv4870mon::ReadResult &r)
{
    if (r.failure)
        return r.failure.reason;
    return r.status == VI_ERROR_TMO ? cv4870mon::FailureReason::Timeout : cv4870mon::FailureReason::Other;
}

std::size_t failureKind(const cv4870mon::ReadResult &r)
{
    if (r.backoff)
        return Backoff;
    const auto &reasons = cv4870mon::kFailureReasons;
    return FirstReason +
           std::size_t(std::find(reasons.begin(), reasons.end(), failureReason(r)) - reasons.begin()) % reasons.size();
}

double secondsSinceEpoch()
{
    return double(
               std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count()) /
           1000;
}

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
    explicit Impl(ExporterOptions o)
        : options(std::move(o))
        , pool(poolOptions(options))
        , requests(prometheus::BuildCounter()
                       .Name("cv4870_exporter_requests_total")
                       .Help("HTTP requests served, by handler and status.")
                       .Register(registry))
        , probes(prometheus::BuildCounter()
                     .Name("cv4870_exporter_probes_total")
                     .Help("Probes that read a mainframe, by outcome.")
                     .Register(registry))
        , probesUp(probes.Add({{"result", "up"}}))
        , probesDown(probes.Add({{"result", "down"}}))
        , sharedReads(prometheus::BuildCounter()
                          .Name("cv4870_exporter_shared_reads_total")
                          .Help("Probes answered by a read another scrape had started.")
                          .Register(registry)
                          .Add({}))
        , duration(prometheus::BuildHistogram()
                       .Name("cv4870_exporter_probe_duration_seconds")
                       .Help("Time a probe took.")
                       .Register(registry)
                       .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                                        0.25, 0.5, 1, 2.5, 5, 10}))
        , lastReloadGood(prometheus::BuildGauge()
                             .Name("cv4870_exporter_allow_list_last_reload_successful")
                             .Help("1 when the last reload of the allow-list worked, 0 when the list before it "
                                   "stayed in force.")
                             .Register(registry)
                             .Add({}))
        , lastGoodReload(prometheus::BuildGauge()
                             .Name("cv4870_exporter_allow_list_last_reload_success_timestamp_seconds")
                             .Help("Time of the last good reload of the allow-list (or of the start) since the epoch.")
                             .Register(registry)
                             .Add({}))
    {
        auto &errorFamily = prometheus::BuildCounter()
                                .Name("cv4870_exporter_errors_total")
                                .Help("Probes without a reading, by the reason.")
                                .Register(registry);
        for (std::size_t k = 0; k < KindCount; ++k)
            errors[k] = &errorFamily.Add({{"kind", kindName(k)}});
        prometheus::BuildGauge()
            .Name("cv4870_exporter_build_info")
            .Help("Version of the exporter; the value is always 1.")
            .Register(registry)
            .Add({{"version", kVersion}})
            .Set(1);
        prometheus::BuildGauge()
            .Name("process_start_time_seconds")
            .Help("Start of the exporter since the epoch.")
            .Register(registry)
            .Add({})
            .Set(secondsSinceEpoch());
        lastReloadGood.Set(1);
        lastGoodReload.Set(secondsSinceEpoch());
    }
    static cv4870mon::PoolOptions poolOptions(const ExporterOptions &o)
    {
        cv4870mon::PoolOptions p;
        p.maxSessions = o.maxSessions;
        p.maxPerAddress = o.maxSessionsPerAddress;
        p.sessionIdle = o.sessionIdle;
        p.maxReads = o.maxProbes;
        return p;
    }

    const ExporterOptions options;
    std::mutex allowMutex;
    std::shared_ptr<const AllowList> allow; // swapped whole by setAllowList
    cv4870mon::Pool pool; // declared after options; destroyed first, waiting for its reads

    std::atomic<unsigned> probesRunning{0};
    // What the exporter counts; /metrics adds what it reads at the time.
    prometheus::Registry registry;
    prometheus::Family<prometheus::Counter> &requests; // by handler and code
    prometheus::Family<prometheus::Counter> &probes;
    prometheus::Counter &probesUp, &probesDown, &sharedReads;
    prometheus::Counter *errors[KindCount] = {};
    prometheus::Histogram &duration;
    prometheus::Gauge &lastReloadGood, &lastGoodReload; // the list in force since then
    std::unique_ptr<cvhttp::Workers> workers; // run the probes

    HttpResponse probe(const HttpRequest &request);
    HttpResponse answer(const std::string &resource, const cv4870mon::ReadResult &result, Steady::time_point begin);
    HttpResponse metrics();
    HttpResponse refuse(Kind kind, unsigned status, const std::string &why);
    void note(const std::string &message, const cvhttp::Fields &fields);
    void countRequest(const char *handler, unsigned status);
};

Exporter::Exporter(ExporterOptions options)
    : d(std::make_unique<Impl>(std::move(options)))
{
    d->allow = std::make_shared<const AllowList>(d->options.allow);
    d->workers = std::make_unique<cvhttp::Workers>(d->options.maxProbes);
}

// The workers stop first: a probe still running reads through the pool.
Exporter::~Exporter()
{
    d->workers.reset();
}

void Exporter::setAllowList(AllowList allow)
{
    auto next = std::make_shared<const AllowList>(std::move(allow));
    {
        std::lock_guard<std::mutex> lock(d->allowMutex);
        d->allow.swap(next);
    }
    d->lastReloadGood.Set(1);
    d->lastGoodReload.Set(secondsSinceEpoch());
}

void Exporter::reloadFailed()
{
    d->lastReloadGood.Set(0);
}

void Exporter::Impl::note(const std::string &message, const cvhttp::Fields &fields)
{
    if (options.log) {
        options.log(message, fields);
        return;
    }
    std::string line = "cv4870-exporter: " + message;
    for (const auto &field : fields)
        line += " " + field.first + "=" + field.second;
    std::fprintf(stderr, "%s\n", line.c_str());
}

void Exporter::Impl::countRequest(const char *handler, unsigned status)
{
    requests.Add({{"handler", handler}, {"code", std::to_string(status)}}).Increment();
}

void Exporter::handle(const HttpRequest &request, cvhttp::Reply reply)
{
    HttpResponse response;
    const char *handler = "other";
    if (request.path == "/probe") {
        // The probe waits for its mainframe on a worker thread.
        if (d->workers->submit([this, request, reply] {
                HttpResponse r = d->probe(request);
                d->countRequest("probe", r.status);
                reply.send(std::move(r));
            }))
            return;
        handler = "probe";
        response = d->refuse(Overload, 503, "Too many probes in progress.");
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
    reply.send(std::move(response));
}

HttpResponse Exporter::Impl::refuse(Kind kind, unsigned status, const std::string &why)
{
    errors[kind]->Increment();
    if (options.verbose)
        note("probe refused", {{"status", std::to_string(status)}, {"why", why}});
    return text(status, why + "\n");
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
    const cvtarget::Target &target = parsed.target;
    std::shared_ptr<const AllowList> allowed;
    {
        std::lock_guard<std::mutex> lock(allowMutex);
        allowed = allow;
    }
    if (!allowed->allows(target))
        return refuse(Denied, 403, "Target " + parsed.resource + " is not on the allow-list.");

    // A mainframe that failed a moment ago is answered from that failure
    // until its reconnect delay has passed: it costs no probe slot.
    if (const auto failure = pool.recentFailure(target))
        return answer(parsed.resource, *failure, begin);

    // A quarter of the probe slots is kept for mainframes whose session is
    // open, so that unreachable ones can not take every slot.
    const unsigned limit = pool.isOpen(target) ? options.maxProbes : options.maxProbes - options.maxProbes / 4;
    if (probesRunning.fetch_add(1) >= limit) {
        --probesRunning;
        return refuse(Overload, 503, "Too many probes in progress.");
    }
    struct Release
    {
        std::atomic<unsigned> &count;
        ~Release() { --count; }
    } release{probesRunning};

    const std::string *scrapeTimeout = request.header("X-Prometheus-Scrape-Timeout-Seconds");
    const milliseconds budget = probeBudget(scrapeTimeout ? *scrapeTimeout : "", options.probeTimeout);
    const cv4870mon::PoolRead read = pool.read(target, budget);
    if (read.refused != cv4870mon::PoolRefusal::None) {
        std::string why = cv4870mon::poolRefusalText(read.refused);
        why[0] = char(why[0] - 'a' + 'A');
        return refuse(Overload, 503, why + ".");
    }
    if (read.shared)
        sharedReads.Increment();
    return answer(parsed.resource, read.result, begin);
}

HttpResponse Exporter::Impl::answer(const std::string &resource, const cv4870mon::ReadResult &result,
                                    Steady::time_point begin)
{
    const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();
    duration.Observe(seconds);

    Families w;
    const bool up = result.snapshot.has_value();
    w.gauge("cv4870_up", "1 when the mainframe answered every query of this probe, else 0.", up ? 1 : 0);
    w.gauge("cv4870_probe_duration_seconds", "Time this probe took.", seconds);
    if (up) {
        probesUp.Increment();
        writeReading(w, *result.snapshot);
    } else {
        probesDown.Increment();
        errors[failureKind(result)]->Increment();
        const cv4870mon::FailureReason reason = failureReason(result);
        // One series per reason, 1 for this one: an alert can name it.
        w.family("cv4870_probe_failure", "Why this probe could not read the mainframe: 1 for the reason.");
        for (const cv4870mon::FailureReason each : cv4870mon::kFailureReasons)
            w.sample({{"reason", cv4870mon::failureReasonName(each)}}, each == reason ? 1 : 0);
        if (options.verbose)
            note("probe failed", {{"target", resource},
                                  {"reason", cv4870mon::failureReasonName(reason)},
                                  {"error", result.failure ? result.failure.message : result.error}});
    }
    HttpResponse r = text(200, w.text());
    r.contentType = kExpositionContentType;
    return r;
}

HttpResponse Exporter::Impl::metrics()
{
    Families w;
    w.list = registry.Collect();
    const cv4870mon::Pool::Stats sessions = pool.stats();
    w.gauge("cv4870_exporter_sessions", "Mainframes the exporter keeps a session holder for.",
            double(sessions.sessions));
    w.gauge("cv4870_exporter_sessions_open", "Of those, sessions open after their last read.", double(sessions.open));
    w.gauge("cv4870_exporter_reads_in_progress",
            "Reads of mainframes running now, those that outlived their probe included.", double(sessions.reads));
    w.gauge("cv4870_exporter_probes_in_progress", "Probes being answered now.", double(probesRunning.load()));

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    w.family("process_cpu_seconds_total", "User and system CPU time of the exporter.", prometheus::MetricType::Counter);
    w.sample(cpu);
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    if (statm >> pages >> resident)
        w.gauge("process_resident_memory_bytes", "Resident memory of the exporter.",
                double(resident) * double(sysconf(_SC_PAGESIZE)));
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
