// What the driver answers without a session (status texts, argument
// checks), and the driver against a scripted loopback mainframe: the exact
// lines it sends, the replies no well-behaved mainframe sends, texts that do
// not fit, the mainframe's error texts, identification and numbers under a
// German locale.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <clocale>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "calls.h"
#include "cv4870.h"
#include "peer.h"

namespace {

const std::string kNoError = ";0,\"No error\"\n";

// Answers each command (the part the driver wraps in its tag and
// "*CLS;...;:SYST:ERR?") with the reply after the tag.
Peer::Handler answers(std::vector<std::pair<std::string, std::string>> replies)
{
    return [=](const Peer::Request &req) -> std::optional<std::string> {
        for (const auto &r : replies)
            if (req.command == r.first)
                return Peer::tagged(req, r.second);
        return std::nullopt;
    };
}

ViSession open(Peer &peer, ViStatus expected = VI_SUCCESS, ViBoolean idQuery = VI_TRUE, ViBoolean reset = VI_FALSE)
{
    ViSession vi = 1234;
    const std::string rsrc = peer.resource();
    EXPECT_EQ(cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), idQuery, reset, &vi), expected);
    EXPECT_EQ(vi == VI_NULL, expected < 0);
    return vi;
}

// Runs cv4870_error_message into a 1024-byte buffer with a guard behind it.
std::string message(ViStatus st, ViStatus *own = nullptr)
{
    char buf[CV4870_ERROR_MESSAGE_BUFLEN + 8];
    std::memset(buf, 'Z', sizeof buf);
    const ViStatus r = cv4870_error_message(VI_NULL, st, buf);
    if (own)
        *own = r;
    EXPECT_NE(std::memchr(buf, '\0', CV4870_ERROR_MESSAGE_BUFLEN), nullptr);
    EXPECT_EQ(std::string(buf + CV4870_ERROR_MESSAGE_BUFLEN, 8), "ZZZZZZZZ");
    return buf;
}

} // namespace

TEST(DriverLines, EveryCallIsOneLineWithItsErrorQuery)
{
    Peer peer([](const Peer::Request &r) -> std::optional<std::string> {
        if (!r.resync && r.command.find('?') == std::string::npos)
            return Peer::tagged(r, "0,\"No error\"\n"); // commands without a response
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
    // with a reset and no identification asked for: only the reset
    cv4870_close(open(peer, VI_SUCCESS, VI_FALSE, VI_TRUE));
    std::vector<std::string> expected;
    for (const char *command :
         {"*IDN?", ":FAN:SPE 2400", ":FAN:SPE 0", ":POW ON", ":POW OFF", ":VXI:SYSR", "*RST", "*RST"})
        expected.push_back(std::string(":SYST:TAG? #;*CLS;") + command + ";:SYST:ERR?");
    EXPECT_EQ(peer.lines(), expected);
    // a session counts its tags up from a random start (2^-32 to repeat it)
    const std::vector<unsigned long> tags = peer.tags();
    for (std::size_t i = 1; i < 7; ++i)
        EXPECT_EQ(tags[i], (tags[0] + i) & 0xFFFFFFFFul);
    EXPECT_NE(tags[7], tags[0]);
}

TEST(DriverIdentity, OnlyThisMakerAndModelAreAccepted)
{
    // untagged: a device that does not know the tag query is not one of ours
    const std::tuple<const char *, bool, ViStatus> idns[] = {
        {" Corvane Ltd. , 4870 ,1,A.01;0,\"No error\"\n", true, VI_SUCCESS},
        {"Other Corp.,4870,1,A.01;0,\"No error\"\n", true, VI_ERROR_FAIL_ID_QUERY},
        {"Corvane Ltd.,4871,1,A.01;0,\"No error\"\n", true, VI_ERROR_FAIL_ID_QUERY},
        {"Corvane Ltd.;0,\"No error\"\n", true, VI_ERROR_FAIL_ID_QUERY},
        {"Corvane Ltd.,4870,1,A.01;-113,\"Undefined header\"\n", false, VI_ERROR_FAIL_ID_QUERY},
        {"SSH-2.0-Banner\r\n", false, VI_ERROR_FAIL_ID_QUERY},
        {"\n", false, VI_ERROR_FAIL_ID_QUERY},
        {"0,\"No error\"\n", true, VI_ERROR_FAIL_ID_QUERY},
    };
    for (const auto &[text, tagged, status] : idns) {
        SCOPED_TRACE(text);
        Peer peer([text = std::string(text), tagged = tagged](const Peer::Request &r) -> std::optional<std::string> {
            if (r.command != "*IDN?")
                return std::nullopt;
            return tagged ? Peer::tagged(r, text) : text;
        });
        ViSession vi = open(peer, status);
        if (status < 0)
            EXPECT_TRUE(peer.waitClientClosed()) << "a refused connection is left open";
        else
            cv4870_close(vi);
    }
}

TEST(DriverTexts, TextsAreUnquotedMaskedAndBounded)
{
    const std::string hostile = "\"Slot \"\"0\"\"\x01\x7f\x9b\xe9" + std::string(1, '\0') + "end\"";
    const struct
    {
        const char *query;
        std::string reply;
        ViStatus status;
        std::string text;
    } cases[] = {
        {":SYST:DESC?", hostile + kNoError, VI_SUCCESS, "Slot \"0\"???\xe9?end"},
        {":SYST:DESC?", "\"" + std::string(3000, 'D') + "\"" + kNoError, CV4870_WARN_TEXT_TRUNCATED,
         std::string(CV4870_DESCRIPTION_BUFLEN - 1, 'D')},
        {":SYST:DESC?", "unquoted" + kNoError, VI_ERROR_INV_RESPONSE, ""},
        {":SYST:FIRM?", std::string(600, 'F') + kNoError, CV4870_WARN_TEXT_TRUNCATED,
         std::string(CV4870_REVISION_BUFLEN - 1, 'F')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 40));
        Peer peer(answers({{c.query, c.reply}}));
        ViSession vi = open(peer);
        const bool desc = std::strcmp(c.query, ":SYST:DESC?") == 0;
        const std::size_t len = desc ? CV4870_DESCRIPTION_BUFLEN : CV4870_REVISION_BUFLEN;
        char buf[CV4870_DESCRIPTION_BUFLEN + CV4870_REVISION_BUFLEN], drv[CV4870_REVISION_BUFLEN];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(desc ? cv4870_getDescription(vi, buf) : cv4870_revision_query(vi, drv, buf), c.status);
        EXPECT_EQ(std::string(buf, strnlen(buf, len)), c.text);
        EXPECT_EQ(buf[len], 'Z') << "written past the buffer";
        cv4870_close(vi);
    }
}

TEST(DriverErrors, MainframeTextsAreNamedWithoutASession)
{
    Peer peer(answers({{":SYST:SER?", "512,\"Fan tray EEPROM; checksum\"\n"},
                       {":MEAS:TEMP?", "-222,\"Data out of range\"\n"},
                       {":FAN:SPE?", "-101,\"" + std::string(2000, 'L') + "\x01\"\n"},
                       {":STAT:LIN?", "99999,\"Far out\"\n"}}));
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

TEST(DriverErrors, RepliesOfTheWrongShapeAreInvalidAndTheSessionRecovers)
{
    const struct
    {
        const char *command;
        std::string reply;
        const char *call;
    } cases[] = {
        {":SYST:SER?", "1,2,3" + kNoError, "getSerialNumber"},
        {":SYST:SER?", "2147483648,1" + kNoError, "getSerialNumber"},
        {":SYST:SER?", "0x10,1.5" + kNoError, "getSerialNumber"},
        {":MEAS:TEMP?", "25,hot" + kNoError, "getTemperature"},
        {":MEAS:TEMP?", "1\n", "getTemperature"}, // the tag alone, as for a resync
        {":MEAS:TEMP?", std::string(3u << 20, '7'), "getTemperature"}, // more than the driver reads away at once
        {":MEAS:VOLT?", "1,2,3,4,5,6,nan" + kNoError, "getOutputVoltages"},
        {":MEAS:VOLT?", "1,2,3,4,5,6,1e999" + kNoError, "getOutputVoltages"},
        {":OUTP:STAT?", "1,1,1,1,1,1,2" + kNoError, "getOutputStates"},
        {":FAN:SPE?", "1800,1790,1800,1810\n", "getFanSpeed"}, // no error reply
        {":SYST:DESC?", "\"open;0,\"No error\"\n", "getDescription"},
    };
    std::atomic<int> current{-1};
    Peer peer([&](const Peer::Request &r) -> std::optional<std::string> {
        const int i = r.resync ? -1 : current.exchange(-1);
        if (i >= 0 && r.command == cases[i].command)
            return Peer::tagged(r, cases[i].reply);
        if (r.command == ":SYST:SER?")
            return Peer::tagged(r, "17,42" + kNoError);
        return std::nullopt;
    });
    ViSession vi = open(peer);
    for (int i = 0; i < int(sizeof cases / sizeof cases[0]); ++i) {
        SCOPED_TRACE(cases[i].reply.substr(0, 40));
        current = i;
        EXPECT_EQ(runCall(cases[i].call, vi), VI_ERROR_INV_RESPONSE);
        ViInt32 a = 0, b = 0;
        EXPECT_EQ(cv4870_getSerialNumber(vi, &a, &b), VI_SUCCESS);
        EXPECT_EQ(a * 100 + b, 1742);
    }
    cv4870_close(vi);
}

// Request n answered with the voltages n.1 ... n.7, so that a success that
// carries another request's values shows.
std::string voltages(int n)
{
    std::string out;
    for (int i = 1; i <= 7; ++i)
        out += (i > 1 ? "," : "") + std::to_string(n) + "." + std::to_string(i);
    return out + kNoError;
}

TEST(DriverStep, NoReplyOutOfStepIsTakenAndTheNextCallResyncsFirst)
{
    using Request = Peer::Request;
    using Reply = std::function<std::string(const Request &)>;
    const Reply own = [](const Request &r) { return Peer::tagged(r, voltages(r.index)); };
    // the reply to the request `back` lines before this one
    const auto earlier = [](const Request &r, int back) {
        const auto tag = static_cast<std::uint32_t>(std::stoul(r.tag) - static_cast<unsigned>(back));
        return std::to_string(tag) + ";" + voltages(r.index - back);
    };
    const std::string pastTimeout = [] {
        std::string p;
        for (int i = 0; i < 12; ++i)
            p += Peer::kPause; // 360 ms
        return p;
    }();
    const std::string ones = "+1.000,+1.000,+1.000,+1.000,+1.000,+1.000,+1.000" + kNoError;
    const Reply extra = [&](const Request &r) { return own(r) + ones; };
    const Reply extraEarlier = [&](const Request &r) { return own(r) + earlier(r, 1); };
    const Reply twice = [&](const Request &r) { return own(r) + own(r); };
    const Reply late = [&](const Request &r) { return pastTimeout + own(r); };
    const Reply junkThenLate = [&](const Request &r) {
        return "\x01\xff?#;1.1\n" + std::string(Peer::kPause) + own(r);
    };
    const Reply previous = [&](const Request &r) { return earlier(r, 1); };
    // split in two, with the reply to the next request glued on
    const Reply split = [&](const Request &r) {
        const std::string line = own(r);
        return line.substr(0, 9) + Peer::kPause + line.substr(9) + earlier(r, -1);
    };
    const Reply nothing = [](const Request &) { return std::string(); };
    const Reply six = [&](const Request &r) { return Peer::tagged(r, "1.1,1.2,1.3,1.4,1.5,1.6" + kNoError); };
    const ViStatus OK = VI_SUCCESS, INV = VI_ERROR_INV_RESPONSE, TMO = VI_ERROR_TMO;
    const struct
    {
        const char *name;
        Reply first, second; // the replies to calls 1 and 2; call 3 gets its own
        ViStatus status[3];
        int resyncs;
    } cases[] = {
        {"unsolicited extra line", extra, own, {OK, INV, OK}, 1},
        {"extra line with an earlier tag", extraEarlier, own, {OK, OK, OK}, 0},
        {"duplicated line", twice, own, {OK, OK, OK}, 0},
        {"late reply after a timeout", late, own, {TMO, OK, OK}, 1},
        {"undecodable line, then a late one", junkThenLate, own, {INV, OK, OK}, 1},
        {"reply to the previous query", own, previous, {OK, TMO, OK}, 1},
        {"split reply with the next one glued on", split, nothing, {OK, OK, OK}, 0},
        {"tagged reply with six fields", six, own, {INV, OK, OK}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer([&](const Request &r) -> std::optional<std::string> {
            if (r.command != ":MEAS:VOLT?")
                return std::nullopt;
            return r.index == 1 ? c.first(r) : r.index == 2 ? c.second(r) : own(r);
        });
        ViSession vi = open(peer);
        ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 300), VI_SUCCESS);
        for (int n = 1; n <= 3; ++n) {
            ViReal64 v[7] = {};
            EXPECT_EQ(cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6), c.status[n - 1]) << n;
            for (int i = 0; c.status[n - 1] == VI_SUCCESS && i < 7; ++i)
                EXPECT_EQ(v[i], std::stod(std::to_string(n) + "." + std::to_string(i + 1))) << "call " << n;
        }
        cv4870_close(vi);
        const std::vector<std::string> lines = peer.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), ":SYST:TAG? #"), c.resyncs);
    }
}

TEST(DriverLocale, NumbersKeepTheirPointUnderADecimalCommaLocale)
{
    const char *chosen = nullptr;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
        chosen = chosen ? chosen : std::setlocale(LC_ALL, name);
    if (!chosen || std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no German locale is installed (Debian: locales-all)";
    }
    Peer peer(answers({{":MEAS:VOLT?", "+24.012,+12.003,+5.001,-2.000,-5.198,-12.004,-23.990" + kNoError},
                       {":MEAS:CURR?", "1.5E+00,3.25,10.4,2,0.125,1.1e-3,0" + kNoError}}));
    ViSession vi = open(peer);
    ViReal64 v[7] = {}, a[7] = {};
    EXPECT_EQ(cv4870_getOutputVoltages(vi, v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6), VI_SUCCESS);
    EXPECT_EQ(cv4870_getOutputCurrents(vi, a, a + 1, a + 2, a + 3, a + 4, a + 5, a + 6), VI_SUCCESS);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(std::vector<ViReal64>(v, v + 7),
              std::vector<ViReal64>({24.012, 12.003, 5.001, -2.0, -5.198, -12.004, -23.990}));
    EXPECT_EQ(std::vector<ViReal64>(a, a + 7), std::vector<ViReal64>({1.5, 3.25, 10.4, 2.0, 0.125, 0.0011, 0.0}));
    cv4870_close(vi);
}

TEST(ErrorMessage, EveryKindOfStatusHasAText)
{
    ViStatus own = 1;
    ViChar visaText[256] = {};
    viStatusDesc(VI_NULL, VI_ERROR_TMO, visaText);
    EXPECT_EQ(message(VI_ERROR_TMO, &own), visaText) << "VISA codes keep the VISA text";
    EXPECT_EQ(own, VI_SUCCESS);
    // mainframe codes never seen on a session take the standard texts
    EXPECT_EQ(message(CV4870_ERROR_SCPI_BASE + 350), "Mainframe error -350: Queue overflow");
    EXPECT_EQ(message(CV4870_ERROR_SCPI_BASE + 767), "Mainframe error -767: Unknown SCPI error");
    EXPECT_EQ(message(CV4870_ERROR_DEVICE_BASE + 1023), "Mainframe error 1023: Device-specific error");
    // unknown ones are named by value
    EXPECT_EQ(message(static_cast<ViStatus>(0xBFFC1000u), &own), "Unknown status 0xBFFC1000");
    EXPECT_EQ(own, VI_WARN_UNKNOWN_STATUS);
    EXPECT_EQ(message(-1), "Unknown status 0xFFFFFFFF");
    EXPECT_EQ(cv4870_error_message(VI_NULL, VI_ERROR_TMO, nullptr), VI_ERROR_PARAMETER3);
}

TEST(Checks, ArgumentsAreCheckedBeforeAnyIo)
{
    // A session that does not exist: argument errors come first, then the session.
    const ViSession none = 0x7FFF1234;
    ViInt32 i = 0;
    ViReal64 r = 0;
    ViBoolean b = 0;
    EXPECT_EQ(cv4870_getSerialNumber(none, &i, nullptr), VI_ERROR_PARAMETER3);
    EXPECT_EQ(cv4870_getStatus(none, &b, &b, &b, &b, &b, nullptr), VI_ERROR_PARAMETER7);
    EXPECT_EQ(cv4870_getOutputVoltages(none, &r, &r, &r, &r, &r, &r, nullptr), VI_ERROR_PARAMETER8);
    EXPECT_EQ(cv4870_getOutputCurrents(none, nullptr, &r, &r, &r, &r, &r, &r), VI_ERROR_PARAMETER2);
    EXPECT_EQ(cv4870_getOutputStates(none, &b, &b, &b, nullptr, &b, &b, &b), VI_ERROR_PARAMETER5);
    EXPECT_EQ(cv4870_getFanSpeed(none, &i, &i, &i, nullptr), VI_ERROR_PARAMETER5);
    EXPECT_EQ(cv4870_getTemperature(none, nullptr, &i), VI_ERROR_PARAMETER2);
    EXPECT_EQ(cv4870_getDescription(none, nullptr), VI_ERROR_PARAMETER2);
    EXPECT_EQ(cv4870_revision_query(VI_NULL, nullptr, nullptr), VI_ERROR_PARAMETER2);
    for (ViInt32 bad : {-1, 1, 1199, 3601, 100000})
        EXPECT_EQ(cv4870_setFanSpeed(none, bad), VI_ERROR_PARAMETER2) << bad;
    EXPECT_EQ(cv4870_setMainPowerState(none, 2), VI_ERROR_PARAMETER2);
    EXPECT_EQ(cv4870_getTemperature(none, &i, &i), VI_ERROR_INV_SESSION);
    EXPECT_EQ(cv4870_setFanSpeed(none, 1200), VI_ERROR_INV_SESSION);
    EXPECT_EQ(cv4870_setFanSpeed(none, 3600), VI_ERROR_INV_SESSION);
    EXPECT_EQ(cv4870_reset(VI_NULL), VI_ERROR_INV_SESSION);
    EXPECT_LT(cv4870_close(none), 0);

    // the driver revision alone needs no session
    char rev[CV4870_DRIVER_REVISION_BUFLEN], fw[CV4870_REVISION_BUFLEN] = "stale";
    EXPECT_EQ(cv4870_revision_query(VI_NULL, rev, nullptr), VI_SUCCESS);
    EXPECT_STREQ(rev, CV4870_DRIVER_REVISION);
    EXPECT_EQ(cv4870_revision_query(VI_NULL, rev, fw), VI_WARN_NSUP_REV_QUERY);
    EXPECT_STREQ(fw, "");
}

TEST(Checks, InitChecksItsArgumentsAndLeavesNoSession)
{
    ViSession vi = 77;
    char rsrc[] = "TCPIP::127.0.0.1::23::SOCKET", bad[] = "GPIB0::8::INSTR::nonsense";
    EXPECT_EQ(cv4870_init(nullptr, VI_TRUE, VI_FALSE, &vi), VI_ERROR_PARAMETER1);
    EXPECT_EQ(vi, VI_NULL);
    EXPECT_EQ(cv4870_init(rsrc, 2, VI_FALSE, &vi), VI_ERROR_PARAMETER2);
    EXPECT_EQ(cv4870_init(rsrc, VI_TRUE, 5, &vi), VI_ERROR_PARAMETER3);
    EXPECT_EQ(cv4870_init(rsrc, VI_TRUE, VI_FALSE, nullptr), VI_ERROR_PARAMETER4);
    vi = 77;
    EXPECT_LT(cv4870_init(bad, VI_TRUE, VI_FALSE, &vi), 0);
    EXPECT_EQ(vi, VI_NULL);
}
