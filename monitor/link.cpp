// The session holder: lazy open, deadline per read, reopen with backoff.
#include <algorithm>
#include <utility>

#include "cv4870.h"
#include "cv4870mon/link.h"
#include "cv4870mon/text.h"

namespace cv4870mon {

namespace {

using Steady = std::chrono::steady_clock;

// What the failing call was doing and why, for the error text.
std::string describe(const char *what, const Failure &failure)
{
    return std::string(what) + ": " + failure.message;
}

// Sets the session timeout to the time left before the deadline, or fails
// with VI_ERROR_TMO when none is left.
ViStatus arm(ViSession vi, Steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0)
        return VI_ERROR_TMO;
    return viSetAttribute(vi, VI_ATTR_TMO_VALUE, static_cast<ViAttrState>(left));
}

} // namespace

Link::Link(std::string resource, LinkOptions options)
    : resource_(std::move(resource))
    , options_(options)
{}

Link::~Link()
{
    close();
}

void Link::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (vi_ != VI_NULL)
        cv4870_close(vi_);
    vi_ = VI_NULL;
    delay_ = std::chrono::milliseconds(0);
}

bool Link::isOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return vi_ != VI_NULL;
}

void Link::failLocked()
{
    if (vi_ != VI_NULL)
        cv4870_close(vi_);
    vi_ = VI_NULL;
    delay_ = delay_.count() == 0 ? options_.backoffFirst : std::min(delay_ * 2, options_.backoffMax);
    retryAt_ = Steady::now() + delay_;
}

ViStatus Link::openLocked(Steady::time_point deadline, std::string *error, Failure *failure)
{
    if (vi_ != VI_NULL)
        return VI_SUCCESS;
    ViSession vi = VI_NULL;
    ViStatus st = cv4870_init(const_cast<ViRsrc>(resource_.c_str()), VI_TRUE, VI_FALSE, &vi);
    if (st < 0) {
        *failure = classifyFailure(st, resource_);
        *error = describe("open", *failure);
        return st;
    }
    Identity id;
    id.resource = resource_;
    ViChar description[CV4870_DESCRIPTION_BUFLEN] = {};
    ViChar driverRev[CV4870_DRIVER_REVISION_BUFLEN] = {};
    ViChar firmware[CV4870_REVISION_BUFLEN] = {};
    const char *what = "identity";
    if ((st = arm(vi, deadline)) >= 0 &&
        (st = cv4870_getSerialNumber(vi, &id.powerSupplySerial, &id.fanTraySerial)) >= 0 &&
        (st = cv4870_getDescription(vi, description)) >= 0 &&
        (st = cv4870_revision_query(vi, driverRev, firmware)) >= 0) {
        id.description = utf8FromLatin1(description);
        id.firmwareRevision = utf8FromLatin1(firmware);
        identity_ = std::move(id);
        vi_ = vi;
        return VI_SUCCESS;
    }
    *failure = classifyFailure(st, resource_);
    *error = describe(what, *failure);
    cv4870_close(vi);
    return st;
}

ReadResult Link::read(std::chrono::milliseconds deadline)
{
    const Steady::time_point end = Steady::now() + deadline;
    std::lock_guard<std::mutex> lock(mutex_);
    ReadResult r;
    if (vi_ == VI_NULL && delay_.count() > 0 && Steady::now() < retryAt_) {
        r.status = VI_ERROR_CONN_LOST;
        r.backoff = true;
        r.error = "waiting to reconnect";
        r.failure = lastFailure_;
        r.retryAt = retryAt_;
        return r;
    }
    Snapshot s;
    s.time = Clock::now();
    if ((r.status = openLocked(end, &r.error, &r.failure)) < 0) {
        lastFailure_ = r.failure;
        failLocked();
        r.retryAt = retryAt_;
        return r;
    }
    s.identity = identity_;
    ViBoolean lines[6] = {}, ok[kOutputCount] = {};
    ViReal64 v[kOutputCount] = {}, a[kOutputCount] = {};
    ViInt32 nominal = 0, fans[kFanCount] = {}, fanTray = 0, ps = 0;
    struct Step
    {
        const char *what;
        std::function<ViStatus()> call;
    };
    const ViSession vi = vi_;
    const Step steps[] = {
        {"status", [&] { return cv4870_getStatus(vi, lines, lines + 1, lines + 2, lines + 3, lines + 4, lines + 5); }},
        {"output voltages", [&] { return cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6); }},
        {"output currents", [&] { return cv4870_getOutputCurrents(vi, a, a + 1, a + 2, a + 3, a + 4, a + 5, a + 6); }},
        {"output states",
         [&] { return cv4870_getOutputStates(vi, ok, ok + 1, ok + 2, ok + 3, ok + 4, ok + 5, ok + 6); }},
        {"fan speed", [&] { return cv4870_getFanSpeed(vi, &nominal, fans, fans + 1, fans + 2); }},
        {"temperature", [&] { return cv4870_getTemperature(vi, &fanTray, &ps); }},
    };
    for (const Step &step : steps) {
        ViStatus st = arm(vi, end);
        if (st >= 0)
            st = step.call();
        if (st < 0) {
            r.status = st;
            r.failure = classifyFailure(st, resource_);
            r.error = describe(step.what, r.failure);
            lastFailure_ = r.failure;
            failLocked();
            r.retryAt = retryAt_;
            return r;
        }
    }
    s.status = {lines[0] != 0, lines[1] != 0, lines[2] != 0, lines[3] != 0, lines[4] != 0, lines[5] != 0};
    for (std::size_t i = 0; i < kOutputCount; ++i)
        s.outputs[i] = {v[i], a[i], ok[i] != 0};
    s.fanNominalRpm = nominal;
    s.fanRpm = {fans[0], fans[1], fans[2]};
    s.fanTrayCelsius = fanTray;
    s.powerSupplyCelsius = ps;
    delay_ = std::chrono::milliseconds(0);
    r.status = VI_SUCCESS;
    r.snapshot = std::move(s);
    return r;
}

ViStatus Link::run(std::chrono::milliseconds deadline, const std::function<ViStatus(ViSession)> &call,
                   std::string *error, Failure *failure)
{
    const Steady::time_point end = Steady::now() + deadline;
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    Failure why;
    ViStatus st = openLocked(end, &text, &why);
    if (st >= 0 && (st = arm(vi_, end)) >= 0 && (st = call(vi_)) < 0) {
        why = classifyFailure(st, resource_);
        text = why.message;
    } else if (st < 0 && !why) {
        why = classifyFailure(st, resource_); // the deadline passed before the call
        text = why.message;
    }
    if (st < 0) {
        lastFailure_ = why;
        failLocked();
        if (error)
            *error = text;
        if (failure)
            *failure = std::move(why);
    }
    return st;
}

} // namespace cv4870mon
