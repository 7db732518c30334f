// The connection flow end to end: the real driver and VISA libraries
// against emulated mainframes on loopback addresses of this test's own.
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "gui_test_util.h"
#include "cv4870.h"
#include "cv4870emu.h"
#include "cv4870fp.h"

// The fixed-port test (port 23) and the other mainframes each have an
// address of their own within 127.0.23.0/24.
class tst_connect_e2e : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<cv4870emu::Server> m_server;
    QStringList m_resources; // of the mainframes started, in their order

    // Starts mainframes on 127.0.23.<octet> (port 23 or ephemeral ports)
    // and lists them in the VISA resource file.
    bool start(const QList<int> &octets, quint16 port = 0)
    {
        for (int octet : octets) {
            cv4870emu::Identity id;
            id.description = QStringLiteral("Ostrel 4870 at .%1").arg(octet).toStdString();
            m_server->addMainframe(QStringLiteral("127.0.23.%1").arg(octet).toStdString(), port).setIdentity(id);
        }
        std::string error;
        if (!m_server->start(&error))
            qWarning("%s", error.c_str());
        for (int i = 0; i < octets.size() && m_server->running(); ++i) {
            const cv4870emu::Mainframe &mf = m_server->mainframe(static_cast<std::size_t>(i));
            m_resources
                << QStringLiteral("TCPIP0::%1::%2::SOCKET").arg(QString::fromStdString(mf.address())).arg(mf.port());
        }
        QFile f(m_dir.filePath(QStringLiteral("resources.conf")));
        return f.open(QIODevice::WriteOnly) && f.write(m_resources.join(QLatin1Char('\n')).toLatin1() + '\n') > 0 &&
               m_server->running();
    }

    // Runs the flow; reads the description on the session it leaves open,
    // then closes it.
    int runFlow(const QString &script, QString *descr, QString *description = nullptr)
    {
        DialogScript answers(script.split(QLatin1Char('|')));
        cv4870fp_select dialog(nullptr);
        const int result = dialog.connectMainframe();
        *descr = dialog.descr();
        if (result == 1 && dialog.d_demo == 0) {
            char text[CV4870_DESCRIPTION_BUFLEN] = {};
            if (cv4870_getDescription(dialog.d_session, text) == VI_SUCCESS && description)
                *description = QString::fromLatin1(text);
            cv4870_close(dialog.d_session);
        }
        m_shown = answers.shown();
        return answers.stepsLeft() == 0 ? result : -1;
    }
    QList<DialogScript::Shown> m_shown; // of the last flow

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("settings")));
        QCoreApplication::setOrganizationName(QString::fromLatin1(cv4870fp_settingsOrganization));
        QCoreApplication::setApplicationName(QString::fromLatin1(cv4870fp_settingsApplication));
        qputenv("CV_VISA_RESOURCES", QFile::encodeName(m_dir.filePath(QStringLiteral("resources.conf"))));
    }

    void init()
    {
        m_resources.clear();
        m_server.reset(new cv4870emu::Server);
        m_server->setLogSink([](const std::string &) {});
    }

    void cleanup() { m_server.reset(); }

    void autoFind_data()
    {
        QTest::addColumn<QList<int>>("octets"); // mainframes in the resource file
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("rows"); // of the list, when it is shown
        QTest::addColumn<int>("chosen"); // the mainframe connected to, -1: none
        QTest::newRow("none") << QList<int>() << "choice:Auto Find|none:Cancel" << QStringList() << -1;
        QTest::newRow("one: probed at once") << QList<int>{5} << "choice:Auto Find" << QStringList() << 0;
        QTest::newRow("three: listed in order")
            << QList<int>{12, 3, 7} << "choice:Auto Find|list:row:1"
            << QStringList{"127.0.23.3 | Ostrel 4870 at .3", "127.0.23.7 | Ostrel 4870 at .7",
                           "127.0.23.12 | Ostrel 4870 at .12"}
            << 2;
    }

    void autoFind()
    {
        QFETCH(QList<int>, octets);
        QFETCH(QString, script);
        QFETCH(QStringList, rows);
        QFETCH(int, chosen);
        QVERIFY(start(octets));
        QString descr, description;
        QCOMPARE(runFlow(script, &descr, &description), chosen < 0 ? 0 : 1);
        QStringList listed;
        for (const DialogScript::Shown &s : m_shown)
            listed += s.rows;
        QCOMPARE(listed, rows);
        if (chosen >= 0) {
            QCOMPARE(descr, m_resources.at(chosen));
            QCOMPARE(description, QStringLiteral("Ostrel 4870 at .%1").arg(octets.at(chosen)));
        }
    }

    void enterAddressOfRunningMainframe()
    {
        QVERIFY(start({1}, 23));
        QString descr, description;
        QCOMPARE(runFlow("choice:Enter Address|address:=127.0.23.1", &descr, &description), 1);
        QCOMPARE(descr, QStringLiteral("TCPIP::127.0.23.1::23::SOCKET"));
        QCOMPARE(description, QStringLiteral("Ostrel 4870 at .1"));
        QCOMPARE(QSettings().value("ip_addr").toString(), QStringLiteral("127.0.23.1"));
    }

    void enterAddressWhereNothingListens()
    {
        QByteArray resource("TCPIP::127.0.23.99::23::SOCKET");
        ViSession vi = VI_NULL;
        const ViStatus status = cv4870_init(resource.data(), VI_TRUE, VI_FALSE, &vi);
        QVERIFY(status < 0);
        char text[CV4870_ERROR_MESSAGE_BUFLEN] = {};
        cv4870_error_message(VI_NULL, status, text);

        QString descr;
        QCOMPARE(runFlow("choice:Enter Address|address:=127.0.23.99|fail:Try Again|choice:Cancel", &descr), 0);
        QCOMPARE(m_shown.at(2).text,
                 QStringLiteral("Selected Ostrel 4870 Mainframe is unavailable.\nError: ") + QString::fromLatin1(text));
        QCOMPARE(descr, QString::fromLatin1(resource));
    }

    // A resource that takes the connection and never answers costs the
    // search one session timeout; the mainframes around it are still listed.
    void silentResourceDoesNotStopTheSearch()
    {
        QVERIFY(start({21, 20, 22}));
        m_server->mainframe(1).injectLinkFault(cv4870emu::LinkFault::NoReply, -1);
        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.findResources(), 2);
        QCOMPARE(dialog.d_tree->topLevelItem(0)->text(0), QStringLiteral("127.0.23.21"));
        QCOMPARE(dialog.d_tree->topLevelItem(1)->text(0), QStringLiteral("127.0.23.22"));
        QCOMPARE(dialog.descr(), m_resources.at(2));
    }

    // Written without board numbers, .10 before .9, the mainframes come
    // out of the search under canonical names, in address order.
    void namesWithoutBoardSortByAddress()
    {
        QVERIFY(start({10, 9}));
        QFile f(m_dir.filePath(QStringLiteral("resources.conf")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(m_resources.join(QLatin1Char('\n'))
                    .replace(QLatin1String("TCPIP0::"), QLatin1String("TCPIP::"))
                    .toLatin1());
        f.close();
        cv4870fp_select dialog(nullptr);
        QCOMPARE(dialog.findResources(), 2);
        QCOMPARE(dialog.d_tree->topLevelItem(0)->text(0), QStringLiteral("127.0.23.9"));
        QCOMPARE(dialog.descr(), m_resources.at(0)); // the last row, .10
    }
};

QTEST_MAIN(tst_connect_e2e)
#include "tst_connect_e2e.moc"
