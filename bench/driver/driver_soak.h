// A randomized soak of the driver against the in-process emulator: the
// panel's poll (six queries in turn) on one session with a short timeout,
// while the emulator injects random link faults before some of the calls.
// Every call that succeeds is checked against the reply the emulator truly
// produced for the line that call sent. Used by the short soak in the tests
// and by bench_driver_soak for the long run.
#ifndef CV4870_DRIVER_SOAK_H
#define CV4870_DRIVER_SOAK_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "cv4870.h"
#include "cv4870emu.h"

namespace soak {

struct Figures
{
    long exchanges = 0; // driver calls made
    long faults = 0; // calls before which a link fault was injected
    long failed = 0; // calls that returned an error
    long wrong = 0; // successes whose values were not the reply to their own line
    long reopens = 0; // sessions opened again after a dropped connection
    double seconds = 0;
    std::string firstWrong; // what the first wrong reading was, for the report
};

// The kinds of fault the soak injects; -1 stands for a late reply.
const cv4870emu::LinkFault kinds[] = {
    cv4870emu::LinkFault::ExtraLine, cv4870emu::LinkFault::DuplicateReply, cv4870emu::LinkFault(-1),
    cv4870emu::LinkFault::Garbage,   cv4870emu::LinkFault::Oversized,      cv4870emu::LinkFault::NoReply,
    cv4870emu::LinkFault::Drop,
};
constexpr unsigned kFaultKinds = sizeof kinds / sizeof kinds[0];

// The lines the emulator executed, each with the reply it truly produced.
class Observed
{
public:
    void add(const std::string &line, const std::string &reply)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({line, reply});
    }
    std::size_t count()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }
    // The true reply to the last line after `from` that carries `command`.
    bool replyTo(std::size_t from, const std::string &command, std::string &reply)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = lines_.size(); i-- > from;) {
            if (lines_[i].first.find(";*CLS;" + command + ";") != std::string::npos) {
                reply = lines_[i].second;
                return true;
            }
        }
        return false;
    }
    void trim()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.size() > 4096)
            lines_.erase(lines_.begin(), lines_.end() - 64);
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;
};

struct Query
{
    const char *command;
    std::function<ViStatus(ViSession, std::vector<double> &)> call;
};

inline const std::vector<Query> &pollQueries()
{
    static const std::vector<Query> queries = {
        {":STAT:LIN?",
         [](ViSession vi, std::vector<double> &out) {
             ViBoolean f[6];
             const ViStatus st = cv4870_getStatus(vi, f, f + 1, f + 2, f + 3, f + 4, f + 5);
             out.assign(f, f + 6);
             return st;
         }},
        {":MEAS:VOLT?",
         [](ViSession vi, std::vector<double> &out) {
             ViReal64 v[7];
             const ViStatus st = cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6);
             out.assign(v, v + 7);
             return st;
         }},
        {":MEAS:CURR?",
         [](ViSession vi, std::vector<double> &out) {
             ViReal64 v[7];
             const ViStatus st = cv4870_getOutputCurrents(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6);
             out.assign(v, v + 7);
             return st;
         }},
        {":OUTP:STAT?",
         [](ViSession vi, std::vector<double> &out) {
             ViBoolean s[7];
             const ViStatus st = cv4870_getOutputStates(vi, s, s + 1, s + 2, s + 3, s + 4, s + 5, s + 6);
             out.assign(s, s + 7);
             return st;
         }},
        {":FAN:SPE?",
         [](ViSession vi, std::vector<double> &out) {
             ViInt32 n[4];
             const ViStatus st = cv4870_getFanSpeed(vi, n, n + 1, n + 2, n + 3);
             out.assign(n, n + 4);
             return st;
         }},
        {":MEAS:TEMP?",
         [](ViSession vi, std::vector<double> &out) {
             ViInt32 t[2];
             const ViStatus st = cv4870_getTemperature(vi, t, t + 1);
             out.assign(t, t + 2);
             return st;
         }},
    };
    return queries;
}

// The values of the response unit of a true reply "<tag>;<response>;<error>",
// or nothing when the reply was not a success.
inline std::vector<double> trueValues(const std::string &reply)
{
    const std::size_t first = reply.find(';'), last = reply.rfind(';');
    if (first == std::string::npos || last == first ||
        reply.compare(last + 1, std::string::npos, "0,\"No error\"") != 0)
        return {};
    std::vector<double> values;
    for (std::size_t pos = first + 1; pos < last;) {
        const std::size_t comma = std::min(reply.find(',', pos), last);
        values.push_back(std::strtod(reply.substr(pos, comma - pos).c_str(), nullptr));
        pos = comma + 1;
    }
    return values;
}

inline ViSession openSession(const std::string &rsrc, ViUInt32 timeoutMs)
{
    ViSession vi = VI_NULL;
    if (cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), VI_TRUE, VI_FALSE, &vi) != VI_SUCCESS)
        return VI_NULL;
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeoutMs);
    return vi;
}

// `exchanges` driver calls; before each, with probability `faultShare`, one
// link fault of a random kind. A late reply is held back 1.5 timeouts.
inline Figures run(long exchanges, double faultShare, ViUInt32 timeoutMs, std::uint32_t seed)
{
    Figures f;
    cv4870emu::Server server;
    server.setLogLevel(cv4870emu::LogLevel::Quiet);
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0, seed);
    mf.model().setManualClock(true);
    Observed observed;
    mf.setLineObserver([&observed](const std::string &line, const std::string &reply) { observed.add(line, reply); });
    if (!server.start())
        return f;
    const std::string rsrc = "TCPIP::127.0.0.1::" + std::to_string(mf.port()) + "::SOCKET";
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const auto t0 = std::chrono::steady_clock::now();
    ViSession vi = openSession(rsrc, timeoutMs);
    for (long i = 0; i < exchanges && vi != VI_NULL; ++i) {
        const Query &q = pollQueries()[static_cast<std::size_t>(i) % pollQueries().size()];
        mf.model().advance(97);
        if (i % 50 == 0)
            mf.model().setNominalFan(cv4870emu::kFanSpeedMin + static_cast<int>(rng() % 2401));
        const cv4870emu::LinkFault *fault = nullptr;
        if (chance(rng) < faultShare) {
            fault = &kinds[rng() % kFaultKinds];
            ++f.faults;
            // A late reply is held back; every other kind strikes once.
            if (*fault == cv4870emu::LinkFault(-1))
                mf.setReplyDelay(static_cast<int>(timeoutMs * 3 / 2));
            else
                mf.injectLinkFault(*fault);
        }
        const std::size_t before = observed.count();
        std::vector<double> values;
        const ViStatus st = q.call(vi, values);
        mf.clearFaults(); // a fault the call did not use up must not strike later
        ++f.exchanges;
        if (st != VI_SUCCESS) {
            ++f.failed;
            if (st == VI_ERROR_CONN_LOST || st == VI_ERROR_IO || (fault && *fault == cv4870emu::LinkFault::Drop)) {
                cv4870_close(vi);
                vi = openSession(rsrc, timeoutMs);
                ++f.reopens;
            }
        } else {
            std::string reply;
            const bool seen = observed.replyTo(before, q.command, reply);
            if (!seen || trueValues(reply) != values) {
                if (f.wrong++ == 0)
                    f.firstWrong = std::string(q.command) + " call " + std::to_string(i) + ", true reply: " + reply;
            }
        }
        observed.trim();
    }
    if (vi != VI_NULL)
        cv4870_close(vi);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return f;
}

} // namespace soak

#endif // CV4870_DRIVER_SOAK_H
