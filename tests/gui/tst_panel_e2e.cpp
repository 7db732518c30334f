// The mainframe panel end to end: the real driver and VISA library talking
// to an emulated mainframe on a loopback address of its own.
#include <QtTest>

#include <cmath>
#include <memory>
#include <string>

#include "cv4870emu.h"
#include "gui_test_util.h"

namespace {

const char emuAddress[] = "127.0.46.1";
const std::uint16_t emuPort = 23;

double numberIn(const QString &text)
{
    return text.section(QLatin1Char(' '), 0, 0).toDouble();
}

} // namespace

class tst_panel_e2e : public QObject
{
    Q_OBJECT

    ScratchSettings m_settings;
    cv4870emu::Server m_server;
    cv4870emu::Mainframe *m_mf = nullptr;
    std::unique_ptr<DialogScript> m_modal;

    std::unique_ptr<TestPanel> connectPanel()
    {
        m_modal.reset(new DialogScript(connectSteps(QString::fromLatin1(emuAddress)), true));
        std::unique_ptr<TestPanel> p(new TestPanel);
        // The poll is driven by hand below unless a test starts it again.
        p->d_timer->stop();
        return p;
    }
private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
        m_mf = &m_server.addMainframe(emuAddress, emuPort);
        cv4870emu::Identity id;
        id.psSerial = -4870;
        id.fanSerial = 48702;
        id.firmware = "B.02.07";
        m_mf->setIdentity(id);
        m_mf->model().setManualClock(true);
        m_server.setLogLevel(cv4870emu::LogLevel::Quiet);
        // Another build tree may be running this test on the same address:
        // wait for it rather than fail.
        std::string error;
        QDeadlineTimer patience(120000);
        while (!m_server.start(&error) && !patience.hasExpired())
            QThread::msleep(250);
        QVERIFY2(m_server.running(), error.c_str());
    }
    void init()
    {
        m_mf->clearFaults();
        m_mf->setReplyDelay(0);
        m_mf->model().reset();
        m_mf->model().advance(cv4870emu::kSysFailAfterResetMs + 100);
    }
    void cleanup() { m_modal.reset(); }
    void cleanupTestCase() { m_server.stop(); }

    void valuesFollowTheModel()
    {
        auto p = connectPanel();
        QCOMPARE(p->d_activeLed->value(), 1);
        QVERIFY(p->windowTitle().startsWith(QStringLiteral("Ostrel 4870 Soft Front Panel: ")));
        QCOMPARE(p->hardwareRows(),
                 QStringList({"Power Supply S/N:=-4870", "Fan Tray S/N:=48702", "Firmware Revision:=B.02.07"}));

        p->updateStatus();
        const cv4870emu::ModelState s = m_mf->model().state();
        QCOMPARE(m_modal->reports, QStringList());
        QCOMPARE(p->d_powerLed->value() != 0, s.power);
        QCOMPARE(p->d_fanFailLed->value() != 0, s.fanFail);
        QCOMPARE(p->d_inFailLed->value() != 0, s.inputFail);
        for (std::size_t i = 0; i < cv4870emu::kOutputCount; ++i) {
            QVERIFY(p->d_outVolt[i]->text().endsWith(QLatin1String(" V")));
            QVERIFY(std::fabs(numberIn(p->d_outVolt[i]->text()) - s.volts[i]) < 0.0051);
            QVERIFY(std::fabs(numberIn(p->d_outAmp[i]->text()) - s.amps[i]) < 0.0051);
            QCOMPARE(p->d_outStatus[i]->value() != 0, s.outputOk[i]);
        }
        QCOMPARE(p->d_fanNomSpeedBox->value(), s.nominalFan);
        for (std::size_t k = 0; k < cv4870emu::kFanCount; ++k)
            QCOMPARE(p->d_fanSpeed[k]->text(), QStringLiteral("%1 RPM").arg(s.fans[k]));
        QCOMPARE(p->d_fanTemp->text(), QString::number(std::lround(s.fanTrayTemp)) + QStringLiteral(" \u00B0C"));
        QCOMPARE(p->d_psTemp->text(), QString::number(std::lround(s.powerSupplyTemp)) + QStringLiteral(" \u00B0C"));
    }

    void powerOffGreysEveryChannelAndHwResetRestores()
    {
        auto p = connectPanel();
        p->updateStatus();
        p->d_fanNomSpeedBox->setValue(1150); // "OFF"
        QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
        p->press(QStringLiteral("Power Off"));
        QVERIFY(!m_mf->model().state().power);
        p->updateStatus();
        QCOMPARE(p->d_powerLed->value(), 0);
        QCOMPARE(p->d_fanNomSpeedBox->text(), QStringLiteral("OFF"));
        for (cv5120fp_led *led : p->d_outStatus) {
            QCOMPARE(led->value(), 0);
            QCOMPARE(led->offColor(), QColor(Qt::lightGray));
        }

        p->press(QStringLiteral("HW Reset"));
        m_mf->model().advance(cv4870emu::kSysFailAfterResetMs + 100);
        p->updateStatus();
        QCOMPARE(m_modal->reports, QStringList());
        QCOMPARE(p->d_powerLed->value(), 1);
        QCOMPARE(p->d_fanNomSpeedBox->value(), cv4870emu::kDefaultFanSpeed);
        for (cv5120fp_led *led : p->d_outStatus)
            QVERIFY(led->value() != 0);
    }

    void stalledFanLightsFanFail()
    {
        auto p = connectPanel();
        p->updateStatus();
        QCOMPARE(p->d_fanFailLed->value(), 0);
        m_mf->model().setFanStall(1, true);
        m_mf->model().advance(cv4870emu::kFanFailDelayMs + 500);
        p->updateStatus();
        QVERIFY(p->d_fanFailLed->value() != 0);
        QVERIFY(numberIn(p->d_fanSpeed[1]->text()) < cv4870emu::kDefaultFanSpeed / 2);
        QCOMPARE(m_modal->reports, QStringList());
    }

    void droppedConnectionStopsPolling()
    {
        auto p = connectPanel();
        p->updateStatus();
        m_mf->injectLinkFault(cv4870emu::LinkFault::Drop, -1);
        p->d_timer->start(cv4870fp_app::pollIntervalMs);
        // Bounded by the driver's timeout, not by the test.
        QTRY_COMPARE_WITH_TIMEOUT(m_modal->reports.size(), 1, 30000);
        QVERIFY(m_modal->reports.at(0).startsWith(
            QStringLiteral("Ostrel  SFP Error message|cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, "
                           "&senseFail, &sysFail) failed due to [")));
        QVERIFY(!p->d_timer->isActive());
        // No second box, however long the panel runs on.
        QTest::qWait(3 * cv4870fp_app::pollIntervalMs);
        QCOMPARE(m_modal->reports.size(), 1);
        m_mf->clearFaults();
    }
};

QTEST_MAIN(tst_panel_e2e)
#include "tst_panel_e2e.moc"
