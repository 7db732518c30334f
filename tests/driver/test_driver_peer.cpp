// The driver against a scripted loopback mainframe: the exact lines it
// sends, the replies no well-behaved mainframe sends, texts that do not fit,
// the mainframe's error texts, identification and numbers under a locale
// with a decimal comma.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "cv4870.h"
#include "peer.h"

namespace {

const std::string kNoError = ";0,\"No error\"\n";

// Answers one command (the line the driver sends) with `reply`.
Peer::Handler answer(const std::string &command, const std::string &reply)
{
    return [=](const std::string &line) -> std::optional<std::string> {
        if (line == "*CLS;" + command + ";:SYST:ERR?")
            return reply;
        return std::nullopt;
    };
}

ViSession open(Peer &peer)
{
    ViSession vi = VI_NULL;
    const std::string rsrc = peer.resource();
    EXPECT_EQ(cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), VI_TRUE, VI_FALSE, &vi), VI_SUCCESS);
    EXPECT_NE(vi, VI_NULL);
    return vi;
}

std::string message(ViStatus st)
{
    char buf[CV4870_ERROR_MESSAGE_BUFLEN];
    cv4870_error_message(VI_NULL, st, buf);
    return buf;
}

} // namespace

TEST(DriverLines, EveryCallIsOneLineWithItsErrorQuery)
{
    Peer peer([](const std::string &line) -> std::optional<std::string> {
        if (line.find('?') == line.size() - 1 && line.find("?;") == std::string::npos)
            return std::string("0,\"No error\"\n"); // commands without a response
        return std::nullopt;
    });
    ViSession vi = open(peer);
    EXPECT_EQ(cv4870_setFanSpeed(vi, 2400), VI_SUCCESS);
    EXPECT_EQ(cv4870_setFanSpeed(vi, 0), VI_SUCCESS);
    EXPECT_EQ(cv4870_setMainPowerState(vi, VI_TRUE), VI_SUCCESS);
    EXPECT_EQ(cv4870_setMainPowerState(vi, VI_FALSE), VI_SUCCESS);
    EXPECT_EQ(cv4870_setVXIsysReset(vi), VI_SUCCESS);
    EXPECT_EQ(cv4870_reset(vi), VI_SUCCESS);
    cv4870_close(vi);
    const std::vector<std::string> expected = {
        "*CLS;*IDN?;:SYST:ERR?",          "*CLS;:FAN:SPE 2400;:SYST:ERR?", "*CLS;:FAN:SPE 0;:SYST:ERR?",
        "*CLS;:POW ON;:SYST:ERR?",        "*CLS;:POW OFF;:SYST:ERR?",      "*CLS;:VXI:SYSR;:SYST:ERR?",
        "*CLS;*RST;:SYST:ERR?",
    };
    EXPECT_EQ(peer.lines(), expected);
}

TEST(DriverLines, InitWithResetSendsStarRstAndNoIdQueryWhenNotAsked)
{
    Peer peer(answer("*RST", "0,\"No error\"\n"));
    ViSession vi = VI_NULL;
    const std::string rsrc = peer.resource();
    ASSERT_EQ(cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), VI_FALSE, VI_TRUE, &vi), VI_SUCCESS);
    cv4870_close(vi);
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"*CLS;*RST;:SYST:ERR?"});
}

TEST(DriverIdentity, AnotherMakerOrModelIsRefusedAndClosed)
{
    const char *idns[] = {
        "Other Corp.,4870,1,A.01;0,\"No error\"\n", "Corvane Ltd.,4871,1,A.01;0,\"No error\"\n",
        "Corvane Ltd.;0,\"No error\"\n", "SSH-2.0-Banner\r\n", "\n", "0,\"No error\"\n",
    };
    for (const char *idn : idns) {
        SCOPED_TRACE(idn);
        Peer peer(answer("*IDN?", idn));
        ViSession vi = 1234;
        const std::string rsrc = peer.resource();
        EXPECT_EQ(cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), VI_TRUE, VI_FALSE, &vi), VI_ERROR_FAIL_ID_QUERY);
        EXPECT_EQ(vi, VI_NULL);
        EXPECT_TRUE(peer.waitClientClosed()) << "the connection is left open";
    }
}

TEST(DriverIdentity, BlanksAroundMakerAndModelAreIgnored)
{
    Peer peer(answer("*IDN?", " Corvane Ltd. , 4870 ,1,A.01;0,\"No error\"\n"));
    cv4870_close(open(peer));
}

TEST(DriverTexts, DescriptionIsUnquotedMaskedAndBounded)
{
    const std::string hostile = "\"Slot \"\"0\"\"\x01\x7f\x9b\xe9" + std::string(1, '\0') + "end\"";
    {
        Peer peer(answer(":SYST:DESC?", hostile + kNoError));
        ViSession vi = open(peer);
        char desc[CV4870_DESCRIPTION_BUFLEN];
        EXPECT_EQ(cv4870_getDescription(vi, desc), VI_SUCCESS);
        EXPECT_STREQ(desc, "Slot \"0\"???\xe9?end");
        cv4870_close(vi);
    }
    {
        Peer peer(answer(":SYST:DESC?", "\"" + std::string(3000, 'D') + "\"" + kNoError));
        ViSession vi = open(peer);
        char desc[CV4870_DESCRIPTION_BUFLEN + 16];
        std::memset(desc, 'Z', sizeof desc);
        EXPECT_EQ(cv4870_getDescription(vi, desc), CV4870_WARN_TEXT_TRUNCATED);
        EXPECT_EQ(std::strlen(desc), CV4870_DESCRIPTION_BUFLEN - 1u);
        EXPECT_EQ(desc[CV4870_DESCRIPTION_BUFLEN], 'Z') << "written past the buffer";
        cv4870_close(vi);
    }
    {
        Peer peer(answer(":SYST:DESC?", "unquoted" + kNoError));
        ViSession vi = open(peer);
        char desc[CV4870_DESCRIPTION_BUFLEN] = "old";
        EXPECT_EQ(cv4870_getDescription(vi, desc), VI_ERROR_INV_RESPONSE);
        EXPECT_STREQ(desc, "");
        cv4870_close(vi);
    }
}

TEST(DriverTexts, FirmwareRevisionIsBounded)
{
    Peer peer(answer(":SYST:FIRM?", std::string(600, 'F') + kNoError));
    ViSession vi = open(peer);
    char drv[CV4870_REVISION_BUFLEN], fw[CV4870_REVISION_BUFLEN + 16];
    std::memset(fw, 'Z', sizeof fw);
    EXPECT_EQ(cv4870_revision_query(vi, drv, fw), CV4870_WARN_TEXT_TRUNCATED);
    EXPECT_STREQ(drv, CV4870_DRIVER_REVISION);
    EXPECT_EQ(std::strlen(fw), CV4870_REVISION_BUFLEN - 1u);
    EXPECT_EQ(fw[CV4870_REVISION_BUFLEN], 'Z');
    cv4870_close(vi);
}

TEST(DriverErrors, MainframeTextsAreNamedWithoutASession)
{
    Peer peer([](const std::string &line) -> std::optional<std::string> {
        if (line == "*CLS;:SYST:SER?;:SYST:ERR?")
            return std::string("512,\"Fan tray EEPROM; checksum\"\n");
        if (line == "*CLS;:MEAS:TEMP?;:SYST:ERR?")
            return std::string("-222,\"Data out of range\"\n");
        if (line == "*CLS;:FAN:SPE?;:SYST:ERR?")
            return "-101,\"" + std::string(2000, 'L') + "\x01\"\n";
        if (line == "*CLS;:STAT:LIN?;:SYST:ERR?")
            return std::string("99999,\"Far out\"\n");
        return std::nullopt;
    });
    ViSession vi = open(peer);
    ViInt32 a = 5, b = 6, c = 7, d = 8;
    EXPECT_EQ(cv4870_getSerialNumber(vi, &a, &b), CV4870_ERROR_DEVICE_BASE + 512);
    EXPECT_EQ(a, 5) << "outputs stay untouched on failure";
    EXPECT_EQ(message(CV4870_ERROR_DEVICE_BASE + 512), "Mainframe error 512: Fan tray EEPROM; checksum");

    EXPECT_EQ(cv4870_getTemperature(vi, &a, &b), CV4870_ERROR_SCPI_BASE + 222);
    EXPECT_EQ(message(CV4870_ERROR_SCPI_BASE + 222), "Mainframe error -222: Data out of range");

    EXPECT_EQ(cv4870_getFanSpeed(vi, &a, &b, &c, &d), CV4870_ERROR_SCPI_BASE + 101);
    const std::string longText = message(CV4870_ERROR_SCPI_BASE + 101);
    EXPECT_LT(longText.size(), 300u);
    EXPECT_EQ(longText.find('\x01'), std::string::npos);

    ViBoolean f[6];
    EXPECT_EQ(cv4870_getStatus(vi, f, f + 1, f + 2, f + 3, f + 4, f + 5), CV4870_ERROR_MAINFRAME_OTHER);
    EXPECT_EQ(message(CV4870_ERROR_MAINFRAME_OTHER), "Mainframe error 99999: Far out");
    cv4870_close(vi);
}

TEST(DriverErrors, RepliesOfTheWrongShapeAreInvalid)
{
    Peer peer([](const std::string &line) -> std::optional<std::string> {
        if (line == "*CLS;:SYST:SER?;:SYST:ERR?")
            return "1,2,3" + kNoError;
        if (line == "*CLS;:MEAS:TEMP?;:SYST:ERR?")
            return "25,hot" + kNoError;
        if (line == "*CLS;:MEAS:VOLT?;:SYST:ERR?")
            return "1,2,3,4,5,6,nan" + kNoError;
        if (line == "*CLS;:OUTP:STAT?;:SYST:ERR?")
            return "1,1,1,1,1,1,2" + kNoError;
        if (line == "*CLS;:FAN:SPE?;:SYST:ERR?")
            return std::string("1800,1790,1800,1810\n"); // no error reply
        return std::nullopt;
    });
    ViSession vi = open(peer);
    ViInt32 a = 5, b = 6, c = 7, d = 8;
    ViReal64 v[7] = {};
    ViBoolean s[7] = {};
    EXPECT_EQ(cv4870_getSerialNumber(vi, &a, &b), VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(cv4870_getTemperature(vi, &a, &b), VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6), VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(cv4870_getOutputStates(vi, s, s + 1, s + 2, s + 3, s + 4, s + 5, s + 6), VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(cv4870_getFanSpeed(vi, &a, &b, &c, &d), VI_ERROR_INV_RESPONSE);
    cv4870_close(vi);
}

TEST(DriverErrors, AnEndlessReplyIsCutOffAndTheSessionRecovers)
{
    Peer peer([](const std::string &line) -> std::optional<std::string> {
        if (line == "*CLS;:MEAS:TEMP?;:SYST:ERR?")
            return std::string(3u << 20, '7'); // more than the driver reads away at once
        if (line == "*CLS;:SYST:SER?;:SYST:ERR?")
            return "17,42" + kNoError;
        return std::nullopt;
    });
    ViSession vi = open(peer);
    ViInt32 a = 0, b = 0;
    EXPECT_EQ(cv4870_getTemperature(vi, &a, &b), VI_ERROR_INV_RESPONSE);
    EXPECT_EQ(cv4870_getSerialNumber(vi, &a, &b), VI_SUCCESS);
    EXPECT_EQ(a, 17);
    EXPECT_EQ(b, 42);
    cv4870_close(vi);
}

TEST(DriverLocale, NumbersKeepTheirPointUnderADecimalCommaLocale)
{
    const char *chosen = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8"}) {
        if (std::setlocale(LC_ALL, name)) {
            chosen = name;
            break;
        }
    }
    if (!chosen || std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma is installed (Debian: locales-all)";
    }
    Peer peer([](const std::string &line) -> std::optional<std::string> {
        if (line == "*CLS;:MEAS:VOLT?;:SYST:ERR?")
            return "+24.012,+12.003,+5.001,-2.000,-5.198,-12.004,-23.990" + kNoError;
        if (line == "*CLS;:MEAS:CURR?;:SYST:ERR?")
            return "1.5E+00,3.25,10.4,2,0.125,1.1e-3,0" + kNoError;
        return std::nullopt;
    });
    ViSession vi = open(peer);
    ViReal64 v[7] = {};
    EXPECT_EQ(cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6), VI_SUCCESS);
    const ViReal64 volts[7] = {24.012, 12.003, 5.001, -2.0, -5.198, -12.004, -23.990};
    for (int i = 0; i < 7; ++i)
        EXPECT_DOUBLE_EQ(v[i], volts[i]) << i;
    EXPECT_EQ(cv4870_getOutputCurrents(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6), VI_SUCCESS);
    const ViReal64 amps[7] = {1.5, 3.25, 10.4, 2.0, 0.125, 0.0011, 0.0};
    for (int i = 0; i < 7; ++i)
        EXPECT_DOUBLE_EQ(v[i], amps[i]) << i;
    cv4870_close(vi);
    std::setlocale(LC_ALL, "C");
}
