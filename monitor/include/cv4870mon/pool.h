// Sessions to many mainframes, one per mainframe: the pool keys them by the
// canonical (address, port) a target reaches (cvtarget::Target::key()), so
// every spelling of one mainframe shares one Link, and concurrent reads of
// one mainframe share one read.
//
// Bounds, each answered at once instead of waiting:
//   - sessions in all (maxSessions) and to one address (maxPerAddress): a
//     new session takes the place of the least recently used idle one (no
//     read running, no handle held outside the pool), else it is refused;
//   - driver reads running at once (maxReads), reads that outlived the
//     caller that started them included; a quarter of them is kept for
//     mainframes whose session is open, so that unreachable ones can not
//     take every read from those that answer;
//   - a mainframe whose last read failed is answered from that failure
//     until its reconnect delay has passed, without a read.
#ifndef CV4870MON_POOL_H
#define CV4870MON_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "cv4870mon/link.h"
#include "cvtarget/target.h"

namespace cv4870mon {

struct PoolOptions
{
    std::size_t maxSessions = 1024;
    std::size_t maxPerAddress = 64; // sessions to one address, every port counted
    std::chrono::seconds sessionIdle{900}; // a session unused this long is closed
    std::size_t maxReads = 256; // driver reads running at once
    LinkOptions link;
};

enum class PoolRefusal {
    None,
    Sessions, // every session slot is in use
    Address, // every session slot of that address is in use
    Reads, // maxReads reads run already
    Thread, // no thread could be started for the read
};
const char *poolRefusalText(PoolRefusal refusal);

struct PoolRead
{
    ReadResult result;
    bool shared = false; // joined a read another caller had started
    bool fromFailure = false; // the last failure, within its reconnect delay: nothing was tried
    PoolRefusal refused = PoolRefusal::None; // nothing was tried: a bound was reached
};

class Pool
{
public:
    // One mainframe's session: its Link and its single-flight read.
    class Session;
    using Handle = std::shared_ptr<Session>;

    explicit Pool(PoolOptions options = {});
    ~Pool(); // waits for the reads still running in the background
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // The session of the mainframe target reaches, made when there is none;
    // null with *why set when a bound refuses. While a handle is held the
    // session is never closed for room or idleness.
    Handle acquire(const cvtarget::Target &target, PoolRefusal *why = nullptr);

    // The last failure of the target's session while its reconnect delay
    // runs (backoff set): the answer for a caller that must not cost a read.
    // Makes no session.
    std::optional<ReadResult> recentFailure(const cvtarget::Target &target);
    // Whether the target has a session that is open after a good read.
    bool isOpen(const cvtarget::Target &target);

    // Reads one snapshot within budget. A read of the same session already
    // running is joined; on an open session the caller reads itself (every
    // exchange bounded by the budget), else the read runs on a thread of
    // its own, because opening a connection is bounded by the driver's
    // timeout, not the budget: when the budget ends first the caller gets
    // VI_ERROR_TMO and the read finishes for the next caller.
    PoolRead read(const Handle &session, std::chrono::milliseconds budget);
    PoolRead read(const cvtarget::Target &target, std::chrono::milliseconds budget);

    // Runs one driver call on the session (see Link::run).
    ViStatus run(const Handle &session, std::chrono::milliseconds deadline,
                 const std::function<ViStatus(ViSession)> &call, std::string *error = nullptr);

    struct Stats
    {
        std::size_t sessions = 0; // kept
        std::size_t open = 0; // open after their last read
        std::size_t reads = 0; // driver reads running
    };
    Stats stats();

private:
    struct Flight;
    bool reserveRead(bool open);
    void releaseRead();
    void finish(Session &session, Flight &flight, ReadResult result);
    Handle find(const std::string &key);

    const PoolOptions options_;
    std::mutex mutex_;
    std::unordered_map<std::string, Handle> sessions_;
    std::chrono::steady_clock::time_point lastSweep_;
    std::mutex readsMutex_;
    std::condition_variable readsDone_;
    std::size_t reads_ = 0;
};

class Pool::Session
{
public:
    Session(std::string key, std::string address, std::string resource, LinkOptions options);
    const std::string &key() const { return key_; }
    Link &link() { return link_; }

private:
    friend class Pool;
    const std::string key_;
    const std::string address_;
    Link link_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::shared_ptr<Flight> flight_; // the running or the last read
    std::optional<ReadResult> failure_; // the last read's, until a good one
    bool open_ = false; // after the last read; guarded by mutex_
    std::chrono::steady_clock::time_point lastUse_; // guarded by the pool's mutex
};

} // namespace cv4870mon

#endif
