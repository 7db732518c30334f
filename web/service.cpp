#include "service.h"

#include <algorithm>
#include <deque>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "assets.h"
#include "cv4870.h"
#include "cv4870mon/json.h"
#include "cvhttp/workers.h"

namespace cv4870web {

using cvhttp::Reply;
using cvhttp::Request;
using cvhttp::Response;
using nlohmann::json;
using Clock = std::chrono::system_clock;

namespace {

constexpr char kCookie[] = "cv4870_session";
constexpr int kMaxLimit = 1000;
constexpr int kMaxSamples = 10080;
constexpr std::size_t kReplayMax = 1000;
constexpr std::chrono::seconds kOverviewEvery{10};
constexpr std::size_t kFeedBytes = 128 * 1024; // below the stream's bound of 256 KiB
constexpr std::size_t kBacklogMax = 16 * 1024 * 1024;

const std::set<std::string> kEventKinds = {"line_set",      "line_cleared", "output_failed",       "output_recovered",
                                           "power_on",      "power_off",    "fan_nominal_changed", "link_lost",
                                           "link_restored", "command"};
const std::set<std::string> kAuditActions = {"login", "login_failed", "logout", "command", "refused"};

std::string dump(const json &j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

Response jsonResponse(unsigned status, const json &body)
{
    Response r;
    r.status = status;
    r.contentType = "application/json";
    r.body = dump(body) + "\n";
    r.headers.emplace_back("Cache-Control", "no-store");
    return r;
}

Response error(unsigned status, const std::string &text)
{
    return jsonResponse(status, {{"error", text}});
}

std::string isoMs(std::int64_t ms)
{
    return cv4870mon::isoTime(Clock::time_point(std::chrono::milliseconds(ms)));
}

std::int64_t nowMs()
{
    return unixMs(Clock::now());
}

bool constantEqual(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::vector<std::string> splitList(const std::string &text)
{
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ','))
        if (!item.empty())
            items.push_back(item);
    return items;
}

// "2026-01-31T23:59:59Z", with an optional fraction and a +hh:mm offset
// instead of Z; nullopt for anything else.
std::optional<std::int64_t> parseIsoTime(const std::string &s)
{
    const auto digits = [&](std::size_t at, std::size_t n, int *out) {
        if (at + n > s.size())
            return false;
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (s[i] < '0' || s[i] > '9')
                return false;
            v = v * 10 + (s[i] - '0');
        }
        *out = v;
        return true;
    };
    int year, month, day, hour, minute, second;
    if (!digits(0, 4, &year) || s.size() < 20 || s[4] != '-' || !digits(5, 2, &month) || s[7] != '-' ||
        !digits(8, 2, &day) || (s[10] != 'T' && s[10] != 't') || !digits(11, 2, &hour) || s[13] != ':' ||
        !digits(14, 2, &minute) || s[16] != ':' || !digits(17, 2, &second))
        return std::nullopt;
    std::size_t at = 19;
    std::int64_t ms = 0;
    if (at < s.size() && s[at] == '.') {
        ++at;
        int scale = 100, n = 0;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
            ms += (s[at] - '0') * scale;
            scale /= 10;
            ++at;
            if (++n > 9)
                return std::nullopt;
        }
        if (n == 0)
            return std::nullopt;
    }
    int offset = 0;
    if (at < s.size() && (s[at] == 'Z' || s[at] == 'z') && at + 1 == s.size()) {
    } else if (at + 6 == s.size() && (s[at] == '+' || s[at] == '-') && s[at + 3] == ':') {
        int oh, om;
        if (!digits(at + 1, 2, &oh) || !digits(at + 4, 2, &om) || oh > 23 || om > 59)
            return std::nullopt;
        offset = (s[at] == '+' ? 1 : -1) * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const std::time_t t = timegm(&tm);
    if (tm.tm_mday != day) // 31 February and the like
        return std::nullopt;
    return (static_cast<std::int64_t>(t) - offset * 60) * 1000 + ms;
}

// A cell of RFC 4180 CSV; a text that a spreadsheet would take for a
// formula gets a leading apostrophe.
std::string csvCell(const std::string &text, bool guard = true)
{
    std::string t = text;
    if (guard && !t.empty() &&
        (t[0] == '=' || t[0] == '+' || t[0] == '-' || t[0] == '@' || t[0] == '\t' || t[0] == '\r'))
        t.insert(0, "'");
    if (t.find_first_of(",\"\r\n") == std::string::npos)
        return t;
    std::string q = "\"";
    for (char c : t) {
        if (c == '"')
            q += '"';
        q += c;
    }
    return q + "\"";
}

std::string cell(const std::optional<std::string> &t)
{
    return t ? csvCell(*t) : std::string();
}
std::string cell(const std::optional<std::int64_t> &n)
{
    return n ? std::to_string(*n) : std::string();
}

json optJson(const std::optional<std::string> &t)
{
    return t ? json(*t) : json(nullptr);
}
json optJson(const std::optional<std::int64_t> &n)
{
    return n ? json(*n) : json(nullptr);
}

json eventJson(const EventRow &e)
{
    return {{"id", e.id ? json(e.id) : json(nullptr)},
            {"time", isoMs(e.timeMs)},
            {"mainframe", e.mainframe},
            {"kind", e.kind},
            {"subject", e.subject},
            {"severity", e.severity},
            {"text", e.text},
            {"from_rpm", optJson(e.fromRpm)},
            {"to_rpm", optJson(e.toRpm)},
            {"user", optJson(e.user)}};
}

json auditJson(const AuditRow &a)
{
    return {{"id", a.id},
            {"time", isoMs(a.timeMs)},
            {"user", optJson(a.user)},
            {"role", optJson(a.role)},
            {"address", a.address},
            {"user_agent", a.userAgent},
            {"action", a.action},
            {"mainframe", optJson(a.mainframe)},
            {"command", optJson(a.command)},
            {"ok", a.ok},
            {"result", a.result}};
}

bool wantsCsv(const Request &r)
{
    const std::string *format = r.queryValue("format");
    if (format)
        return *format == "csv";
    const std::string *accept = r.header("Accept");
    return accept && accept->find("text/csv") != std::string::npos;
}

std::string sseMessage(const char *event, const std::string &data, std::int64_t id = 0)
{
    std::string m;
    if (id > 0)
        m += "id: " + std::to_string(id) + "\n";
    m += "event: ";
    m += event;
    m += "\ndata: " + data + "\n\n";
    return m;
}

const Asset *findAsset(const std::string &name)
{
    for (std::size_t i = 0; i < kAssetCount; ++i)
        if (name == kAssets[i].name)
            return &kAssets[i];
    return nullptr;
}

} // namespace

// Who asks: the session (if any) and where from.
struct Service::Caller
{
    std::optional<Session> session;
    std::string address, userAgent;

    std::optional<std::string> user() const
    {
        return session ? std::optional<std::string>(session->user) : std::nullopt;
    }
    std::optional<std::string> role() const
    {
        return session ? std::optional<std::string>(roleName(session->role)) : std::nullopt;
    }
    bool atLeast(Role r) const { return session && static_cast<int>(session->role) >= static_cast<int>(r); }
};

// The open live streams.
class Hub
{
public:
    struct Subscriber
    {
        std::shared_ptr<cvhttp::EventStream> stream;
        std::set<std::string> ids; // empty: all
        bool seeCommands = false;
        std::string token; // the session's; empty for anonymous readers
        std::int64_t lastEventId = 0;
        std::vector<std::string> followed;
        std::atomic<bool> gone{false};
        // Messages waiting to go out in steps (the start of a stream of a
        // large fleet is larger than a stream's bound).
        std::deque<std::string> backlog;
        std::size_t backlogBytes = 0;
    };

    // With mutex() held: a message in order behind the backlog.
    static void sendLocked(Subscriber &s, const std::string &message)
    {
        if (s.backlog.empty()) {
            s.stream->push(message);
        } else if (s.backlogBytes + message.size() > kBacklogMax) {
            s.stream->close();
        } else {
            s.backlog.push_back(message);
            s.backlogBytes += message.size();
        }
    }
    // With mutex() held: hands on as much of the backlog as fits below
    // kFeedBytes waiting in the stream.
    static void feedLocked(Subscriber &s)
    {
        while (!s.backlog.empty() && !s.gone) {
            const std::size_t waiting = s.stream->unsent();
            if (waiting > 0 && waiting + s.backlog.front().size() > kFeedBytes)
                return;
            s.stream->push(s.backlog.front());
            s.backlogBytes -= s.backlog.front().size();
            s.backlog.pop_front();
        }
    }
    void feed()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        feedAllLocked();
    }

    void add(const std::shared_ptr<Subscriber> &s)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        subscribers_.push_back(s);
    }
    std::mutex &mutex() { return mutex_; }
    // With mutex() held.
    void addLocked(const std::shared_ptr<Subscriber> &s) { subscribers_.push_back(s); }

    // Streams that name the mainframe get every poll; streams of the
    // whole fleet get a change at once and otherwise one message per
    // mainframe every kOverviewEvery, which keeps them light enough for
    // a thousand mainframes.
    void publishMainframe(const std::string &id, const std::string &data, bool changed)
    {
        const std::string message = sseMessage("mainframe", data);
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        auto &last = lastOverview_[id];
        const bool overview = changed || now - last >= kOverviewEvery;
        if (overview)
            last = now;
        feedAllLocked();
        for (const auto &s : subscribers_)
            if (!s->gone && (s->ids.empty() ? overview : s->ids.count(id) != 0))
                sendLocked(*s, message);
    }
    void publishEvents(const std::vector<EventRow> &rows)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const EventRow &e : rows) {
            const std::string message = sseMessage("event", dump(eventJson(e)), e.id);
            const bool command = e.kind == "command";
            for (const auto &s : subscribers_) {
                if (s->gone || (command && !s->seeCommands) || (!s->ids.empty() && !s->ids.count(e.mainframe)))
                    continue;
                if (e.id && e.id <= s->lastEventId)
                    continue; // already sent by the replay
                s->lastEventId = std::max(s->lastEventId, e.id);
                sendLocked(*s, message);
            }
        }
    }
    void publishAll(const std::string &message)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &s : subscribers_)
            if (!s->gone)
                sendLocked(*s, message);
    }
    // Ends the streams of ended sessions and forgets the closed ones.
    void sweep(Sessions &sessions)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            auto &s = *it;
            if (!s->token.empty() && !sessions.alive(s->token))
                s->stream->close();
            if (s->gone || s->stream->closed())
                it = subscribers_.erase(it);
            else
                ++it;
        }
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return subscribers_.size();
    }
    void closeAll()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &s : subscribers_)
            s->stream->close();
        subscribers_.clear();
    }

private:
    void feedAllLocked()
    {
        for (const auto &s : subscribers_)
            if (!s->backlog.empty())
                feedLocked(*s);
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastOverview_;
};

// The service's own metrics.
class Metrics
{
public:
    Metrics()
        : registry(std::make_shared<prometheus::Registry>())
        , requests(prometheus::BuildCounter()
                       .Name("cv4870web_http_requests_total")
                       .Help("HTTP requests answered, by status class")
                       .Register(*registry))
        , logins(prometheus::BuildCounter()
                     .Name("cv4870web_logins_total")
                     .Help("Login attempts by result")
                     .Register(*registry))
        , commands(prometheus::BuildCounter()
                       .Name("cv4870web_commands_total")
                       .Help("Commands sent to mainframes by result")
                       .Register(*registry))
        , polls(
              prometheus::BuildCounter().Name("cv4870web_polls_total").Help("Polls of mainframes").Register(*registry))
        , pollFailures(prometheus::BuildCounter()
                           .Name("cv4870web_poll_failures_total")
                           .Help("Polls that failed on the link or the mainframe")
                           .Register(*registry))
        , pollSeconds(prometheus::BuildCounter()
                          .Name("cv4870web_poll_seconds_total")
                          .Help("Time spent in polls")
                          .Register(*registry))
        , events(prometheus::BuildCounter()
                     .Name("cv4870web_events_stored_total")
                     .Help("Events committed to the database")
                     .Register(*registry))
        , storeErrors(prometheus::BuildCounter()
                          .Name("cv4870web_store_write_errors_total")
                          .Help("Failed database transactions")
                          .Register(*registry))
        , mainframes(prometheus::BuildGauge()
                         .Name("cv4870web_mainframes")
                         .Help("Mainframes by link state")
                         .Register(*registry))
        , streams(prometheus::BuildGauge().Name("cv4870web_streams").Help("Open live streams").Register(*registry))
        , sessions(prometheus::BuildGauge().Name("cv4870web_sessions").Help("Signed-in sessions").Register(*registry))
        , writable(prometheus::BuildGauge()
                       .Name("cv4870web_database_writable")
                       .Help("1 when the database can be written")
                       .Register(*registry))
    {}

    void count(unsigned status)
    {
        const char *cls = status < 300 ? "2xx" : status < 400 ? "3xx" : status < 500 ? "4xx" : "5xx";
        requests.Add({{"class", cls}}).Increment();
    }
    // Moves a counter up to a total kept elsewhere.
    static void catchUp(prometheus::Family<prometheus::Counter> &family, double total)
    {
        auto &c = family.Add({});
        if (total > c.Value())
            c.Increment(total - c.Value());
    }

    std::shared_ptr<prometheus::Registry> registry;
    prometheus::Family<prometheus::Counter> &requests, &logins, &commands, &polls, &pollFailures, &pollSeconds, &events,
        &storeErrors;
    prometheus::Family<prometheus::Gauge> &mainframes, &streams, &sessions, &writable;
};

Service::Service(Store &store, Fleet &fleet, ServiceOptions options)
    : store_(store)
    , fleet_(fleet)
    , options_(options)
    , sessions_(options.sessionIdle, options.sessionMax)
    , throttle_(options.loginWindow, options.loginFailuresPerUser, options.loginFailuresPerAddress)
    , hub_(std::make_unique<Hub>())
    , metrics_(std::make_unique<Metrics>())
    , workers_(std::make_unique<cvhttp::Workers>(options.workers, 1024))
{
    fleet_.setListeners([this](const std::string &id, const std::string &data,
                               bool changed) { hub_->publishMainframe(id, data, changed); },
                        [this](const std::vector<EventRow> &rows) { hub_->publishEvents(rows); });
    housekeeper_ = std::thread([this] { housekeeping(); });
}

Service::~Service()
{
    stop();
}

void Service::stop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    stopCv_.notify_all();
    if (housekeeper_.joinable())
        housekeeper_.join();
    hub_->closeAll();
    workers_.reset();
}

void Service::housekeeping()
{
    using std::chrono::steady_clock;
    auto nextPrune = steady_clock::now(), nextSweep = steady_clock::now();
    std::unique_lock<std::mutex> lock(stopMutex_);
    while (!stopCv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopping_; })) {
        lock.unlock();
        // Backlogs move on with every publish; this covers a quiet fleet.
        hub_->feed();
        const auto now = steady_clock::now();
        if (now >= nextSweep) {
            nextSweep = now + std::chrono::seconds(1);
            sessions_.purge();
            hub_->sweep(sessions_);
        }
        if (now >= nextPrune) {
            nextPrune = now + std::chrono::hours(1);
            store_.pruneSamples(nowMs() - std::int64_t(options_.retentionDays) * 86400000);
        }
        lock.lock();
    }
}

cvhttp::Fields Service::securityHeaders()
{
    return {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "same-origin"}};
}

void Service::setUsers(std::vector<User> users)
{
    sessions_.keepOnly(users);
    std::lock_guard<std::mutex> lock(usersMutex_);
    users_ = std::move(users);
}

void Service::fleetChanged()
{
    hub_->publishAll(sseMessage("fleet", dump({{"mainframes", fleet_.ids()}})));
}

namespace {

std::string cookieToken(const Request &r)
{
    const std::string *cookie = r.header("Cookie");
    if (!cookie)
        return {};
    std::istringstream in(*cookie);
    std::string part;
    const std::string key = std::string(kCookie) + "=";
    while (std::getline(in, part, ';')) {
        const auto b = part.find_first_not_of(' ');
        if (b != std::string::npos && part.compare(b, key.size(), key) == 0)
            return part.substr(b + key.size());
    }
    return {};
}

// The origin this service is reached at, from the request's Host.
std::string ownOrigin(const Request &r)
{
    const std::string *host = r.header("Host");
    if (!host || host->empty())
        return {};
    return std::string(r.tls ? "https://" : "http://") + *host;
}

// True when Origin (or, without it, Referer) names this service.
bool sameOrigin(const Request &r)
{
    const std::string own = ownOrigin(r);
    if (own.empty())
        return false;
    if (const std::string *origin = r.header("Origin"))
        return *origin == own;
    if (const std::string *referer = r.header("Referer"))
        return referer->compare(0, own.size() + 1, own + "/") == 0;
    return false;
}

struct Route
{
    enum Kind {
        None,
        Session,
        Mainframes,
        Mainframe,
        History,
        Command,
        Events,
        Audit,
        Stream,
        Health,
        Metrics,
        Asset,
        Page
    };
    Kind kind = None;
    std::string id, command, name;
};

bool validId(const std::string &id)
{
    return !id.empty() && id.size() <= 64 && slug(id) == id;
}

Route route(const std::string &path)
{
    Route r;
    const std::string api = "/api/v1/";
    static const std::map<std::string, Route::Kind> fixed = {
        {"/api/v1/session", Route::Session}, {"/api/v1/mainframes", Route::Mainframes},
        {"/api/v1/events", Route::Events},   {"/api/v1/audit", Route::Audit},
        {"/api/v1/stream", Route::Stream},   {"/api/v1/health", Route::Health},
        {"/metrics", Route::Metrics}};
    const auto f = fixed.find(path);
    if (f != fixed.end()) {
        r.kind = f->second;
        return r;
    }
    static const std::map<std::string, std::string> pages = {
        {"/", "fleet.html"}, {"/login", "login.html"}, {"/events", "events.html"}, {"/audit", "audit.html"}};
    const auto p = pages.find(path);
    if (p != pages.end()) {
        r.kind = Route::Page;
        r.name = p->second;
        return r;
    }
    const std::string mf = "/mainframes/";
    if (path.compare(0, mf.size(), mf) == 0 && validId(path.substr(mf.size()))) {
        r.kind = Route::Page;
        r.name = "mainframe.html";
        r.id = path.substr(mf.size());
        return r;
    }
    const std::string assets = "/assets/";
    if (path.compare(0, assets.size(), assets) == 0) {
        r.kind = Route::Asset;
        r.name = path.substr(assets.size());
        return r;
    }
    const std::string mfs = "/api/v1/mainframes/";
    if (path.compare(0, mfs.size(), mfs) == 0) {
        const std::string rest = path.substr(mfs.size());
        const auto slash = rest.find('/');
        r.id = rest.substr(0, slash);
        if (slash == std::string::npos) {
            r.kind = Route::Mainframe;
        } else {
            const std::string tail = rest.substr(slash + 1);
            if (tail == "history")
                r.kind = Route::History;
            else if (tail == "power" || tail == "sysreset" || tail == "reset" || tail == "fan") {
                r.kind = Route::Command;
                r.command = tail;
            }
        }
    }
    return r;
}

const char *allowed(Route::Kind kind)
{
    switch (kind) {
    case Route::Session:
        return "GET, HEAD, POST, DELETE";
    case Route::Command:
        return "POST";
    case Route::Stream:
        return "GET";
    default:
        return "GET, HEAD";
    }
}

bool methodFits(Route::Kind kind, const std::string &method)
{
    if (kind == Route::Session)
        return method == "GET" || method == "HEAD" || method == "POST" || method == "DELETE";
    if (kind == Route::Command)
        return method == "POST";
    if (kind == Route::Stream) // a stream has no end for HEAD to wait for
        return method == "GET";
    return method == "GET" || method == "HEAD";
}

} // namespace

void Service::handle(const Request &request, Reply reply)
{
    // Every answer is counted; the wrapper sees its status.
    const auto send = [this, reply](Response r) {
        metrics_->count(r.status);
        reply.send(std::move(r));
    };
    const Route r = route(request.path);
    if (r.kind == Route::None)
        return send(error(404, "no such path: " + request.path.substr(0, 200)));
    if (!methodFits(r.kind, request.method)) {
        Response resp = error(405, "method " + request.method.substr(0, 16) + " not allowed here");
        resp.headers.emplace_back("Allow", allowed(r.kind));
        return send(resp);
    }

    // What is answered from memory is answered here; the rest waits on a worker.
    if (r.kind == Route::Asset) {
        const Asset *a = findAsset(r.name);
        if (!a)
            return send(error(404, "no such asset"));
        Response resp;
        resp.headers.emplace_back("ETag", a->etag);
        resp.headers.emplace_back("Cache-Control", "no-cache");
        const std::string *match = request.header("If-None-Match");
        if (match && (match->find(a->etag) != std::string::npos || *match == "*")) {
            resp.status = 304;
            resp.contentType.clear();
            return send(resp);
        }
        resp.contentType = a->contentType;
        resp.body.assign(reinterpret_cast<const char *>(a->data), a->size);
        return send(resp);
    }
    if (r.kind == Route::Health) {
        const StoreStatus st = store_.status();
        const FleetCounts c = fleet_.counts();
        json body = {{"status", st.writable ? "ok" : "degraded"},
                     {"database", {{"writable", st.writable}, {"error", st.writable ? json(nullptr) : json(st.error)}}},
                     {"mainframes", {{"total", c.total}, {"up", c.up}, {"down", c.down}, {"unknown", c.unknown}}}};
        if (!st.writable)
            body["error"] = "the database can not be written: " + st.error;
        return send(jsonResponse(st.writable ? 200 : 503, body));
    }
    if (r.kind == Route::Metrics) {
        const FleetCounts c = fleet_.counts();
        const FleetStats s = fleet_.stats();
        Metrics &m = *metrics_;
        m.mainframes.Add({{"state", "up"}}).Set(double(c.up));
        m.mainframes.Add({{"state", "down"}}).Set(double(c.down));
        m.mainframes.Add({{"state", "unknown"}}).Set(double(c.unknown));
        m.streams.Add({}).Set(double(hub_->size()));
        m.sessions.Add({}).Set(double(sessions_.size()));
        m.writable.Add({}).Set(store_.status().writable ? 1 : 0);
        Metrics::catchUp(m.polls, double(s.polls));
        Metrics::catchUp(m.pollFailures, double(s.pollFailures));
        Metrics::catchUp(m.pollSeconds, s.pollSeconds);
        Metrics::catchUp(m.events, double(s.eventsStored));
        Metrics::catchUp(m.storeErrors, double(store_.writeErrors()));
        Response resp;
        resp.contentType = "text/plain; version=0.0.4; charset=utf-8";
        resp.body = prometheus::TextSerializer().Serialize(m.registry->Collect());
        return send(resp);
    }
    if (r.kind == Route::Page) {
        const std::string token = cookieToken(request);
        const bool signedIn = !token.empty() && sessions_.find(token);
        if (r.name != "login.html" && !signedIn && !options_.anonymousRead) {
            Response resp;
            resp.status = 303;
            resp.headers.emplace_back("Location", "/login");
            resp.headers.emplace_back("Cache-Control", "no-store");
            return send(resp);
        }
        const Asset *a = findAsset(r.name);
        if (!a)
            return send(error(404, "page missing from this build"));
        Response resp;
        resp.contentType = a->contentType;
        resp.headers.emplace_back("Cache-Control", "no-cache");
        resp.body.assign(reinterpret_cast<const char *>(a->data), a->size);
        return send(resp);
    }
    auto req = std::make_shared<Request>(request);
    if (!workers_->submit([this, req, reply] { work(*req, reply); }))
        send(error(503, "the service is busy; try again"));
}

void Service::work(const Request &request, const Reply &reply)
{
    const auto send = [this, &reply](Response r) {
        metrics_->count(r.status);
        reply.send(std::move(r));
    };
    const Route r = route(request.path);
    Caller caller;
    caller.address = request.clientAddress;
    if (const std::string *ua = request.header("User-Agent"))
        caller.userAgent = ua->substr(0, 512);
    const std::string token = cookieToken(request);
    if (!token.empty())
        caller.session = sessions_.find(token);

    const auto audit = [&](const char *action, bool ok, const std::string &result,
                           const std::optional<std::string> &mainframe = std::nullopt,
                           const std::optional<std::string> &command = std::nullopt,
                           const std::optional<std::string> &user = std::nullopt) -> std::optional<std::int64_t> {
        AuditRow row;
        row.timeMs = nowMs();
        row.user = user ? user : caller.user();
        row.role = caller.role();
        row.address = caller.address;
        row.userAgent = caller.userAgent;
        row.action = action;
        row.mainframe = mainframe;
        row.command = command;
        row.ok = ok;
        row.result = result;
        if (!store_.addAudit(row))
            return std::nullopt;
        return row.id;
    };
    const bool changes = request.method == "POST" || request.method == "DELETE";
    // A state change must come from our own pages, and but for the login
    // carry the session's CSRF token.
    if (changes) {
        const bool login = r.kind == Route::Session && request.method == "POST";
        std::string why;
        if (!sameOrigin(request))
            why = "Origin or Referer is not this service";
        else if (!login && caller.session) {
            const std::string *csrf = request.header("X-CSRF-Token");
            if (!csrf || !constantEqual(*csrf, caller.session->csrf))
                why = "missing or wrong X-CSRF-Token";
        }
        if (!why.empty()) {
            audit("refused", false, request.method + " " + request.path.substr(0, 200) + ": " + why,
                  r.id.empty() ? std::nullopt : std::optional<std::string>(r.id),
                  r.command.empty() ? std::nullopt : std::optional<std::string>(r.command));
            return send(error(403, why));
        }
    }

    if (r.kind == Route::Session) {
        if (request.method == "GET" || request.method == "HEAD") {
            if (caller.session)
                return send(jsonResponse(200, {{"user", caller.session->user},
                                               {"role", roleName(caller.session->role)},
                                               {"csrf_token", caller.session->csrf},
                                               {"expires", cv4870mon::isoTime(caller.session->expires)}}));
            if (options_.anonymousRead)
                return send(jsonResponse(
                    200, {{"user", nullptr}, {"role", "anonymous"}, {"csrf_token", nullptr}, {"expires", nullptr}}));
            return send(error(401, "not signed in"));
        }
        if (request.method == "DELETE") {
            if (!caller.session)
                return send(error(401, "not signed in"));
            sessions_.end(caller.session->token);
            audit("logout", true, "signed out");
            Response resp;
            resp.status = 204;
            resp.contentType.clear();
            resp.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                                        "=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0" +
                                                        (options_.tls ? "; Secure" : ""));
            resp.headers.emplace_back("Cache-Control", "no-store");
            return send(resp);
        }
        // Login.
        json body = json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return send(error(400, "the body must be a JSON object {\"user\": ..., \"password\": ...}"));
        if (!body.contains("user") || !body["user"].is_string() || !body.contains("password") ||
            !body["password"].is_string())
            return send(error(400, "user and password must be strings"));
        const std::string name = body["user"].get<std::string>().substr(0, 64);
        const std::string password = body["password"].get<std::string>();
        if (!store_.status().writable)
            return send(
                error(503, "the audit trail can not be written, so nobody can sign in: " + store_.status().error));
        const auto wait = throttle_.wait(name, caller.address);
        if (wait.count() > 0) {
            metrics_->logins.Add({{"result", "throttled"}}).Increment();
            audit("refused", false, "login throttled", std::nullopt, std::nullopt, name);
            Response resp = error(429, "too many failed logins; try again later");
            resp.headers.emplace_back("Retry-After", std::to_string(wait.count()));
            return send(resp);
        }
        std::optional<User> user;
        {
            std::lock_guard<std::mutex> lock(usersMutex_);
            for (const User &u : users_)
                if (u.name == name)
                    user = u;
        }
        // An unknown name costs a hash as well, so that the time does not tell.
        static const std::string dummy = hashPassword("no such user");
        const bool good = verifyPassword(password, user ? user->hash : dummy) && user;
        if (!good) {
            throttle_.failed(name, caller.address);
            metrics_->logins.Add({{"result", "failed"}}).Increment();
            audit("login_failed", false, "wrong user name or password", std::nullopt, std::nullopt, name);
            return send(error(401, "wrong user name or password"));
        }
        throttle_.succeeded(name);
        const std::optional<Session> session = sessions_.create(user->name, user->role);
        if (!session)
            return send(error(500, "no random numbers for a session token"));
        caller.session = session;
        if (!audit("login", true, "signed in")) {
            sessions_.end(session->token);
            return send(
                error(503, "the audit trail can not be written, so nobody can sign in: " + store_.status().error));
        }
        metrics_->logins.Add({{"result", "ok"}}).Increment();
        Response resp = jsonResponse(200, {{"user", session->user},
                                           {"role", roleName(session->role)},
                                           {"csrf_token", session->csrf},
                                           {"expires", cv4870mon::isoTime(session->expires)}});
        resp.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + session->token +
                                                    "; HttpOnly; SameSite=Strict; Path=/" +
                                                    (options_.tls ? "; Secure" : ""));
        return send(resp);
    }

    // Everything else needs a session, or anonymous reading for reads.
    if (!caller.session && (changes || !options_.anonymousRead || r.kind == Route::Audit)) {
        if (changes)
            audit("refused", false, request.method + " " + request.path.substr(0, 200) + ": not signed in",
                  r.id.empty() ? std::nullopt : std::optional<std::string>(r.id),
                  r.command.empty() ? std::nullopt : std::optional<std::string>(r.command));
        return send(error(401, "not signed in"));
    }
    const bool seeCommands = caller.atLeast(Role::Operator);

    if (r.kind == Route::Mainframes)
        return send(jsonResponse(200, {{"mainframes", fleet_.all()}}));
    if (r.kind == Route::Mainframe) {
        const auto m = fleet_.mainframe(r.id);
        return send(m ? jsonResponse(200, *m) : error(404, "no mainframe with id '" + r.id.substr(0, 64) + "'"));
    }
    if (r.kind == Route::History) {
        if (!fleet_.has(r.id))
            return send(error(404, "no mainframe with id '" + r.id.substr(0, 64) + "'"));
        std::int64_t until = nowMs(), since = until - 86400000;
        for (const char *key : {"since", "until"}) {
            if (const std::string *v = request.queryValue(key)) {
                const auto t = parseIsoTime(*v);
                if (!t)
                    return send(error(400, std::string(key) + ": not an ISO 8601 time such as 2026-01-31T12:00:00Z"));
                (std::string(key) == "since" ? since : until) = *t;
            }
        }
        std::vector<SampleRow> rows;
        std::string why;
        if (!store_.samples(r.id, since, until, kMaxSamples, &rows, &why))
            return send(error(500, "database: " + why));
        json samples = json::array();
        for (const SampleRow &s : rows)
            samples.push_back({{"time", isoMs(s.minuteMs)},
                               {"main_power_on", s.mainPowerOn},
                               {"state", s.state},
                               {"fan_tray_celsius", s.fanTrayCelsius},
                               {"power_supply_celsius", s.powerSupplyCelsius},
                               {"fan_nominal_rpm", s.fanNominalRpm},
                               {"fan_rpm", s.fanRpm}});
        return send(jsonResponse(200, {{"mainframe", r.id}, {"samples", samples}}));
    }
    if (r.kind == Route::Events || r.kind == Route::Audit) {
        const bool isAudit = r.kind == Route::Audit;
        if (isAudit && !caller.atLeast(Role::Admin)) {
            audit("refused", false, "GET /api/v1/audit: role " + *caller.role() + " may not read the audit trail");
            return send(error(403, "only admins may read the audit trail"));
        }
        Query q;
        static const std::set<std::string> known = {"mainframe", "kind",  "action", "user",  "since",
                                                    "until",     "limit", "before", "format"};
        for (const auto &kv : request.query)
            if (!known.count(kv.first))
                return send(error(400, "unknown parameter '" + kv.first.substr(0, 32) + "'"));
        if (const std::string *v = request.queryValue("mainframe")) {
            q.mainframes = splitList(*v);
            for (const std::string &id : q.mainframes)
                if (!fleet_.has(id))
                    return send(error(404, "no mainframe with id '" + id.substr(0, 64) + "'"));
        }
        if (const std::string *v = request.queryValue(isAudit ? "action" : "kind")) {
            q.kinds = splitList(*v);
            for (const std::string &k : q.kinds)
                if (!(isAudit ? kAuditActions : kEventKinds).count(k))
                    return send(error(400, std::string(isAudit ? "action" : "kind") + ": unknown value '" +
                                               k.substr(0, 32) + "'"));
        }
        if (isAudit) {
            if (const std::string *v = request.queryValue("user"))
                q.user = *v;
        } else if (!seeCommands) {
            q.excludeKinds = {"command"};
        }
        for (const char *key : {"since", "until"}) {
            if (const std::string *v = request.queryValue(key)) {
                const auto t = parseIsoTime(*v);
                if (!t)
                    return send(error(400, std::string(key) + ": not an ISO 8601 time such as 2026-01-31T12:00:00Z"));
                (std::string(key) == "since" ? q.sinceMs : q.untilMs) = *t;
            }
        }
        const auto number = [&](const char *key, long long lo, long long hi, std::optional<std::int64_t> *out) {
            const std::string *v = request.queryValue(key);
            if (!v)
                return true;
            char *end = nullptr;
            errno = 0;
            const long long n = v->empty() ? 0 : std::strtoll(v->c_str(), &end, 10);
            if (v->empty() || *end || errno || n < lo || n > hi)
                return false;
            *out = n;
            return true;
        };
        std::optional<std::int64_t> limit;
        if (!number("limit", 1, kMaxLimit, &limit))
            return send(error(400, "limit: a whole number from 1 to 1000"));
        if (!number("before", 1, std::numeric_limits<std::int64_t>::max(), &q.beforeId))
            return send(error(400, "before: a positive event id"));
        q.limit = limit ? int(*limit) : 100;
        if (const std::string *f = request.queryValue("format"); f && *f != "csv" && *f != "json")
            return send(error(400, "format: csv or json"));
        const bool csv = wantsCsv(request);
        std::string why;
        Response resp;
        resp.headers.emplace_back("Cache-Control", "no-store");
        std::optional<std::int64_t> next;
        if (isAudit) {
            std::vector<AuditRow> rows;
            if (!store_.audit(q, &rows, &why))
                return send(error(500, "database: " + why));
            if (rows.size() == std::size_t(q.limit))
                next = rows.back().id;
            if (csv) {
                resp.body = "id,time,user,role,address,user_agent,action,mainframe,command,ok,result\r\n";
                for (const AuditRow &a : rows)
                    resp.body += std::to_string(a.id) + "," + isoMs(a.timeMs) + "," + cell(a.user) + "," +
                                 cell(a.role) + "," + csvCell(a.address) + "," + csvCell(a.userAgent) + "," + a.action +
                                 "," + cell(a.mainframe) + "," + cell(a.command) + "," + (a.ok ? "true" : "false") +
                                 "," + csvCell(a.result) + "\r\n";
            } else {
                json list = json::array();
                for (const AuditRow &a : rows)
                    list.push_back(auditJson(a));
                return send(jsonResponse(200, {{"records", list}, {"next_before", optJson(next)}}));
            }
        } else {
            std::vector<EventRow> rows;
            if (!store_.events(q, &rows, &why))
                return send(error(500, "database: " + why));
            if (rows.size() == std::size_t(q.limit))
                next = rows.back().id;
            if (csv) {
                resp.body = "id,time,mainframe,kind,subject,severity,text,from_rpm,to_rpm,user\r\n";
                for (const EventRow &e : rows)
                    resp.body += std::to_string(e.id) + "," + isoMs(e.timeMs) + "," + e.mainframe + "," + e.kind + "," +
                                 csvCell(e.subject, false) + "," + e.severity + "," + csvCell(e.text) + "," +
                                 cell(e.fromRpm) + "," + cell(e.toRpm) + "," + cell(e.user) + "\r\n";
            } else {
                json list = json::array();
                for (const EventRow &e : rows)
                    list.push_back(eventJson(e));
                return send(jsonResponse(200, {{"events", list}, {"next_before", optJson(next)}}));
            }
        }
        resp.contentType = "text/csv; charset=utf-8";
        return send(resp);
    }
    if (r.kind == Route::Stream) {
        auto sub = std::make_shared<Hub::Subscriber>();
        if (const std::string *v = request.queryValue("mainframes")) {
            for (const std::string &id : splitList(*v)) {
                if (!fleet_.has(id))
                    return send(error(404, "no mainframe with id '" + id.substr(0, 64) + "'"));
                sub->ids.insert(id);
            }
            sub->followed.assign(sub->ids.begin(), sub->ids.end());
        }
        sub->seeCommands = seeCommands;
        if (caller.session)
            sub->token = caller.session->token;
        Response head;
        head.contentType = "text/event-stream";
        head.headers = {{"Cache-Control", "no-cache, no-transform"}, {"X-Accel-Buffering", "no"}};
        // Followed before the stream exists, so that an early end (which
        // unfollows) always comes after.
        fleet_.follow(sub->followed, true);
        std::weak_ptr<Hub::Subscriber> weak = sub;
        Fleet *fleet = &fleet_;
        sub->stream = reply.stream(head, [weak, fleet] {
            if (auto s = weak.lock()) {
                if (!s->gone.exchange(true))
                    fleet->follow(s->followed, false);
            }
        });
        if (!sub->stream) {
            fleet_.follow(sub->followed, false);
            return;
        }
        metrics_->count(200);
        sub->stream->push(":\nretry: 2000\n\n");
        for (const std::string &id : fleet_.ids())
            if (sub->ids.empty() || sub->ids.count(id))
                if (const auto m = fleet_.mainframe(id)) {
                    sub->backlog.push_back(sseMessage("mainframe", dump(*m)));
                    sub->backlogBytes += sub->backlog.back().size();
                }
        // Replays what a reconnecting client missed; live events wait on
        // the hub meanwhile and skip what the replay sent.
        std::lock_guard<std::mutex> lock(hub_->mutex());
        if (const std::string *last = request.header("Last-Event-ID")) {
            char *end = nullptr;
            const long long after = std::strtoll(last->c_str(), &end, 10);
            if (!last->empty() && !*end && after >= 0) {
                Query q;
                q.afterId = after;
                q.oldestFirst = true;
                q.limit = int(kReplayMax);
                q.mainframes.assign(sub->ids.begin(), sub->ids.end());
                if (!seeCommands)
                    q.excludeKinds = {"command"};
                std::vector<EventRow> rows;
                std::string why;
                store_.events(q, &rows, &why);
                for (const EventRow &e : rows) {
                    sub->backlog.push_back(sseMessage("event", dump(eventJson(e)), e.id));
                    sub->backlogBytes += sub->backlog.back().size();
                    sub->lastEventId = e.id;
                }
            }
        }
        // Registered under the same lock: no live event is lost in between.
        hub_->addLocked(sub);
        Hub::feedLocked(*sub);
        return;
    }
    if (r.kind == Route::Command) {
        if (!caller.atLeast(Role::Operator)) {
            audit("refused", false, "role " + *caller.role() + " may not send commands", r.id, r.command);
            return send(error(403, "only operators and admins may send commands"));
        }
        if (!fleet_.has(r.id))
            return send(error(404, "no mainframe with id '" + r.id.substr(0, 64) + "'"));
        json body = request.body.empty() ? json::object() : json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return send(error(400, "the body must be a JSON object"));
        std::function<ViStatus(ViSession)> call;
        std::string what;
        if (r.command == "power") {
            const auto it = body.find("state");
            if (it == body.end() || !it->is_string() || (*it != "on" && *it != "off"))
                return send(error(400, "state: \"on\" or \"off\""));
            const bool on = *it == "on";
            call = [on](ViSession vi) { return cv4870_setMainPowerState(vi, on ? VI_TRUE : VI_FALSE); };
            what = on ? "main power switched on" : "main power switched off";
        } else if (r.command == "fan") {
            const auto it = body.find("rpm");
            if (it == body.end() || !(it->is_null() || it->is_number_integer()))
                return send(error(400, "rpm: 0 or null (fans off), or a whole number from 1200 to 3600"));
            const std::int64_t rpm = it->is_null() ? 0 : it->get<std::int64_t>();
            if (rpm != CV4870_FAN_SPEED_OFF && (rpm < CV4870_FAN_SPEED_MIN || rpm > CV4870_FAN_SPEED_MAX))
                return send(error(400, "rpm: 0 or null (fans off), or a whole number from 1200 to 3600"));
            const auto value = static_cast<ViInt32>(rpm);
            call = [value](ViSession vi) { return cv4870_setFanSpeed(vi, value); };
            what = rpm == 0 ? "fans switched off" : "nominal fan speed set to " + std::to_string(rpm) + " rpm";
        } else if (r.command == "sysreset") {
            call = [](ViSession vi) { return cv4870_setVXIsysReset(vi); };
            what = "SysReset pulsed";
        } else {
            call = [](ViSession vi) { return cv4870_reset(vi); };
            what = "mainframe reset";
        }
        // Recorded before anything is sent: a command the audit trail can
        // not hold is not sent at all.
        const auto auditId = audit("command", false, "sent, no answer yet", r.id, r.command);
        if (!auditId)
            return send(
                error(503, "the audit trail can not be written, so no command is sent: " + store_.status().error));
        std::string why;
        const auto status = fleet_.command(r.id, call, &why);
        if (!status)
            return send(error(404, "no mainframe with id '" + r.id.substr(0, 64) + "'"));
        const bool ok = *status >= VI_SUCCESS;
        const std::string result = ok ? what : why;
        metrics_->commands.Add({{"result", ok ? "ok" : "failed"}}).Increment();
        store_.finishAudit(*auditId, ok, result);
        std::vector<EventRow> events(1);
        EventRow &e = events[0];
        e.timeMs = nowMs();
        e.mainframe = r.id;
        e.kind = "command";
        e.subject = r.command;
        e.severity = ok ? "ok" : "warning";
        e.text = caller.session->user + ": " + (ok ? what : r.command + " failed: " + why);
        e.user = caller.session->user;
        fleet_.storeEvents(events);
        json answer = {{"mainframe", r.id}, {"command", r.command}, {"ok", ok}, {"audit_id", optJson(auditId)}};
        if (ok) {
            answer["result"] = what;
            return send(jsonResponse(200, answer));
        }
        answer["error"] = why;
        return send(jsonResponse(502, answer));
    }
    send(error(404, "no such path"));
}

} // namespace cv4870web
