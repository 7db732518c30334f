#include "fleet.h"

#include <algorithm>

#include "cv4870mon/events.h"
#include "cv4870mon/health.h"
#include "cv4870mon/json.h"
#include "cv4870mon/target.h"
#include "cvtarget/target.h"
#include "cvhttp/workers.h"

namespace cv4870web {

using cv4870mon::Clock;
using Steady = std::chrono::steady_clock;

std::int64_t unixMs(Clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string slug(std::string_view text)
{
    std::string s;
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (c >= 'A' && c <= 'Z')
            s += static_cast<char>(c - 'A' + 'a');
        else if (alnum)
            s += c;
        else if (!s.empty() && s.back() != '-')
            s += '-';
    }
    while (!s.empty() && s.back() == '-')
        s.pop_back();
    if (s.size() > 64)
        s.resize(64);
    while (!s.empty() && s.back() == '-')
        s.pop_back();
    return s;
}

bool parseTargets(std::istream &in, std::vector<Target> *targets, std::string *error)
{
    std::vector<Target> result;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto fail = [&](const std::string &what) {
            *error = "line " + std::to_string(number) + ": " + what;
            return false;
        };
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        const auto begin = line.find_first_not_of(" \t\r");
        if (begin == std::string::npos)
            continue;
        const auto end = line.find_first_of(" \t\r", begin);
        Target t;
        t.target = line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (end != std::string::npos) {
            const auto nb = line.find_first_not_of(" \t\r", end);
            const auto ne = line.find_last_not_of(" \t\r");
            if (nb != std::string::npos)
                t.name = line.substr(nb, ne - nb + 1);
        }
        const cv4870mon::TargetResult parsed = cv4870mon::parseTarget(t.target);
        if (!parsed.ok)
            return fail(parsed.error);
        t.resource = parsed.resource;
        if (t.name.size() > 200)
            return fail("the name is longer than 200 bytes");
        t.id = slug(t.name.empty() ? t.resource : t.name);
        if (t.id.empty())
            return fail("the name '" + t.name + "' has no letter or digit to make an id of");
        if (t.name.empty())
            t.name = t.id;
        for (const Target &other : result) {
            if (other.id == t.id)
                return fail("the id '" + t.id + "' is taken by an earlier line");
            if (other.resource == t.resource)
                return fail(t.resource + " appears twice");
        }
        result.push_back(std::move(t));
    }
    *targets = std::move(result);
    return true;
}

struct Fleet::Mainframe
{
    Target target;
    cvtarget::Target reach; // what the pool keys the session by
    cv4870mon::Pool::Handle session; // null while the pool refuses one
    cv4870mon::LinkTracker tracker;
    std::optional<cv4870mon::Snapshot> snapshot;
    std::optional<cv4870mon::Health> health;
    enum class LinkState { Unknown, Up, Down } state = LinkState::Unknown;
    std::optional<Clock::time_point> since, lastPoll, lastEvent;
    std::string error;
    std::int64_t lastMinuteMs = -1;
    std::string overview; // what changed means in PollListener
    Steady::time_point due{};
    bool busy = false;
    bool removed = false;
};

Fleet::Fleet(Store &store, FleetOptions options, cv4870mon::Pool &pool)
    : store_(store)
    , options_(options)
    , pool_(pool)
{}

Fleet::~Fleet()
{
    stop();
}

void Fleet::setListeners(PollListener onPoll, EventListener onEvents)
{
    onPoll_ = std::move(onPoll);
    onEvents_ = std::move(onEvents);
}

void Fleet::setTargets(const std::vector<Target> &targets)
{
    std::vector<std::pair<std::string, std::int64_t>> last;
    std::string ignored;
    store_.lastEventTimes(&last, &ignored);

    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Mainframe>> order;
    std::map<std::string, std::shared_ptr<Mainframe>> byId;
    const auto now = Steady::now();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target &t = targets[i];
        const auto old = byId_.find(t.id);
        std::shared_ptr<Mainframe> mf;
        if (old != byId_.end() && old->second->target.resource == t.resource) {
            mf = old->second;
            mf->target = t; // the name may change
        } else {
            mf = std::make_shared<Mainframe>();
            mf->target = t;
            cvtarget::parseResource(t.resource, &mf->reach);
            mf->session = pool_.acquire(mf->reach);
            mf->tracker = cv4870mon::LinkTracker(t.resource);
            // Spread the first polls over one interval.
            mf->due = now + options_.interval * static_cast<long>(i) / static_cast<long>(targets.size() + 1);
            for (const auto &l : last)
                if (l.first == t.id)
                    mf->lastEvent = Clock::time_point(std::chrono::milliseconds(l.second));
        }
        order.push_back(mf);
        byId[t.id] = mf;
    }
    for (const auto &mf : order_)
        if (!byId.count(mf->target.id) || byId[mf->target.id] != mf)
            mf->removed = true;
    order_ = std::move(order);
    byId_ = std::move(byId);
    wake_.notify_all();
}

void Fleet::start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_)
        return;
    started_ = true;
    workers_ = std::make_unique<cvhttp::Workers>(options_.threads, 1u << 20);
    scheduler_ = std::thread([this] { schedulerLoop(); });
}

void Fleet::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (scheduler_.joinable())
        scheduler_.join();
    workers_.reset(); // runs what is queued and joins
}

void Fleet::schedulerLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const auto now = Steady::now();
        auto next = now + std::chrono::seconds(1);
        for (const auto &mf : order_) {
            if (mf->busy)
                continue;
            if (mf->due <= now) {
                mf->busy = true;
                std::shared_ptr<Mainframe> job = mf;
                if (!workers_->submit([this, job] { poll(job); }))
                    mf->busy = false;
            } else {
                next = std::min(next, mf->due);
            }
        }
        // Polls that fall due within a few milliseconds go together.
        next = std::max(next, now + std::chrono::milliseconds(5));
        wake_.wait_until(lock, next);
    }
}

void Fleet::poll(const std::shared_ptr<Mainframe> &mf)
{
    const auto began = Steady::now();
    cv4870mon::Pool::Handle session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!mf->session)
            mf->session = pool_.acquire(mf->reach);
        session = mf->session;
    }
    cv4870mon::ReadResult result;
    if (session) {
        const cv4870mon::PoolRead read = pool_.read(session, options_.timeout);
        result = read.result;
        if (read.refused != cv4870mon::PoolRefusal::None) {
            result.snapshot.reset();
            result.error = cv4870mon::poolRefusalText(read.refused);
        }
        result.backoff = result.backoff || read.fromFailure;
    } else {
        result.error = "no session: the session pool is full";
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - began).count();

    std::vector<cv4870mon::Event> events;
    std::string id, json;
    bool changed = false;
    std::optional<SampleRow> sample;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = mf->target.id;
        const auto wasState = mf->state;
        const auto now = Clock::now();
        if (result.snapshot) {
            events = mf->tracker.onSnapshot(*result.snapshot);
            mf->snapshot = result.snapshot;
            mf->health = cv4870mon::assessHealth(*result.snapshot);
            mf->state = Mainframe::LinkState::Up;
            mf->error.clear();
            const std::int64_t minute = unixMs(result.snapshot->time) / 60000 * 60000;
            if (minute != mf->lastMinuteMs) {
                mf->lastMinuteMs = minute;
                const cv4870mon::Snapshot &s = *result.snapshot;
                SampleRow row;
                row.minuteMs = minute;
                row.mainPowerOn = s.status.powerOn;
                row.state = cv4870mon::severityName(mf->health->severity);
                row.fanTrayCelsius = s.fanTrayCelsius;
                row.powerSupplyCelsius = s.powerSupplyCelsius;
                row.fanNominalRpm = s.fanNominalRpm;
                row.fanRpm = {s.fanRpm[0], s.fanRpm[1], s.fanRpm[2]};
                sample = row;
            }
        } else {
            events = mf->tracker.onFailure(now, result.error);
            mf->state = Mainframe::LinkState::Down;
            if (!result.backoff)
                mf->error = result.error;
        }
        if (mf->state != wasState)
            mf->since = now;
        mf->lastPoll = now;
        ++stats_.polls;
        if (!result.snapshot && !result.backoff)
            ++stats_.pollFailures;
        stats_.pollSeconds += seconds;
    }
    if (sample)
        store_.addSample(id, *sample);

    std::vector<EventRow> rows;
    for (const cv4870mon::Event &e : events) {
        EventRow r;
        r.timeMs = unixMs(e.time);
        r.mainframe = id;
        r.kind = cv4870mon::eventKindName(e.kind);
        r.subject = e.subject;
        r.severity = cv4870mon::severityName(e.severity);
        r.text = e.text;
        if (e.fromRpm)
            r.fromRpm = *e.fromRpm;
        if (e.toRpm)
            r.toRpm = *e.toRpm;
        rows.push_back(std::move(r));
    }
    const bool stored = rows.empty() || store_.addEvents(rows);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!rows.empty()) {
            mf->lastEvent = Clock::time_point(std::chrono::milliseconds(rows.back().timeMs));
            (stored ? stats_.eventsStored : stats_.eventsLost) += rows.size();
        }
        const nlohmann::json j = jsonLocked(*mf);
        json = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::string overview = j["state"].dump() + j["link"].dump() + j["health"].dump();
        if (mf->snapshot)
            overview += std::to_string(mf->snapshot->status.powerOn) + std::to_string(mf->snapshot->fanNominalRpm);
        changed = overview != mf->overview;
        mf->overview = std::move(overview);
    }
    bool removed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed = mf->removed;
    }
    if (onEvents_ && !rows.empty())
        onEvents_(rows);
    if (onPoll_ && !removed)
        onPoll_(id, json, changed);

    std::lock_guard<std::mutex> lock(mutex_);
    mf->busy = false;
    const auto fast = followers_.find(id);
    const bool isFast = fast != followers_.end() && fast->second > 0;
    const auto every = isFast ? options_.fastInterval : options_.interval;
    // A due time already set sooner (a command asked for a poll) stands.
    if (mf->due <= began)
        mf->due = std::max(began + every, Steady::now());
    wake_.notify_all();
}

nlohmann::json Fleet::jsonLocked(const Mainframe &mf) const
{
    using nlohmann::json;
    const auto time = [](const std::optional<Clock::time_point> &t) {
        return t ? json(cv4870mon::isoTime(*t)) : json(nullptr);
    };
    const char *state = "unknown";
    if (mf.state == Mainframe::LinkState::Down)
        state = "down";
    else if (mf.state == Mainframe::LinkState::Up && mf.health)
        state = cv4870mon::severityName(mf.health->severity);
    json j = {
        {"id", mf.target.id},
        {"name", mf.target.name},
        {"target", mf.target.target},
        {"resource", mf.target.resource},
        {"state", state},
        {"link",
         {{"up", mf.state == Mainframe::LinkState::Up},
          {"since", time(mf.since)},
          {"error", mf.state == Mainframe::LinkState::Down && !mf.error.empty() ? json(mf.error) : json(nullptr)}}},
        {"snapshot", nullptr},
        {"health", nullptr},
        {"last_poll", time(mf.lastPoll)},
        {"last_event", time(mf.lastEvent)}};
    if (mf.snapshot && mf.health) {
        j["snapshot"] = cv4870mon::toJson(*mf.snapshot, *mf.health);
        j["health"] = j["snapshot"]["health"];
    }
    const auto f = followers_.find(mf.target.id);
    j["fast"] = f != followers_.end() && f->second > 0;
    return j;
}

std::vector<std::string> Fleet::ids() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> ids;
    for (const auto &mf : order_)
        ids.push_back(mf->target.id);
    return ids;
}

bool Fleet::has(const std::string &id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return byId_.count(id) != 0;
}

std::optional<nlohmann::json> Fleet::mainframe(const std::string &id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byId_.find(id);
    if (it == byId_.end())
        return std::nullopt;
    return jsonLocked(*it->second);
}

nlohmann::json Fleet::all() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const auto &mf : order_)
        list.push_back(jsonLocked(*mf));
    return list;
}

FleetCounts Fleet::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    FleetCounts c;
    c.total = order_.size();
    for (const auto &mf : order_) {
        if (mf->state == Mainframe::LinkState::Up)
            ++c.up;
        else if (mf->state == Mainframe::LinkState::Down)
            ++c.down;
        else
            ++c.unknown;
    }
    return c;
}

FleetStats Fleet::stats() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void Fleet::follow(const std::vector<std::string> &ids, bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string &id : ids) {
        int &n = followers_[id];
        n += on ? 1 : -1;
        if (n <= 0) {
            followers_.erase(id);
        } else if (on) {
            // Followed from now on: the next poll comes within the fast interval.
            const auto it = byId_.find(id);
            if (it != byId_.end() && !it->second->busy)
                it->second->due = std::min(it->second->due, Steady::now() + options_.fastInterval);
        }
    }
    wake_.notify_all();
}

std::optional<ViStatus> Fleet::command(const std::string &id, const std::function<ViStatus(ViSession)> &call,
                                       std::string *error)
{
    std::shared_ptr<Mainframe> mf;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = byId_.find(id);
        if (it == byId_.end())
            return std::nullopt;
        mf = it->second;
    }
    cv4870mon::Pool::Handle session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!mf->session)
            mf->session = pool_.acquire(mf->reach);
        session = mf->session;
    }
    if (!session) {
        if (error)
            *error = "no session: the session pool is full";
        return VI_ERROR_RSRC_BUSY;
    }
    const ViStatus status = pool_.run(session, options_.timeout, call, error);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mf->due = Steady::now();
    }
    wake_.notify_all();
    return status;
}

bool Fleet::storeEvents(std::vector<EventRow> &rows)
{
    const bool ok = store_.addEvents(rows);
    if (ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const EventRow &r : rows) {
            const auto it = byId_.find(r.mainframe);
            if (it != byId_.end())
                it->second->lastEvent = Clock::time_point(std::chrono::milliseconds(r.timeMs));
        }
        stats_.eventsStored += rows.size();
    }
    if (onEvents_)
        onEvents_(rows);
    return ok;
}

} // namespace cv4870web
