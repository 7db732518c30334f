// Command layer of one emulated mainframe: the command table, the error
// queue, the identity and the link faults.
#include "cv4870emu.h"
#include "scpi.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace cv4870emu {

namespace {

constexpr std::size_t kErrorQueueDepth = 16;
constexpr long kMaxFaultCount = 1000000;
constexpr long kMaxDelayMs = 60000;
constexpr long kMaxAdvanceMs = 24L * 3600 * 1000;

struct Context;
// Returns an error code (0 = done); a query appends its response.
using Handler = int (*)(Context &, const scpi::Unit &, std::string &);

enum Kind : unsigned {
    Local = 0, // answered by the controller itself
    Hardware = 1, // reaches the hardware: subject to the device-error fault
    Simulation = 2, // only with the simulation commands enabled
    Params = 4, // takes parameters (checked by its handler)
};

struct Command
{
    const char *pattern; // SCPI notation: upper case = short form, [..] optional node, ? query
    Handler handler;
    unsigned kind;
};

// One spelling of a pattern with its optional nodes chosen.
struct Keyword
{
    std::string shortForm;
    std::string longForm;
};
struct Variant
{
    std::vector<Keyword> nodes;
    bool query;
    const Command *command;
};

} // namespace

// State of one mainframe, guarded by its mutex.
struct MainframeData
{
    mutable std::mutex mutex;
    Model model;
    std::int32_t psSerial = 48700001;
    std::int32_t fanSerial = 48710001;
    std::string firmware = "A.03.11";
    std::string description = "4870 VXI Mainframe";
    std::string maker = "Corvane Ltd.";
    std::string modelName = "4870";
    bool simulation = false;
    std::string address;
    std::uint16_t port = 0;

    std::deque<int> errors;

    int deviceErrors = 0;
    int delayMs = 0;
    int noReplies = 0;
    int garbageReplies = 0;
    int oversizedReplies = 0;
    int extraLines = 0;
    int duplicateReplies = 0;
    int drops = 0;
    std::uint32_t garbageSeed = 0x4870u;
    Mainframe::LineObserver observer;

    explicit MainframeData(std::uint32_t seed)
        : model(seed)
    {}

    // Runs f under the lock and returns its result.
    template <class F>
    auto locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

    void pushError(int code)
    {
        if (errors.size() < kErrorQueueDepth)
            errors.push_back(code);
        else
            errors.back() = scpi::QueueOverflow;
    }

    std::string garbage()
    {
        // Bytes a confused line driver might deliver: control characters,
        // high bytes, separators and quotes, but never an LF.
        std::string out = "\x01\xff?#";
        for (int i = 0; i < 40; ++i) {
            garbageSeed = garbageSeed * 1103515245u + 12345u;
            char c = static_cast<char>((garbageSeed >> 16) & 0xff);
            if (c == '\n')
                c = '"';
            out += c;
        }
        out += '\n';
        return out;
    }
};

struct Mainframe::Impl : MainframeData
{
    using MainframeData::MainframeData;
};

namespace {

struct Context
{
    MainframeData &mf;
};

bool takeOne(int &count)
{
    if (count == 0)
        return false;
    if (count > 0)
        --count;
    return true;
}

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

int idnQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += c.mf.maker + ',' + c.mf.modelName + ',' + std::to_string(c.mf.psSerial) + ',' + c.mf.firmware;
    return 0;
}

int rstCommand(Context &c, const scpi::Unit &, std::string &)
{
    c.mf.model.reset();
    return 0;
}

int clsCommand(Context &c, const scpi::Unit &, std::string &)
{
    c.mf.errors.clear();
    return 0;
}

int oneQuery(Context &, const scpi::Unit &, std::string &out)
{
    out += '1';
    return 0;
}

int zeroQuery(Context &, const scpi::Unit &, std::string &out)
{
    out += '0';
    return 0;
}

int noOperation(Context &, const scpi::Unit &, std::string &)
{
    return 0;
}

// --- SYSTem ------------------------------------------------------------------

int errorQuery(Context &c, const scpi::Unit &, std::string &out)
{
    int code = 0;
    if (!c.mf.errors.empty()) {
        code = c.mf.errors.front();
        c.mf.errors.pop_front();
    }
    out += std::to_string(code) + ',' + scpi::quoteString(scpi::errorText(code));
    return 0;
}

int errorCountQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += std::to_string(c.mf.errors.size());
    return 0;
}

// "<n>" echoed back: n is a decimal 0..4294967295, digits only, so that a
// client can tell its own reply from a late one.
int tagQuery(Context &, const scpi::Unit &u, std::string &out)
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

int versionQuery(Context &, const scpi::Unit &, std::string &out)
{
    out += "1999.0";
    return 0;
}

int serialQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += std::to_string(c.mf.psSerial) + ',' + std::to_string(c.mf.fanSerial);
    return 0;
}

int firmwareQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += c.mf.firmware;
    return 0;
}

int descriptionQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += scpi::quoteString(c.mf.description);
    return 0;
}

// --- Measurements and state ----------------------------------------------------

int linesQuery(Context &c, const scpi::Unit &, std::string &out)
{
    const ModelState s = c.mf.model.state();
    const bool lines[] = {s.power, s.inputFail, s.outputFail, s.fanFail, s.sensorFail, s.sysFail};
    for (std::size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        if (i)
            out += ',';
        out += lines[i] ? '1' : '0';
    }
    return 0;
}

int voltageQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += joinReals(c.mf.model.state().volts, true);
    return 0;
}

int currentQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += joinReals(c.mf.model.state().amps, false);
    return 0;
}

int outputStateQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += joinBools(c.mf.model.state().outputOk);
    return 0;
}

int temperatureQuery(Context &c, const scpi::Unit &, std::string &out)
{
    const ModelState s = c.mf.model.state();
    out += roundedInt(s.fanTrayTemp) + ',' + roundedInt(s.powerSupplyTemp);
    return 0;
}

int fanSpeedCommand(Context &c, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long rpm = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kFanSpeedMax, rpm);
    if (rc == 0 && !c.mf.model.setNominalFan(static_cast<int>(rpm)))
        rc = scpi::DataOutOfRange;
    return rc;
}

int fanSpeedQuery(Context &c, const scpi::Unit &, std::string &out)
{
    const ModelState s = c.mf.model.state();
    out += std::to_string(s.nominalFan);
    for (int rpm : s.fans)
        out += ',' + std::to_string(rpm);
    return 0;
}

int powerCommand(Context &c, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    bool on = false;
    if (rc == 0)
        rc = scpi::parseBoolean(u.params[0], on);
    if (rc == 0)
        c.mf.model.setPower(on);
    return rc;
}

int powerQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += c.mf.model.state().power ? '1' : '0';
    return 0;
}

int sysResetCommand(Context &c, const scpi::Unit &, std::string &)
{
    c.mf.model.sysReset();
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

int simFanStall(Context &c, const scpi::Unit &u, std::string &)
{
    long fan = 0;
    bool on = false;
    const int rc = indexAndBool(u, kFanCount, fan, on);
    if (rc == 0)
        c.mf.model.setFanStall(static_cast<int>(fan - 1), on);
    return rc;
}

int simOutputFail(Context &c, const scpi::Unit &u, std::string &)
{
    long channel = 0;
    bool on = false;
    const int rc = indexAndBool(u, kOutputCount, channel, on);
    if (rc == 0)
        c.mf.model.setOutputOutOfLimits(static_cast<int>(channel - 1), on);
    return rc;
}

// "<bool>" switching a physical fault of the model.
template <void (Model::*Set)(bool)>
int simSwitch(Context &c, const scpi::Unit &u, std::string &)
{
    bool on = false;
    const int rc = singleBool(u, on);
    if (rc == 0)
        (c.mf.model.*Set)(on);
    return rc;
}

template <int MainframeData::*Counter>
int simLinkFault(Context &c, const scpi::Unit &u, std::string &)
{
    int count = 0;
    const int rc = faultCount(u, count);
    if (rc == 0)
        c.mf.*Counter = count;
    return rc;
}

int simDelay(Context &c, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long ms = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kMaxDelayMs, ms);
    if (rc == 0)
        c.mf.delayMs = static_cast<int>(ms);
    return rc;
}

void clearLinkFaults(MainframeData &mf)
{
    mf.deviceErrors = 0;
    mf.delayMs = 0;
    mf.noReplies = 0;
    mf.garbageReplies = 0;
    mf.oversizedReplies = 0;
    mf.extraLines = 0;
    mf.duplicateReplies = 0;
    mf.drops = 0;
}

int simClear(Context &c, const scpi::Unit &, std::string &)
{
    clearLinkFaults(c.mf);
    c.mf.model.clearFaults();
    return 0;
}

int simManualClockQuery(Context &c, const scpi::Unit &, std::string &out)
{
    out += c.mf.model.manualClock() ? '1' : '0';
    return 0;
}

int simAdvance(Context &c, const scpi::Unit &u, std::string &)
{
    int rc = expectParams(u, 1);
    long ms = 0;
    if (rc == 0)
        rc = scpi::parseInteger(u.params[0], 0, kMaxAdvanceMs, ms);
    if (rc == 0)
        c.mf.model.advance(ms);
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
    {"SIMulation:ERRor", simLinkFault<&MainframeData::deviceErrors>, Simulation | Params},
    {"SIMulation:DELay", simDelay, Simulation | Params},
    {"SIMulation:NOREPly", simLinkFault<&MainframeData::noReplies>, Simulation | Params},
    {"SIMulation:GARBage", simLinkFault<&MainframeData::garbageReplies>, Simulation | Params},
    {"SIMulation:OVERsize", simLinkFault<&MainframeData::oversizedReplies>, Simulation | Params},
    {"SIMulation:EXTRa", simLinkFault<&MainframeData::extraLines>, Simulation | Params},
    {"SIMulation:DUPLicate", simLinkFault<&MainframeData::duplicateReplies>, Simulation | Params},
    {"SIMulation:DROP", simLinkFault<&MainframeData::drops>, Simulation | Params},
    {"SIMulation:CLEar", simClear, Simulation},
    {"SIMulation:CLOCk:MANual", simSwitch<&Model::setManualClock>, Simulation | Params},
    {"SIMulation:CLOCk:MANual?", simManualClockQuery, Simulation},
    {"SIMulation:CLOCk:ADVance", simAdvance, Simulation | Params},
};

Keyword keyword(const std::string &mnemonic)
{
    Keyword k;
    for (char c : mnemonic) {
        if ((c >= 'A' && c <= 'Z') || c == '*')
            k.shortForm += c;
        k.longForm += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (mnemonic[0] == '*')
        k.shortForm = k.longForm;
    return k;
}

// Expands every pattern into its spellings with and without optional nodes.
std::vector<Variant> buildVariants()
{
    std::vector<Variant> variants;
    for (const Command &cmd : kCommands) {
        std::string pattern = cmd.pattern;
        const bool query = pattern.back() == '?';
        if (query)
            pattern.pop_back();
        std::vector<std::pair<Keyword, bool>> nodes; // keyword, optional
        std::size_t i = 0;
        while (i < pattern.size()) {
            bool optional = false;
            if (pattern[i] == '[') {
                optional = true;
                ++i;
            }
            if (pattern[i] == ':')
                ++i;
            std::size_t end = i;
            while (end < pattern.size() && pattern[end] != ':' && pattern[end] != '[' && pattern[end] != ']')
                ++end;
            nodes.emplace_back(keyword(pattern.substr(i, end - i)), optional);
            i = end;
            if (i < pattern.size() && pattern[i] == ']')
                ++i;
        }
        std::size_t optionals = 0;
        for (const auto &n : nodes)
            optionals += n.second ? 1 : 0;
        for (unsigned mask = 0; mask < (1u << optionals); ++mask) {
            Variant v{{}, query, &cmd};
            unsigned bit = 0;
            for (const auto &n : nodes) {
                if (n.second && !(mask & (1u << bit++)))
                    continue;
                v.nodes.push_back(n.first);
            }
            variants.push_back(v);
        }
    }
    return variants;
}

const std::vector<Variant> &variants()
{
    static const std::vector<Variant> table = buildVariants();
    return table;
}

bool matches(const Keyword &k, std::string_view typed)
{
    return scpi::equalsIgnoreCase(typed, k.longForm) || scpi::equalsIgnoreCase(typed, k.shortForm);
}

const Variant *lookup(const std::vector<std::string_view> &nodes, bool query)
{
    for (const Variant &v : variants()) {
        if (v.query != query || v.nodes.size() != nodes.size())
            continue;
        bool ok = true;
        for (std::size_t i = 0; ok && i < nodes.size(); ++i)
            ok = matches(v.nodes[i], nodes[i]);
        if (ok)
            return &v;
    }
    return nullptr;
}

} // namespace

Mainframe::Mainframe(std::uint32_t seed)
    : d(new Impl(seed))
{}

Mainframe::~Mainframe() = default;

void Mainframe::setPsSerial(std::int32_t serial)
{
    d->locked([&] { d->psSerial = serial; });
}

void Mainframe::setFanSerial(std::int32_t serial)
{
    d->locked([&] { d->fanSerial = serial; });
}

void Mainframe::setFirmware(const std::string &revision)
{
    d->locked([&] { d->firmware = revision; });
}

void Mainframe::setDescription(const std::string &text)
{
    d->locked([&] { d->description = text; });
}

void Mainframe::setMaker(const std::string &maker)
{
    d->locked([&] { d->maker = maker; });
}

void Mainframe::setModelName(const std::string &model)
{
    d->locked([&] { d->modelName = model; });
}

std::int32_t Mainframe::psSerial() const
{
    return d->locked([&] { return d->psSerial; });
}

std::int32_t Mainframe::fanSerial() const
{
    return d->locked([&] { return d->fanSerial; });
}

std::string Mainframe::firmware() const
{
    return d->locked([&] { return d->firmware; });
}

std::string Mainframe::description() const
{
    return d->locked([&] { return d->description; });
}

void Mainframe::setSimulationCommands(bool enabled)
{
    d->locked([&] { d->simulation = enabled; });
}

Model &Mainframe::model()
{
    return d->model;
}

std::string Mainframe::address() const
{
    return d->locked([&] { return d->address; });
}

std::uint16_t Mainframe::port() const
{
    return d->locked([&] { return d->port; });
}

void Mainframe::injectDeviceError(int count)
{
    d->locked([&] { d->deviceErrors = count; });
}

void Mainframe::setReplyDelay(int ms)
{
    d->locked([&] { d->delayMs = ms < 0 ? 0 : ms; });
}

void Mainframe::injectNoReply(int count)
{
    d->locked([&] { d->noReplies = count; });
}

void Mainframe::injectGarbageReply(int count)
{
    d->locked([&] { d->garbageReplies = count; });
}

void Mainframe::injectOversizedReply(int count)
{
    d->locked([&] { d->oversizedReplies = count; });
}

void Mainframe::injectExtraLine(int count)
{
    d->locked([&] { d->extraLines = count; });
}

void Mainframe::injectDuplicateReply(int count)
{
    d->locked([&] { d->duplicateReplies = count; });
}

void Mainframe::setLineObserver(LineObserver observer)
{
    d->locked([&] { d->observer = std::move(observer); });
}

void Mainframe::injectDrop(int count)
{
    d->locked([&] { d->drops = count; });
}

void Mainframe::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    clearLinkFaults(*d);
    d->model.clearFaults();
}

void Mainframe::setBoundAddress(const std::string &address, std::uint16_t port)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->address = address;
    d->port = port;
}

void Mainframe::pushError(int code)
{
    d->locked([&] { d->pushError(code); });
}

namespace {

// The same line with every digit moved on by five: the shape of a reply, but
// none of its numbers, so it is never the reply to a line sent after it.
std::string changedDigits(std::string text)
{
    for (char &c : text) {
        if (c >= '0' && c <= '9')
            c = static_cast<char>('0' + (c - '0' + 5) % 10);
    }
    return text;
}

// Executes a line under the mainframe's lock; `reply` gets the reply the
// line produced, before any link fault (empty when it has none).
LineOutcome processLocked(MainframeData &mf, const std::string &line, std::string &reply)
{
    LineOutcome outcome;
    // Reply faults armed by this very line act from the next one on.
    const bool noReply = mf.noReplies != 0;
    const bool garbage = mf.garbageReplies != 0;
    const bool oversized = mf.oversizedReplies != 0;
    const bool extra = mf.extraLines != 0;
    const bool duplicate = mf.duplicateReplies != 0;

    std::vector<std::string_view> units;
    std::vector<std::string> responses;
    Context ctx{mf};
    if (!scpi::splitUnits(line, units)) {
        mf.pushError(scpi::InvalidStringData);
        units.clear();
    }
    std::vector<std::string_view> path; // current node after the last unit
    std::vector<std::string_view> full;
    scpi::Unit unit;
    for (std::string_view text : units) {
        int rc = scpi::parseUnit(text, unit);
        if (rc != 0) {
            mf.pushError(rc);
            continue;
        }
        if (unit.nodes.empty())
            continue;
        full.clear();
        if (!unit.common && !unit.absolute)
            full = path;
        full.insert(full.end(), unit.nodes.begin(), unit.nodes.end());
        const Variant *v = lookup(full, unit.query);
        if (v == nullptr || ((v->command->kind & Simulation) && !mf.simulation)) {
            mf.pushError(scpi::UndefinedHeader);
            continue;
        }
        if (!unit.common)
            path.assign(full.begin(), full.end() - 1);
        if (!(v->command->kind & Params) && !unit.params.empty()) {
            mf.pushError(scpi::ParameterNotAllowed);
            continue;
        }
        if ((v->command->kind & Hardware) && takeOne(mf.deviceErrors)) {
            mf.pushError(scpi::PowerSupplyNotResponding);
            continue;
        }
        std::string response;
        rc = v->command->handler(ctx, unit, response);
        if (rc != 0)
            mf.pushError(rc);
        else if (unit.query)
            responses.push_back(std::move(response));
    }

    if (responses.empty())
        return outcome;
    for (std::size_t i = 0; i < responses.size(); ++i) {
        if (i)
            reply += ';';
        reply += responses[i];
    }
    if (noReply && takeOne(mf.noReplies))
        return outcome; // carried out, reply discarded
    outcome.action = LineOutcome::Action::Reply;
    outcome.delayMs = mf.delayMs;
    if (garbage && takeOne(mf.garbageReplies)) {
        outcome.bytes = mf.garbage();
    } else if (oversized && takeOne(mf.oversizedReplies)) {
        static const char kPattern[] = "+24.012,+12.003,+5.001,";
        outcome.bytes.reserve(kOversizedReplyBytes);
        while (outcome.bytes.size() + sizeof kPattern - 1 <= kOversizedReplyBytes)
            outcome.bytes += kPattern;
        outcome.bytes.append(kOversizedReplyBytes - outcome.bytes.size(), '9');
    } else {
        outcome.bytes = reply + '\n';
        if (duplicate && takeOne(mf.duplicateReplies))
            outcome.bytes += outcome.bytes;
        else if (extra && takeOne(mf.extraLines))
            outcome.bytes += changedDigits(reply) + '\n';
    }
    return outcome;
}

} // namespace

LineOutcome Mainframe::processLine(const std::string &line)
{
    std::string reply;
    LineOutcome outcome;
    LineObserver observer;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (takeOne(d->drops)) {
            outcome.action = LineOutcome::Action::Drop;
            return outcome;
        }
        outcome = processLocked(*d, line, reply);
        observer = d->observer;
    }
    if (observer)
        observer(line, reply);
    return outcome;
}

} // namespace cv4870emu
