// The driver and VISA calls of the GUI run on its main thread only, so the
// double keeps its state without locking.
#include "fake_driver.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

namespace fakedrv {
namespace {

const ViSession kResourceManager = 1;
const ViFindList kFindList = 2;

struct State
{
    std::vector<std::pair<std::string, std::string>> calls; // name, arguments
    std::map<std::string, std::deque<ViStatus>> queued;
    std::map<std::string, ViStatus> persistent;
    std::map<std::string, std::function<void()>> hooks;
    Mainframe mainframe;
    std::vector<Resource> resources;
    std::map<ViSession, std::string> sessions; // open driver sessions -> resource
    ViSession nextSession = 1001;
    size_t findIndex = 0;
} s;

std::string str(const char *t)
{
    return t ? std::string("\"") + t + "\"" : std::string("NULL");
}

// Logs the call, runs its hook and returns the scripted status.
ViStatus enter(const char *fn, std::initializer_list<std::string> args)
{
    std::string text;
    for (const std::string &a : args)
        text += (text.empty() ? "" : ", ") + a;
    s.calls.emplace_back(fn, text);
    ViStatus st = s.persistent.count(fn) ? s.persistent[fn] : VI_SUCCESS;
    std::deque<ViStatus> &q = s.queued[fn];
    if (!q.empty()) {
        st = q.front();
        q.pop_front();
    }
    if (const std::function<void()> hook = s.hooks[fn])
        hook();
    return st;
}

void copyText(ViChar *dst, size_t size, const std::string &src)
{
    const size_t n = std::min(size - 1, src.size());
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

const Resource *resourceOfSession(ViSession vi)
{
    for (const Resource &r : s.resources)
        if (s.sessions.count(vi) && r.name == s.sessions[vi])
            return &r;
    return nullptr;
}

// A getter: logs the call and, unless it fails, writes the values through
// the output pointers.
template <typename T>
ViStatus get(const char *fn, ViSession vi, std::vector<T> values, std::vector<T *> out)
{
    const ViStatus st = enter(fn, {std::to_string(vi)});
    for (size_t i = 0; st >= 0 && i < out.size(); ++i)
        *out[i] = values[i];
    return st;
}

} // namespace

void reset()
{
    s = State();
}

std::vector<std::string> calls(bool withArgs)
{
    std::vector<std::string> v;
    for (const auto &c : s.calls)
        v.push_back(withArgs ? c.first + "(" + c.second + ")" : c.first);
    return v;
}

void clearCalls()
{
    s.calls.clear();
}

void pushStatus(const std::string &fn, ViStatus st)
{
    s.queued[fn].push_back(st);
}

void setStatus(const std::string &fn, ViStatus st)
{
    s.persistent[fn] = st;
}

void setHook(const std::string &fn, std::function<void()> hook)
{
    s.hooks[fn] = std::move(hook);
}

Mainframe &mainframe()
{
    return s.mainframe;
}

std::vector<Resource> &resources()
{
    return s.resources;
}

std::vector<ViSession> openSessions()
{
    std::vector<ViSession> v;
    for (const auto &session : s.sessions)
        v.push_back(session.first);
    return v;
}

std::string resourceOf(ViSession vi)
{
    return s.sessions.count(vi) ? s.sessions[vi] : std::string();
}

} // namespace fakedrv

using namespace fakedrv;

extern "C" {

// ---- driver ---------------------------------------------------------------

ViStatus cv4870_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean resetDevice, ViPSession vi)
{
    ViStatus st = enter("cv4870_init", {str(resourceName), std::to_string(idQuery), std::to_string(resetDevice)});
    // A status scripted for the function wins; otherwise the resource's own.
    for (const Resource &r : s.resources)
        if (!s.persistent.count("cv4870_init") && st == VI_SUCCESS && resourceName && r.name == resourceName)
            st = r.initStatus;
    *vi = VI_NULL;
    if (st < 0)
        return st;
    s.sessions[s.nextSession] = resourceName ? resourceName : "";
    *vi = s.mainframe.nullInits-- > 0 ? VI_NULL : s.nextSession;
    ++s.nextSession;
    return st;
}

ViStatus cv4870_close(ViSession vi)
{
    s.sessions.erase(vi);
    return enter("cv4870_close", {std::to_string(vi)});
}

ViStatus cv4870_error_message(ViSession vi, ViStatus status, ViChar message[])
{
    const ViStatus st = enter("cv4870_error_message", {std::to_string(vi), std::to_string(status)});
    const std::string &text = s.mainframe.errorText;
    copyText(message, CV4870_ERROR_MESSAGE_BUFLEN, text.empty() ? "Fake error " + std::to_string(status) : text);
    return st;
}

ViStatus cv4870_revision_query(ViSession vi, ViChar driverRev[], ViChar firmwareRev[])
{
    const ViStatus st = enter("cv4870_revision_query",
                              {std::to_string(vi), driverRev ? "drvRev" : "NULL", firmwareRev ? "fwRev" : "NULL"});
    if (st < 0)
        return st;
    copyText(driverRev, vi == VI_NULL ? CV4870_DRIVER_REVISION_BUFLEN : CV4870_REVISION_BUFLEN, s.mainframe.driverRev);
    if (vi != VI_NULL)
        copyText(firmwareRev, CV4870_REVISION_BUFLEN, s.mainframe.firmware);
    return st;
}

ViStatus cv4870_getDescription(ViSession vi, ViChar description[])
{
    const ViStatus st = enter("cv4870_getDescription", {std::to_string(vi)});
    if (st >= 0 && resourceOfSession(vi))
        copyText(description, CV4870_DESCRIPTION_BUFLEN, resourceOfSession(vi)->description);
    return st;
}

ViStatus cv4870_getSerialNumber(ViSession vi, ViPInt32 psSerial, ViPInt32 fanSerial)
{
    const Mainframe &m = s.mainframe;
    return get<ViInt32>("cv4870_getSerialNumber", vi, {m.psSerial, m.fanSerial}, {psSerial, fanSerial});
}

ViStatus cv4870_getStatus(ViSession vi, ViPBoolean powerOn, ViPBoolean inputFail, ViPBoolean outputFail,
                          ViPBoolean fanFail, ViPBoolean sensorFail, ViPBoolean sysFail)
{
    const Mainframe &m = s.mainframe;
    return get<ViBoolean>("cv4870_getStatus", vi, {m.pon, m.inFail, m.outFail, m.fanFail, m.senseFail, m.sysFail},
                          {powerOn, inputFail, outputFail, fanFail, sensorFail, sysFail});
}

ViStatus cv4870_getOutputVoltages(ViSession vi, ViPReal64 a, ViPReal64 b, ViPReal64 c, ViPReal64 d, ViPReal64 e,
                                  ViPReal64 f, ViPReal64 g)
{
    const ViReal64 *v = s.mainframe.volt;
    return get<ViReal64>("cv4870_getOutputVoltages", vi, {v, v + 7}, {a, b, c, d, e, f, g});
}

ViStatus cv4870_getOutputCurrents(ViSession vi, ViPReal64 a, ViPReal64 b, ViPReal64 c, ViPReal64 d, ViPReal64 e,
                                  ViPReal64 f, ViPReal64 g)
{
    const ViReal64 *v = s.mainframe.amp;
    return get<ViReal64>("cv4870_getOutputCurrents", vi, {v, v + 7}, {a, b, c, d, e, f, g});
}

ViStatus cv4870_getOutputStates(ViSession vi, ViPBoolean a, ViPBoolean b, ViPBoolean c, ViPBoolean d, ViPBoolean e,
                                ViPBoolean f, ViPBoolean g)
{
    const ViBoolean *v = s.mainframe.outState;
    return get<ViBoolean>("cv4870_getOutputStates", vi, {v, v + 7}, {a, b, c, d, e, f, g});
}

ViStatus cv4870_getFanSpeed(ViSession vi, ViPInt32 nominal, ViPInt32 fan1, ViPInt32 fan2, ViPInt32 fan3)
{
    const Mainframe &m = s.mainframe;
    return get<ViInt32>("cv4870_getFanSpeed", vi, {m.fanNom, m.fan[0], m.fan[1], m.fan[2]},
                        {nominal, fan1, fan2, fan3});
}

ViStatus cv4870_getTemperature(ViSession vi, ViPInt32 fanTray, ViPInt32 powerSupply)
{
    const Mainframe &m = s.mainframe;
    return get<ViInt32>("cv4870_getTemperature", vi, {m.fanTemp, m.psTemp}, {fanTray, powerSupply});
}

ViStatus cv4870_setFanSpeed(ViSession vi, ViInt32 nominal)
{
    return enter("cv4870_setFanSpeed", {std::to_string(vi), std::to_string(nominal)});
}

ViStatus cv4870_setMainPowerState(ViSession vi, ViBoolean on)
{
    return enter("cv4870_setMainPowerState", {std::to_string(vi), std::to_string(on)});
}

ViStatus cv4870_setVXIsysReset(ViSession vi)
{
    return enter("cv4870_setVXIsysReset", {std::to_string(vi)});
}

ViStatus cv4870_reset(ViSession vi)
{
    return enter("cv4870_reset", {std::to_string(vi)});
}

// ---- VISA -----------------------------------------------------------------

ViStatus viOpenDefaultRM(ViPSession vi)
{
    const ViStatus st = enter("viOpenDefaultRM", {});
    *vi = st < 0 ? VI_NULL : kResourceManager;
    return st;
}

ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[])
{
    ViStatus st = enter("viFindRsrc", {std::to_string(sesn), str(expr)});
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
    const ViStatus st = enter("viFindNext", {std::to_string(vi)});
    if (st < 0 || s.findIndex >= s.resources.size())
        return st < 0 ? st : VI_ERROR_RSRC_NFOUND;
    copyText(desc, VI_FIND_BUFLEN, s.resources[s.findIndex++].name);
    return st;
}

ViStatus viClose(ViObject vi)
{
    return enter("viClose", {std::to_string(vi)});
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue)
{
    const bool addr = attrName == VI_ATTR_TCPIP_ADDR, host = attrName == VI_ATTR_TCPIP_HOSTNAME;
    const ViStatus st = enter("viGetAttribute", {std::to_string(vi), addr   ? "VI_ATTR_TCPIP_ADDR"
                                                                     : host ? "VI_ATTR_TCPIP_HOSTNAME"
                                                                            : "other"});
    if (st < 0 || !(addr || host))
        return st < 0 ? st : VI_ERROR_NSUP_ATTR;
    // The real attribute is at most 256 bytes; the double writes exactly the
    // text and its NUL, so a caller's buffer that is too small shows up
    // under the address sanitizer.
    const Resource *r = resourceOfSession(vi);
    std::string text = host ? s.mainframe.hostname : r ? r->address : std::string();
    text.resize(std::min<size_t>(text.size(), 255));
    std::memcpy(attrValue, text.c_str(), text.size() + 1);
    return st;
}

} // extern "C"
