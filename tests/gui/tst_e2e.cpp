// The connection flow and the panel end to end: the real driver and VISA
// libraries against emulated mainframes on loopback addresses of this
// test's own, the flow's within 127.0.23.0/24, the panel's at 127.0.46.1.
#include <QtTest>

#include <cmath>
#include <memory>

#include "cv4870.h"
#include "cv4870emu.h"
#include "gui_test_util.h"

namespace {

const char panelAddress[] = "127.0.46.1";

double numberIn(const QString &text)
{
    return text.section(QLatin1Char(' '), 0, 0).toDouble();
}

QString degrees(double c)
{
    return QString::number(std::lround(c)) + QStringLiteral(" \u00B0C");
}

} // namespace

class tst_e2e : public QObject
{
    Q_OBJECT

    ScratchSettings m_settings;
    QTemporaryDir m_dir; // the VISA resource file
    std::unique_ptr<cv4870emu::Server> m_server; // the flow's mainframes, new for each test
    QStringList m_resources; // of the flow's mainframes, in their order
    QList<DialogScript::Shown> m_shown; // of the last flow
    cv4870emu::Server m_panelServer; // the panel's mainframe, for the whole run
    cv4870emu::Mainframe *m_mf = nullptr;
    std::unique_ptr<DialogScript> m_dialogs;

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

    // The panel connected to the panel's mainframe, its poll driven by hand.
    std::unique_ptr<TestPanel> connectPanel()
    {
        m_dialogs.reset(new DialogScript(connectSteps(QString::fromLatin1(panelAddress)), true));
        std::unique_ptr<TestPanel> p(new TestPanel);
        p->d_timer->stop();
        p->updateStatus();
        return p;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid() && m_dir.isValid());
        qputenv("CV_VISA_RESOURCES", QFile::encodeName(m_dir.filePath(QStringLiteral("resources.conf"))));
        m_mf = &m_panelServer.addMainframe(panelAddress, 23);
        cv4870emu::Identity id;
        id.psSerial = -4870;
        id.fanSerial = 48702;
        id.firmware = "B.02.07";
        m_mf->setIdentity(id);
        m_mf->model().setManualClock(true);
        m_panelServer.setLogLevel(cv4870emu::LogLevel::Quiet);
        // Another build tree may be running this test on the same address:
        // wait for it rather than fail.
        std::string error;
        QDeadlineTimer patience(120000);
        while (!m_panelServer.start(&error) && !patience.hasExpired())
            QThread::msleep(250);
        QVERIFY2(m_panelServer.running(), error.c_str());
    }
    void init()
    {
        m_resources.clear();
        m_server.reset(new cv4870emu::Server);
        m_server->setLogSink([](const std::string &) {});
        m_mf->clearFaults();
        m_mf->setReplyDelay(0);
        m_mf->model().reset();
        m_mf->model().advance(cv4870emu::kSysFailAfterResetMs + 100);
    }
    void cleanup()
    {
        m_server.reset();
        m_dialogs.reset();
    }
    void cleanupTestCase() { m_panelServer.stop(); }

    // The search lists the mainframes in address order; the chosen one is probed.
    void autoFind()
    {
        QVERIFY(start({12, 3, 7}));
        QString descr, description;
        QCOMPARE(runFlow("choice:Auto Find|list:row:1", &descr, &description), 1);
        QCOMPARE(m_shown.at(1).rows, (QStringList{"127.0.23.3 | Ostrel 4870 at .3", "127.0.23.7 | Ostrel 4870 at .7",
                                                  "127.0.23.12 | Ostrel 4870 at .12"}));
        QCOMPARE(descr, m_resources.at(2));
        QCOMPARE(description, QStringLiteral("Ostrel 4870 at .7"));
    }

    void enterAddress()
    {
        QVERIFY(start({1}, 23));
        QString descr, description;
        QCOMPARE(runFlow("choice:Enter Address|address:=127.0.23.1", &descr, &description), 1);
        QCOMPARE(descr, QStringLiteral("TCPIP::127.0.23.1::23::SOCKET"));
        QCOMPARE(description, QStringLiteral("Ostrel 4870 at .1"));
        QCOMPARE(QSettings().value("ip_addr").toString(), QStringLiteral("127.0.23.1"));
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

    // The real driver's readings reach the panel and its commands the mainframe.
    void panelSmoke()
    {
        auto p = connectPanel();
        QCOMPARE(m_dialogs->reports, QStringList());
        QCOMPARE(p->d_activeLed->value(), 1);
        QCOMPARE(p->hardwareRows(),
                 QStringList({"Power Supply S/N:=-4870", "Fan Tray S/N:=48702", "Firmware Revision:=B.02.07"}));
        const cv4870emu::ModelState s = m_mf->model().state();
        QVERIFY(std::fabs(numberIn(p->d_outVolt[6]->text()) - s.volts[6]) < 0.006);
        QCOMPARE(p->d_fanSpeed[2]->text(), QStringLiteral("%1 RPM").arg(s.fans[2]));
        QCOMPARE(p->d_psTemp->text(), degrees(s.powerSupplyTemp));
        p->press(QStringLiteral("Power Off"));
        QVERIFY(!m_mf->model().state().power);
        p->updateStatus();
        QCOMPARE(p->d_powerLed->value(), 0);
        p->d_fanNomSpeedBox->setValue(2400);
        QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
        QCOMPARE(m_mf->model().state().nominalFan, 2400);
        QCOMPARE(m_dialogs->reports, QStringList());
    }

    void droppedConnectionStopsPolling()
    {
        auto p = connectPanel();
        m_mf->injectLinkFault(cv4870emu::LinkFault::Drop, -1);
        p->d_timer->start(cv4870fp_app::pollIntervalMs);
        // Bounded by the driver's timeout, not by the test.
        QTRY_COMPARE_WITH_TIMEOUT(m_dialogs->reports.size(), 1, 30000);
        QVERIFY(m_dialogs->reports.at(0).startsWith(
            QStringLiteral("Ostrel  SFP Error message|cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, "
                           "&senseFail, &sysFail) failed due to [")));
        QVERIFY(!p->d_timer->isActive());
        // No second box, however long the panel runs on.
        QTest::qWait(3 * cv4870fp_app::pollIntervalMs);
        QCOMPARE(m_dialogs->reports.size(), 1);
        m_mf->clearFaults();
    }
};

QTEST_MAIN(tst_e2e)
#include "tst_e2e.moc"
