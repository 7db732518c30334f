#include "fake_driver.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace fakedrv {
namespace {

const ViSession kResourceManager = 1;
const ViFindList kFindList = 2;

struct State
{
    std::vector<Call> calls;
    std::map<std::string, std::deque<ViStatus>> queued;
    std::map<std::string, ViStatus> persistent;
    std::map<std::string, std::function<void()>> hooks;
    Mainframe mainframe;
    std::vector<Resource> resources;
    std::map<ViSession, std::string> sessions; // open driver sessions -> resource
    ViSession nextSession = 1001;
    bool initSessionSet = false;
    ViSession initSession = 0;
    size_t findIndex = 0;
};

std::recursive_mutex &lock()
{
    static std::recursive_mutex m;
    return m;
}

State &state()
{
    static State s;
    return s;
}

std::string str(const char *s)
{
    return s ? std::string("\"") + s + "\"" : std::string("NULL");
}
std::string num(long long v)
{
    return std::to_string(v);
}

// Logs the call, runs its hook and returns the scripted status.
ViStatus enter(const char *fn, std::vector<std::string> args)
{
    std::function<void()> hook;
    ViStatus st = VI_SUCCESS;
    {
        std::lock_guard<std::recursive_mutex> g(lock());
        State &s = state();
        s.calls.push_back(Call{fn, std::move(args)});
        auto q = s.queued.find(fn);
        if (q != s.queued.end() && !q->second.empty()) {
            st = q->second.front();
            q->second.pop_front();
        } else {
            auto p = s.persistent.find(fn);
            if (p != s.persistent.end())
                st = p->second;
        }
        auto h = s.hooks.find(fn);
        if (h != s.hooks.end())
            hook = h->second;
    }
    if (hook)
        hook();
    return st;
}

void copyText(ViChar *dst, size_t size, const std::string &src)
{
    if (!dst || size == 0)
        return;
    size_t n = std::min(size - 1, src.size());
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

const Resource *resourceOfSession(ViSession vi)
{
    State &s = state();
    auto it = s.sessions.find(vi);
    if (it == s.sessions.end())
        return nullptr;
    for (const Resource &r : s.resources)
        if (r.name == it->second)
            return &r;
    return nullptr;
}

} // namespace

std::string Call::text() const
{
    std::string t = fn + "(";
    for (size_t i = 0; i < args.size(); ++i)
        t += (i ? ", " : "") + args[i];
    return t + ")";
}

void reset()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state() = State();
}

const std::vector<Call> &calls()
{
    return state().calls;
}

std::vector<std::string> callNames()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    std::vector<std::string> v;
    for (const Call &c : state().calls)
        v.push_back(c.fn);
    return v;
}

std::vector<std::string> callTexts()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    std::vector<std::string> v;
    for (const Call &c : state().calls)
        v.push_back(c.text());
    return v;
}

int count(const std::string &fn)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    int n = 0;
    for (const Call &c : state().calls)
        n += c.fn == fn;
    return n;
}

void clearCalls()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().calls.clear();
}

void pushStatus(const std::string &fn, ViStatus st)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().queued[fn].push_back(st);
}

void setStatus(const std::string &fn, ViStatus st)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().persistent[fn] = st;
}

void setHook(const std::string &fn, std::function<void()> hook)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().hooks[fn] = std::move(hook);
}

Mainframe &mainframe()
{
    return state().mainframe;
}
void setErrorText(const std::string &text)
{
    state().mainframe.errorText = text;
}
std::vector<Resource> &resources()
{
    return state().resources;
}

void setInitSession(ViSession value)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().initSessionSet = true;
    state().initSession = value;
}

void clearInitSession()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    state().initSessionSet = false;
}

std::vector<ViSession> openSessions()
{
    std::lock_guard<std::recursive_mutex> g(lock());
    std::vector<ViSession> v;
    for (const auto &s : state().sessions)
        v.push_back(s.first);
    return v;
}

std::string resourceOf(ViSession vi)
{
    std::lock_guard<std::recursive_mutex> g(lock());
    auto it = state().sessions.find(vi);
    return it == state().sessions.end() ? std::string() : it->second;
}

} // namespace fakedrv

using namespace fakedrv;

// A getter: logs the call and, unless it fails, writes the mainframe's
// values (read after the call's hook ran) through the output pointers.
template <typename T, typename Values>
static ViStatus readValues(const char *fn, ViSession vi, Values values, std::initializer_list<T *> outputs)
{
    const ViStatus st = enter(fn, {num(vi)});
    if (st >= 0) {
        const std::vector<T> v = values(mainframe());
        size_t i = 0;
        for (T *out : outputs)
            *out = v.at(i++);
    }
    return st;
}

extern "C" {

// ---- driver ---------------------------------------------------------------

ViStatus cv4870_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean resetDevice, ViPSession vi)
{
    ViStatus st = enter("cv4870_init", {str(resourceName), num(idQuery), num(resetDevice)});
    std::lock_guard<std::recursive_mutex> g(lock());
    State &s = state();
    // A status scripted for the function wins; otherwise the resource's own.
    bool scripted = s.persistent.count("cv4870_init") != 0;
    if (!scripted && st == VI_SUCCESS && resourceName) {
        for (const Resource &r : s.resources)
            if (r.name == resourceName)
                st = r.initStatus;
    }
    if (!vi)
        return VI_ERROR_PARAMETER4;
    if (st < 0) {
        *vi = VI_NULL;
        return st;
    }
    ViSession h = s.nextSession++;
    s.sessions[h] = resourceName ? resourceName : "";
    *vi = s.initSessionSet ? s.initSession : h;
    return st;
}

ViStatus cv4870_close(ViSession vi)
{
    ViStatus st = enter("cv4870_close", {num(vi)});
    std::lock_guard<std::recursive_mutex> g(lock());
    state().sessions.erase(vi);
    return st;
}

ViStatus cv4870_error_message(ViSession vi, ViStatus status, ViChar message[])
{
    ViStatus st = enter("cv4870_error_message", {num(vi), num(status)});
    std::lock_guard<std::recursive_mutex> g(lock());
    std::string text = state().mainframe.errorText;
    if (text.empty())
        text = "Fake error " + std::to_string(status);
    copyText(message, CV4870_ERROR_MESSAGE_BUFLEN, text);
    return st;
}

ViStatus cv4870_revision_query(ViSession vi, ViChar driverRev[], ViChar firmwareRev[])
{
    ViStatus st =
        enter("cv4870_revision_query", {num(vi), driverRev ? "drvRev" : "NULL", firmwareRev ? "fwRev" : "NULL"});
    if (st < 0)
        return st;
    std::lock_guard<std::recursive_mutex> g(lock());
    const Mainframe &m = state().mainframe;
    copyText(driverRev, vi == VI_NULL ? CV4870_DRIVER_REVISION_BUFLEN : CV4870_REVISION_BUFLEN, m.driverRev);
    if (vi != VI_NULL)
        copyText(firmwareRev, CV4870_REVISION_BUFLEN, m.firmware);
    return st;
}

ViStatus cv4870_getSerialNumber(ViSession vi, ViPInt32 psSerial, ViPInt32 fanSerial)
{
    return readValues<ViInt32>("cv4870_getSerialNumber", vi,
                               [](const Mainframe &m) {
                                   return std::vector<ViInt32>{m.psSerial, m.fanSerial};
                               },
                               {psSerial, fanSerial});
}

ViStatus cv4870_getDescription(ViSession vi, ViChar description[])
{
    ViStatus st = enter("cv4870_getDescription", {num(vi)});
    std::lock_guard<std::recursive_mutex> g(lock());
    const Resource *r = resourceOfSession(vi);
    if (st >= 0 && r)
        copyText(description, CV4870_DESCRIPTION_BUFLEN, r->description);
    return st;
}

ViStatus cv4870_getStatus(ViSession vi, ViPBoolean powerOn, ViPBoolean inputFail, ViPBoolean outputFail,
                          ViPBoolean fanFail, ViPBoolean sensorFail, ViPBoolean sysFail)
{
    return readValues<ViBoolean>("cv4870_getStatus", vi,
                                 [](const Mainframe &m) {
                                     return std::vector<ViBoolean>{m.pon,     m.inFail,    m.outFail,
                                                                   m.fanFail, m.senseFail, m.sysFail};
                                 },
                                 {powerOn, inputFail, outputFail, fanFail, sensorFail, sysFail});
}

ViStatus cv4870_getOutputVoltages(ViSession vi, ViPReal64 a, ViPReal64 b, ViPReal64 c, ViPReal64 d, ViPReal64 e,
                                  ViPReal64 f, ViPReal64 g)
{
    return readValues<ViReal64>("cv4870_getOutputVoltages", vi,
                                [](const Mainframe &m) { return std::vector<ViReal64>(m.volt, m.volt + 7); },
                                {a, b, c, d, e, f, g});
}

ViStatus cv4870_getOutputCurrents(ViSession vi, ViPReal64 a, ViPReal64 b, ViPReal64 c, ViPReal64 d, ViPReal64 e,
                                  ViPReal64 f, ViPReal64 g)
{
    return readValues<ViReal64>("cv4870_getOutputCurrents", vi,
                                [](const Mainframe &m) { return std::vector<ViReal64>(m.amp, m.amp + 7); },
                                {a, b, c, d, e, f, g});
}

ViStatus cv4870_getOutputStates(ViSession vi, ViPBoolean a, ViPBoolean b, ViPBoolean c, ViPBoolean d, ViPBoolean e,
                                ViPBoolean f, ViPBoolean g)
{
    return readValues<ViBoolean>("cv4870_getOutputStates", vi,
                                 [](const Mainframe &m) { return std::vector<ViBoolean>(m.outState, m.outState + 7); },
                                 {a, b, c, d, e, f, g});
}

ViStatus cv4870_getFanSpeed(ViSession vi, ViPInt32 nominal, ViPInt32 fan1, ViPInt32 fan2, ViPInt32 fan3)
{
    return readValues<ViInt32>("cv4870_getFanSpeed", vi,
                               [](const Mainframe &m) {
                                   return std::vector<ViInt32>{m.fanNom, m.fan[0], m.fan[1], m.fan[2]};
                               },
                               {nominal, fan1, fan2, fan3});
}

ViStatus cv4870_getTemperature(ViSession vi, ViPInt32 fanTray, ViPInt32 powerSupply)
{
    return readValues<ViInt32>("cv4870_getTemperature", vi,
                               [](const Mainframe &m) {
                                   return std::vector<ViInt32>{m.fanTemp, m.psTemp};
                               },
                               {fanTray, powerSupply});
}

ViStatus cv4870_setFanSpeed(ViSession vi, ViInt32 nominal)
{
    return enter("cv4870_setFanSpeed", {num(vi), num(nominal)});
}

ViStatus cv4870_setMainPowerState(ViSession vi, ViBoolean on)
{
    return enter("cv4870_setMainPowerState", {num(vi), num(on)});
}

ViStatus cv4870_setVXIsysReset(ViSession vi)
{
    return enter("cv4870_setVXIsysReset", {num(vi)});
}

ViStatus cv4870_reset(ViSession vi)
{
    return enter("cv4870_reset", {num(vi)});
}

// ---- VISA -----------------------------------------------------------------

ViStatus viOpenDefaultRM(ViPSession vi)
{
    ViStatus st = enter("viOpenDefaultRM", {});
    if (vi)
        *vi = st < 0 ? VI_NULL : kResourceManager;
    return st;
}

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[])
{
    ViStatus st = enter("viFindRsrc", {num(sesn), str(expr)});
    std::lock_guard<std::recursive_mutex> g(lock());
    State &s = state();
    if (st == VI_SUCCESS && s.resources.empty())
        st = VI_ERROR_RSRC_NFOUND;
    if (st < 0)
        return st;
    s.findIndex = 1;
    *vi = kFindList;
    *retCnt = static_cast<ViUInt32>(s.resources.size());
    copyText(desc, VI_FIND_BUFLEN, s.resources[0].name);
    return st;
}

ViStatus viFindNext(ViFindList vi, ViChar desc[])
{
    ViStatus st = enter("viFindNext", {num(vi)});
    std::lock_guard<std::recursive_mutex> g(lock());
    State &s = state();
    if (st < 0)
        return st;
    if (s.findIndex >= s.resources.size())
        return VI_ERROR_RSRC_NFOUND;
    copyText(desc, VI_FIND_BUFLEN, s.resources[s.findIndex++].name);
    return st;
}

ViStatus viClose(ViObject vi)
{
    return enter("viClose", {num(vi)});
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue)
{
    const char *name = attrName == VI_ATTR_TCPIP_ADDR       ? "VI_ATTR_TCPIP_ADDR"
                       : attrName == VI_ATTR_TCPIP_HOSTNAME ? "VI_ATTR_TCPIP_HOSTNAME"
                                                            : "other";
    ViStatus st = enter("viGetAttribute", {num(vi), name});
    if (st < 0)
        return st;
    std::lock_guard<std::recursive_mutex> g(lock());
    // The real attribute is at most 256 bytes; the double writes exactly the
    // text and its NUL, so a caller's buffer that is too small shows up
    // under the address sanitizer.
    std::string text;
    if (attrName == VI_ATTR_TCPIP_ADDR) {
        const Resource *r = resourceOfSession(vi);
        text = r ? r->address : std::string();
    } else if (attrName == VI_ATTR_TCPIP_HOSTNAME) {
        text = state().mainframe.hostname;
    } else {
        return VI_ERROR_NSUP_ATTR;
    }
    text.resize(std::min<size_t>(text.size(), 255));
    std::memcpy(attrValue, text.c_str(), text.size() + 1);
    return st;
}

ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[])
{
    ViStatus st = enter("viStatusDesc", {num(vi), num(status)});
    copyText(desc, 256, "Fake status " + std::to_string(status));
    return st;
}

} // extern "C"
