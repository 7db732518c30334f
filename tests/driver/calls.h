// Every driver function that talks to the mainframe, called with valid
// arguments, for the tests that run each call the same way.
#ifndef CV4870_TEST_CALLS_H
#define CV4870_TEST_CALLS_H

#include <string>

#include "cv4870.h"

struct Call
{
    const char *name;
    bool hardware; // affected by the emulator's device error
    ViStatus (*run)(ViSession);
};

// clang-format off
inline const Call kCalls[] = {
    {"revision_query", false, [](ViSession vi) { ViChar d[CV4870_REVISION_BUFLEN], f[CV4870_REVISION_BUFLEN]; return cv4870_revision_query(vi, d, f); }},
    {"getSerialNumber", false, [](ViSession vi) { ViInt32 a, b; return cv4870_getSerialNumber(vi, &a, &b); }},
    {"getDescription", false, [](ViSession vi) { ViChar d[CV4870_DESCRIPTION_BUFLEN]; return cv4870_getDescription(vi, d); }},
    {"getStatus", true, [](ViSession vi) { ViBoolean f[6]; return cv4870_getStatus(vi, f, f + 1, f + 2, f + 3, f + 4, f + 5); }},
    {"getOutputVoltages", true, [](ViSession vi) { ViReal64 v[7]; return cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6); }},
    {"getOutputCurrents", true, [](ViSession vi) { ViReal64 v[7]; return cv4870_getOutputCurrents(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6); }},
    {"getOutputStates", true, [](ViSession vi) { ViBoolean s[7]; return cv4870_getOutputStates(vi, s, s + 1, s + 2, s + 3, s + 4, s + 5, s + 6); }},
    {"getFanSpeed", true, [](ViSession vi) { ViInt32 n, a, b, c; return cv4870_getFanSpeed(vi, &n, &a, &b, &c); }},
    {"getTemperature", true, [](ViSession vi) { ViInt32 a, b; return cv4870_getTemperature(vi, &a, &b); }},
    {"setFanSpeed", true, [](ViSession vi) { return cv4870_setFanSpeed(vi, 2400); }},
    {"setMainPowerState", true, [](ViSession vi) { return cv4870_setMainPowerState(vi, VI_TRUE); }},
    {"setVXIsysReset", true, [](ViSession vi) { return cv4870_setVXIsysReset(vi); }},
    {"reset", true, [](ViSession vi) { return cv4870_reset(vi); }},
};
// clang-format on

inline ViStatus runCall(const std::string &name, ViSession vi)
{
    for (const Call &c : kCalls)
        if (name == c.name)
            return c.run(vi);
    return VI_ERROR_NSUP_OPER;
}

#endif // CV4870_TEST_CALLS_H
