// What the driver answers without a session: status texts, the driver
// revision and the checks done before any I/O.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cv4870.h"

namespace {

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

TEST(ErrorMessage, EveryKindOfStatusHasAText)
{
    ViStatus own = 1;
    ViChar visaText[256] = {};
    viStatusDesc(VI_NULL, VI_ERROR_TMO, visaText);
    EXPECT_EQ(message(VI_ERROR_TMO, &own), visaText) << "VISA codes keep the VISA text";
    EXPECT_EQ(own, VI_SUCCESS);
    for (ViStatus st : std::initializer_list<ViStatus>{VI_ERROR_FAIL_ID_QUERY, VI_ERROR_INV_RESPONSE, CV4870_WARN_TEXT_TRUNCATED, VI_WARN_NSUP_ID_QUERY,
                        VI_WARN_NSUP_RESET, VI_WARN_NSUP_SELF_TEST, VI_WARN_NSUP_ERROR_QUERY, VI_WARN_NSUP_REV_QUERY}) {
        EXPECT_EQ(message(st, &own).find("Unknown"), std::string::npos) << std::hex << st;
        EXPECT_EQ(own, VI_SUCCESS) << std::hex << st;
    }
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(message(VI_ERROR_PARAMETER1 + n - 1).find("Parameter " + std::to_string(n)), 0u) << n;
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
