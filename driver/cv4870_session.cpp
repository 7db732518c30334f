// Sessions and the exchange of one command line and one reply line.
//
// Resynchronisation: when an exchange fails half-way (timeout, lost or
// short write, a reply that does not parse, an oversized reply), the session
// is marked stale, because a late or surplus reply may still arrive. The next
// exchange on it first sends "*OPC?" and discards reply lines until the bare
// "1" that answers it; the mainframe answers in order, so whatever was
// pending came before that line. An oversized reply lacks its LF, so the
// answer may arrive glued to its end: an oversized line ending in "1" counts
// too (at worst that was not ours, and the next call reads our "1", finds no
// error reply in it and resyncs once more). Every reply of the driver's own commands
// ends with the error reply, so it is never a bare "1". The resync has its
// own time budget of one session timeout; if it fails, its status is
// returned and the session stays stale.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "cv4870_session.h"

namespace cv4870drv {

namespace {

using Clock = std::chrono::steady_clock;

// How long an oversized reply may stay quiet before it counts as ended, and
// how much of it is read away at most.
constexpr ViUInt32 kDrainQuietMs = 50;
constexpr std::size_t kDrainMaxBytes = 1u << 20;
// Lines the resync discards at most before it gives up.
constexpr int kResyncMaxLines = 64;

struct Session
{
    ViSession vi = VI_NULL;
    ViSession rm = VI_NULL;
    std::mutex io; // one exchange at a time on a session
    bool stale = false; // pending input may precede the next reply
    bool partialWrite = false; // a command line may have been cut short
};

std::mutex registryMutex;
std::map<ViSession, std::shared_ptr<Session>> registry;

std::shared_ptr<Session> findSession(ViSession vi)
{
    const std::lock_guard<std::mutex> lock(registryMutex);
    const auto it = registry.find(vi);
    return it == registry.end() ? nullptr : it->second;
}

// Reads one line within `deadline`, whatever the session's timeout.
class LineReader
{
public:
    explicit LineReader(Session &s)
        : s_(s)
    {
        if (viGetAttribute(s_.vi, VI_ATTR_TMO_VALUE, &baseTmo_) < 0)
            baseTmo_ = CV4870_TIMEOUT_MS;
        currentTmo_ = baseTmo_;
    }
    ~LineReader()
    {
        if (currentTmo_ != baseTmo_)
            viSetAttribute(s_.vi, VI_ATTR_TMO_VALUE, baseTmo_);
    }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    Clock::time_point deadlineFromNow() const
    {
        if (baseTmo_ == VI_TMO_INFINITE)
            return Clock::time_point::max();
        return Clock::now() + std::chrono::milliseconds(baseTmo_);
    }

    // The line without LF (and CR) in `line`. An oversized line is read away
    // and gives VI_ERROR_INV_RESPONSE, with its last byte in `line` if its
    // LF was reached (else `line` is empty); I/O failures pass through.
    ViStatus read(std::string &line, Clock::time_point deadline)
    {
        char buf[kMaxReplyLine];
        std::size_t len = 0;
        for (;;) {
            if (!setTimeoutFor(deadline))
                return VI_ERROR_TMO;
            ViUInt32 got = 0;
            const ViStatus st =
                viRead(s_.vi, reinterpret_cast<ViPBuf>(buf + len), static_cast<ViUInt32>(sizeof buf - len), &got);
            const std::size_t before = len;
            len += std::min<std::size_t>(got, sizeof buf - len);
            const void *lf = std::memchr(buf + before, '\n', len - before);
            if (lf) {
                const std::size_t end = static_cast<std::size_t>(static_cast<const char *>(lf) - buf);
                if (end + 1 != len)
                    s_.stale = true; // bytes past the line: not ours to keep
                line.assign(buf, end > 0 && buf[end - 1] == '\r' ? end - 1 : end);
                return VI_SUCCESS;
            }
            if (st < 0)
                return st;
            if (len == sizeof buf) {
                char last = buf[len - 1];
                line.clear();
                if (drain(deadline, last))
                    line.assign(1, last);
                return VI_ERROR_INV_RESPONSE;
            }
        }
    }

private:
    // Sets the VISA timeout to what is left before `deadline`, at most
    // `cap`; false if nothing is left. Rounded up, so a deadline just set
    // leaves the session's timeout as it is and costs no attribute call.
    bool setTimeoutFor(Clock::time_point deadline, ViUInt32 cap = VI_TMO_INFINITE)
    {
        ViUInt32 tmo = std::min(baseTmo_, cap);
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            tmo = std::min<ViUInt32>(tmo, static_cast<ViUInt32>(left));
        }
        return setTimeout(tmo);
    }

    bool setTimeout(ViUInt32 tmo)
    {
        if (tmo != currentTmo_) {
            if (viSetAttribute(s_.vi, VI_ATTR_TMO_VALUE, tmo) < 0)
                return false;
            currentTmo_ = tmo;
        }
        return true;
    }

    // Reads the rest of an oversized line away: until its LF, a quiet pause,
    // the byte limit or the deadline, whichever comes first. True when the
    // LF was reached; `last` is then the last byte before it (CR aside).
    bool drain(Clock::time_point deadline, char &last)
    {
        char scratch[kMaxReplyLine];
        for (std::size_t total = 0; total < kDrainMaxBytes;) {
            if (!setTimeoutFor(deadline, kDrainQuietMs))
                return false;
            ViUInt32 got = 0;
            const ViStatus st = viRead(s_.vi, reinterpret_cast<ViPBuf>(scratch), sizeof scratch, &got);
            got = std::min<ViUInt32>(got, sizeof scratch);
            total += got;
            for (ViUInt32 i = 0; i < got; ++i) {
                if (scratch[i] == '\n')
                    return true; // VISA stops at the LF: nothing follows it here
                if (scratch[i] != '\r')
                    last = scratch[i];
            }
            if (st < 0)
                return false;
        }
        return false;
    }

    Session &s_;
    ViUInt32 baseTmo_ = CV4870_TIMEOUT_MS;
    ViUInt32 currentTmo_ = CV4870_TIMEOUT_MS;
};

ViStatus writeAll(Session &s, std::string_view text)
{
    ViUInt32 done = 0;
    ViStatus st = viWrite(s.vi, reinterpret_cast<ViConstBuf>(text.data()), static_cast<ViUInt32>(text.size()), &done);
    if (st >= 0 && done != text.size())
        st = VI_ERROR_IO;
    if (st < 0) {
        s.stale = true;
        s.partialWrite = true;
    }
    return st;
}

ViStatus resync(Session &s, LineReader &reader)
{
    ViStatus st = writeAll(s, s.partialWrite ? std::string_view("\n*OPC?\n") : std::string_view("*OPC?\n"));
    if (st < 0)
        return st;
    const Clock::time_point deadline = reader.deadlineFromNow();
    std::string line;
    for (int i = 0; i < kResyncMaxLines; ++i) {
        st = reader.read(line, deadline);
        if (st < 0 && st != VI_ERROR_INV_RESPONSE)
            return st;
        // An oversized reply has no LF of its own, so the "1" may end it.
        if (trim(line) == "1") {
            s.stale = false;
            s.partialWrite = false;
            return VI_SUCCESS;
        }
    }
    return VI_ERROR_INV_RESPONSE;
}

} // namespace

void addSession(ViSession vi, ViSession rm)
{
    auto s = std::make_shared<Session>();
    s->vi = vi;
    s->rm = rm;
    const std::lock_guard<std::mutex> lock(registryMutex);
    registry[vi] = std::move(s);
}

ViStatus closeSession(ViSession vi)
{
    std::shared_ptr<Session> s;
    {
        const std::lock_guard<std::mutex> lock(registryMutex);
        const auto it = registry.find(vi);
        if (it == registry.end())
            return VI_ERROR_INV_OBJECT;
        s = it->second;
        registry.erase(it);
    }
    // Waits for an exchange still running on another thread.
    const std::lock_guard<std::mutex> io(s->io);
    const ViStatus st = viClose(s->vi);
    const ViStatus rmSt = viClose(s->rm);
    return st < 0 ? st : rmSt < 0 ? rmSt : VI_SUCCESS;
}

ViStatus exchange(ViSession vi, std::string_view command, bool query, std::string &line, Reply &reply)
{
    const std::shared_ptr<Session> s = findSession(vi);
    if (!s)
        return VI_ERROR_INV_OBJECT;
    const std::lock_guard<std::mutex> io(s->io);
    LineReader reader(*s);
    ViStatus st = VI_SUCCESS;
    if (s->stale && (st = resync(*s, reader)) < 0)
        return st;

    std::string text;
    text.reserve(command.size() + 20);
    text.append("*CLS;").append(command).append(";:SYST:ERR?\n");
    if ((st = writeAll(*s, text)) < 0)
        return st;
    if ((st = reader.read(line, reader.deadlineFromNow())) < 0) {
        s->stale = true;
        return st;
    }
    reply = decodeReply(line, query);
    if (reply.status == VI_ERROR_INV_RESPONSE)
        s->stale = true; // garbage may have more behind it
    else if (reply.errorCode != 0)
        rememberMainframeError(reply.status, reply.errorCode, reply.errorText);
    return reply.status;
}

} // namespace cv4870drv
