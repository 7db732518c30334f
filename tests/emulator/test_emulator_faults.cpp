// Fault injection, in-process and through the SIMulation commands.
#include "cv4870emu.h"
#include "runningemulator.h"
#include "testproc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <thread>

namespace {

const std::string kNoError = R"(0,"No error")";
const std::string kNotResponding = R"(301,"Power supply not responding")";
const std::string kHealthy = "1,0,0,0,0,0;1,1,1,1,1,1,1"; // STAT:LIN?;:OUTP:STAT?

} // namespace

// Each test with its own emulator that takes the SIMulation commands.
class LinkFaults : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(r.started); }
    RunningEmulator r{true};
};

// Status lines and output states (STAT:LIN?;:OUTP:STAT?) at once and after
// ms of model time, then a measurement that shows the fault; each fault
// set through its SIMulation command. The monitor waits before it calls a
// slow fan failed; with the input the fans lose their supply too.
TEST(EmulatorFaults, ModelFaults)
{
    const struct
    {
        std::string sim, off;
        int ms;
        std::string atOnce, later, probe, shows;
    } rows[] = {
        {"SIM:FAN:STAL 2,ON", "SIM:FAN:STAL 2,OFF", 3000 + cv4870emu::kFanFailDelayMs, "1,0,0,0,0,0;1,1,1,1,1,1,1",
         "1,0,0,1,0,0;1,1,1,1,1,1,1", "FAN:SPE?", R"(1800,1[78]\d\d,0,1[78]\d\d)"}, // fan stall
        {"SIM:OUTP:FAIL 5,ON", "SIM:OUTP:FAIL 5,OFF", 60000, "1,0,1,0,0,0;1,1,1,1,0,1,1", "1,0,1,0,0,0;1,1,1,1,0,1,1",
         "MEAS:VOLT?", R"(([^,]+,){4}-5\.6\d\d(,[^,]+){2})"}, // output out of limits
        {"SIM:INP:FAIL ON", "SIM:INP:FAIL OFF", 30000, "1,1,1,0,0,0;0,0,0,0,0,0,0", "1,1,1,1,0,0;0,0,0,0,0,0,0",
         "MEAS:VOLT?;:POW?", R"(([+-]0\.000,){6}[+-]0\.000;1)"}, // input failure
        {"SIM:TEMP:OVER ON", "SIM:TEMP:OVER OFF", 600000, "1,0,0,0,0,0;1,1,1,1,1,1,1", "1,0,0,0,1,0;1,1,1,1,1,1,1",
         "MEAS:TEMP?", R"(([7-9]\d|1\d\d),\d+)"}, // over-temperature
        {"SIM:SYSF ON", "SIM:SYSF OFF", 60000, "1,0,0,0,0,1;1,1,1,1,1,1,1", "1,0,0,0,0,1;1,1,1,1,1,1,1", "*OPC?",
         "1"}, // SysFail
    };
    // The SIMulation commands call the model's own fault setters.
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sim);
        RunningEmulator r(true);
        ASSERT_TRUE(r.started);
        EXPECT_EQ(r.client.query(row.sim + ";:SYST:ERR?"), kNoError);
        EXPECT_EQ(r.client.query("STAT:LIN?;:OUTP:STAT?"), row.atOnce);
        r.advance(row.ms);
        EXPECT_EQ(r.client.query("STAT:LIN?;:OUTP:STAT?"), row.later);
        const std::string shown = r.client.query(row.probe);
        EXPECT_TRUE(std::regex_match(shown, std::regex(row.shows))) << shown;
        // Ended by its OFF command, and again by clearFaults().
        for (bool command : {true, false}) {
            EXPECT_EQ(r.client.query((command ? row.off : row.sim) + ";:SYST:ERR?"), kNoError);
            if (!command)
                r.mf->clearFaults();
            r.advance(600000);
            EXPECT_EQ(r.client.query("STAT:LIN?;:OUTP:STAT?"), kHealthy);
        }
    }
}

TEST_F(LinkFaults, DeviceError)
{
    cv4870emu::Mainframe mf;
    mf.injectLinkFault(cv4870emu::LinkFault::DeviceError);
    // *CLS and the error query are the controller's own; the set command
    // between them is the one that fails, and it changes nothing.
    EXPECT_EQ(mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?").bytes, kNotResponding + "\n");
    EXPECT_EQ(mf.model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    EXPECT_EQ(mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?").bytes, kNoError + "\n");
    // A failed query gives no response unit.
    mf.injectLinkFault(cv4870emu::LinkFault::DeviceError, 2);
    EXPECT_EQ(mf.processLine("*CLS;MEAS:VOLT?;:MEAS:TEMP?;:SYST:ERR?;:SYST:ERR?;:SYST:ERR?").bytes,
              kNotResponding + ";" + kNotResponding + ";" + kNoError + "\n");

    // Over the wire: until cleared, or exactly a count.
    EXPECT_EQ(r.client.query("SIM:ERR -1;:SYST:ERR?"), kNoError);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(r.client.query("*CLS;POW?;:SYST:ERR?"), kNotResponding);
    EXPECT_EQ(r.client.query("SIM:CLE;:POW?;:SYST:ERR?"), "1;" + kNoError);
    EXPECT_EQ(r.client.query("SIM:ERR 2;:POW?;:POW?;:POW?;:SYST:ERR:COUN?"), std::string("1;2"));
}

TEST_F(LinkFaults, DelayedReplyKeepsOrder)
{
    EXPECT_EQ(r.client.query("SIM:DEL 300;:SYST:ERR?"), kNoError);
    EXPECT_TRUE(r.client.send("*IDN?\nSIM:DEL 0;:SYST:SER?\n"));
    // Held back: nothing there straight away; then both, in order.
    std::string line;
    EXPECT_EQ(r.client.readLine(line, 50), LineClient::Result::Timeout);
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_EQ(line.substr(0, 12), std::string("Corvane Ltd."));
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_EQ(line, std::string("48700001,48710001"));
    EXPECT_EQ(r.mf->processLine("*OPC?").delayMs, 0);
}

TEST_F(LinkFaults, NoReply)
{
    r.mf->injectLinkFault(cv4870emu::LinkFault::NoReply);
    EXPECT_TRUE(r.client.send("FAN:SPE 2400;:SYST:ERR?\n"));
    // The line ran; only its reply is lost. The next query gets its own answer.
    EXPECT_EQ(r.client.query("FAN:SPE?").substr(0, 5), std::string("2400,"));
    // Lines without a reply do not use the fault up.
    EXPECT_TRUE(r.client.send("SIM:NOREP\nPOW ON\n*IDN?\n"));
    EXPECT_EQ(r.client.query("*OPC?"), std::string("1"));
}

TEST_F(LinkFaults, GarbageReply)
{
    r.mf->injectLinkFault(cv4870emu::LinkFault::Garbage);
    const std::string garbage = r.client.query("*IDN?");
    EXPECT_TRUE(!garbage.empty() && garbage.find("Corvane") == std::string::npos);
    EXPECT_TRUE(std::any_of(garbage.begin(), garbage.end(), [](char c) { return c < 0x20 || c > 0x7e; }));
    EXPECT_EQ(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

TEST_F(LinkFaults, OversizedReply)
{
    EXPECT_EQ(r.client.query("SIM:OVER;:SYST:ERR?"), kNoError);
    EXPECT_TRUE(r.client.send("*IDN?\n"));
    std::string bytes;
    EXPECT_EQ(r.client.readBytes(bytes, cv4870emu::kOversizedReplyBytes), LineClient::Result::Line);
    EXPECT_TRUE(bytes.find('\n') == std::string::npos);
    // The next reply follows the junk directly.
    EXPECT_EQ(r.client.query("*OPC?"), std::string("1"));
    // Other clients are not disturbed.
    LineClient fresh;
    EXPECT_TRUE(fresh.connect(r.mf->address(), r.mf->port()));
    EXPECT_EQ(fresh.query("*OPC?"), std::string("1"));
}

TEST_F(LinkFaults, ExtraAndDuplicatedReplies)
{
    std::vector<std::pair<std::string, std::string>> seen;
    r.mf->setLineObserver([&](const std::string &line, const std::string &reply) { seen.emplace_back(line, reply); });
    r.mf->injectLinkFault(cv4870emu::LinkFault::ExtraLine);
    // The reply, then a line of its shape with every digit moved on by five.
    EXPECT_EQ(r.client.query("SYST:TAG? 120;:SYST:SER?"), std::string("120;48700001,48710001"));
    std::string line;
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_EQ(line, std::string("675;93255556,93265556"));
    EXPECT_EQ(r.client.query("SIM:DUPL 2;:SYST:TAG? 1"), std::string("1"));
    EXPECT_TRUE(r.client.send("SYST:TAG? 2\nSYST:TAG? 3\nSIM:GARB\nSYST:TAG? 4\n"));
    for (const char *expected : {"2", "2", "3", "3"}) {
        EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
        EXPECT_EQ(line, std::string(expected));
    }
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Line);
    EXPECT_TRUE(line != "4");
    // The observer saw every line with its true reply, garbage or not.
    EXPECT_EQ(seen.size(), std::size_t(6));
    EXPECT_EQ(seen[1].second, std::string("1"));
    EXPECT_EQ(seen[4], std::make_pair(std::string("SIM:GARB"), std::string()));
    EXPECT_EQ(seen[5], std::make_pair(std::string("SYST:TAG? 4"), std::string("4")));
}

TEST_F(LinkFaults, DroppedConnection)
{
    EXPECT_EQ(r.client.query("SIM:DROP;:SYST:ERR?"), kNoError);
    EXPECT_TRUE(r.client.send("FAN:SPE 3000;:SYST:ERR?\n"));
    std::string line;
    EXPECT_EQ(r.client.readLine(line), LineClient::Result::Closed);
    // The line that met the fault never ran; the mainframe takes new clients.
    EXPECT_EQ(r.mf->model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    LineClient again;
    EXPECT_TRUE(again.connect(r.mf->address(), r.mf->port()));
    EXPECT_EQ(again.query("*OPC?"), std::string("1"));
}

// A client resets its connection while replies are held back and its input
// waits behind them: the server closes the connection at once and goes back
// to sleep instead of waking until the delay runs out.
TEST_F(LinkFaults, ResetWithRepliesHeldBack)
{
    std::string lines = "SIM:DEL 20000\nSIM:OVER -1\n";
    for (int i = 0; i < 6; ++i)
        lines += "*IDN?\n";
    EXPECT_TRUE(r.client.send(lines));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the lines are taken in
    EXPECT_EQ(r.server.clientCount(), 1u);
    r.client.abort();
    EXPECT_TRUE(testproc::waitUntil([&] { return r.server.clientCount() == 0; }, 2000));
    const std::uint64_t before = r.server.wakeups();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(r.server.wakeups() - before, 5u);
}

TEST(EmulatorFaults, SimulationCommandsOverTheWire)
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setSimulationCommands(true);
    ASSERT_TRUE(server.start());
    LineClient c;
    EXPECT_TRUE(c.connect(mf.address(), mf.port()));
    // Bad arguments are refused and no fault takes hold.
    const std::pair<const char *, int> refused[] = {{"SIM:FAN:STAL 4,ON", -222},  {"SIM:FAN:STAL 1", -109},
                                                    {"SIM:OUTP:FAIL 8,ON", -222}, {"SIM:INP:FAIL SOMETIMES", -224},
                                                    {"SIM:GARB 0", -222},         {"SIM:DEL 60001", -222},
                                                    {"SIM:CLE 1", -108}};
    for (const auto &[command, code] : refused) {
        const std::string reply = c.query(std::string("*CLS;") + command + ";:SYST:ERR?;:STAT:LIN?");
        EXPECT_EQ(std::stoi(reply), code);
        EXPECT_TRUE(reply.size() > 12 && reply.substr(reply.size() - 12) == ";1,0,0,0,0,0") << reply.c_str();
    }
    // The model clock stepped from the wire.
    EXPECT_EQ(c.query("SIM:CLOC:MAN ON;MAN?"), std::string("1"));
    EXPECT_EQ(c.query("FAN:SPE 0;:SIM:CLOC:ADV 600000;:FAN:SPE?"), std::string("0,0,0,0"));
    EXPECT_EQ(c.query("SIM:CLOC:ADV 1200000;:STAT:LIN?"), std::string("1,0,0,0,1,0"));
}
