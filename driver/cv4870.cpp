// The cv4870 driver functions: parameter checks, the command of each
// function and the decoding of its response. Every function makes at most
// one round trip (see cv4870_session.cpp).
#include <charconv>
#include <cstring>
#include <string>

#include "cv4870_session.h"

using namespace cv4870drv;

namespace {

constexpr char kMaker[] = "Corvane Ltd.";
constexpr char kModel[] = "4870";

// PARAMETERn for the 1-based argument position n (the session is 1).
ViStatus parameterError(std::size_t position)
{
    return VI_ERROR_PARAMETER1 + static_cast<ViStatus>(position - 1);
}

// A query whose response is `n` comma-separated fields, each decoded by
// `parse` into the output pointer of the same index. The outputs are the
// arguments 2..n+1 and are written only when every field decodes.
template <typename T>
ViStatus queryValues(ViSession vi, const char *command, T *const *outs, std::size_t n,
                     bool (*parse)(std::string_view, T &))
{
    constexpr std::size_t kMaxFields = 7;
    for (std::size_t i = 0; i < n; ++i) {
        if (!outs[i])
            return parameterError(i + 2);
    }
    T values[kMaxFields];
    const ViStatus st = exchange(vi, command, true, [&](std::string_view response) -> ViStatus {
        std::string_view fields[kMaxFields];
        if (!splitFields(response, fields, n))
            return VI_ERROR_INV_RESPONSE;
        for (std::size_t i = 0; i < n; ++i) {
            if (!parse(fields[i], values[i]))
                return VI_ERROR_INV_RESPONSE;
        }
        return VI_SUCCESS;
    });
    if (st != VI_SUCCESS)
        return st;
    for (std::size_t i = 0; i < n; ++i)
        *outs[i] = values[i];
    return VI_SUCCESS;
}

ViStatus command(ViSession vi, std::string_view text)
{
    return exchange(vi, text, false);
}

// A text response into a caller's buffer: always NUL-terminated, emptied on
// failure, cut to fit with a warning.
ViStatus queryText(ViSession vi, const char *command, bool quoted, ViChar *buf, std::size_t cap)
{
    buf[0] = '\0';
    std::string text;
    const ViStatus st = exchange(vi, command, true, [&](std::string_view response) -> ViStatus {
        if (!quoted)
            text.assign(trim(response));
        return !quoted || unquote(response, text) ? VI_SUCCESS : VI_ERROR_INV_RESPONSE;
    });
    if (st != VI_SUCCESS)
        return st;
    return copyText(text, buf, cap) ? VI_SUCCESS : CV4870_WARN_TEXT_TRUNCATED;
}

// Checks the *IDN? response: maker and model, blanks trimmed.
ViStatus checkIdentity(ViSession vi)
{
    const ViStatus st = exchange(vi, "*IDN?", true, [](std::string_view idn) -> ViStatus {
        // Maker and model are the first two of the four fields.
        const std::size_t comma = idn.find(',');
        if (comma == std::string_view::npos || trim(idn.substr(0, comma)) != kMaker)
            return VI_ERROR_FAIL_ID_QUERY;
        idn.remove_prefix(comma + 1);
        return trim(idn.substr(0, idn.find(','))) == kModel ? VI_SUCCESS : VI_ERROR_FAIL_ID_QUERY;
    });
    // No tagged reply in our shape: another kind of device.
    return st == VI_ERROR_INV_RESPONSE ? VI_ERROR_FAIL_ID_QUERY : st;
}

bool isBoolean(ViBoolean b)
{
    return b == VI_TRUE || b == VI_FALSE;
}

} // namespace

extern "C" {

ViStatus cv4870_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean resetDevice, ViPSession vi)
{
    if (!vi)
        return VI_ERROR_PARAMETER4;
    *vi = VI_NULL;
    if (!resourceName)
        return VI_ERROR_PARAMETER1;
    if (!isBoolean(idQuery))
        return VI_ERROR_PARAMETER2;
    if (!isBoolean(resetDevice))
        return VI_ERROR_PARAMETER3;

    ViSession rm = VI_NULL;
    ViStatus st = viOpenDefaultRM(&rm);
    if (st < 0)
        return st;
    ViSession s = VI_NULL;
    st = viOpen(rm, resourceName, VI_NULL, CV4870_TIMEOUT_MS, &s);
    if (st < 0) {
        viClose(rm);
        return st;
    }
    const struct
    {
        ViAttr attr;
        ViAttrState value;
    } settings[] = {
        {VI_ATTR_TMO_VALUE, CV4870_TIMEOUT_MS},
        {VI_ATTR_TERMCHAR, '\n'},
        {VI_ATTR_TERMCHAR_EN, VI_TRUE},
        {VI_ATTR_TCPIP_NODELAY, VI_TRUE},
    };
    for (const auto &setting : settings) {
        if ((st = viSetAttribute(s, setting.attr, setting.value)) < 0) {
            viClose(s);
            viClose(rm);
            return st;
        }
    }
    // Reads end only at LF, the count or the timeout, not at a data pause;
    // the reader copes with either, so a library without it is fine.
    viSetAttribute(s, VI_ATTR_SUPPRESS_END_EN, VI_TRUE);

    addSession(s, rm);
    if (idQuery && (st = checkIdentity(s)) < 0) {
        closeSession(s);
        return st;
    }
    if (resetDevice && (st = cv4870_reset(s)) < 0) {
        closeSession(s);
        return st;
    }
    *vi = s;
    return VI_SUCCESS;
}

ViStatus cv4870_close(ViSession vi)
{
    return closeSession(vi);
}

ViStatus cv4870_error_message(ViSession vi, ViStatus status, ViChar message[])
{
    (void)vi; // texts never depend on the session
    if (!message)
        return VI_ERROR_PARAMETER3;
    if (driverStatusText(status, message, CV4870_ERROR_MESSAGE_BUFLEN))
        return VI_SUCCESS;
    // VISA writes at most 256 bytes; the scratch buffer leaves room to spare.
    char visaText[CV4870_ERROR_MESSAGE_BUFLEN] = {};
    const ViStatus st = viStatusDesc(VI_NULL, status, visaText);
    visaText[sizeof visaText - 1] = '\0';
    if (st >= 0 && st != VI_WARN_UNKNOWN_STATUS) {
        copyText(visaText, message, CV4870_ERROR_MESSAGE_BUFLEN);
        return VI_SUCCESS;
    }
    static const char kHex[] = "0123456789ABCDEF";
    char text[] = "Unknown status 0x00000000";
    const ViUInt32 value = static_cast<ViUInt32>(status);
    for (std::size_t i = 0; i < 8; ++i)
        text[sizeof text - 2 - i] = kHex[(value >> (4 * i)) & 0xFu];
    copyText(text, message, CV4870_ERROR_MESSAGE_BUFLEN);
    return VI_WARN_UNKNOWN_STATUS;
}

ViStatus cv4870_revision_query(ViSession vi, ViChar driverRev[], ViChar firmwareRev[])
{
    if (!driverRev)
        return VI_ERROR_PARAMETER2;
    copyText(CV4870_DRIVER_REVISION, driverRev, CV4870_DRIVER_REVISION_BUFLEN);
    if (!firmwareRev)
        return VI_SUCCESS; // the driver revision alone
    if (vi == VI_NULL) {
        firmwareRev[0] = '\0';
        return VI_WARN_NSUP_REV_QUERY;
    }
    return queryText(vi, ":SYST:FIRM?", false, firmwareRev, CV4870_REVISION_BUFLEN);
}

ViStatus cv4870_getSerialNumber(ViSession vi, ViPInt32 psSerial, ViPInt32 fanSerial)
{
    ViInt32 *const outs[] = {psSerial, fanSerial};
    return queryValues<ViInt32>(vi, ":SYST:SER?", outs, 2, parseInt);
}

ViStatus cv4870_getDescription(ViSession vi, ViChar description[])
{
    if (!description)
        return VI_ERROR_PARAMETER2;
    return queryText(vi, ":SYST:DESC?", true, description, CV4870_DESCRIPTION_BUFLEN);
}

ViStatus cv4870_getStatus(ViSession vi, ViPBoolean powerOn, ViPBoolean inputFail, ViPBoolean outputFail,
                          ViPBoolean fanFail, ViPBoolean sensorFail, ViPBoolean sysFail)
{
    ViBoolean *const outs[] = {powerOn, inputFail, outputFail, fanFail, sensorFail, sysFail};
    return queryValues<ViBoolean>(vi, ":STAT:LIN?", outs, 6, parseBool);
}

ViStatus cv4870_getOutputVoltages(ViSession vi, ViPReal64 p24V, ViPReal64 p12V, ViPReal64 p5V, ViPReal64 m2V,
                                  ViPReal64 m5_2V, ViPReal64 m12V, ViPReal64 m24V)
{
    ViReal64 *const outs[] = {p24V, p12V, p5V, m2V, m5_2V, m12V, m24V};
    return queryValues<ViReal64>(vi, ":MEAS:VOLT?", outs, 7, parseReal);
}

ViStatus cv4870_getOutputCurrents(ViSession vi, ViPReal64 p24V, ViPReal64 p12V, ViPReal64 p5V, ViPReal64 m2V,
                                  ViPReal64 m5_2V, ViPReal64 m12V, ViPReal64 m24V)
{
    ViReal64 *const outs[] = {p24V, p12V, p5V, m2V, m5_2V, m12V, m24V};
    return queryValues<ViReal64>(vi, ":MEAS:CURR?", outs, 7, parseReal);
}

ViStatus cv4870_getOutputStates(ViSession vi, ViPBoolean p24V, ViPBoolean p12V, ViPBoolean p5V, ViPBoolean m2V,
                                ViPBoolean m5_2V, ViPBoolean m12V, ViPBoolean m24V)
{
    ViBoolean *const outs[] = {p24V, p12V, p5V, m2V, m5_2V, m12V, m24V};
    return queryValues<ViBoolean>(vi, ":OUTP:STAT?", outs, 7, parseBool);
}

ViStatus cv4870_getFanSpeed(ViSession vi, ViPInt32 nominal, ViPInt32 fan1, ViPInt32 fan2, ViPInt32 fan3)
{
    ViInt32 *const outs[] = {nominal, fan1, fan2, fan3};
    return queryValues<ViInt32>(vi, ":FAN:SPE?", outs, 4, parseInt);
}

ViStatus cv4870_getTemperature(ViSession vi, ViPInt32 fanTray, ViPInt32 powerSupply)
{
    ViInt32 *const outs[] = {fanTray, powerSupply};
    return queryValues<ViInt32>(vi, ":MEAS:TEMP?", outs, 2, parseInt);
}

ViStatus cv4870_setFanSpeed(ViSession vi, ViInt32 nominal)
{
    if (nominal != CV4870_FAN_SPEED_OFF && (nominal < CV4870_FAN_SPEED_MIN || nominal > CV4870_FAN_SPEED_MAX))
        return VI_ERROR_PARAMETER2;
    char text[32] = ":FAN:SPE ";
    const std::size_t prefix = std::strlen(text);
    const auto res = std::to_chars(text + prefix, text + sizeof text, nominal);
    return command(vi, std::string_view(text, static_cast<std::size_t>(res.ptr - text)));
}

ViStatus cv4870_setMainPowerState(ViSession vi, ViBoolean on)
{
    if (!isBoolean(on))
        return VI_ERROR_PARAMETER2;
    return command(vi, on ? ":POW ON" : ":POW OFF");
}

ViStatus cv4870_setVXIsysReset(ViSession vi)
{
    return command(vi, ":VXI:SYSR");
}

ViStatus cv4870_reset(ViSession vi)
{
    return command(vi, "*RST");
}

} // extern "C"
