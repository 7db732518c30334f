// The service's database: events, the audit trail and per-minute samples in
// one SQLite file (WAL). Writes go through one writer thread; a caller that
// must not tell anybody about a record before it is stored waits for its
// commit. Reads use their own connection.
#ifndef CV4870WEB_STORE_H
#define CV4870WEB_STORE_H

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace cv4870web {

constexpr int kSchemaVersion = 1;

struct EventRow
{
    std::int64_t id = 0; // set when stored
    std::int64_t timeMs = 0; // Unix time in milliseconds
    std::string mainframe;
    std::string kind; // "line_set" ... or "command"
    std::string subject;
    std::string severity;
    std::string text;
    std::optional<std::int64_t> fromRpm, toRpm;
    std::optional<std::string> user;
};

struct AuditRow
{
    std::int64_t id = 0;
    std::int64_t timeMs = 0;
    std::optional<std::string> user, role;
    std::string address;
    std::string userAgent;
    std::string action; // "login", "login_failed", "logout", "command", "refused"
    std::optional<std::string> mainframe, command;
    bool ok = false;
    std::string result;
};

struct SampleRow
{
    std::int64_t minuteMs = 0; // start of the minute
    bool mainPowerOn = false;
    std::string state;
    std::int64_t fanTrayCelsius = 0, powerSupplyCelsius = 0, fanNominalRpm = 0;
    std::array<std::int64_t, 3> fanRpm{};
};

// Filters of the two listings; empty lists and unset values match all.
struct Query
{
    std::vector<std::string> mainframes;
    std::vector<std::string> kinds; // events: kinds; audit: actions
    std::vector<std::string> excludeKinds;
    std::optional<std::string> user; // audit only
    std::optional<std::int64_t> sinceMs, untilMs, beforeId, afterId;
    int limit = 100;
    bool oldestFirst = false;
};

struct StoreStatus
{
    bool writable = true;
    std::string error; // the last write failure while not writable
};

class Store
{
public:
    Store() = default;
    ~Store(); // finishes the queued writes
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens (creating and migrating) the database. A file that can only be
    // read is opened for reading: the store then reports it not writable.
    // False with *error when it can not even be read.
    bool open(const std::string &path, std::string *error);

    // Stored and committed when these return true; ids are set. False (and
    // nothing stored) when the database can not be written.
    bool addEvents(std::vector<EventRow> &rows);
    bool addAudit(AuditRow &row);
    // Sets the outcome of a record stored before the outcome was known.
    bool finishAudit(std::int64_t id, bool ok, const std::string &result);
    // Queued without waiting; one sample per mainframe and minute (a later
    // one of the same minute replaces it).
    void addSample(const std::string &mainframe, const SampleRow &row);
    // Deletes samples older than cutoffMs, waiting for it.
    bool pruneSamples(std::int64_t cutoffMs);

    // Newest first unless oldestFirst; false with *error on a failed read.
    bool events(const Query &query, std::vector<EventRow> *rows, std::string *error) const;
    bool audit(const Query &query, std::vector<AuditRow> *rows, std::string *error) const;
    bool samples(const std::string &mainframe, std::int64_t sinceMs, std::int64_t untilMs, int limit,
                 std::vector<SampleRow> *rows, std::string *error) const;
    // Time of the newest event per mainframe.
    bool lastEventTimes(std::vector<std::pair<std::string, std::int64_t>> *rows, std::string *error) const;

    StoreStatus status() const;
    // Called with a line for the log whenever writing starts or stops failing.
    void setLog(std::function<void(const std::string &)> log) { log_ = std::move(log); }
    std::uint64_t writeErrors() const;

private:
    using Task = std::function<bool(sqlite3 *, std::string *)>;
    struct Pending
    {
        Task task;
        bool wait = false;
        bool done = false;
        bool ok = false;
    };
    bool submit(Task task, bool wait);
    void writerLoop();
    void noteWrite(bool ok, const std::string &error);

    sqlite3 *writer_ = nullptr;
    sqlite3 *reader_ = nullptr;
    mutable std::mutex readMutex_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, doneCv_;
    std::deque<std::shared_ptr<Pending>> queue_;
    bool stopping_ = false;
    std::thread thread_;
    StoreStatus status_;
    std::uint64_t writeErrors_ = 0;
    std::function<void(const std::string &)> log_;
};

} // namespace cv4870web

#endif
