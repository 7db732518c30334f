// Sessions and the exchange of one command line and one reply line.
//
// Every line the driver sends starts with "SYSTem:TAG? <tag>", so its reply
// line starts with the tag: a 32-bit number that each session starts at
// random and counts up per line. A reply line is taken only when its first
// unit is exactly the tag of the line just sent. A line with another tag is
// a late or repeated reply to an earlier line (a query that timed out may
// still be answered) and is read away, a bounded number of them within the
// same timeout. Anything else -- no tag, garbage, an oversized line, a tagged
// reply that does not decode -- fails the call with VI_ERROR_INV_RESPONSE, as
// do a timeout or a short write with their own status, and marks the session
// out of step: the surplus may be followed by more.
//
// Resynchronisation: the next exchange on a session out of step first sends
// a lone "SYSTem:TAG? <fresh tag>" (after an LF when a write was cut short)
// and reads lines away until the bare tag comes back; the mainframe answers
// in order, so whatever was pending came before it. An oversized line lacks
// its LF, so the tag may arrive glued to its end: the last bytes of such a
// line count when they end with the tag. The resync has its own time budget
// of one session timeout and a bound on the lines it reads; if it fails, its
// status is returned and the session stays out of step.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>

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
// Replies to earlier lines an exchange reads away at most before its own.
constexpr int kMaxStaleReplies = 32;
// Bytes kept from the end of an oversized line (a tag has at most 10).
constexpr std::size_t kOversizedTail = 16;

struct Session
{
    ViSession vi = VI_NULL;
    ViSession rm = VI_NULL;
    std::mutex io; // one exchange at a time on a session
    bool stale = false; // pending input may precede the next reply
    bool partialWrite = false; // a command line may have been cut short
    std::uint32_t nextTag = 0; // tag of the next line sent
    std::string out; // the line being sent, kept for its capacity
    std::string in; // the reply line being decoded, likewise
};

// Where each new session starts counting its tags. One generator for the
// process, seeded once: a seed per session would cost far more than a call.
std::uint32_t firstTag()
{
    static std::mutex mutex;
    static std::mt19937 generator{std::random_device{}()};
    const std::lock_guard<std::mutex> lock(mutex);
    return static_cast<std::uint32_t>(generator());
}

// The tag in decimal, as the mainframe echoes it.
std::string_view tagText(std::uint32_t tag, char (&buf)[16])
{
    const auto res = std::to_chars(buf, buf + sizeof buf, tag);
    return std::string_view(buf, static_cast<std::size_t>(res.ptr - buf));
}

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
    // and gives VI_ERROR_INV_RESPONSE, with its last bytes (at most
    // kOversizedTail) in `line` if its LF was reached (else `line` is
    // empty); I/O failures pass through.
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
                std::string tail(buf + len - kOversizedTail, kOversizedTail);
                line.clear();
                if (drain(deadline, tail))
                    line = std::move(tail);
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
    // LF was reached; `tail` then ends with the last bytes before it (CR
    // aside), at most kOversizedTail of them.
    bool drain(Clock::time_point deadline, std::string &tail)
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
                if (scratch[i] == '\r')
                    continue;
                if (tail.size() == kOversizedTail)
                    tail.erase(0, 1);
                tail.push_back(scratch[i]);
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
    char digits[16];
    const std::string_view tag = tagText(s.nextTag++, digits);
    std::string text(s.partialWrite ? "\n:SYST:TAG? " : ":SYST:TAG? ");
    text.append(tag).push_back('\n');
    ViStatus st = writeAll(s, text);
    if (st < 0)
        return st;
    const Clock::time_point deadline = reader.deadlineFromNow();
    std::string line;
    for (int i = 0; i < kResyncMaxLines; ++i) {
        st = reader.read(line, deadline);
        if (st < 0 && st != VI_ERROR_INV_RESPONSE)
            return st;
        const bool ours = st == VI_SUCCESS ? line == tag
                                           : line.size() >= tag.size() &&
                                                 std::string_view(line).substr(line.size() - tag.size()) == tag;
        if (ours) {
            s.stale = false;
            s.partialWrite = false;
            return VI_SUCCESS;
        }
    }
    return VI_ERROR_INV_RESPONSE;
}

// Reads lines until the one that starts with `tag`, and leaves the rest of
// it, after the tag's ';', in `body`. Replies with other tags are read away.
ViStatus readTagged(LineReader &reader, std::uint32_t tag, std::string &line, std::string_view &body)
{
    const Clock::time_point deadline = reader.deadlineFromNow();
    for (int skipped = 0; skipped <= kMaxStaleReplies; ++skipped) {
        const ViStatus st = reader.read(line, deadline);
        if (st < 0)
            return st;
        const std::size_t semicolon = line.find(';');
        std::uint32_t got = 0;
        if (!parseTag(std::string_view(line).substr(0, semicolon), got))
            return VI_ERROR_INV_RESPONSE; // not a reply of ours at all
        if (got == tag) {
            body = semicolon == std::string::npos ? std::string_view() : std::string_view(line).substr(semicolon + 1);
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
    s->nextTag = firstTag();
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

ViStatus exchange(ViSession vi, std::string_view command, bool query, ResponseDecoder decode)
{
    const std::shared_ptr<Session> s = findSession(vi);
    if (!s)
        return VI_ERROR_INV_OBJECT;
    const std::lock_guard<std::mutex> io(s->io);
    LineReader reader(*s);
    ViStatus st = VI_SUCCESS;
    if (s->stale && (st = resync(*s, reader)) < 0)
        return st;

    const std::uint32_t tag = s->nextTag++;
    char digits[16];
    std::string &text = s->out;
    text.assign(":SYST:TAG? ").append(tagText(tag, digits)).append(";*CLS;");
    text.append(command).append(";:SYST:ERR?\n");
    if ((st = writeAll(*s, text)) < 0)
        return st;
    std::string_view body;
    if ((st = readTagged(reader, tag, s->in, body)) < 0) {
        s->stale = true;
        return st;
    }
    Reply reply = decodeReply(body, query);
    if (reply.status == VI_SUCCESS && decode)
        reply.status = decode(reply.response);
    if (reply.status == VI_ERROR_INV_RESPONSE)
        s->stale = true; // a reply of ours, but not what was asked for
    else if (reply.errorCode != 0)
        rememberMainframeError(reply.status, reply.errorCode, reply.errorText);
    return reply.status;
}

} // namespace cv4870drv
