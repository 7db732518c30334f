// The command table and its handlers: IEEE 488.2 common commands, SYSTem,
// the measurements and settings, and the SIMulation subsystem.
#include "commands.h"
#include "scpipattern.h"

#include <algorithm>

namespace cv4870emu {

namespace {

constexpr long kMaxFaultCount = 1000000;
constexpr long kMaxDelayMs = 60000;
constexpr long kMaxAdvanceMs = 24L * 3600 * 1000;

int expectParams(const scpi::Unit &u, std::size_t n)
{
    if (u.params.size() < n)
        return scpi::MissingParameter;
    if (u.params.size() > n)
        return scpi::ParameterNotAllowed;
    return scpi::NoError;
}

std::string joinBools(const std::array<bool, kOutputCount> &values)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        out += values[i] ? '1' : '0';
    }
    return out;
}

std::string joinReals(const std::array<double, kOutputCount> &values, bool forceSign)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        out += scpi::formatFixed(values[i], 3, forceSign);
    }
    return out;
}

std::string roundedInt(double v)
{
    return scpi::formatFixed(v, 0, false);
}

// --- IEEE 488.2 common commands -------------------------------------------

int idnQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += mf.identity.maker + ',' + mf.identity.model + ',' + std::to_string(mf.identity.psSerial) + ',' +
           mf.identity.firmware;
    return 0;
}

int rstCommand(MainframeState &mf, const scpi::Unit &, std::string &)
{
    mf.model.reset();
    return 0;
}

int clsCommand(MainframeState &mf, const scpi::Unit &, std::string &)
{
    mf.errors.clear();
    return 0;
}

int oneQuery(MainframeState &, const scpi::Unit &, std::string &out)
{
    out += '1';
    return 0;
}

int zeroQuery(MainframeState &, const scpi::Unit &, std::string &out)
{
    out += '0';
    return 0;
}

int noOperation(MainframeState &, const scpi::Unit &, std::string &)
{
    return 0;
}

// --- SYSTem ------------------------------------------------------------------

int errorQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    int code = 0;
    if (!mf.errors.empty()) {
        code = mf.errors.front();
        mf.errors.pop_front();
    }
    out += std::to_string(code) + ',' + scpi::quoteString(scpi::errorText(code));
    return 0;
}

int errorCountQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += std::to_string(mf.errors.size());
    return 0;
}

// "<n>" echoed back: n is a decimal 0..4294967295, digits only, so that a
// client can tell its own reply from a late one.
int tagQuery(MainframeState &, const scpi::Unit &u, std::string &out)
{
    const int rc = expectParams(u, 1);
    if (rc)
        return rc;
    const std::string_view n = u.params[0];
    if (n.empty() || n.find_first_not_of("0123456789") != std::string_view::npos)
        return scpi::DataTypeError;
    const std::size_t first = std::min(n.find_first_not_of('0'), n.size() - 1);
    if (n.size() - first > 10 || (n.size() - first == 10 && n.substr(first) > "4294967295"))
        return scpi::DataOutOfRange;
    out.append(n.substr(first));
    return 0;
}

int versionQuery(MainframeState &, const scpi::Unit &, std::string &out)
{
    out += "1999.0";
    return 0;
}

int serialQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += std::to_string(mf.identity.psSerial) + ',' + std::to_string(mf.identity.fanSerial);
    return 0;
}

int firmwareQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += mf.identity.firmware;
    return 0;
}

int descriptionQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += scpi::quoteString(mf.identity.description);
    return 0;
}

// --- Measurements and state ----------------------------------------------------

int linesQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    const ModelState s = mf.model.state();
    const bool lines[] = {s.power, s.inputFail, s.outputFail, s.fanFail, s.sensorFail, s.sysFail};
    for (std::size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        if (i)
            out += ',';
        out += lines[i] ? '1' : '0';
    }
    return 0;
}

int voltageQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += joinReals(mf.model.state().volts, true);
    return 0;
}

int currentQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += joinReals(mf.model.state().amps, false);
    return 0;
}

int outputStateQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += joinBools(mf.model.state().outputOk);
    return 0;
}

int temperatureQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    const ModelState s = mf.model.state();
    out += roundedInt(s.fanTrayTemp) + ',' + roundedInt(s.powerSupplyTemp);
    return 0;
}

int fanSpeedCommand(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long rpm = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kFanSpeedMax, rpm);
    if (rc == 0 && !mf.model.setNominalFan(static_cast<int>(rpm)))
        rc = scpi::DataOutOfRange;
    return rc;
}

int fanSpeedQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    const ModelState s = mf.model.state();
    out += std::to_string(s.nominalFan);
    for (int rpm : s.fans)
        out += ',' + std::to_string(rpm);
    return 0;
}

int powerCommand(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    bool on = false;
    if (rc == 0)
        rc = scpi::parseBoolean(u.params[0], on);
    if (rc == 0)
        mf.model.setPower(on);
    return rc;
}

int powerQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += mf.model.state().power ? '1' : '0';
    return 0;
}

int sysResetCommand(MainframeState &mf, const scpi::Unit &, std::string &)
{
    mf.model.sysReset();
    return 0;
}

// --- SIMulation ---------------------------------------------------------------

// "<index>,<bool>" with index 1..count.
int indexAndBool(const scpi::Unit &u, long count, long &index, bool &on)
{
    int rc = expectParams(u, 2);
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 1, count, index);
    if (rc == 0)
        rc = scpi::parseBoolean(u.params[1], on);
    return rc;
}

int singleBool(const scpi::Unit &u, bool &on)
{
    const int rc = expectParams(u, 1);
    return rc ? rc : scpi::parseBoolean(u.params[0], on);
}

// Optional count: 1 when absent, -1 = until cleared.
int faultCount(const scpi::Unit &u, int &count)
{
    if (u.params.size() > 1)
        return scpi::ParameterNotAllowed;
    long n = 1;
    if (u.params.size() == 1) {
        const int rc = scpi::parseInteger(u.params[0], -1, kMaxFaultCount, n);
        if (rc)
            return rc;
        if (n == 0)
            return scpi::DataOutOfRange;
    }
    count = static_cast<int>(n);
    return 0;
}

int simFanStall(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    long fan = 0;
    bool on = false;
    const int rc = indexAndBool(u, kFanCount, fan, on);
    if (rc == 0)
        mf.model.setFanStall(static_cast<int>(fan - 1), on);
    return rc;
}

int simOutputFail(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    long channel = 0;
    bool on = false;
    const int rc = indexAndBool(u, kOutputCount, channel, on);
    if (rc == 0)
        mf.model.setOutputOutOfLimits(static_cast<int>(channel - 1), on);
    return rc;
}

// "<bool>" switching a physical fault of the model.
template <void (Model::*Set)(bool)>
int simSwitch(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    bool on = false;
    const int rc = singleBool(u, on);
    if (rc == 0)
        (mf.model.*Set)(on);
    return rc;
}

template <LinkFault Kind>
int simLinkFault(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    int count = 0;
    const int rc = faultCount(u, count);
    if (rc == 0)
        mf.strikes(Kind) = count;
    return rc;
}

int simDelay(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long ms = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kMaxDelayMs, ms);
    if (rc == 0)
        mf.delayMs = static_cast<int>(ms);
    return rc;
}

int simClear(MainframeState &mf, const scpi::Unit &, std::string &)
{
    mf.clearLinkFaults();
    mf.model.clearFaults();
    return 0;
}

int simManualClockQuery(MainframeState &mf, const scpi::Unit &, std::string &out)
{
    out += mf.model.manualClock() ? '1' : '0';
    return 0;
}

int simAdvance(MainframeState &mf, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long ms = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kMaxAdvanceMs, ms);
    if (rc == 0)
        mf.model.advance(ms);
    return rc;
}

const Command kCommands[] = {
    {"*IDN?", idnQuery, Local},
    {"*RST", rstCommand, Hardware},
    {"*CLS", clsCommand, Local},
    {"*OPC?", oneQuery, Local},
    {"*OPC", noOperation, Local},
    {"*WAI", noOperation, Local},
    {"*TST?", zeroQuery, Hardware},
    {"SYSTem:ERRor[:NEXT]?", errorQuery, Local},
    {"SYSTem:ERRor:COUNt?", errorCountQuery, Local},
    {"SYSTem:VERSion?", versionQuery, Local},
    {"SYSTem:TAG?", tagQuery, Local | Params},
    {"SYSTem:SERial?", serialQuery, Local},
    {"SYSTem:FIRMware?", firmwareQuery, Local},
    {"SYSTem:DESCription?", descriptionQuery, Local},
    {"STATus:LINes?", linesQuery, Hardware},
    {"MEASure:VOLTage?", voltageQuery, Hardware},
    {"MEASure:CURRent?", currentQuery, Hardware},
    {"MEASure:TEMPerature?", temperatureQuery, Hardware},
    {"OUTPut:STATe?", outputStateQuery, Hardware},
    {"FAN:SPEed", fanSpeedCommand, Hardware | Params},
    {"FAN:SPEed?", fanSpeedQuery, Hardware},
    {"POWer[:STATe]", powerCommand, Hardware | Params},
    {"POWer[:STATe]?", powerQuery, Hardware},
    {"VXI:SYSReset", sysResetCommand, Hardware},
    {"SIMulation:FAN:STALl", simFanStall, Simulation | Params},
    {"SIMulation:OUTPut:FAIL", simOutputFail, Simulation | Params},
    {"SIMulation:INPut:FAIL", simSwitch<&Model::setInputPowerFail>, Simulation | Params},
    {"SIMulation:TEMPerature:OVER", simSwitch<&Model::setOverTemperature>, Simulation | Params},
    {"SIMulation:SYSFail", simSwitch<&Model::setSysFailAsserted>, Simulation | Params},
    {"SIMulation:ERRor", simLinkFault<LinkFault::DeviceError>, Simulation | Params},
    {"SIMulation:DELay", simDelay, Simulation | Params},
    {"SIMulation:NOREPly", simLinkFault<LinkFault::NoReply>, Simulation | Params},
    {"SIMulation:GARBage", simLinkFault<LinkFault::Garbage>, Simulation | Params},
    {"SIMulation:OVERsize", simLinkFault<LinkFault::Oversized>, Simulation | Params},
    {"SIMulation:EXTRa", simLinkFault<LinkFault::ExtraLine>, Simulation | Params},
    {"SIMulation:DUPLicate", simLinkFault<LinkFault::DuplicateReply>, Simulation | Params},
    {"SIMulation:DROP", simLinkFault<LinkFault::Drop>, Simulation | Params},
    {"SIMulation:CLEar", simClear, Simulation},
    {"SIMulation:CLOCk:MANual", simSwitch<&Model::setManualClock>, Simulation | Params},
    {"SIMulation:CLOCk:MANual?", simManualClockQuery, Simulation},
    {"SIMulation:CLOCk:ADVance", simAdvance, Simulation | Params},
};

std::vector<const char *> patterns()
{
    std::vector<const char *> out;
    for (const Command &c : kCommands)
        out.push_back(c.pattern);
    return out;
}

} // namespace

const Command *findCommand(const std::vector<std::string_view> &nodes, bool query)
{
    static const scpi::PatternSet table(patterns());
    const int index = table.find(nodes, query);
    return index < 0 ? nullptr : &kCommands[index];
}

} // namespace cv4870emu
