// Fault injection, in-process and through the SIMulation commands.
#include "cv4870emu.h"
#include "runningemulator.h"

#include <QtTest>

#include <algorithm>

namespace {

const std::string kNoError = R"(0,"No error")";
const std::string kNotResponding = R"(301,"Power supply not responding")";
const std::string kHealthy = "1,0,0,0,0,0;1,1,1,1,1,1,1"; // STAT:LIN?;:OUTP:STAT?

bool matches(const std::string &reply, const QString &pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern))
        .match(QString::fromStdString(reply))
        .hasMatch();
}

// The in-process twin of each SIMulation fault command used below.
void injectInProcess(cv4870emu::Model &m, const QString &sim)
{
    if (sim.startsWith("SIM:FAN"))
        m.setFanStall(1, true);
    else if (sim.startsWith("SIM:OUTP"))
        m.setOutputOutOfLimits(4, true);
    else if (sim.startsWith("SIM:INP"))
        m.setInputPowerFail(true);
    else if (sim.startsWith("SIM:TEMP"))
        m.setOverTemperature(true);
    else
        m.setSysFailAsserted(true);
}

} // namespace

class TestEmulatorFaults : public QObject
{
    Q_OBJECT

private slots:
    void modelFaults_data();
    void modelFaults();
    void deviceError();
    void delayedReplyKeepsOrder();
    void noReply();
    void garbageReply();
    void oversizedReply();
    void extraAndDuplicatedReplies();
    void droppedConnection();
    void simulationCommandsOverTheWire();
};

void TestEmulatorFaults::modelFaults_data()
{
    // Status lines and output states (STAT:LIN?;:OUTP:STAT?) at once and
    // after ms of model time, then a measurement that shows the fault.
    QTest::addColumn<QString>("sim");
    QTest::addColumn<QString>("off");
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("atOnce");
    QTest::addColumn<QString>("later");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QString>("shows");
    // The monitor waits before it calls a slow fan failed.
    QTest::newRow("fan stall") << "SIM:FAN:STAL 2,ON"
                               << "SIM:FAN:STAL 2,OFF" << 3000 + cv4870emu::kFanFailDelayMs
                               << "1,0,0,0,0,0;1,1,1,1,1,1,1"
                               << "1,0,0,1,0,0;1,1,1,1,1,1,1"
                               << "FAN:SPE?"
                               << R"(1800,1[78]\d\d,0,1[78]\d\d)";
    QTest::newRow("output out of limits") << "SIM:OUTP:FAIL 5,ON"
                                          << "SIM:OUTP:FAIL 5,OFF" << 60000 << "1,0,1,0,0,0;1,1,1,1,0,1,1"
                                          << "1,0,1,0,0,0;1,1,1,1,0,1,1"
                                          << "MEAS:VOLT?"
                                          << R"(([^,]+,){4}-5\.6\d\d(,[^,]+){2})";
    // The fans lose their supply too.
    QTest::newRow("input failure") << "SIM:INP:FAIL ON"
                                   << "SIM:INP:FAIL OFF" << 30000 << "1,1,1,0,0,0;0,0,0,0,0,0,0"
                                   << "1,1,1,1,0,0;0,0,0,0,0,0,0"
                                   << "MEAS:VOLT?;:POW?"
                                   << R"(([+-]0\.000,){6}[+-]0\.000;1)";
    QTest::newRow("over-temperature") << "SIM:TEMP:OVER ON"
                                      << "SIM:TEMP:OVER OFF" << 600000 << "1,0,0,0,0,0;1,1,1,1,1,1,1"
                                      << "1,0,0,0,1,0;1,1,1,1,1,1,1"
                                      << "MEAS:TEMP?"
                                      << R"(([7-9]\d|1\d\d),\d+)";
    QTest::newRow("SysFail") << "SIM:SYSF ON"
                             << "SIM:SYSF OFF" << 60000 << "1,0,0,0,0,1;1,1,1,1,1,1,1"
                             << "1,0,0,0,0,1;1,1,1,1,1,1,1"
                             << "*OPC?"
                             << "1";
}

void TestEmulatorFaults::modelFaults()
{
    QFETCH(QString, sim);
    QFETCH(QString, off);
    QFETCH(int, ms);
    QFETCH(QString, atOnce);
    QFETCH(QString, later);
    QFETCH(QString, probe);
    QFETCH(QString, shows);
    for (bool wire : {false, true}) {
        RunningEmulator r(true);
        QVERIFY(r.started);
        if (wire)
            QCOMPARE(r.client.query(sim.toStdString() + ";:SYST:ERR?"), kNoError);
        else
            injectInProcess(r.mf->model(), sim);
        QCOMPARE(QString::fromStdString(r.client.query("STAT:LIN?;:OUTP:STAT?")), atOnce);
        r.advance(ms);
        QCOMPARE(QString::fromStdString(r.client.query("STAT:LIN?;:OUTP:STAT?")), later);
        const std::string shown = r.client.query(probe.toStdString());
        QVERIFY2(matches(shown, shows), shown.c_str());
        if (wire)
            QCOMPARE(r.client.query(off.toStdString() + ";:SYST:ERR?"), kNoError);
        else
            r.mf->clearFaults();
        r.advance(600000);
        QCOMPARE(r.client.query("STAT:LIN?;:OUTP:STAT?"), kHealthy);
    }
}

void TestEmulatorFaults::deviceError()
{
    cv4870emu::Mainframe mf;
    mf.injectLinkFault(cv4870emu::LinkFault::DeviceError);
    // *CLS and the error query are the controller's own; the set command
    // between them is the one that fails, and it changes nothing.
    QCOMPARE(mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?").bytes, kNotResponding + "\n");
    QCOMPARE(mf.model().state().nominalFan, cv4870emu::kDefaultFanSpeed);
    QCOMPARE(mf.processLine("*CLS;FAN:SPE 2400;:SYST:ERR?").bytes, kNoError + "\n");
    // A failed query gives no response unit.
    mf.injectLinkFault(cv4870emu::LinkFault::DeviceError, 2);
    QCOMPARE(mf.processLine("*CLS;MEAS:VOLT?;:MEAS:TEMP?;:SYST:ERR?;:SYST:ERR?;:SYST:ERR?").bytes,
             kNotResponding + ";" + kNotResponding + ";" + kNoError + "\n");

    // Over the wire: until cleared, or exactly a count.
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:ERR -1;:SYST:ERR?"), kNoError);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(r.client.query("*CLS;POW?;:SYST:ERR?"), kNotResponding);
    QCOMPARE(r.client.query("SIM:CLE;:POW?;:SYST:ERR?"), "1;" + kNoError);
    QCOMPARE(r.client.query("SIM:ERR 2;:POW?;:POW?;:POW?;:SYST:ERR:COUN?"), std::string("1;2"));
}

void TestEmulatorFaults::delayedReplyKeepsOrder()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:DEL 300;:SYST:ERR?"), kNoError);
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
    r.mf->injectLinkFault(cv4870emu::LinkFault::NoReply);
    QVERIFY(r.client.send("FAN:SPE 2400;:SYST:ERR?\n"));
    // The line ran; only its reply is lost. The next query gets its own answer.
    QCOMPARE(r.client.query("FAN:SPE?").substr(0, 5), std::string("2400,"));
    // Lines without a reply do not use the fault up.
    QVERIFY(r.client.send("SIM:NOREP\nPOW ON\n*IDN?\n"));
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
}

void TestEmulatorFaults::garbageReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    r.mf->injectLinkFault(cv4870emu::LinkFault::Garbage);
    const std::string garbage = r.client.query("*IDN?");
    QVERIFY(!garbage.empty() && garbage.find("Corvane") == std::string::npos);
    QVERIFY(std::any_of(garbage.begin(), garbage.end(), [](char c) { return c < 0x20 || c > 0x7e; }));
    QCOMPARE(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

void TestEmulatorFaults::oversizedReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    QCOMPARE(r.client.query("SIM:OVER;:SYST:ERR?"), kNoError);
    QVERIFY(r.client.send("*IDN?\n"));
    std::string bytes;
    QCOMPARE(r.client.readBytes(bytes, cv4870emu::kOversizedReplyBytes), LineClient::Result::Line);
    QVERIFY(bytes.find('\n') == std::string::npos);
    // The next reply follows the junk directly.
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
    // Other clients are not disturbed.
    LineClient fresh;
    QVERIFY(fresh.connect(r.mf->address(), r.mf->port()));
    QCOMPARE(fresh.query("*OPC?"), std::string("1"));
}

void TestEmulatorFaults::extraAndDuplicatedReplies()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    std::vector<std::pair<std::string, std::string>> seen;
    r.mf->setLineObserver([&](const std::string &line, const std::string &reply) { seen.emplace_back(line, reply); });
    r.mf->injectLinkFault(cv4870emu::LinkFault::ExtraLine);
    // The reply, then a line of its shape with every digit moved on by five.
    QCOMPARE(r.client.query("SYST:TAG? 120;:SYST:SER?"), std::string("120;48700001,48710001"));
    std::string line;
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line, std::string("675;93255556,93265556"));
    QCOMPARE(r.client.query("SIM:DUPL 2;:SYST:TAG? 1"), std::string("1"));
    QVERIFY(r.client.send("SYST:TAG? 2\nSYST:TAG? 3\nSIM:GARB\nSYST:TAG? 4\n"));
    for (const char *expected : {"2", "2", "3", "3"}) {
        QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
        QCOMPARE(line, std::string(expected));
    }
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QVERIFY(line != "4");
    // The observer saw every line with its true reply, garbage or not.
    QCOMPARE(seen.size(), std::size_t(6));
    QCOMPARE(seen[1].second, std::string("1"));
    QCOMPARE(seen[4], std::make_pair(std::string("SIM:GARB"), std::string()));
    QCOMPARE(seen[5], std::make_pair(std::string("SYST:TAG? 4"), std::string("4")));
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

void TestEmulatorFaults::simulationCommandsOverTheWire()
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setSimulationCommands(true);
    QVERIFY(server.start());
    LineClient c;
    QVERIFY(c.connect(mf.address(), mf.port()));
    // Bad arguments are refused and no fault takes hold.
    const std::pair<const char *, int> refused[] = {{"SIM:FAN:STAL 4,ON", -222},  {"SIM:FAN:STAL 1", -109},
                                                    {"SIM:OUTP:FAIL 8,ON", -222}, {"SIM:INP:FAIL SOMETIMES", -224},
                                                    {"SIM:GARB 0", -222},         {"SIM:DEL 60001", -222},
                                                    {"SIM:CLE 1", -108}};
    for (const auto &[command, code] : refused) {
        const std::string reply = c.query(std::string("*CLS;") + command + ";:SYST:ERR?;:STAT:LIN?");
        QCOMPARE(std::stoi(reply), code);
        QVERIFY2(reply.size() > 12 && reply.substr(reply.size() - 12) == ";1,0,0,0,0,0", reply.c_str());
    }
    // The model clock stepped from the wire.
    QCOMPARE(c.query("SIM:CLOC:MAN ON;MAN?"), std::string("1"));
    QCOMPARE(c.query("FAN:SPE 0;:SIM:CLOC:ADV 600000;:FAN:SPE?"), std::string("0,0,0,0"));
    QCOMPARE(c.query("SIM:CLOC:ADV 1200000;:STAT:LIN?"), std::string("1,0,0,0,1,0"));
}

QTEST_APPLESS_MAIN(TestEmulatorFaults)
#include "tst_emulator_faults.moc"
