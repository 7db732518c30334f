#include "store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <variant>

namespace cv4870web {

namespace {

using Value = std::variant<std::int64_t, std::string, std::nullptr_t>;

// One prepared statement, finalized when it goes.
class Statement
{
public:
    Statement(sqlite3 *db, const std::string &sql)
        : db_(db)
    {
        rc_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok(std::string *error) const
    {
        if (rc_ == SQLITE_OK)
            return true;
        if (error)
            *error = sqlite3_errmsg(db_);
        return false;
    }
    void bind(const std::vector<Value> &values)
    {
        int i = 1;
        for (const Value &v : values) {
            if (const auto *n = std::get_if<std::int64_t>(&v))
                sqlite3_bind_int64(stmt_, i, *n);
            else if (const auto *s = std::get_if<std::string>(&v))
                sqlite3_bind_text(stmt_, i, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(stmt_, i);
            ++i;
        }
    }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_); }
    std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) const
    {
        const auto *p = sqlite3_column_text(stmt_, col);
        return p ? std::string(reinterpret_cast<const char *>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }
    bool null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::optional<std::int64_t> optInteger(int col) const
    {
        return null(col) ? std::nullopt : std::optional<std::int64_t>(integer(col));
    }
    std::optional<std::string> optText(int col) const
    {
        return null(col) ? std::nullopt : std::optional<std::string>(text(col));
    }

private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

bool exec(sqlite3 *db, const char *sql, std::string *error)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    if (error)
        *error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

// Runs a statement that returns no rows.
bool run(sqlite3 *db, const std::string &sql, const std::vector<Value> &values, std::string *error)
{
    Statement st(db, sql);
    if (!st.ok(error))
        return false;
    st.bind(values);
    if (st.step() == SQLITE_DONE)
        return true;
    if (error)
        *error = sqlite3_errmsg(db);
    return false;
}

Value opt(const std::optional<std::string> &s)
{
    return s ? Value(*s) : Value(nullptr);
}
Value opt(const std::optional<std::int64_t> &n)
{
    return n ? Value(*n) : Value(nullptr);
}

// Each step from version i to i + 1.
const char *const kMigrations[] = {
    "CREATE TABLE events(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, mainframe TEXT NOT NULL,"
    " kind TEXT NOT NULL, subject TEXT NOT NULL, severity TEXT NOT NULL, text TEXT NOT NULL,"
    " from_rpm INTEGER, to_rpm INTEGER, user TEXT);"
    "CREATE INDEX events_time ON events(time_ms);"
    "CREATE INDEX events_mainframe ON events(mainframe, id);"
    "CREATE TABLE audit(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, user TEXT, role TEXT,"
    " address TEXT NOT NULL, user_agent TEXT NOT NULL, action TEXT NOT NULL, mainframe TEXT, command TEXT,"
    " ok INTEGER NOT NULL, result TEXT NOT NULL);"
    "CREATE INDEX audit_time ON audit(time_ms);"
    "CREATE TABLE samples(mainframe TEXT NOT NULL, minute_ms INTEGER NOT NULL, main_power_on INTEGER NOT NULL,"
    " state TEXT NOT NULL, fan_tray INTEGER NOT NULL, power_supply INTEGER NOT NULL, fan_nominal INTEGER NOT NULL,"
    " fan1 INTEGER NOT NULL, fan2 INTEGER NOT NULL, fan3 INTEGER NOT NULL, PRIMARY KEY(mainframe, minute_ms))"
    " WITHOUT ROWID;",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == kSchemaVersion, "one migration per version");

bool migrate(sqlite3 *db, std::string *error)
{
    int version = 0;
    {
        Statement st(db, "PRAGMA user_version");
        if (!st.ok(error) || st.step() != SQLITE_ROW)
            return false;
        version = static_cast<int>(st.integer(0));
    }
    if (version > kSchemaVersion) {
        *error = "the database has schema version " + std::to_string(version) + ", newer than this program's " +
                 std::to_string(kSchemaVersion);
        return false;
    }
    for (; version < kSchemaVersion; ++version) {
        if (!exec(db, "BEGIN IMMEDIATE", error))
            return false;
        const std::string bump = "PRAGMA user_version = " + std::to_string(version + 1);
        if (!exec(db, kMigrations[version], error) || !exec(db, bump.c_str(), error)) {
            exec(db, "ROLLBACK", nullptr);
            return false;
        }
        if (!exec(db, "COMMIT", error))
            return false;
    }
    return true;
}

std::string placeholders(std::size_t n)
{
    std::string s = "(";
    for (std::size_t i = 0; i < n; ++i)
        s += i ? ",?" : "?";
    return s + ")";
}

// The WHERE clause and its values of a listing. Only fixed text goes into
// the SQL; every value is bound.
std::string where(const Query &q, const char *kindColumn, std::vector<Value> *values)
{
    std::string sql = " WHERE 1";
    if (!q.mainframes.empty()) {
        sql += " AND mainframe IN " + placeholders(q.mainframes.size());
        values->insert(values->end(), q.mainframes.begin(), q.mainframes.end());
    }
    if (!q.kinds.empty()) {
        sql += std::string(" AND ") + kindColumn + " IN " + placeholders(q.kinds.size());
        values->insert(values->end(), q.kinds.begin(), q.kinds.end());
    }
    if (!q.excludeKinds.empty()) {
        sql += std::string(" AND ") + kindColumn + " NOT IN " + placeholders(q.excludeKinds.size());
        values->insert(values->end(), q.excludeKinds.begin(), q.excludeKinds.end());
    }
    if (q.user) {
        sql += " AND user = ?";
        values->push_back(*q.user);
    }
    if (q.sinceMs) {
        sql += " AND time_ms >= ?";
        values->push_back(*q.sinceMs);
    }
    if (q.untilMs) {
        sql += " AND time_ms <= ?";
        values->push_back(*q.untilMs);
    }
    if (q.beforeId) {
        sql += " AND id < ?";
        values->push_back(*q.beforeId);
    }
    if (q.afterId) {
        sql += " AND id > ?";
        values->push_back(*q.afterId);
    }
    sql += q.oldestFirst ? " ORDER BY id ASC LIMIT ?" : " ORDER BY id DESC LIMIT ?";
    values->push_back(static_cast<std::int64_t>(q.limit));
    return sql;
}

// Runs a read on the reader connection (its lock held by the caller) and
// hands each row to take; false with *error set when the read fails.
template <typename Take>
bool readRows(sqlite3 *db, const std::string &sql, const std::vector<Value> &values, std::string *error, Take take)
{
    Statement st(db, sql);
    if (!st.ok(error))
        return false;
    st.bind(values);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        take(st);
    if (rc == SQLITE_DONE)
        return true;
    *error = sqlite3_errmsg(db);
    return false;
}

} // namespace

Store::~Store()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    sqlite3_close(reader_);
    sqlite3_close(writer_);
}

bool Store::open(const std::string &path, std::string *error)
{
    // The audit trail is nobody else's business: a new file is the owner's
    // alone, and SQLite gives its journal files the same mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0)
        ::close(fd);
    int rc = sqlite3_open_v2(path.c_str(), &writer_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    std::string why;
    bool writable = rc == SQLITE_OK;
    if (writable) {
        sqlite3_busy_timeout(writer_, 5000);
        sqlite3_extended_result_codes(writer_, 1);
        writable = exec(writer_, "PRAGMA journal_mode=WAL", &why) && exec(writer_, "PRAGMA synchronous=NORMAL", &why) &&
                   migrate(writer_, &why);
        if (writable) {
            // A test write: a read-only file opens for writing but fails here.
            writable = exec(writer_, "BEGIN IMMEDIATE; COMMIT", &why);
        }
    } else {
        why = sqlite3_errstr(rc);
    }
    if (!writable) {
        sqlite3_close(writer_);
        writer_ = nullptr;
        status_ = {false, path + ": " + why};
        ++writeErrors_;
    }

    // A WAL database in a folder this process can not write has no shared
    // memory file to read through: it is then read as immutable, which it is.
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char hex[] = "0123456789ABCDEF";
            uri += '%';
            uri += hex[static_cast<unsigned char>(c) >> 4];
            uri += hex[c & 15];
        } else {
            uri += c;
        }
    }
    if (!writable)
        uri += "?immutable=1";
    rc = sqlite3_open_v2(uri.c_str(), &reader_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        *error = path + ": " + (writable ? sqlite3_errmsg(reader_) : why);
        return false;
    }
    sqlite3_busy_timeout(reader_, 5000);
    {
        // A database this program can not even read is an error at start.
        Statement st(reader_, "SELECT count(*) FROM sqlite_master WHERE name = 'events'");
        if (!st.ok(error) || st.step() != SQLITE_ROW) {
            *error = path + ": " + sqlite3_errmsg(reader_);
            return false;
        }
        if (st.integer(0) == 0) {
            *error = path + ": " + (writable ? std::string("no events table") : why);
            return false;
        }
    }
    if (writable)
        thread_ = std::thread([this] { writerLoop(); });
    return true;
}

StoreStatus Store::status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::uint64_t Store::writeErrors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writeErrors_;
}

void Store::noteWrite(bool ok, const std::string &error)
{
    std::string line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ok)
            ++writeErrors_;
        if (ok == status_.writable)
            return;
        status_.writable = ok;
        status_.error = ok ? std::string() : error;
        line = ok ? "database: writing works again" : "database: can not write: " + error;
    }
    if (log_)
        log_(line);
}

bool Store::submit(Task task, bool wait)
{
    auto pending = std::make_shared<Pending>();
    pending->task = std::move(task);
    pending->wait = wait;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!writer_ || stopping_)
        return false;
    queue_.push_back(pending);
    wake_.notify_one();
    if (!wait)
        return true;
    doneCv_.wait(lock, [&] { return pending->done; });
    return pending->ok;
}

void Store::writerLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty() && stopping_)
            return;
        // Everything queued goes into one transaction.
        std::deque<std::shared_ptr<Pending>> batch;
        batch.swap(queue_);
        lock.unlock();
        std::string error;
        bool ok = exec(writer_, "BEGIN IMMEDIATE", &error);
        if (ok) {
            for (auto &p : batch) {
                if (!p->task(writer_, &error)) {
                    ok = false;
                    break;
                }
            }
            ok = ok && exec(writer_, "COMMIT", &error);
            if (!ok)
                exec(writer_, "ROLLBACK", nullptr);
        }
        noteWrite(ok, error);
        lock.lock();
        for (auto &p : batch) {
            p->done = true;
            p->ok = ok;
        }
        doneCv_.notify_all();
    }
}

bool Store::addEvents(std::vector<EventRow> &rows)
{
    if (rows.empty())
        return true;
    std::vector<std::int64_t> ids(rows.size());
    const bool ok = submit(
        [&rows, &ids](sqlite3 *db, std::string *error) {
            Statement st(db, "INSERT INTO events(time_ms, mainframe, kind, subject, severity, text, from_rpm, to_rpm,"
                             " user) VALUES(?,?,?,?,?,?,?,?,?)");
            if (!st.ok(error))
                return false;
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const EventRow &r = rows[i];
                st.reset();
                st.bind({r.timeMs, r.mainframe, r.kind, r.subject, r.severity, r.text, opt(r.fromRpm), opt(r.toRpm),
                         opt(r.user)});
                if (st.step() != SQLITE_DONE) {
                    *error = sqlite3_errmsg(db);
                    return false;
                }
                ids[i] = sqlite3_last_insert_rowid(db);
            }
            return true;
        },
        true);
    if (ok)
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i].id = ids[i];
    return ok;
}

bool Store::addAudit(AuditRow &row)
{
    std::int64_t id = 0;
    const bool ok = submit(
        [&row, &id](sqlite3 *db, std::string *error) {
            if (!run(db,
                     "INSERT INTO audit(time_ms, user, role, address, user_agent, action, mainframe, command, ok,"
                     " result) VALUES(?,?,?,?,?,?,?,?,?,?)",
                     {row.timeMs, opt(row.user), opt(row.role), row.address, row.userAgent, row.action,
                      opt(row.mainframe), opt(row.command), std::int64_t(row.ok ? 1 : 0), row.result},
                     error))
                return false;
            id = sqlite3_last_insert_rowid(db);
            return true;
        },
        true);
    if (ok)
        row.id = id;
    return ok;
}

bool Store::finishAudit(std::int64_t id, bool ok, const std::string &result)
{
    return submit(
        [id, ok, result](sqlite3 *db, std::string *error) {
            return run(db, "UPDATE audit SET ok = ?, result = ? WHERE id = ?", {std::int64_t(ok ? 1 : 0), result, id},
                       error);
        },
        true);
}

void Store::addSample(const std::string &mainframe, const SampleRow &row)
{
    submit(
        [mainframe, row](sqlite3 *db, std::string *error) {
            return run(db,
                       "INSERT OR REPLACE INTO samples(mainframe, minute_ms, main_power_on, state, fan_tray,"
                       " power_supply, fan_nominal, fan1, fan2, fan3) VALUES(?,?,?,?,?,?,?,?,?,?)",
                       {mainframe, row.minuteMs, std::int64_t(row.mainPowerOn ? 1 : 0), row.state, row.fanTrayCelsius,
                        row.powerSupplyCelsius, row.fanNominalRpm, row.fanRpm[0], row.fanRpm[1], row.fanRpm[2]},
                       error);
        },
        false);
}

bool Store::pruneSamples(std::int64_t cutoffMs)
{
    return submit(
        [cutoffMs](sqlite3 *db, std::string *error) {
            return run(db, "DELETE FROM samples WHERE minute_ms < ?", {cutoffMs}, error);
        },
        true);
}

bool Store::events(const Query &query, std::vector<EventRow> *rows, std::string *error) const
{
    std::vector<Value> values;
    const std::string sql =
        "SELECT id, time_ms, mainframe, kind, subject, severity, text, from_rpm, to_rpm, user FROM events" +
        where(query, "kind", &values);
    std::lock_guard<std::mutex> lock(readMutex_);
    return readRows(reader_, sql, values, error, [rows](Statement &st) {
        EventRow r;
        r.id = st.integer(0);
        r.timeMs = st.integer(1);
        r.mainframe = st.text(2);
        r.kind = st.text(3);
        r.subject = st.text(4);
        r.severity = st.text(5);
        r.text = st.text(6);
        r.fromRpm = st.optInteger(7);
        r.toRpm = st.optInteger(8);
        r.user = st.optText(9);
        rows->push_back(std::move(r));
    });
}

bool Store::audit(const Query &query, std::vector<AuditRow> *rows, std::string *error) const
{
    std::vector<Value> values;
    const std::string sql = "SELECT id, time_ms, user, role, address, user_agent, action, mainframe, command, ok, "
                            "result FROM audit" +
                            where(query, "action", &values);
    std::lock_guard<std::mutex> lock(readMutex_);
    return readRows(reader_, sql, values, error, [rows](Statement &st) {
        AuditRow r;
        r.id = st.integer(0);
        r.timeMs = st.integer(1);
        r.user = st.optText(2);
        r.role = st.optText(3);
        r.address = st.text(4);
        r.userAgent = st.text(5);
        r.action = st.text(6);
        r.mainframe = st.optText(7);
        r.command = st.optText(8);
        r.ok = st.integer(9) != 0;
        r.result = st.text(10);
        rows->push_back(std::move(r));
    });
}

bool Store::samples(const std::string &mainframe, std::int64_t sinceMs, std::int64_t untilMs, int limit,
                    std::vector<SampleRow> *rows, std::string *error) const
{
    std::lock_guard<std::mutex> lock(readMutex_);
    return readRows(reader_,
                    "SELECT minute_ms, main_power_on, state, fan_tray, power_supply, fan_nominal, fan1, fan2, fan3"
                    " FROM samples WHERE mainframe = ? AND minute_ms >= ? AND minute_ms <= ?"
                    " ORDER BY minute_ms ASC LIMIT ?",
                    {mainframe, sinceMs, untilMs, std::int64_t(limit)}, error, [rows](Statement &st) {
                        SampleRow r;
                        r.minuteMs = st.integer(0);
                        r.mainPowerOn = st.integer(1) != 0;
                        r.state = st.text(2);
                        r.fanTrayCelsius = st.integer(3);
                        r.powerSupplyCelsius = st.integer(4);
                        r.fanNominalRpm = st.integer(5);
                        r.fanRpm = {st.integer(6), st.integer(7), st.integer(8)};
                        rows->push_back(r);
                    });
}

bool Store::lastEventTimes(std::vector<std::pair<std::string, std::int64_t>> *rows, std::string *error) const
{
    std::lock_guard<std::mutex> lock(readMutex_);
    return readRows(reader_, "SELECT mainframe, max(time_ms) FROM events GROUP BY mainframe", {}, error,
                    [rows](Statement &st) { rows->emplace_back(st.text(0), st.integer(1)); });
}

} // namespace cv4870web
