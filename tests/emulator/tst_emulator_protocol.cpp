// Protocol conformance of the emulator over a real loopback socket.
#include "cv4870emu.h"
#include "runningemulator.h"

#include <QtTest>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

namespace {

QStringList units(const std::string &reply)
{
    return QString::fromStdString(reply).split(QLatin1Char(';'));
}

} // namespace

class TestEmulatorProtocol : public QObject {
    Q_OBJECT

private slots:
    void identification();
    void shortAndLongForms_data();
    void shortAndLongForms();
    void chainedCommandsJoinReplies();
    void relativeAndAbsolutePaths();
    void commandsWithoutQueryStaySilent();
    void crLfAccepted();
    void errors_data();
    void errors();
    void errorQueueIsFifoAndOverflows();
    void clsClearsQueue();
    void fanSpeedRange_data();
    void fanSpeedRange();
    void powerSwitch();
    void descriptionIsQuoted();
    void overlongLineKeepsConnectionUsable();
    void arbitraryBytesAreAnswered();
    void simulationCommandsNeedTheFlag();
    void severalClientsAtOnce();
    void severalMainframes();
    void repliesOutliveHalfClose();
    void slowReaderGetsEveryReply();
    void bindFailureNamesAddress();
    void stopWithClientsConnected();
};

void TestEmulatorProtocol::identification()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QCOMPARE(r.client.query("*IDN?"), std::string("Corvane Ltd.,4870,48700001,A.03.11"));
    QCOMPARE(r.client.query("SYST:SER?"), std::string("48700001,48710001"));
    QCOMPARE(r.client.query("SYST:FIRM?"), std::string("A.03.11"));
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
}

void TestEmulatorProtocol::shortAndLongForms_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");
    QTest::newRow("error long") << "SYSTem:ERRor:NEXT?" << R"(0,"No error")";
    QTest::newRow("error short") << "syst:err?" << R"(0,"No error")";
    QTest::newRow("error mixed case") << "SyStEm:ErRoR?" << R"(0,"No error")";
    QTest::newRow("power optional node") << "POWER:STATE?" << "1";
    QTest::newRow("power short") << "pow?" << "1";
    QTest::newRow("fan long") << "FAN:SPEED?" << "1800,";
    QTest::newRow("lines") << "STATUS:LINES?" << "1,0,0,0,0,0";
    QTest::newRow("outputs") << "outp:stat?" << "1,1,1,1,1,1,1";
    QTest::newRow("between short and long") << "SYSTE:ERR?" << "";
}

void TestEmulatorProtocol::shortAndLongForms()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    RunningEmulator r;
    QVERIFY(r.started);
    const std::string reply = r.client.query(command.toStdString() + ";:SYST:ERR?");
    if (expected.isEmpty()) {
        // Neither form: only the error reply comes back.
        QCOMPARE(reply, std::string(R"(-113,"Undefined header")"));
    } else {
        QVERIFY2(QString::fromStdString(reply).startsWith(expected), reply.c_str());
        QVERIFY2(QString::fromStdString(reply).endsWith(R"(0,"No error")"), reply.c_str());
    }
}

void TestEmulatorProtocol::chainedCommandsJoinReplies()
{
    RunningEmulator r;
    QVERIFY(r.started);
    const std::string reply = r.client.query("*CLS;MEAS:VOLT?;:MEAS:CURR?;:FAN:SPE?;:MEAS:TEMP?;:SYST:ERR?");
    const QStringList parts = units(reply);
    QCOMPARE(parts.size(), 5);
    QCOMPARE(parts[0].split(',').size(), 7);
    QCOMPARE(parts[1].split(',').size(), 7);
    QCOMPARE(parts[2].split(',').size(), 4);
    QCOMPARE(parts[3].split(',').size(), 2);
    QCOMPARE(parts[4], QStringLiteral(R"(0,"No error")"));
    // Voltages carry their sign and three decimals, in channel order.
    const QStringList volts = parts[0].split(',');
    const QRegularExpression format(QStringLiteral("^[+-][0-9]+\\.[0-9]{3}$"));
    for (int i = 0; i < 7; ++i) {
        QVERIFY2(format.match(volts[i]).hasMatch(), qPrintable(volts[i]));
        const double nominal = cv4870emu::kNominalVolts[i];
        QVERIFY2(std::fabs(volts[i].toDouble() - nominal) < 0.05 * std::fabs(nominal), qPrintable(volts[i]));
    }
}

void TestEmulatorProtocol::relativeAndAbsolutePaths()
{
    RunningEmulator r;
    QVERIFY(r.started);
    // After SYST:SER? the current node is SYSTem, so FIRM? is SYSTem:FIRMware?.
    QCOMPARE(r.client.query("SYST:SER?;FIRM?"), std::string("48700001,48710001;A.03.11"));
    // MEAS:TEMP? relative to SYSTem does not exist.
    QCOMPARE(r.client.query("SYST:SER?;MEAS:TEMP?;:SYST:ERR?"),
             std::string(R"(48700001,48710001;-113,"Undefined header")"));
    // Common commands leave the current node alone.
    QCOMPARE(r.client.query("SYST:FIRM?;*OPC?;SER?"), std::string("A.03.11;1;48700001,48710001"));
}

void TestEmulatorProtocol::commandsWithoutQueryStaySilent()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QVERIFY(r.client.send("*CLS\nFAN:SPE 2400\nPOW ON;:VXI:SYSR\n"));
    // The first line that comes back is the answer to this query.
    QCOMPARE(r.client.query("FAN:SPE?").substr(0, 5), std::string("2400,"));
}

void TestEmulatorProtocol::crLfAccepted()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QVERIFY(r.client.send("*IDN?\r\n"));
    std::string line;
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line, std::string("Corvane Ltd.,4870,48700001,A.03.11"));
}

void TestEmulatorProtocol::errors_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::newRow("unknown header") << "FOO:BAR" << -113;
    QTest::newRow("query form missing") << "MEAS:VOLT" << -113;
    QTest::newRow("command form missing") << "SYST:SER 5" << -113;
    QTest::newRow("unknown common") << "*XYZ" << -113;
    QTest::newRow("parameter on a query") << "FAN:SPE? 1800" << -108;
    QTest::newRow("parameter on a command") << "VXI:SYSR 1" << -108;
    QTest::newRow("two parameters") << "FAN:SPE 1800,1900" << -108;
    QTest::newRow("missing parameter") << "FAN:SPE" << -109;
    QTest::newRow("letters for a number") << "FAN:SPE fast" << -104;
    QTest::newRow("string for a number") << "FAN:SPE \"1800\"" << -104;
    QTest::newRow("bad number") << "FAN:SPE 18x0" << -121;
    QTest::newRow("two points") << "FAN:SPE 1.8.0" << -121;
    QTest::newRow("bare sign") << "FAN:SPE -" << -121;
    QTest::newRow("empty exponent") << "FAN:SPE 1E" << -121;
    QTest::newRow("huge exponent") << "FAN:SPE 1E999" << -123;
    QTest::newRow("comma decimal") << "FAN:SPE 1800,5" << -108;
    QTest::newRow("bad boolean") << "POW MAYBE" << -224;
    QTest::newRow("empty node") << "FAN::SPE 1800" << -102;
    QTest::newRow("bad character") << "FAN:SP#E 1800" << -102;
    QTest::newRow("open quote") << "FAN:SPE \"1800" << -151;
    QTest::newRow("empty parameter") << "FAN:SPE ,1800" << -102;
    QTest::newRow("too long mnemonic") << "FAN:SPEEEEEEEEEEEEEED 1800" << -112;
    QTest::newRow("out of range") << "FAN:SPE 1199" << -222;
}

void TestEmulatorProtocol::errors()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    RunningEmulator r;
    QVERIFY(r.started);
    // On a line of its own: an open quote runs to the end of its line.
    QVERIFY(r.client.send("*CLS\n" + command.toStdString() + "\n"));
    const std::string reply = r.client.query("SYST:ERR?;:SYST:ERR?");
    const QStringList parts = units(reply);
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts[0].section(',', 0, 0).toInt(), code);
    QVERIFY(parts[0].section(',', 1).startsWith('"'));
    QVERIFY2(!parts[0].contains(QLatin1String("Unknown error")), qPrintable(parts[0]));
    QCOMPARE(parts[1], QStringLiteral(R"(0,"No error")"));
    // Nothing changed.
    QCOMPARE(r.client.query("FAN:SPE?;:POW?").substr(0, 5), std::string("1800,"));
}

void TestEmulatorProtocol::errorQueueIsFifoAndOverflows()
{
    RunningEmulator r;
    QVERIFY(r.started);
    // 20 errors: the queue keeps 15 and puts -350 in the 16th place.
    std::string line = "*CLS";
    for (int i = 0; i < 10; ++i)
        line += ";FOO;:FAN:SPE 5";
    QVERIFY(r.client.send(line + "\n"));
    QCOMPARE(r.client.query("SYST:ERR:COUN?"), std::string("16"));
    for (int i = 0; i < 15; ++i) {
        const std::string expected = i % 2 == 0 ? R"(-113,"Undefined header")" : R"(-222,"Data out of range")";
        QCOMPARE(r.client.query("SYST:ERR?"), expected);
    }
    QCOMPARE(r.client.query("SYST:ERR?"), std::string(R"(-350,"Queue overflow")"));
    QCOMPARE(r.client.query("SYST:ERR?"), std::string(R"(0,"No error")"));
}

void TestEmulatorProtocol::clsClearsQueue()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QVERIFY(r.client.send("FOO\nBAR\n"));
    QCOMPARE(r.client.query("*CLS;:SYST:ERR?"), std::string(R"(0,"No error")"));
    // *RST keeps the queue, as IEEE 488.2 wants.
    QCOMPARE(r.client.query("FOO;*RST;:SYST:ERR?"), std::string(R"(-113,"Undefined header")"));
}

void TestEmulatorProtocol::fanSpeedRange_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("nominal"); // -1: rejected
    QTest::newRow("off") << "0" << 0;
    QTest::newRow("min") << "1200" << 1200;
    QTest::newRow("max") << "3600" << 3600;
    QTest::newRow("below min") << "1199" << -1;
    QTest::newRow("above max") << "3601" << -1;
    QTest::newRow("between off and min") << "1" << -1;
    QTest::newRow("negative") << "-1200" << -1;
    QTest::newRow("exponent") << "2.4E3" << 2400;
    QTest::newRow("sign and fraction") << "+2400.4" << 2400;
    QTest::newRow("rounds into range") << "1199.5" << 1200;
    QTest::newRow("rounds out of range") << "3600.5" << -1;
}

void TestEmulatorProtocol::fanSpeedRange()
{
    QFETCH(QString, value);
    QFETCH(int, nominal);
    RunningEmulator r;
    QVERIFY(r.started);
    const std::string reply = r.client.query("*CLS;:FAN:SPE " + value.toStdString() + ";:SYST:ERR?");
    const int expectedNominal = nominal < 0 ? cv4870emu::kDefaultFanSpeed : nominal;
    QCOMPARE(reply, std::string(nominal < 0 ? R"(-222,"Data out of range")" : R"(0,"No error")"));
    QCOMPARE(r.mf->model().state().nominalFan, expectedNominal);
}

void TestEmulatorProtocol::powerSwitch()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QCOMPARE(r.client.query("POW OFF;:POW?"), std::string("0"));
    QCOMPARE(r.client.query("POW:STAT ON;:POW:STAT?"), std::string("1"));
    QCOMPARE(r.client.query("POWER:STATE 0;STATE?"), std::string("0"));
    QCOMPARE(r.client.query("pow 1;:pow?"), std::string("1"));
}

void TestEmulatorProtocol::descriptionIsQuoted()
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setDescription("Rack \"B\"; slot 3");
    QVERIFY(server.start());
    LineClient client;
    QVERIFY(client.connect(mf.address(), mf.port()));
    QCOMPARE(client.query("SYST:DESC?;:SYST:ERR?"), std::string(R"("Rack ""B""; slot 3";0,"No error")"));
}

void TestEmulatorProtocol::overlongLineKeepsConnectionUsable()
{
    RunningEmulator r;
    QVERIFY(r.started);
    const std::string huge(200000, 'A');
    QVERIFY(r.client.send("*CLS\n" + huge + "\n"));
    QCOMPARE(r.client.query("SYST:ERR?"), std::string(R"(-363,"Input buffer overrun")"));
    QCOMPARE(r.client.query("SYST:ERR?"), std::string(R"(0,"No error")"));
    // A line of exactly the limit is still taken.
    std::string longest = "*OPC?";
    while (longest.size() + 6 <= cv4870emu::kMaxLineLength)
        longest += ";*OPC?";
    const std::size_t queries = (longest.size() + 1) / 6;
    longest.append(cv4870emu::kMaxLineLength - longest.size(), ' ');
    const std::string reply = r.client.query(longest);
    QCOMPARE(reply.size(), queries * 2 - 1);
}

void TestEmulatorProtocol::arbitraryBytesAreAnswered()
{
    RunningEmulator r;
    QVERIFY(r.started);
    std::string junk;
    for (int i = 0; i < 3000; ++i) {
        const char c = static_cast<char>((i * 131 + 7) & 0xff);
        junk += c == '\n' ? '\r' : c;
    }
    junk += std::string("\0\0\0;;\"\"\";:*?", 13);
    QVERIFY(r.client.send(junk + "\n"));
    QCOMPARE(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

void TestEmulatorProtocol::simulationCommandsNeedTheFlag()
{
    RunningEmulator off(false);
    QVERIFY(off.started);
    QCOMPARE(off.client.query("SIM:CLE;:SYST:ERR?"), std::string(R"(-113,"Undefined header")"));
    RunningEmulator on(true);
    QVERIFY(on.started);
    QCOMPARE(on.client.query("SIM:CLE;:SYST:ERR?"), std::string(R"(0,"No error")"));
}

void TestEmulatorProtocol::severalClientsAtOnce()
{
    RunningEmulator r;
    QVERIFY(r.started);
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<LineClient>());
        QVERIFY(clients.back()->connect(r.mf->address(), r.mf->port()));
    }
    // Interleaved sends, then every client reads its own answers.
    for (std::size_t i = 0; i < clients.size(); ++i)
        QVERIFY(clients[i]->send("FAN:SPE " + std::to_string(1200 + 100 * i) + ";:FAN:SPE?\n"));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string line;
        QCOMPARE(clients[i]->readLine(line), LineClient::Result::Line);
        QCOMPARE(line.substr(0, 5), std::to_string(1200 + 100 * i) + ",");
    }
    QCOMPARE(r.client.query("*OPC?"), std::string("1"));
}

void TestEmulatorProtocol::severalMainframes()
{
    cv4870emu::Server server;
    for (int i = 0; i < 3; ++i) {
        cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0, 100 + i);
        mf.setPsSerial(1000 + i);
        mf.setFanSerial(2000 + i);
    }
    QVERIFY(server.start());
    QVERIFY(server.mainframe(0).port() != server.mainframe(1).port());
    for (int i = 0; i < 3; ++i) {
        LineClient client;
        QVERIFY(client.connect("127.0.0.1", server.mainframe(i).port()));
        QCOMPARE(client.query("SYST:SER?"), std::to_string(1000 + i) + "," + std::to_string(2000 + i));
    }
    // Settings on one mainframe do not leak into another.
    LineClient a, b;
    QVERIFY(a.connect("127.0.0.1", server.mainframe(0).port()));
    QVERIFY(b.connect("127.0.0.1", server.mainframe(1).port()));
    QVERIFY(a.send("POW OFF;:FOO\n"));
    QCOMPARE(b.query("POW?;:SYST:ERR?"), std::string(R"(1;0,"No error")"));
    QCOMPARE(a.query("POW?;:SYST:ERR?"), std::string(R"(0;-113,"Undefined header")"));
}

void TestEmulatorProtocol::repliesOutliveHalfClose()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QVERIFY(r.client.send("*IDN?\n*OPC?\n"));
    r.client.shutdownWrite();
    std::string line;
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line, std::string("1"));
    QCOMPARE(r.client.readLine(line), LineClient::Result::Closed);
}

void TestEmulatorProtocol::slowReaderGetsEveryReply()
{
    RunningEmulator r(true);
    QVERIFY(r.started);
    // 30 MB of replies, far more than the socket buffers hold: the server
    // has to stop reading while the client is not reading, and go on
    // afterwards without losing or reordering anything.
    const std::size_t lines = 300;
    r.mf->injectOversizedReply(-1);
    std::thread sender([&] {
        std::string batch;
        for (std::size_t i = 0; i < lines; ++i)
            batch += "*IDN?\n";
        r.client.send(batch + "SIM:CLE\n*OPC?\n");
    });
    QTest::qSleep(200);
    std::string bytes;
    const LineClient::Result result = r.client.readBytes(bytes, lines * cv4870emu::kOversizedReplyBytes, 20000);
    sender.join();
    QCOMPARE(result, LineClient::Result::Line);
    QVERIFY(bytes.find('\n') == std::string::npos);
    std::string line;
    QCOMPARE(r.client.readLine(line), LineClient::Result::Line);
    QCOMPARE(line, std::string("1"));
}

void TestEmulatorProtocol::bindFailureNamesAddress()
{
    cv4870emu::Server first;
    first.addMainframe("127.0.0.1", 0);
    QVERIFY(first.start());
    const std::uint16_t taken = first.mainframe(0).port();
    // SO_REUSEADDR does not allow two listeners on one port.
    cv4870emu::Server second;
    second.addMainframe("127.0.0.1", 0);
    second.addMainframe("127.0.0.1", taken);
    std::string error;
    QVERIFY(!second.start(&error));
    QVERIFY(!second.running());
    QVERIFY2(error.find("127.0.0.1:" + std::to_string(taken)) != std::string::npos, error.c_str());
    QVERIFY2(error.find("in use") != std::string::npos, error.c_str());
    cv4870emu::Server bad;
    bad.addMainframe("127.0.0.300", 0);
    QVERIFY(!bad.start(&error));
}

void TestEmulatorProtocol::stopWithClientsConnected()
{
    auto running = std::make_unique<RunningEmulator>();
    QVERIFY(running->started);
    LineClient idle;
    QVERIFY(idle.connect(running->mf->address(), running->mf->port()));
    QVERIFY(running->client.send("*IDN?")); // half a line
    running->server.stop();
    running->server.stop();
    std::string line;
    QCOMPARE(idle.readLine(line), LineClient::Result::Closed);
    running.reset();
}

QTEST_APPLESS_MAIN(TestEmulatorProtocol)
#include "tst_emulator_protocol.moc"
