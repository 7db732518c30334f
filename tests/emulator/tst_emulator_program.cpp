// The cv4870-emulator program as scripts and operators use it.
#include "cv4870emu.h"
#include "lineclient.h"

#include <QProcess>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Listening
{
    QString address;
    quint16 port = 0;
};

// Starts the program and reads its --ready output; empty on failure.
QList<Listening> startReady(QProcess &p, const QStringList &arguments, const QStringList &prefix = {})
{
    if (prefix.isEmpty())
        p.start(QStringLiteral(CV4870_EMULATOR_PROGRAM), arguments + QStringList{"--ready"});
    else
        p.start(prefix[0], prefix.mid(1) + QStringList{CV4870_EMULATOR_PROGRAM} + arguments + QStringList{"--ready"});
    QList<Listening> result;
    for (;;) {
        if (!p.canReadLine() && !p.waitForReadyRead(10000))
            return {};
        if (!p.canReadLine())
            continue;
        const QStringList words = QString::fromLatin1(p.readLine()).simplified().split(' ');
        if (words == QStringList{"READY"})
            return result;
        if (words.size() != 4 || words[0] != QLatin1String("LISTENING"))
            return {};
        result.append(Listening{words[2], static_cast<quint16>(words[3].toUInt())});
    }
}

} // namespace

class TestEmulatorProgram : public QObject
{
    Q_OBJECT

private slots:
    void serveAndStopCleanly_data();
    void serveAndStopCleanly();
    void consecutiveAddresses();
    void portInUseNamesTheOption();
    void badOptions_data();
    void badOptions();
    void helpNamesEveryOption();
    void descriptorLimit_data();
    void descriptorLimit();
    void resetWithRepliesHeldBack();
};

void TestEmulatorProgram::serveAndStopCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("simulation");
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGTERM, --simulation") << int(SIGTERM) << true;
}

void TestEmulatorProgram::serveAndStopCleanly()
{
    QFETCH(int, signal);
    QFETCH(bool, simulation);
    QProcess p;
    QStringList arguments{"--port",      "0",   "--count",       "3",   "--spread", "port",
                          "--ps-serial", "500", "--description", "Lab", "-vv"};
    if (simulation)
        arguments << "--simulation";
    const QList<Listening> ready = startReady(p, arguments);
    QCOMPARE(ready.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ready[i].address, QStringLiteral("127.0.0.1"));
        LineClient c;
        QVERIFY(c.connect("127.0.0.1", ready[i].port));
        QCOMPARE(c.query("*IDN?;:SYST:DESC?"),
                 "Corvane Ltd.,4870," + std::to_string(500 + i) + ",A.03.11;\"Lab #" + std::to_string(i + 1) + "\"");
    }
    QVERIFY(ready[0].port != ready[1].port && ready[1].port != ready[2].port);
    LineClient idle; // a client still connected does not hold the stop up
    QVERIFY(idle.connect("127.0.0.1", ready[0].port));
    QCOMPARE(idle.query("SIM:SYSF ON;:SYST:ERR?"),
             std::string(simulation ? R"(0,"No error")" : R"(-113,"Undefined header")"));
    ::kill(static_cast<pid_t>(p.processId()), signal);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    // -vv logs connections, command lines and replies.
    const QString log = QString::fromLatin1(p.readAllStandardError());
    QVERIFY2(log.contains("connection from 127.0.0.1") && log.contains("> SIM:SYSF ON;:SYST:ERR?") &&
                 log.contains(simulation ? R"(< 0,"No error"\x0a)" : R"(< -113,"Undefined header"\x0a)") &&
                 log.contains(signal == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM"),
             qPrintable(log));
}

void TestEmulatorProgram::consecutiveAddresses()
{
    QProcess p;
    const QList<Listening> ready = startReady(p, {"--address", "127.0.48.250", "--port", "0", "--count", "8"});
    QCOMPARE(ready.size(), 8);
    QCOMPARE(ready[0].address, QStringLiteral("127.0.48.250"));
    QCOMPARE(ready[7].address, QStringLiteral("127.0.49.1"));
    LineClient c;
    QVERIFY(c.connect("127.0.49.1", ready[7].port));
    QCOMPARE(c.query("SYST:SER?"), std::string("48700008,48710008"));
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
}

void TestEmulatorProgram::portInUseNamesTheOption()
{
    cv4870emu::Server taken;
    taken.addMainframe("127.0.0.1", 0);
    QVERIFY(taken.start());
    const QString port = QString::number(taken.mainframe(0).port());
    QProcess p;
    p.start(QStringLiteral(CV4870_EMULATOR_PROGRAM), {"--port", port});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    const QString error = QString::fromLatin1(p.readAllStandardError());
    QVERIFY2(error.contains("127.0.0.1:" + port) && error.contains("in use") && error.contains("--port"),
             qPrintable(error));
}

void TestEmulatorProgram::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown") << QStringList{"--bogus"} << "--bogus";
    QTest::newRow("port too big") << QStringList{"--port", "70000"} << "--port";
    QTest::newRow("port not a number") << QStringList{"--port", "23x"} << "--port";
    QTest::newRow("port NaN") << QStringList{"--port", "nan"} << "--port";
    QTest::newRow("seed infinite") << QStringList{"--seed", "inf"} << "--seed";
    QTest::newRow("clients infinite") << QStringList{"--max-clients", "-inf"} << "--max-clients";
    QTest::newRow("no value") << QStringList{"--port"} << "--port";
    QTest::newRow("count 0") << QStringList{"--count", "0"} << "--count";
    QTest::newRow("spread") << QStringList{"--spread", "diagonal"} << "--spread";
    QTest::newRow("address") << QStringList{"--address", "127.0.0.256"} << "--address";
    QTest::newRow("firmware with comma") << QStringList{"--firmware", "A,03"} << "--firmware";
    QTest::newRow("leaves loopback") << QStringList{"--address", "127.255.255.250", "--count", "10"} << "--count";
}

void TestEmulatorProgram::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    QProcess p;
    p.start(QStringLiteral(CV4870_EMULATOR_PROGRAM), arguments);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    const QString error = QString::fromLatin1(p.readAllStandardError());
    QVERIFY2(error.count('\n') == 1 && error.contains(named), qPrintable(error));
}

void TestEmulatorProgram::helpNamesEveryOption()
{
    QProcess p;
    p.start(QStringLiteral(CV4870_EMULATOR_PROGRAM), {"--help"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString help = QString::fromLatin1(p.readAllStandardOutput());
    for (const char *option :
         {"--address", "--port", "--count", "--spread", "--ps-serial", "--fan-serial", "--firmware", "--description",
          "--seed", "--simulation", "--max-clients", "--ready", "--verbose"})
        QVERIFY2(help.contains(option), option);
}

// 1,024 mainframes need at least 1024 * 2 + 16 descriptors: more than the
// usual soft limit, which the program raises to the hard one.
void TestEmulatorProgram::descriptorLimit_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("listening");
    QTest::newRow("soft limit raised") << "--nofile=1024:4096" << 1024;
    QTest::newRow("hard limit too low") << "--nofile=1024:1024" << 0;
}

void TestEmulatorProgram::descriptorLimit()
{
    QFETCH(QString, limit);
    QFETCH(int, listening);
    QProcess p;
    const QList<Listening> ready =
        startReady(p, {"--port", "0", "--count", "1024", "--spread", "port"}, {"prlimit", limit});
    QCOMPARE(ready.size(), listening);
    if (listening == 0) {
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        const QString error = QString::fromLatin1(p.readAllStandardError());
        QVERIFY2(error.contains("need 2064 file descriptors"), qPrintable(error));
        return;
    }
    LineClient c;
    QVERIFY(c.connect("127.0.0.1", ready.last().port));
    QCOMPARE(c.query("SYST:SER?"), std::string("48701024,48711024"));
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
}

// A client resets its connection while replies are held back and its input
// waits behind them: the server closes the connection at once and goes back
// to sleep instead of waking until the delay runs out.
void TestEmulatorProgram::resetWithRepliesHeldBack()
{
    cv4870emu::Server server;
    cv4870emu::Mainframe &mf = server.addMainframe("127.0.0.1", 0);
    mf.setSimulationCommands(true);
    QVERIFY(server.start());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(mf.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0);
    const std::string lines = "SIM:DEL 20000\nSIM:OVER -1\n" + QByteArray("*IDN?\n").repeated(6).toStdString();
    QCOMPARE(::send(fd, lines.data(), lines.size(), MSG_NOSIGNAL), ssize_t(lines.size()));
    QTRY_COMPARE(server.clientCount(), std::size_t(1));
    QTest::qWait(200); // the lines are taken in
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), std::size_t(0), 2000);
    const std::uint64_t before = server.wakeups();
    QTest::qWait(1000);
    QVERIFY2(server.wakeups() - before < 5, qPrintable(QString::number(server.wakeups() - before)));
}

QTEST_GUILESS_MAIN(TestEmulatorProgram)
#include "tst_emulator_program.moc"
