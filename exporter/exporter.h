// The exporter proper: routes requests and guards probes with the
// allow-list and the limits. Sessions live in the monitoring core's pool
// (one per mainframe, shared reads); the metrics of a reading are written
// by collect.h.
#ifndef CV4870_EXPORTER_EXPORTER_H
#define CV4870_EXPORTER_EXPORTER_H

#include "allowlist.h"

#include <cvhttp/server.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace cv4870exp {

using HttpRequest = cvhttp::Request;
using HttpResponse = cvhttp::Response;

struct ExporterOptions
{
    AllowList allow;
    std::chrono::milliseconds probeTimeout{10000}; // ceiling of every probe
    std::size_t maxSessions = 1024; // mainframes with a session kept open
    std::size_t maxSessionsPerAddress = 1024; // of those, on one address (every port)
    std::chrono::seconds sessionIdle{900}; // a session not scraped this long is closed
    // Probes in progress at once, and reads of mainframes running at once
    // (also those that outlived their probe); more get 503.
    unsigned maxProbes = 256;
    bool verbose = false; // one line per failed or refused probe through log
    // Where those lines go: a message and its fields (target, reason, ...);
    // stderr when empty. Called from any thread.
    std::function<void(const std::string &message, const cvhttp::Fields &fields)> log;
};

// Time a probe may take: the scrape timeout Prometheus sends less 10 % (at
// most 0.5 s), never above the ceiling; the ceiling when the header is
// missing or not a positive number.
std::chrono::milliseconds probeBudget(std::string_view scrapeTimeoutHeader, std::chrono::milliseconds ceiling);

class Exporter
{
public:
    explicit Exporter(ExporterOptions options);
    ~Exporter(); // waits for reads still running in the background
    Exporter(const Exporter &) = delete;
    Exporter &operator=(const Exporter &) = delete;

    // Answers at once, or for a probe from a worker thread: the caller
    // never waits for a mainframe.
    void handle(const HttpRequest &request, cvhttp::Reply reply);
    // Replaces the allow-list at once: probes already past the check go on,
    // later ones see the new list. Thread-safe.
    void setAllowList(AllowList allow);
    // A reload that failed: the list stays, /metrics says so until the
    // next good one.
    void reloadFailed();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace cv4870exp

#endif
