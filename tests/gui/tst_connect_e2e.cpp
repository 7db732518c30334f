// The connection flow end to end: the real driver and VISA libraries
// against emulated mainframes on loopback addresses of this test's own.
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "connect_script.h"
#include "cv4870.h"
#include "cv4870emu.h"
#include "cv4870fp.h"
#include "cv4870fp_select.h"

namespace {

// The fixed-port test (port 23) and the listeners each have an address
// of their own within 127.0.23.0/24.
const char runningAddress[] = "127.0.23.1";
const char deadAddress[] = "127.0.23.99";

QString resourceOf(const cv4870emu::Mainframe &mf)
{
    return QStringLiteral("TCPIP0::%1::%2::SOCKET").arg(QString::fromStdString(mf.address())).arg(mf.port());
}

// A loopback listener that completes the connection (the kernel accepts
// it into the backlog) and never sends a byte.
class SilentListener
{
public:
    explicit SilentListener(const char *address)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = 0;
        inet_pton(AF_INET, address, &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return;
        m_port = ntohs(sa.sin_port);
    }
    ~SilentListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

QString driverText(ViStatus status)
{
    char text[CV4870_ERROR_MESSAGE_BUFLEN] = {};
    cv4870_error_message(VI_NULL, status, text);
    text[sizeof text - 1] = '\0';
    return QString::fromLatin1(text);
}

} // namespace

class tst_connect_e2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void autoFindNothing();
    void autoFindOne();
    void autoFindThree();
    void enterAddressOfRunningMainframe();
    void enterAddressWhereNothingListens();
    void silentResourceDoesNotStopTheSearch();

private:
    // Starts n emulated mainframes on 127.0.23.<octets[i]>, ephemeral ports.
    bool startMainframes(const QList<int> &octets);
    void writeResources(const QStringList &lines);
    // Runs the flow; closes the session it leaves open.
    int runFlow(ConnectScript &script, QString *descr, QString *description = nullptr);

    QTemporaryDir m_dir;
    std::unique_ptr<cv4870emu::Server> m_server;
};

void tst_connect_e2e::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("settings")));
    QCoreApplication::setOrganizationName(QString::fromLatin1(cv4870fp_settingsOrganization));
    QCoreApplication::setApplicationName(QString::fromLatin1(cv4870fp_settingsApplication));
    qputenv("CV_VISA_RESOURCES", QFile::encodeName(m_dir.filePath(QStringLiteral("resources.conf"))));
}

void tst_connect_e2e::init()
{
    writeResources({});
    m_server.reset(new cv4870emu::Server);
    m_server->setLogSink([](const std::string &) {});
}

void tst_connect_e2e::cleanup()
{
    m_server.reset();
}

bool tst_connect_e2e::startMainframes(const QList<int> &octets)
{
    for (int octet : octets) {
        cv4870emu::Mainframe &mf = m_server->addMainframe(QStringLiteral("127.0.23.%1").arg(octet).toStdString(), 0);
        mf.setDescription(QStringLiteral("Ostrel 4870 at .%1").arg(octet).toStdString());
    }
    std::string error;
    if (!m_server->start(&error)) {
        qWarning("%s", error.c_str());
        return false;
    }
    return true;
}

void tst_connect_e2e::writeResources(const QStringList &lines)
{
    QFile f(m_dir.filePath(QStringLiteral("resources.conf")));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("# resources of this test\n");
    for (const QString &line : lines)
        f.write(line.toLatin1() + '\n');
}

int tst_connect_e2e::runFlow(ConnectScript &script, QString *descr, QString *description)
{
    cv4870fp_select dialog(nullptr);
    const int result = dialog.connectMainframe();
    *descr = dialog.descr();
    if (result == 1 && dialog.d_demo == 0) {
        // The session is live: the mainframe answers on it.
        char text[CV4870_DESCRIPTION_BUFLEN] = {};
        if (cv4870_getDescription(dialog.d_session, text) == VI_SUCCESS && description)
            *description = QString::fromLatin1(text);
        cv4870_close(dialog.d_session);
    }
    if (!script.errors().isEmpty())
        qWarning("%s", qPrintable(script.errors().join(QLatin1String("; "))));
    return result;
}

void tst_connect_e2e::autoFindNothing()
{
    ConnectScript script({"choice:Auto Find", "none:Cancel"});
    QString descr;
    QCOMPARE(runFlow(script, &descr), 0);
    QCOMPARE(script.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(script.kinds(), (QStringList{"choice", "none"}));
}

void tst_connect_e2e::autoFindOne()
{
    QVERIFY(startMainframes({5}));
    writeResources({resourceOf(m_server->mainframe(0))});
    ConnectScript script({"choice:Auto Find"});
    QString descr, description;
    QCOMPARE(runFlow(script, &descr, &description), 1);
    QCOMPARE(script.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(script.kinds(), QStringList{"choice"});
    QCOMPARE(descr, resourceOf(m_server->mainframe(0)));
    QCOMPARE(description, QStringLiteral("Ostrel 4870 at .5"));
}

void tst_connect_e2e::autoFindThree()
{
    QVERIFY(startMainframes({12, 3, 7}));
    writeResources(
        {resourceOf(m_server->mainframe(0)), resourceOf(m_server->mainframe(1)), resourceOf(m_server->mainframe(2))});
    QStringList addresses, modules;
    ConnectScript script;
    script.add("choice", "Auto Find");
    script.add("list", "row:1", [&](QWidget *w) {
        QTreeWidget *tree = qobject_cast<cv4870fp_select *>(w)->d_tree;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            addresses << tree->topLevelItem(i)->text(0);
            modules << tree->topLevelItem(i)->text(1);
        }
    });
    QString descr, description;
    QCOMPARE(runFlow(script, &descr, &description), 1);
    QCOMPARE(script.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(addresses, (QStringList{"127.0.23.3", "127.0.23.7", "127.0.23.12"}));
    QCOMPARE(modules, (QStringList{"Ostrel 4870 at .3", "Ostrel 4870 at .7", "Ostrel 4870 at .12"}));
    QCOMPARE(descr, resourceOf(m_server->mainframe(2)));
    QCOMPARE(description, QStringLiteral("Ostrel 4870 at .7"));
}

void tst_connect_e2e::enterAddressOfRunningMainframe()
{
    cv4870emu::Mainframe &mf = m_server->addMainframe(runningAddress, 23);
    mf.setDescription("Ostrel 4870 on port 23");
    std::string error;
    QVERIFY2(m_server->start(&error), error.c_str());

    ConnectScript script({"choice:Enter Address", QStringLiteral("address:=%1").arg(runningAddress)});
    QString descr, description;
    QCOMPARE(runFlow(script, &descr, &description), 1);
    QCOMPARE(script.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(descr, QStringLiteral("TCPIP::127.0.23.1::23::SOCKET"));
    QCOMPARE(description, QStringLiteral("Ostrel 4870 on port 23"));
    QSettings s(QString::fromLatin1(cv4870fp_settingsOrganization), QString::fromLatin1(cv4870fp_settingsApplication));
    QCOMPARE(s.value(QStringLiteral("ip_addr")).toString(), QString::fromLatin1(runningAddress));
}

void tst_connect_e2e::enterAddressWhereNothingListens()
{
    const QString resource = QStringLiteral("TCPIP::%1::23::SOCKET").arg(deadAddress);
    ViSession vi = VI_NULL;
    QByteArray name = resource.toLatin1();
    const ViStatus status = cv4870_init(name.data(), VI_TRUE, VI_FALSE, &vi);
    QVERIFY(status < 0);

    ConnectScript script(
        {"choice:Enter Address", QStringLiteral("address:=%1").arg(deadAddress), "fail:Try Again", "choice:Cancel"});
    QString descr;
    QCOMPARE(runFlow(script, &descr), 0);
    QCOMPARE(script.errors().join(QLatin1String("; ")), QString());
    QCOMPARE(script.kinds(), (QStringList{"choice", "address", "fail", "choice"}));
    QCOMPARE(script.shown().at(2).text,
             QStringLiteral("Selected Ostrel 4870 Mainframe is unavailable.\nError: ") + driverText(status));
    QCOMPARE(descr, resource);
}

// A resource that takes the connection and never answers costs the search
// one session timeout; the mainframes around it are still listed.
void tst_connect_e2e::silentResourceDoesNotStopTheSearch()
{
    QVERIFY(startMainframes({21, 22}));
    SilentListener silent("127.0.23.20");
    QVERIFY(silent.port() != 0);
    const QString silentResource = QStringLiteral("TCPIP0::127.0.23.20::%1::SOCKET").arg(silent.port());
    writeResources({resourceOf(m_server->mainframe(0)), silentResource, resourceOf(m_server->mainframe(1))});

    cv4870fp_select dialog(nullptr);
    QCOMPARE(dialog.findResources(), 2);
    QCOMPARE(dialog.d_tree->topLevelItem(0)->text(0), QStringLiteral("127.0.23.21"));
    QCOMPARE(dialog.d_tree->topLevelItem(1)->text(0), QStringLiteral("127.0.23.22"));
    QCOMPARE(dialog.descr(), resourceOf(m_server->mainframe(1)));
}

QTEST_MAIN(tst_connect_e2e)
#include "tst_connect_e2e.moc"
