// The driver against the in-process emulator on loopback: every function's
// normal path, and every fault of the emulator on every function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "calls.h"
#include "cv4870.h"
#include "cv4870emu.h"

namespace {

constexpr ViUInt32 kShortTimeoutMs = 250;

std::string message(ViStatus st)
{
    char buf[CV4870_ERROR_MESSAGE_BUFLEN];
    cv4870_error_message(VI_NULL, st, buf);
    return buf;
}

class Emulated : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server.setLogLevel(cv4870emu::LogLevel::Quiet);
        mf = &server.addMainframe("127.0.0.1", 0);
        cv4870emu::Identity id;
        id.psSerial = 48701001;
        id.fanSerial = 48702002;
        id.description = "Ostrel \"4870\" mainframe";
        mf->setIdentity(id);
        mf->model().setManualClock(true);
        std::string error;
        ASSERT_TRUE(server.start(&error)) << error;
        rsrc = "TCPIP::127.0.0.1::" + std::to_string(mf->port()) + "::SOCKET";
    }

    ViStatus init(ViSession *vi, ViBoolean idQuery = VI_TRUE, ViBoolean reset = VI_FALSE)
    {
        return cv4870_init(const_cast<ViRsrc>(rsrc.c_str()), idQuery, reset, vi);
    }

    // An open session with a short timeout, so that faults resolve quickly.
    ViSession open()
    {
        ViSession vi = VI_NULL;
        EXPECT_EQ(init(&vi), VI_SUCCESS);
        EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, kShortTimeoutMs), VI_SUCCESS);
        return vi;
    }

    // The session answers with its own reply again: the serial numbers.
    void expectInStep(ViSession vi)
    {
        ViInt32 ps = 0, fan = 0;
        EXPECT_EQ(cv4870_getSerialNumber(vi, &ps, &fan), VI_SUCCESS);
        EXPECT_EQ(ps, 48701001);
        EXPECT_EQ(fan, 48702002);
    }

    cv4870emu::Server server;
    cv4870emu::Mainframe *mf = nullptr;
    std::string rsrc;
};

} // namespace

TEST_F(Emulated, ClosedOrUnreachableSessionsAreRefused)
{
    ViSession vi = VI_NULL;
    ASSERT_EQ(init(&vi), VI_SUCCESS);
    EXPECT_EQ(cv4870_close(vi), VI_SUCCESS);
    ViInt32 a, b;
    EXPECT_EQ(cv4870_getTemperature(vi, &a, &b), VI_ERROR_INV_SESSION);
    EXPECT_LT(cv4870_close(vi), 0);

    // nothing listening any more: an error with a text, and no session
    server.stop();
    vi = 99;
    const ViStatus st = init(&vi);
    EXPECT_LT(st, 0);
    EXPECT_EQ(vi, VI_NULL);
    EXPECT_EQ(message(st).find("Unknown"), std::string::npos) << message(st);
}

// Every reading against the emulator's true state is checked through the
// monitoring core's round trip (tests/monitor); here the identity texts.
TEST_F(Emulated, IdentityQueries)
{
    ViSession vi = open();
    ViChar drv[CV4870_REVISION_BUFLEN], fw[CV4870_REVISION_BUFLEN], desc[CV4870_DESCRIPTION_BUFLEN];
    EXPECT_EQ(cv4870_revision_query(vi, drv, fw), VI_SUCCESS);
    EXPECT_STREQ(drv, CV4870_DRIVER_REVISION);
    EXPECT_STREQ(fw, "A.03.11");
    EXPECT_EQ(cv4870_getDescription(vi, desc), VI_SUCCESS);
    EXPECT_STREQ(desc, "Ostrel \"4870\" mainframe");
    expectInStep(vi);
    cv4870_close(vi);
}

TEST_F(Emulated, CommandsChangeTheMainframe)
{
    ViSession vi = open();
    EXPECT_EQ(cv4870_setFanSpeed(vi, 2400), VI_SUCCESS);
    EXPECT_EQ(mf->model().state().nominalFan, 2400);
    EXPECT_EQ(cv4870_setFanSpeed(vi, 0), VI_SUCCESS);
    EXPECT_EQ(mf->model().state().nominalFan, 0);
    EXPECT_EQ(cv4870_setMainPowerState(vi, VI_FALSE), VI_SUCCESS);
    EXPECT_FALSE(mf->model().state().power);
    EXPECT_EQ(cv4870_setMainPowerState(vi, VI_TRUE), VI_SUCCESS);
    EXPECT_TRUE(mf->model().state().power);
    mf->model().advance(cv4870emu::kSysFailAfterResetMs + 100);
    EXPECT_EQ(cv4870_setVXIsysReset(vi), VI_SUCCESS);
    EXPECT_TRUE(mf->model().state().sysFail) << "SysFail after SysReset";
    EXPECT_EQ(cv4870_setFanSpeed(vi, 3600), VI_SUCCESS);
    EXPECT_EQ(cv4870_reset(vi), VI_SUCCESS);
    EXPECT_EQ(mf->model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    cv4870_close(vi);
}

TEST_F(Emulated, EveryFaultGivesItsStatusAndTheNextCallItsOwnAnswer)
{
    using cv4870emu::LinkFault;
    const struct
    {
        const char *name;
        LinkFault kind;
        ViStatus expected;
    } faults[] = {
        {"device error", LinkFault::DeviceError, CV4870_ERROR_DEVICE_BASE + 301},
        {"garbage", LinkFault::Garbage, VI_ERROR_INV_RESPONSE},
        {"oversized", LinkFault::Oversized, VI_ERROR_INV_RESPONSE},
        {"no reply", LinkFault::NoReply, VI_ERROR_TMO},
    };
    ViSession vi = open();
    for (const auto &fault : faults) {
        for (const Call &call : kCalls) {
            SCOPED_TRACE(std::string(fault.name) + " on " + call.name);
            mf->injectLinkFault(fault.kind);
            const ViStatus st = call.run(vi);
            mf->clearFaults(); // a device error stays pending over calls that do not touch the hardware
            const bool deviceError = fault.kind == LinkFault::DeviceError;
            EXPECT_EQ(st, deviceError && !call.hardware ? VI_SUCCESS : fault.expected);
            expectInStep(vi);
        }
    }
    EXPECT_EQ(message(CV4870_ERROR_DEVICE_BASE + 301), "Mainframe error 301: Power supply not responding");
    cv4870_close(vi);
}

TEST_F(Emulated, DroppedConnectionIsReportedOnEveryLaterCall)
{
    ViSession vi = open();
    mf->injectLinkFault(cv4870emu::LinkFault::Drop);
    ViInt32 a, b;
    EXPECT_EQ(cv4870_getTemperature(vi, &a, &b), VI_ERROR_CONN_LOST);
    for (const Call &call : kCalls)
        EXPECT_LT(call.run(vi), 0) << call.name;
    cv4870_close(vi);
}

TEST_F(Emulated, SessionsOnSeveralThreadsStayApart)
{
    ViSession vi[2] = {open(), open()};
    ViStatus worst[2] = {VI_SUCCESS, VI_SUCCESS};
    auto poll = [&](int n) {
        for (int i = 0; i < 40; ++i)
            for (const Call &call : kCalls)
                if (std::string(call.name).rfind("get", 0) == 0)
                    worst[n] = std::min(worst[n], call.run(vi[n]));
    };
    std::thread t0(poll, 0), t1(poll, 1);
    t0.join();
    t1.join();
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(worst[n], VI_SUCCESS);
        expectInStep(vi[n]);
        cv4870_close(vi[n]);
    }
}
