// Protocol conformance of the emulator over a real loopback socket.
#include "cv4870emu.h"
#include "runningemulator.h"
#include "scpi.h"

#include <QtTest>

#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

const std::string kNoError = R"(0,"No error")";
const std::string kUndefined = R"(-113,"Undefined header")";

} // namespace

class TestEmulatorProtocol : public QObject
{
    Q_OBJECT

private slots:
    void errorListMatchesTheProtocolPage();
    void replies_data();
    void replies();
    void errors_data();
    void errors();
    void errorQueueOverflowsAndClears();
    void hostileInputKeepsConnectionUsable();
    void severalClientsAndMainframes();
    void repliesOutliveHalfClose();
    void slowReaderGetsEveryReply();
};

void TestEmulatorProtocol::errorListMatchesTheProtocolPage()
{
    // The rows "| <code> | <text> | ..." of the tables under "## Errors".
    std::ifstream doc(CV4870_PROTOCOL_DOC);
    QVERIFY(doc.is_open());
    std::map<int, std::string> documented;
    bool inErrors = false;
    const QRegularExpression row(R"(^\| (-?\d+) \| ([^|]+) \|)");
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0)
            inErrors = line == "## Errors";
        const auto m = row.match(QString::fromStdString(line));
        if (inErrors && m.hasMatch())
            QVERIFY(documented.emplace(m.captured(1).toInt(), m.captured(2).trimmed().toStdString()).second);
    }
    std::map<int, std::string> listed;
#define CV4870EMU_LISTED(name, code, text) QVERIFY(listed.emplace(code, text).second);
    CV4870EMU_ERRORS(CV4870EMU_LISTED)
#undef CV4870EMU_LISTED
    QCOMPARE(listed, documented);
}

void TestEmulatorProtocol::replies_data()
{
    // The reply is matched as a whole against the regular expression.
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");
    const QString idn = "Corvane Ltd.,4870,48700001,A.03.11";
    const QString noError = QString::fromStdString(kNoError), undefined = QString::fromStdString(kUndefined);
    QTest::newRow("idn, CR LF") << "*IDN?\r" << idn;
    QTest::newRow("relative path") << "SYST:SER?;FIRM?"
                                   << "48700001,48710001;A.03.11";
    QTest::newRow("relative miss") << "SYST:SER?;MEAS:TEMP?;:SYST:ERR?"
                                   << "48700001,48710001;" + undefined;
    QTest::newRow("common keeps node") << "SYST:FIRM?;*OPC?;SER?"
                                       << "A.03.11;1;48700001,48710001";
    QTest::newRow("long error") << "SYSTem:ERRor:NEXT?" << noError;
    QTest::newRow("mixed case") << "SyStEm:ErRoR?" << noError;
    QTest::newRow("neither form") << "SYSTE:ERR?;:SYST:ERR?" << undefined;
    QTest::newRow("power forms") << "POW OFF;:POW?;:POWER:STATE ON;STATE?;:pow:stat 0;:pow?"
                                 << "0;1;0";
    // Signed volts near each channel's nominal, in channel order; amps; two temperatures.
    QTest::newRow("measurements") << "MEAS:VOLT?;:MEAS:CURR?;:MEAS:TEMP?"
                                  << R"(\+2[34]\.\d{3},\+1[12]\.\d{3},\+[45]\.\d{3},-[12]\.\d{3},-5\.[12]\d\d,)"
                                     R"(-1[12]\.\d{3},-2[34]\.\d{3};(\d+\.\d{3},){6}\d+\.\d{3};\d\d,\d\d)";
    QTest::newRow("fan long") << "FAN:SPEED?"
                              << R"(1800(,\d{4}){3})";
    QTest::newRow("lines") << "STATUS:LINES?;:outp:stat?"
                           << "1,0,0,0,0,0;1,1,1,1,1,1,1";
    QTest::newRow("quoted description") << "SYST:DESC?;:SYST:ERR?"
                                        << R"("Rack ""B""; slot 3";)" + noError;
    QTest::newRow("silent commands") << "*CLS\nFAN:SPE 2400\nPOW ON;:VXI:SYSR\nFAN:SPE?"
                                     << R"(2400(,\d+){3})";
    // The tag comes back first, in plain decimal, whatever the rest does.
    QTest::newRow("tag first") << "SYST:TAG? 4294967295;*CLS;:SYST:SER?;:FOO?;:SYST:ERR?"
                               << "4294967295;48700001,48710001;" + undefined;
    QTest::newRow("tag zeros") << "syst:tag? 007"
                               << "7";
    QTest::newRow("no SIM without flag") << "SIM:CLE;:SYST:ERR?" << undefined;
}

void TestEmulatorProtocol::replies()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);
    RunningEmulator r;
    QVERIFY(r.started);
    cv4870emu::Identity id;
    id.description = "Rack \"B\"; slot 3";
    r.mf->setIdentity(id);
    const QString reply = QString::fromStdString(r.client.query(command.toStdString()));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(expected)).match(reply).hasMatch(),
             qPrintable(reply));
}

void TestEmulatorProtocol::errors_data()
{
    // code 0: accepted. fan: the nominal fan speed afterwards.
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("fan");
    QTest::newRow("unknown header") << "FOO:BAR" << -113 << 1800;
    QTest::newRow("query form missing") << "MEAS:VOLT" << -113 << 1800;
    QTest::newRow("unknown common") << "*XYZ" << -113 << 1800;
    QTest::newRow("parameter on a query") << "FAN:SPE? 1800" << -108 << 1800;
    QTest::newRow("comma decimal") << "FAN:SPE 2400,5" << -108 << 1800;
    QTest::newRow("missing parameter") << "FAN:SPE" << -109 << 1800;
    QTest::newRow("string for a number") << "FAN:SPE \"2400\"" << -104 << 1800;
    QTest::newRow("bad number") << "FAN:SPE 24x0" << -121 << 1800;
    QTest::newRow("bare sign") << "FAN:SPE -" << -121 << 1800;
    QTest::newRow("huge exponent") << "FAN:SPE 1E999" << -123 << 1800;
    QTest::newRow("bad boolean") << "POW MAYBE" << -224 << 1800;
    QTest::newRow("empty node") << "FAN::SPE 2400" << -102 << 1800;
    QTest::newRow("bad character") << "FAN:SP#E 2400" << -102 << 1800;
    QTest::newRow("empty parameter") << "FAN:SPE ,2400" << -102 << 1800;
    QTest::newRow("open quote") << "FAN:SPE \"2400" << -151 << 1800;
    QTest::newRow("too long mnemonic") << "FAN:SPEEEEEEEEEEEEEED 2400" << -112 << 1800;
    QTest::newRow("tag past 32 bits") << "SYST:TAG? 4294967296" << -222 << 1800;
    QTest::newRow("tag with a sign") << "SYST:TAG? +5" << -104 << 1800;
    QTest::newRow("fans off") << "FAN:SPE 0" << 0 << 0;
    QTest::newRow("fan max") << "FAN:SPEED 3600" << 0 << 3600;
    QTest::newRow("fan exponent") << "fan:spe 2.4E3" << 0 << 2400;
    QTest::newRow("rounds into range") << "FAN:SPE 1199.5" << 0 << 1200;
    QTest::newRow("below min") << "FAN:SPE 1199" << -222 << 1800;
    QTest::newRow("negative") << "FAN:SPE -1200" << -222 << 1800;
    QTest::newRow("rounds above max") << "FAN:SPE 3600.5" << -222 << 1800;
}

void TestEmulatorProtocol::errors()
{
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(int, fan);
    RunningEmulator r;
    QVERIFY(r.started);
    // On a line of its own: an open quote runs to the end of its line.
    QVERIFY(r.client.send("*CLS\n" + command.toStdString() + "\n"));
    const QStringList parts = QString::fromStdString(r.client.query("SYST:ERR?;:SYST:ERR?")).split(';');
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts[0].section(',', 0, 0).toInt(), code);
    QVERIFY2(parts[0].section(',', 1).startsWith('"') && !parts[0].contains("Unknown error"), qPrintable(parts[0]));
    QCOMPARE(parts[1].toStdString(), kNoError);
    QCOMPARE(r.mf->model().state().nominalFan, fan);
}

void TestEmulatorProtocol::errorQueueOverflowsAndClears()
{
    RunningEmulator r;
    QVERIFY(r.started);
    // 20 errors: the queue keeps the first 15 in order and puts -350 in the 16th place.
    std::string line = "*CLS";
    for (int i = 0; i < 10; ++i)
        line += ";FOO;:FAN:SPE 5";
    QVERIFY(r.client.send(line + "\n"));
    QCOMPARE(r.client.query("SYST:ERR:COUN?"), std::string("16"));
    for (int i = 0; i < 15; ++i)
        QCOMPARE(r.client.query("SYST:ERR?"), i % 2 ? R"(-222,"Data out of range")" : kUndefined);
    QCOMPARE(r.client.query("SYST:ERR?;:SYST:ERR?"), R"(-350,"Queue overflow";)" + kNoError);
    // *RST keeps the queue, *CLS empties it.
    QCOMPARE(r.client.query("FOO;*RST;:SYST:ERR?"), kUndefined);
    QCOMPARE(r.client.query("FOO;*CLS;:SYST:ERR?"), kNoError);
}

void TestEmulatorProtocol::hostileInputKeepsConnectionUsable()
{
    RunningEmulator r;
    QVERIFY(r.started);
    QVERIFY(r.client.send("*CLS\n" + std::string(200000, 'A') + "\n"));
    QCOMPARE(r.client.query("SYST:ERR?;:SYST:ERR?"), R"(-363,"Input buffer overrun";)" + kNoError);
    // A line of exactly the limit is still taken.
    std::string longest = "*OPC?";
    while (longest.size() + 6 <= cv4870emu::kMaxLineLength)
        longest += ";*OPC?";
    const std::size_t queries = (longest.size() + 1) / 6;
    longest.append(cv4870emu::kMaxLineLength - longest.size(), ' ');
    QCOMPARE(r.client.query(longest).size(), queries * 2 - 1);
    // So are arbitrary bytes, NULs included.
    std::string junk;
    for (int i = 0; i < 3000; ++i) {
        const char c = static_cast<char>((i * 131 + 7) & 0xff);
        junk += c == '\n' ? '\r' : c;
    }
    QVERIFY(r.client.send(junk + std::string("\0\0\0;;\"\"\";:*?\0\n", 14)));
    QCOMPARE(r.client.query("*IDN?").substr(0, 12), std::string("Corvane Ltd."));
}

void TestEmulatorProtocol::severalClientsAndMainframes()
{
    cv4870emu::Server server;
    cv4870emu::Identity id;
    for (std::uint32_t i = 0; i < 3; ++i) {
        id.psSerial = static_cast<std::int32_t>(1000 + i);
        server.addMainframe("127.0.0.1", 0, 100 + i).setIdentity(id);
    }
    QVERIFY(server.start());
    // Eight clients at once on the first mainframe; each reads its own answer.
    std::vector<std::unique_ptr<LineClient>> clients;
    for (std::size_t i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<LineClient>());
        QVERIFY(clients.back()->connect("127.0.0.1", server.mainframe(0).port()));
        QVERIFY(clients.back()->send("FAN:SPE " + std::to_string(1200 + 100 * i) + ";:FAN:SPE?\n"));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string line;
        QCOMPARE(clients[i]->readLine(line), LineClient::Result::Line);
        QCOMPARE(line.substr(0, 5), std::to_string(1200 + 100 * i) + ",");
    }
    // Each mainframe has its own port and state.
    QCOMPARE(clients[0]->query("POW OFF;:FOO;:POW?;:SYST:ERR?"), "0;" + kUndefined);
    for (std::size_t i = 1; i < 3; ++i) {
        LineClient c;
        QVERIFY(c.connect("127.0.0.1", server.mainframe(i).port()));
        QCOMPARE(c.query("SYST:SER?;:POW?;:SYST:ERR?"), std::to_string(1000 + i) + ",48710001;1;" + kNoError);
    }
    // Stopping (twice) closes every connection, even one with half a line in.
    QVERIFY(clients[1]->send("*IDN?"));
    server.stop();
    server.stop();
    std::string line;
    QCOMPARE(clients[2]->readLine(line), LineClient::Result::Closed);
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
    r.mf->injectLinkFault(cv4870emu::LinkFault::Oversized, -1);
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
    QCOMPARE(r.client.query(""), std::string("1")); // the empty line gets no reply of its own
}

QTEST_APPLESS_MAIN(TestEmulatorProtocol)
#include "tst_emulator_protocol.moc"
