// Sessions to many mainframes: one per (address, port), single-flight reads,
// bounded sessions and reads.
#include "cv4870mon/pool.h"

#include <system_error>
#include <thread>
#include <utility>

namespace cv4870mon {

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

} // namespace

// One read of a mainframe; every caller that arrives while it runs shares it.
struct Pool::Flight
{
    bool done = false; // guarded by the session's mutex
    ReadResult result;
};

const char *poolRefusalText(PoolRefusal refusal)
{
    switch (refusal) {
    case PoolRefusal::None:
        return "";
    case PoolRefusal::Sessions:
        return "every session slot is busy";
    case PoolRefusal::Address:
        return "every session slot of this address is busy";
    case PoolRefusal::Reads:
        return "too many reads in progress";
    case PoolRefusal::Thread:
        return "no thread left for a read";
    }
    return "";
}

Pool::Session::Session(std::string key, std::string address, std::string resource, LinkOptions options)
    : key_(std::move(key))
    , address_(std::move(address))
    , link_(std::move(resource), options)
{}

Pool::Pool(PoolOptions options)
    : options_(options)
{}

Pool::~Pool()
{
    std::unique_lock<std::mutex> lock(readsMutex_);
    readsDone_.wait(lock, [this] { return reads_ == 0; });
}

Pool::Handle Pool::find(const std::string &key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(key);
    return it == sessions_.end() ? nullptr : it->second;
}

Pool::Handle Pool::acquire(const cvtarget::Target &target, PoolRefusal *why)
{
    const std::string key = target.key();
    // Only the pool holds it: no read runs (a read holds a handle) and no
    // caller keeps it.
    const auto idle = [](const Handle &h) { return h.use_count() == 1; };
    std::lock_guard<std::mutex> lock(mutex_);
    const Steady::time_point now = Steady::now();
    if (now - lastSweep_ >= std::chrono::seconds(1)) {
        lastSweep_ = now;
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (now - it->second->lastUse_ > options_.sessionIdle && idle(it->second))
                it = sessions_.erase(it);
            else
                ++it;
        }
    }
    auto found = sessions_.find(key);
    if (found == sessions_.end()) {
        // Makes room by closing the least recently used idle session, of
        // the same address when that address has its fill.
        const auto evict = [&](bool sameAddress) {
            auto oldest = sessions_.end();
            for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
                if ((!sameAddress || it->second->address_ == target.host.text) && idle(it->second) &&
                    (oldest == sessions_.end() || it->second->lastUse_ < oldest->second->lastUse_))
                    oldest = it;
            }
            if (oldest == sessions_.end())
                return false;
            sessions_.erase(oldest);
            return true;
        };
        std::size_t sameAddress = 0;
        for (const auto &s : sessions_)
            sameAddress += s.second->address_ == target.host.text ? 1u : 0u;
        PoolRefusal refusal = PoolRefusal::None;
        if (sameAddress >= options_.maxPerAddress && !evict(true))
            refusal = PoolRefusal::Address;
        else if (sameAddress < options_.maxPerAddress && sessions_.size() >= options_.maxSessions && !evict(false))
            refusal = PoolRefusal::Sessions;
        if (refusal != PoolRefusal::None) {
            if (why)
                *why = refusal;
            return nullptr;
        }
        found =
            sessions_.emplace(key, std::make_shared<Session>(key, target.host.text, target.resource(), options_.link))
                .first;
    }
    found->second->lastUse_ = now;
    if (why)
        *why = PoolRefusal::None;
    return found->second;
}

std::optional<ReadResult> Pool::recentFailure(const cvtarget::Target &target)
{
    const Handle s = find(target.key());
    if (!s)
        return std::nullopt;
    std::lock_guard<std::mutex> lock(s->mutex_);
    if (!s->failure_ || Steady::now() >= s->failure_->retryAt)
        return std::nullopt;
    ReadResult r = *s->failure_;
    r.backoff = true;
    r.error = "waiting to reconnect after: " + r.error;
    return r;
}

bool Pool::isOpen(const cvtarget::Target &target)
{
    const Handle s = find(target.key());
    if (!s)
        return false;
    std::lock_guard<std::mutex> lock(s->mutex_);
    return s->open_;
}

bool Pool::reserveRead(bool open)
{
    // A quarter of the reads is kept for sessions that are open.
    const std::size_t forUnopened = options_.maxReads - options_.maxReads / 4;
    std::lock_guard<std::mutex> lock(readsMutex_);
    if (reads_ >= (open ? options_.maxReads : forUnopened))
        return false;
    ++reads_;
    return true;
}

void Pool::releaseRead()
{
    std::lock_guard<std::mutex> lock(readsMutex_);
    --reads_;
    readsDone_.notify_all();
}

void Pool::finish(Session &s, Flight &flight, ReadResult result)
{
    {
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.open_ = result.snapshot.has_value();
        if (s.open_)
            s.failure_.reset();
        else if (!result.backoff)
            s.failure_ = result;
        flight.result = std::move(result);
        flight.done = true;
    }
    s.finished_.notify_all();
}

PoolRead Pool::read(const cvtarget::Target &target, milliseconds budget)
{
    PoolRead r;
    const Handle s = acquire(target, &r.refused);
    if (!s)
        return r;
    return read(s, budget);
}

PoolRead Pool::read(const Handle &s, milliseconds budget)
{
    const Steady::time_point deadline = Steady::now() + budget;
    PoolRead r;
    std::unique_lock<std::mutex> lock(s->mutex_);
    std::shared_ptr<Flight> flight = s->flight_;
    if (flight && !flight->done) {
        r.shared = true;
    } else if (s->failure_ && Steady::now() < s->failure_->retryAt) {
        r.fromFailure = true;
        r.result = *s->failure_;
        r.result.backoff = true;
        r.result.error = "waiting to reconnect after: " + r.result.error;
        return r;
    } else {
        if (!reserveRead(s->open_)) {
            r.refused = PoolRefusal::Reads;
            return r;
        }
        flight = std::make_shared<Flight>();
        s->flight_ = flight;
        if (s->open_) {
            lock.unlock();
            finish(*s, *flight, s->link_.read(budget));
            releaseRead();
            lock.lock();
        } else {
            try {
                std::thread([this, s, flight, budget] {
                    finish(*s, *flight, s->link_.read(budget));
                    releaseRead();
                }).detach();
            } catch (const std::system_error &) {
                flight->done = true;
                flight->result.error = poolRefusalText(PoolRefusal::Thread);
                releaseRead();
                r.refused = PoolRefusal::Thread;
                return r;
            }
        }
    }
    if (s->finished_.wait_until(lock, deadline, [&] { return flight->done; })) {
        r.result = flight->result;
    } else {
        r.result.status = VI_ERROR_TMO;
        r.result.error = "no reading within " + std::to_string(budget.count()) + " ms";
    }
    return r;
}

ViStatus Pool::run(const Handle &s, milliseconds deadline, const std::function<ViStatus(ViSession)> &call,
                   std::string *error)
{
    const ViStatus st = s->link_.run(deadline, call, error);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->open_ = st >= 0 && s->link_.isOpen();
    return st;
}

Pool::Stats Pool::stats()
{
    Stats st;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        st.sessions = sessions_.size();
        for (const auto &s : sessions_) {
            std::lock_guard<std::mutex> g(s.second->mutex_);
            st.open += s.second->open_ ? 1u : 0u;
        }
    }
    std::lock_guard<std::mutex> lock(readsMutex_);
    st.reads = reads_;
    return st;
}

} // namespace cv4870mon
