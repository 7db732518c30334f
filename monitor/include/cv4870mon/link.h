// One driver session to one mainframe, opened when needed and reopened
// after a failure with a growing delay.
#ifndef CV4870MON_LINK_H
#define CV4870MON_LINK_H

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cv4870mon/failure.h"
#include "cv4870mon/snapshot.h"
#include "visa.h"

namespace cv4870mon {

struct ReadResult
{
    std::optional<Snapshot> snapshot; // set on success
    ViStatus status = VI_SUCCESS; // the driver's status of the failing call
    std::string error; // what failed and why: "open: connection refused by 127.0.0.1:23"
    bool backoff = false; // no I/O was tried: the link waits before reopening
    Failure failure; // why, classified; while backing off, the failure that caused it
    // After a failure: when the link tries to reopen; reads before then
    // return at once with backoff set.
    std::chrono::steady_clock::time_point retryAt{};
};

struct LinkOptions
{
    std::chrono::milliseconds backoffFirst{500};
    std::chrono::milliseconds backoffMax{10000};
};

// Thread-safe: calls on one Link from several threads run one at a time.
class Link
{
public:
    explicit Link(std::string resource, LinkOptions options = {});
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    const std::string &resource() const { return resource_; }

    // Opens the session if there is none (cv4870_init with the identity
    // query, then the identity reads) and reads one snapshot. Every
    // exchange gets the time left before the deadline as its VISA timeout;
    // opening the connection itself is bounded by the driver's own
    // CV4870_TIMEOUT_MS. On failure the session is closed, and the next
    // attempts return at once with backoff set until the reopen delay
    // (backoffFirst, doubling up to backoffMax) has passed. A good read
    // resets the delay.
    ReadResult read(std::chrono::milliseconds deadline);

    // Runs one driver call on the session (opened as for read(), without
    // backoff: a command is tried when asked). Returns the call's status,
    // or the open's; error gets the text of a failure, failure its
    // classification.
    ViStatus run(std::chrono::milliseconds deadline, const std::function<ViStatus(ViSession)> &call,
                 std::string *error = nullptr, Failure *failure = nullptr);

    // Closes the session (the next read opens it again) and forgets the delay.
    void close();
    bool isOpen() const;

private:
    using Steady = std::chrono::steady_clock;
    ViStatus openLocked(Steady::time_point deadline, std::string *error, Failure *failure);
    void failLocked();

    const std::string resource_;
    const LinkOptions options_;
    mutable std::mutex mutex_;
    ViSession vi_ = VI_NULL;
    Identity identity_;
    std::chrono::milliseconds delay_{0};
    Steady::time_point retryAt_{};
    Failure lastFailure_;
};

} // namespace cv4870mon

#endif
