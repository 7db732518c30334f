// Fault injection, in-process and through the SIMulation commands.
#include "cv4870emu.h"
#include "runningemulator.h"

#include <QtTest>

namespace {

const std::string kNoError = R"(0,"No error")";

} // namespace

class TestEmulatorFaults : public QObject {
    Q_OBJECT

private slots:
    void fanStall_data();
    void fanStall();
    void outputOutOfLimits();
    void inputPowerFailure();
    void overTemperature();
    void sysFailAsserted();
    void deviceErrorHitsTheNextHardwareCommand();
    void deviceErrorOverTheWire();
    void delayedReplyKeepsOrder();
    void noReply();
    void garbageReply();
    void oversizedReply();
    void droppedConnection();
    void persistentFaultUntilCleared();
    void faultArgumentsAreChecked_data();
    void faultArgumentsAreChecked();
    void manualClockOverTheWire();
};

void TestEmulatorFaults::fanStall_data()
{
    QTest::addColumn<bool>("overTheWire");
    QTest::newRow("in-process") << false;
    QTest::newRow("SIMulation") << true;
}

void TestEmulatorFaults::fanStall()
{
    QFETCH(bool, overTheWire);
    RunningEmulator r(true);
    QVERIFY(r.started);
    if (overTheWire)
        QCOMPARE(r.client.query("SIM:FAN:STAL 2,ON;:SYST:ERR?"), kNoError);
    else
        r.mf->model().setFanStall(1, true);
    // The monitor waits before it calls a slow fan failed.
    cv4870emu::ModelState s = r.advance(3000);
    QVERIFY(s.fans[1] < s.nominalFan / 2);
    QVERIFY(!s.fanFail);
    s = r.advance(cv4870emu::kFanFailDelayMs);
    QVERIFY(s.fanFail);
    QCOMPARE(s.fans[1], 0);
    QVERIFY(s.fans[0] > 1700 && s.fans[2] > 1700);
    QCOMPARE(r.client.query("STAT:LIN?"), std::string("1,0,0,1,0,0"));
    QCOMPARE(r.client.query("SIM:CLE;:SYST:ERR?"), kNoError);
    s = r.advance(20000);
    QVERIFY(!s.fanFail);
    QVERIFY(s.fans[1] > 1700);
}

void TestEmulatorFaults::outputOutOfLimits()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:OUTP:FAIL 5,ON;:OUTP:STAT?;:STAT:LIN?"), std::string("1,1,1,1,0,1,1;1,0,1,0,0,0"));
    const cv4870emu::ModelState s = r.mf->model().state();
    QVERIFY(std::fabs(s.volts[4] - -5.2) > 0.05 * 5.2);
    r.mf->model().setOutputOutOfLimits(4, false);
    r.mf->model().setOutputOutOfLimits(0, true);
    QCOMPARE(r.client.query("OUTP:STAT?"), std::string("0,1,1,1,1,1,1"));
    r.mf->clearFaults();
    QCOMPARE(r.client.query("OUTP:STAT?;:STAT:LIN?"), std::string("1,1,1,1,1,1,1;1,0,0,0,0,0"));
}

void TestEmulatorFaults::inputPowerFailure()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:INP:FAIL ON;:STAT:LIN?;:OUTP:STAT?;:POW?"),
             std::string("1,1,1,0,0,0;0,0,0,0,0,0,0;1"));
    const cv4870emu::ModelState s = r.advance(30000);
    for (double v : s.volts)
        QCOMPARE(v, 0.0);
    QVERIFY(s.fanFail); // the fans lose their supply too
    QCOMPARE(r.client.query("SIM:INP:FAIL OFF;:STAT:LIN?"), std::string("1,0,0,1,0,0"));
    QVERIFY(!r.advance(20000).fanFail);
}

void TestEmulatorFaults::overTemperature()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    r.mf->model().setOverTemperature(true);
    cv4870emu::ModelState s = r.advance(600000);
    QVERIFY(s.sensorFail);
    QVERIFY(s.fanTrayTemp >= cv4870emu::kFanTraySensorLimit);
    const std::string temps = r.client.query("MEAS:TEMP?");
    QVERIFY2(std::stoi(temps) >= cv4870emu::kFanTraySensorLimit, temps.c_str());
    QCOMPARE(r.client.query("STAT:LIN?"), std::string("1,0,0,0,1,0"));
    QCOMPARE(r.client.query("SIM:TEMP:OVER OFF;:SYST:ERR?"), kNoError);
    s = r.advance(600000);
    QVERIFY(!s.sensorFail);
}

void TestEmulatorFaults::sysFailAsserted()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:SYSF ON;:STAT:LIN?"), std::string("1,0,0,0,0,1"));
    r.advance(60000);
    QCOMPARE(r.client.query("STAT:LIN?"), std::string("1,0,0,0,0,1"));
    r.mf->model().setSysFailAsserted(false);
    QCOMPARE(r.client.query("STAT:LIN?"), std::string("1,0,0,0,0,0"));
    // SysReset holds it for a moment on its own.
    QCOMPARE(r.client.query("VXI:SYSR;:STAT:LIN?"), std::string("1,0,0,0,0,1"));
    r.advance(cv4870emu::kSysFailAfterResetMs);
    QCOMPARE(r.client.query("STAT:LIN?"), std::string("1,0,0,0,0,0"));
}

void TestEmulatorFaults::deviceErrorHitsTheNextHardwareCommand()
{
    cv4870emu::Mainframe mf;
    mf.injectDeviceError();
    // *CLS and the error query are the controller's own; the set command
    // between them is the one that fails, and it changes nothing.
    cv4870emu::LineOutcome out = mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?");
    QCOMPARE(out.bytes, std::string("301,\"Power supply not responding\"\n"));
    QCOMPARE(mf.model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    out = mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?");
    QCOMPARE(out.bytes, kNoError + "\n");
    // A failed query gives no response unit.
    mf.injectDeviceError(2);
    out = mf.processLine("*CLS;MEAS:VOLT?;:MEAS:TEMP?;:SYST:ERR?;:SYST:ERR?;:SYST:ERR?");
    QCOMPARE(out.bytes, std::string("301,\"Power supply not responding\";301,\"Power supply not responding\";") +
                            kNoError + "\n");
}

void TestEmulatorFaults::deviceErrorOverTheWire()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:ERR;:SYST:ERR?"), kNoError);
    QCOMPARE(r.client.query("*CLS;STAT:LIN?;:SYST:ERR?"), std::string("301,\"Power supply not responding\""));
    QCOMPARE(r.client.query("*CLS;STAT:LIN?;:SYST:ERR?"), "1,0,0,0,0,0;" + kNoError);
}

void TestEmulatorFaults::delayedReplyKeepsOrder()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:DEL 300;:SYST:ERR?"), kNoError);
    QCOMPARE(r.mf->processLine("*OPC?").delayMs, 300);
    QVERIFY(r.client.send("*IDN?\nSIM:DEL 0;:SYST:SER?\n"));
    // Held back: nothing there straight away; then both, in order.
    std::string line;
    QCOMPARE(r.client.readLine(line, 50), LineClient::Result::Timeout);
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line.substr(0, 12), std::string("Corvane Ltd."));
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line, std::string("48700001,48710001"));
    QCOMPARE(r.mf->processLine("*OPC?").delayMs, 0);
}

void TestEmulatorFaults::noReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    r.mf->injectNoReply();
    QVERIFY(r.client.send("FAN:SPE 2400;:SYST:ERR?\n"));
    // The line ran; only its reply is lost. The next query gets its own answer.
    QCOMPARE(r.client.query("FAN:SPE?").substr(0, 5), std::string("2400,"));
    // Lines without a reply do not use the fault up.
    QCOMPARE(r.client.query("SIM:NOREP;:SYST:ERR?"), kNoError);
    QVERIFY(r.client.send("POW ON\n"));
    QVERIFY(r.client.send("*IDN?\n"));
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
}

void TestEmulatorFaults::garbageReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:GARB;:SYST:ERR?"), kNoError);
    const std::string garbage = r.client.query("*IDN?");
    QVERIFY(!garbage.empty());
    QVERIFY(garbage.find("Corvane") == std::string::npos);
    bool unprintable = false;
    for (char c : garbage)
        unprintable = unprintable || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e;
    QVERIFY(unprintable);
    QCOMPARE(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

void TestEmulatorFaults::oversizedReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    r.mf->injectOversizedReply();
    QVERIFY(r.client.send("*IDN?\n"));
    std::string bytes;
    QCOMPARE(r.client.readBytes(bytes, cv4870emu::kOversizedReplyBytes), LineClient::Result::Line);
    QCOMPARE(bytes.size(), cv4870emu::kOversizedReplyBytes);
    QVERIFY(bytes.find('\n') == std::string::npos);
    // The next reply follows the junk directly.
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
    // A reader bounded below 100 kB sees no line end at all.
    r.mf->injectOversizedReply();
    QVERIFY(r.client.send("*IDN?\n"));
    std::string line;
    QCOMPARE(r.client.readLine(line, 5000, 64 * 1024), LineClient::Result::Overflow);
    // Other clients are not disturbed.
    LineClient fresh;
    QVERIFY(fresh.connect(r.mf->address(), r.mf->port()));
    QCOMPARE(fresh.query("*OPC?"), std::string("1"));
}

void TestEmulatorFaults::droppedConnection()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:DROP;:SYST:ERR?"), kNoError);
    QVERIFY(r.client.send("FAN:SPE 3000;:SYST:ERR?\n"));
    std::string line;
    QCOMPARE(r.client.readLine(line), LineClient::Result::Closed);
    // The line that met the fault never ran; the mainframe takes new clients.
    QCOMPARE(r.mf->model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    LineClient again;
    QVERIFY(again.connect(r.mf->address(), r.mf->port()));
    QCOMPARE(again.query("*OPC?"), std::string("1"));
}

void TestEmulatorFaults::persistentFaultUntilCleared()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:ERR -1;:SYST:ERR?"), kNoError);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(r.client.query("*CLS;POW?;:SYST:ERR?"), std::string("301,\"Power supply not responding\""));
    QCOMPARE(r.client.query("SIM:CLE;:POW?;:SYST:ERR?"), "1;" + kNoError);
    // A count: exactly that many.
    QCOMPARE(r.client.query("SIM:ERR 2;:POW?;:POW?;:POW?;:SYST:ERR:COUN?"), std::string("1;2"));
}

void TestEmulatorFaults::faultArgumentsAreChecked_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::newRow("fan 0") << "SIM:FAN:STAL 0,ON" << -222;
    QTest::newRow("fan 4") << "SIM:FAN:STAL 4,ON" << -222;
    QTest::newRow("fan without state") << "SIM:FAN:STAL 1" << -109;
    QTest::newRow("channel 8") << "SIM:OUTP:FAIL 8,ON" << -222;
    QTest::newRow("bad state") << "SIM:INP:FAIL SOMETIMES" << -224;
    QTest::newRow("count 0") << "SIM:GARB 0" << -222;
    QTest::newRow("count -2") << "SIM:DROP -2" << -222;
    QTest::newRow("delay too long") << "SIM:DEL 60001" << -222;
    QTest::newRow("delay missing") << "SIM:DEL" << -109;
    QTest::newRow("clear with argument") << "SIM:CLE 1" << -108;
}

void TestEmulatorFaults::faultArgumentsAreChecked()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    RunningEmulator r(true);
    QVERIFY(r.started);
    const std::string reply = r.client.query("*CLS;" + command.toStdString() + ";:SYST:ERR?;:STAT:LIN?");
    QCOMPARE(std::stoi(reply), code);
    QVERIFY2(reply.size() > 12 && reply.substr(reply.size() - 12) == ";1,0,0,0,0,0", reply.c_str());
}

void TestEmulatorFaults::manualClockOverTheWire()
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setSimulationCommands(true);
    QVERIFY(server.start());
    LineClient c;
    QVERIFY(c.connect(mf.address(), mf.port()));
    QCOMPARE(c.query("SIM:CLOC:MAN ON;MAN?"), std::string("1"));
    QCOMPARE(c.query("FAN:SPE 0;:SIM:CLOC:ADV 600000;:FAN:SPE?"), std::string("0,0,0,0"));
    QCOMPARE(c.query("SIM:CLOC:ADV 1200000;:STAT:LIN?"), std::string("1,0,0,0,1,0"));
}

QTEST_APPLESS_MAIN(TestEmulatorFaults)
#include "tst_emulator_faults.moc"
