// The mainframe panel against the scripted driver double: construction in
// real and demo mode, the poll, its failure rule and the commands.
#include <QGridLayout>
#include <QTimerEvent>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>

#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

const char testAddress[] = "127.0.46.99";
const ViStatus someError = VI_ERROR_INV_RESPONSE;
const ViStatus someWarning = VI_WARN_NSUP_ID_QUERY;
const QString titlePrefix = QStringLiteral("Ostrel 4870 Soft Front Panel: ");

QString degrees(int c)
{
    return QString::number(c) + QStringLiteral(" \u00B0C");
}

QStringList calls(bool withArgs = true)
{
    QStringList l;
    for (const std::string &t : fakedrv::calls(withArgs))
        l << QString::fromStdString(t);
    return l;
}

const char *const pollCalls[] = {"cv4870_getStatus",       "cv4870_getOutputVoltages", "cv4870_getOutputCurrents",
                                 "cv4870_getOutputStates", "cv4870_getFanSpeed",       "cv4870_getTemperature"};

const char *const pollCallTexts[] = {
    "cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, &senseFail, &sysFail)",
    "cv4870_getOutputVoltages(d_vi, outVolt, outVolt+1, outVolt+2, outVolt+3, outVolt+4, outVolt+5, outVolt+6)",
    "cv4870_getOutputCurrents(d_vi, outAmp, outAmp+1, outAmp+2, outAmp+3, outAmp+4, outAmp+5, outAmp+6)",
    // clang-format off
    "cv4870_getOutputStates(d_vi, outStatus, outStatus+1, outStatus+2, outStatus+3, outStatus+4, outStatus+5, outStatus+6)",
    // clang-format on
    "cv4870_getFanSpeed(d_vi, &fanNomSpeed, fanSpeed, fanSpeed+1, fanSpeed+2)",
    "cv4870_getTemperature(d_vi, &fanTemp, &psTemp)",
};

QString errorBox(const QString &callText, ViStatus st)
{
    return QStringLiteral("Ostrel  SFP Error message|%1 failed due to [Fake error %2]\nDo you want to exit?")
        .arg(callText)
        .arg(st);
}

QString warningBox(ViStatus st)
{
    return QStringLiteral("Ostrel  SFP Warning message|Warning: [Fake error %1]").arg(st);
}

} // namespace

class tst_panel : public QObject
{
    Q_OBJECT

    ScratchSettings m_settings;
    std::unique_ptr<DialogScript> m_dialogs;

    std::unique_ptr<TestPanel> makePanel(const QString &address = QString::fromLatin1(testAddress))
    {
        m_dialogs.reset(new DialogScript(connectSteps(address), true));
        std::unique_ptr<TestPanel> p(new TestPanel);
        fakedrv::clearCalls();
        return p;
    }
    static void fireTimer(QTimer *t)
    {
        QTimerEvent ev(t->timerId());
        QCoreApplication::sendEvent(t, &ev);
    }

private slots:
    void initTestCase() { QVERIFY(m_settings.isValid()); }
    void init() { fakedrv::reset(); }
    void cleanup() { m_dialogs.reset(); }

    void abandonedConnectionEndsTheProcess()
    {
        // The constructor ends the process, so it runs in a child.
        QByteArray out;
        QCOMPARE(runChild("--abandon-connection", &out), 0);
        QVERIFY(!out.contains("constructed"));
    }

    void demoMode()
    {
        m_dialogs.reset(new DialogScript(connectSteps(QString()), true));
        TestPanel p;
        QCOMPARE(p.windowTitle(), titlePrefix + QLatin1String(cv4870fp_demoAddress));
        // The library's own revision is the only question asked.
        QCOMPARE(calls(), QStringList({"cv4870_revision_query(0, drvRev, NULL)"}));
        QCOMPARE(p.d_activeLed->value(), 0);
        QVERIFY(p.hardwareRows().isEmpty());
        QVERIFY(p.d_timer->isActive());

        fakedrv::clearCalls();
        fireTimer(p.d_timer);
        for (const char *b : {"Power On", "Power Off", "SysReset", "HW Reset"})
            p.press(QLatin1String(b));
        QSpinBox *box = p.d_fanNomSpeedBox;
        box->setValue(2400);
        QTest::keyClick(box, Qt::Key_Return);
        QCOMPARE(calls(), QStringList());
        QCOMPARE(m_dialogs->reports, QStringList());
        QCOMPARE(p.d_fanTemp->text(), degrees(20)); // a real degree sign
        QCOMPARE(box->text(), QStringLiteral("2400 RPM"));
        box->setValue(5000);
        QCOMPARE(box->value(), 3600);
        // The panel opens at its minimum size: the widest value keeps its unit.
        QVERIFY(box->minimumWidth() >= box->sizeHint().width());

        // Each channel's name stands left of its voltage, current and status.
        const QStringList names = {"+24 V", "+12 V", "+5 V", "-2 V", "-5.2 V", "-12 V", "-24 V"};
        auto *grid = qobject_cast<QGridLayout *>(p.d_outVolt[0]->parentWidget()->layout());
        for (int i = 0; i < 7; ++i) {
            int r, c, rs, cs;
            grid->getItemPosition(grid->indexOf(p.d_outVolt[i]), &r, &c, &rs, &cs);
            QCOMPARE(qobject_cast<QLabel *>(grid->itemAtPosition(r, c - 1)->widget())->text(), names[i]);
            QCOMPARE(grid->itemAtPosition(r, c + 1)->widget(), p.d_outAmp[i]);
            QCOMPARE(grid->itemAtPosition(r, c + 2)->widget(), p.d_outStatus[i]);
        }
    }

    void realMode_data()
    {
        QTest::addColumn<int>("nullInits"); // inits of the flow that leave no session
        QTest::addColumn<int>("serialStatus");
        QTest::addColumn<int>("panelInit"); // status of the panel's own init
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("serials");
        const QString addr = QString::fromLatin1(testAddress);
        QTest::newRow("the probe's session adopted") << 0 << 0 << 0 << "mainframe.test"
                                                     << "mainframe.test" << QStringList() << "-17/48702002/A.01.00";
        // A failed query is reported and its rows read "unknown"; an empty
        // host name leaves the host of the resource string for the title.
        QTest::newRow("own session, failed query") << 1 << int(someWarning) << 0 << "" << addr
                                                   << QStringList{warningBox(someWarning)} << "unknown/unknown/A.01.00";
        QTest::newRow("own session fails")
            << 1 << 0 << int(someError) << "mainframe.test" << addr
            << QStringList{errorBox("cv4870_init(sel->descr().toLatin1().data(), 1, 0, &d_vi)", someError)}
            << "-17/48702002/unknown"; // no session to ask
    }
    void realMode()
    {
        QFETCH(int, nullInits);
        QFETCH(int, serialStatus);
        QFETCH(int, panelInit);
        QFETCH(QString, hostname);
        fakedrv::Mainframe &m = fakedrv::mainframe();
        m.psSerial = -17;
        m.nullInits = nullInits;
        m.hostname = hostname.toStdString();
        fakedrv::pushStatus("cv4870_getSerialNumber", serialStatus);
        if (panelInit)
            fakedrv::setHook("cv4870_init", [] { fakedrv::pushStatus("cv4870_init", someError); });
        fakedrv::setStatus("viGetAttribute", panelInit ? VI_ERROR_INV_OBJECT : VI_SUCCESS);
        m_dialogs.reset(new DialogScript(connectSteps(QString::fromLatin1(testAddress)), true));
        TestPanel p;
        const QString resource = QStringLiteral("TCPIP::%1::23::SOCKET").arg(QLatin1String(testAddress));
        QCOMPARE(calls().count(QStringLiteral("cv4870_init(\"%1\", 1, 0)").arg(resource)), nullInits + 1);
        if (!panelInit)
            QCOMPARE(QString::fromStdString(fakedrv::resourceOf(p.d_vi)), resource);
        QCOMPARE(p.d_activeLed->value(), 1);
        QTEST(p.windowTitle().remove(titlePrefix), "title");
        QTEST(m_dialogs->reports, "reports");
        QFETCH(QString, serials);
        QCOMPARE(p.hardwareRows(), QStringList({"Power Supply S/N:=" + serials.section('/', 0, 0),
                                                "Fan Tray S/N:=" + serials.section('/', 1, 1),
                                                "Firmware Revision:=" + serials.section('/', 2)}));
        QVERIFY(p.d_timer->isActive());
        QVERIFY(!calls(false).contains("cv4870_getStatus")); // no poll during construction
    }

    void pollReadsInOrderAndFormats()
    {
        // A decimal point whatever the locale.
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        auto p = makePanel();
        fakedrv::Mainframe &m = fakedrv::mainframe();
        const double volts[7] = {1234.5, 12.0, 5.0, -2.0, -5.2, -12.004, -23.996};
        const double amps[7] = {0.0, 1.005, 12.5, -0.25, 3.0, 0.001, 7.777};
        std::copy(volts, volts + 7, m.volt);
        std::copy(amps, amps + 7, m.amp);
        m.fan[0] = 1800;
        m.fan[1] = 0;
        m.fanNom = 2400;
        m.fanTemp = -3;
        m.inFail = 7; // any non-zero reading lights the LED
        p->updateStatus();
        QLocale::setDefault(saved);

        QStringList expected;
        for (const char *c : pollCalls)
            expected << QStringLiteral("%1(%2)").arg(QLatin1String(c)).arg(p->d_vi);
        QCOMPARE(calls(), expected);
        const QStringList voltTexts = {"1234.50 V", "12.00 V", "5.00 V", "-2.00 V", "-5.20 V", "-12.00 V", "-24.00 V"};
        const QStringList ampTexts = {"0.00 A", "1.00 A", "12.50 A", "-0.25 A", "3.00 A", "0.00 A", "7.78 A"};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(p->d_outVolt[i]->text(), voltTexts[i]);
            QCOMPARE(p->d_outAmp[i]->text(), ampTexts[i]);
        }
        QCOMPARE(p->d_fanSpeed[0]->text(), QStringLiteral("1800 RPM"));
        QCOMPARE(p->d_fanSpeed[1]->text(), QStringLiteral("0 RPM"));
        QCOMPARE(p->d_fanNomSpeedBox->value(), 2400);
        QCOMPARE(p->d_fanTemp->text(), degrees(-3));
        QCOMPARE(p->d_psTemp->text(), degrees(31));
        QCOMPARE(p->d_inFailLed->value(), 7);
        QCOMPARE(p->d_outFailLed->value(), 0);
        QCOMPARE(m_dialogs->reports, QStringList());
    }

    void identicalPollsRepaintOnlyOffChannelLeds()
    {
        auto p = makePanel();
        fakedrv::Mainframe &m = fakedrv::mainframe();
        m.inFail = 1;
        m.outState[1] = m.outState[4] = 0;
        p->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.get()));
        p->updateStatus();
        QCoreApplication::processEvents();

        PaintCounter counter;
        for (cv5120fp_led *led : p->statusLeds() + QVector<cv5120fp_led *>(p->d_outStatus, p->d_outStatus + 7))
            counter.watch(led);
        p->d_outVolt[0]->setText(QString());
        fireTimer(p->d_timer); // the timer drives the poll
        for (cv5120fp_led *led : p->statusLeds())
            QCOMPARE(counter.paints.value(led), 0);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(counter.paints.value(p->d_outStatus[i]), (i == 1 || i == 4) ? 1 : 0);
        QCOMPARE(p->d_outVolt[0]->text(), QStringLiteral("24.01 V")); // texts are written on every poll

        // A changed reading repaints its LED at once.
        m.inFail = 0;
        p->updateStatus();
        QCOMPARE(counter.paints.value(p->d_inFailLed), 1);
        QCOMPARE(counter.paints.value(p->d_powerLed), 0);
    }

    void channelLedColours_data()
    {
        QTest::addColumn<int>("pon");
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("offColor");
        QTest::newRow("power off, output off: grey") << 0 << 0 << QColor(Qt::lightGray);
        QTest::newRow("power on, output off: red") << 1 << 0 << QColor(Qt::red);
        QTest::newRow("any non-zero state lights green") << 5 << 3 << QColor(Qt::red);
    }
    void channelLedColours()
    {
        QFETCH(int, pon);
        QFETCH(int, state);
        auto p = makePanel();
        fakedrv::mainframe().pon = ViBoolean(pon);
        std::fill(std::begin(fakedrv::mainframe().outState), std::end(fakedrv::mainframe().outState), state);
        p->updateStatus();
        for (cv5120fp_led *led : p->d_outStatus) {
            QCOMPARE(led->value(), state);
            QTEST(led->offColor(), "offColor");
            QCOMPARE(led->onColor(), QColor(Qt::green));
        }
        QCOMPARE(p->d_powerLed->value(), pon);
    }

    void nominalSpeedFollowsThePollUnlessFocused()
    {
        auto p = makePanel();
        fakedrv::mainframe().fanNom = 0;
        p->updateStatus();
        QCOMPARE(p->d_fanNomSpeedBox->text(), QStringLiteral("OFF"));
        QVERIFY(!calls(false).contains("cv4870_setFanSpeed")); // showing sends nothing

        p->show();
        p->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(p.get()));
        p->d_fanNomSpeedBox->setFocus();
        QTRY_VERIFY(p->d_fanNomSpeedBox->hasFocus());
        p->d_fanNomSpeedBox->setValue(2000);
        fakedrv::mainframe().fanNom = 3000;
        p->updateStatus();
        QCOMPARE(p->d_fanNomSpeedBox->value(), 2000);
        QCOMPARE(p->d_fanSpeed[0]->text(), QStringLiteral("1790 RPM"));

        // Closing the panel takes the focus away without sending anything.
        fakedrv::clearCalls();
        p.reset();
        QCOMPARE(calls(), QStringList());
    }

    void pollFailure_data()
    {
        QTest::addColumn<int>("failing");
        QTest::addColumn<ViStatus>("status");
        for (int k = 0; k < 6; ++k)
            QTest::addRow("%s error", pollCalls[k]) << k << someError;
        QTest::addRow("warning") << 3 << someWarning;
    }
    void pollFailure()
    {
        QFETCH(int, failing);
        QFETCH(ViStatus, status);
        auto p = makePanel();
        p->updateStatus(); // first readings

        // Second readings, all different from the first.
        fakedrv::Mainframe &m = fakedrv::mainframe();
        m.pon = 0;
        m.volt[0] = 1.0;
        m.amp[0] = 2.0;
        m.outState[0] = 0;
        m.fan[0] = 999;
        m.fanTemp = 77;
        fakedrv::clearCalls();
        fakedrv::pushStatus(pollCalls[failing], status);
        // The box is open only after the timer has been stopped.
        bool stoppedFirst = false;
        fakedrv::setHook("cv4870_error_message", [&] { stoppedFirst = !p->d_timer->isActive(); });
        p->updateStatus();

        QVERIFY(stoppedFirst);
        QCOMPARE(m_dialogs->reports, QStringList({status < 0 ? errorBox(QLatin1String(pollCallTexts[failing]), status)
                                                             : warningBox(status)}));
        QStringList expected;
        for (int k = 0; k <= failing; ++k)
            expected << QLatin1String(pollCalls[k]);
        QCOMPARE(calls(false), expected << "cv4870_error_message");

        // Values of calls that returned before the failing one are shown;
        // voltages, currents and channel LEDs appear only once all three
        // output queries have succeeded.
        const bool outputsShown = failing > 3;
        QCOMPARE(p->d_powerLed->value(), failing > 0 ? 0 : 1);
        QCOMPARE(p->d_outVolt[0]->text(), QString(outputsShown ? "1.00 V" : "24.01 V"));
        QCOMPARE(p->d_outAmp[0]->text(), QString(outputsShown ? "2.00 A" : "1.50 A"));
        QCOMPARE(p->d_outStatus[0]->value(), outputsShown ? 0 : 1);
        QCOMPARE(p->d_fanSpeed[0]->text(), QString(failing > 4 ? "999 RPM" : "1790 RPM"));
        QCOMPARE(p->d_fanTemp->text(), degrees(25));

        // Polling is not resumed; commands keep working.
        QCoreApplication::processEvents();
        QVERIFY(!p->d_timer->isActive());
        fakedrv::clearCalls();
        p->press(QStringLiteral("Power On"));
        QCOMPARE(calls(false), QStringList({"cv4870_setMainPowerState"}));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("button"); // empty: Return in the fan speed box showing value
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("callText");
        QTest::newRow("HW Reset") << "HW Reset" << 0 << "cv4870_reset(%1)"
                                  << "cv4870_reset(d_vi)";
        QTest::newRow("Power On") << "Power On" << 0 << "cv4870_setMainPowerState(%1, 1)"
                                  << "cv4870_setMainPowerState(d_vi, VI_TRUE)";
        QTest::newRow("Power Off") << "Power Off" << 0 << "cv4870_setMainPowerState(%1, 0)"
                                   << "cv4870_setMainPowerState(d_vi, VI_FALSE)";
        QTest::newRow("SysReset") << "SysReset" << 0 << "cv4870_setVXIsysReset(%1)"
                                  << "cv4870_setVXIsysReset(d_vi)";
        const QString fanText = QStringLiteral("cv4870_setFanSpeed(d_vi, val)");
        QTest::newRow("fan speed OFF") << "" << 1150 << "cv4870_setFanSpeed(%1, 0)" << fanText;
        QTest::newRow("fan speed below 1200") << "" << 1199 << "cv4870_setFanSpeed(%1, 0)" << fanText;
        QTest::newRow("fan speed 1200") << "" << 1200 << "cv4870_setFanSpeed(%1, 1200)" << fanText;
        QTest::newRow("fan speed 3600") << "" << 3600 << "cv4870_setFanSpeed(%1, 3600)" << fanText;
    }
    void commands()
    {
        QFETCH(QString, button);
        QFETCH(int, value);
        QFETCH(QString, call);
        QFETCH(QString, callText);
        auto p = makePanel();
        auto press = [&] {
            if (!button.isEmpty())
                return p->press(button);
            p->d_fanNomSpeedBox->setValue(value - 50);
            p->d_fanNomSpeedBox->setValue(value);
            QCOMPARE(calls(), QStringList()); // nothing sent while typing
            QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
        };
        const QString expectedCall = call.arg(p->d_vi);
        press();
        QCOMPARE(calls(), QStringList({expectedCall}));

        // A failure is reported with the call's own text; no retry, no poll,
        // and the timer keeps running.
        const std::string fn = expectedCall.left(expectedCall.indexOf('(')).toStdString();
        fakedrv::clearCalls();
        fakedrv::pushStatus(fn, someError);
        press();
        QCOMPARE(m_dialogs->reports, QStringList({errorBox(callText, someError)}));
        QCOMPARE(calls(false), QStringList({QString::fromStdString(fn), "cv4870_error_message"}));
        QVERIFY(p->d_timer->isActive());
    }
};

// Child of abandonedConnectionEndsTheProcess(): cancels the connection
// choice; the panel's constructor must not return.
static int abandonConnection(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScratchSettings settings;
    DialogScript script({QStringLiteral("choice:Cancel")});
    TestPanel panel;
    std::printf("constructed\n");
    return 3;
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--abandon-connection") == 0)
        return abandonConnection(argc, argv);
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    tst_panel tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_panel.moc"
