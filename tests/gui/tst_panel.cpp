// The mainframe panel against the scripted driver double: construction in
// real and demo mode, the poll, its failure rule and the commands.
#include <QGridLayout>
#include <QMetaMethod>
#include <QTimerEvent>
#include <QtTest>

#include <cstring>
#include <memory>

#include "cv4870fp.h"
#include "fake_driver.h"
#include "panel_harness.h"

namespace {

const char testAddress[] = "127.0.46.99";
const ViStatus someError = VI_ERROR_INV_RESPONSE;
const ViStatus someWarning = VI_WARN_NSUP_ID_QUERY;

QString degrees(int c)
{
    return QString::number(c) + QStringLiteral(" \u00B0C");
}

QStringList callTexts()
{
    QStringList l;
    for (const std::string &t : fakedrv::callTexts())
        l << QString::fromStdString(t);
    return l;
}

QStringList callNames()
{
    QStringList l;
    for (const std::string &t : fakedrv::callNames())
        l << QString::fromStdString(t);
    return l;
}

const char *const pollCalls[] = {"cv4870_getStatus",         "cv4870_getOutputVoltages", "cv4870_getOutputCurrents",
                                 "cv4870_getOutputStates",   "cv4870_getFanSpeed",       "cv4870_getTemperature"};

const char *const pollCallTexts[] = {
    "cv4870_getStatus(d_vi, &pon, &inFail, &outFail, &fanFail, &senseFail, &sysFail)",
    "cv4870_getOutputVoltages(d_vi, outVolt, outVolt+1, outVolt+2, outVolt+3, outVolt+4, outVolt+5, outVolt+6)",
    "cv4870_getOutputCurrents(d_vi, outAmp, outAmp+1, outAmp+2, outAmp+3, outAmp+4, outAmp+5, outAmp+6)",
    "cv4870_getOutputStates(d_vi, outStatus, outStatus+1, outStatus+2, outStatus+3, outStatus+4, outStatus+5, outStatus+6)",
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

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject
{
public:
    QHash<QObject *, int> paints;
    void watch(QWidget *w)
    {
        w->installEventFilter(this);
        paints[w] = 0;
    }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints[o];
        return false;
    }
};

} // namespace

class tst_panel : public QObject
{
    Q_OBJECT

    ScratchSettings m_settings;
    std::unique_ptr<ModalDriver> m_modal;

    std::unique_ptr<TestPanel> makePanel(ModalDriver::Choice choice)
    {
        m_modal.reset(new ModalDriver(choice, QString::fromLatin1(testAddress)));
        return std::unique_ptr<TestPanel>(new TestPanel);
    }
    std::unique_ptr<TestPanel> realPanel()
    {
        auto p = makePanel(ModalDriver::Address);
        fakedrv::clearCalls();
        return p;
    }
    static void fireTimer(QTimer *t)
    {
        QTimerEvent ev(t->timerId());
        QCoreApplication::sendEvent(t, &ev);
    }
    static QString resource() { return QStringLiteral("TCPIP::%1::23::SOCKET").arg(QLatin1String(testAddress)); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
    }
    void init() { fakedrv::reset(); }
    void cleanup() { m_modal.reset(); }

    void abandonedConnectionEndsTheProcess()
    {
        // The constructor ends the process, so it runs in a child.
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // The process ends in the middle of building the window: whatever it
        // holds then is no leak (this only matters in sanitizer builds).
        env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--abandon-connection")});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(!child.readAllStandardOutput().contains("constructed"));
    }

    void slotsInDeclaredOrder()
    {
        const QMetaObject &mo = cv4870fp_app::staticMetaObject;
        QStringList own;
        for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
            own << QString::fromLatin1(mo.method(i).methodSignature());
        QCOMPARE(own, QStringList({"resetPressed()", "ponPressed()", "poffPressed()", "sysResetPressed()",
                                   "updateStatus()", "fanSpeedChanged()"}));
    }

    void demoModeMakesNoDriverCall()
    {
        auto p = makePanel(ModalDriver::Demo);
        QCOMPARE(p->d_demo, 1);
        QCOMPARE(p->windowTitle(),
                 QStringLiteral("Ostrel 4870 Soft Front Panel: ") + QLatin1String(cv4870fp_demoAddress));
        // The library's own revision is the only question asked.
        QCOMPARE(callTexts(), QStringList({"cv4870_revision_query(0, drvRev, NULL)"}));
        QCOMPARE(p->d_activeLed->value(), 0);
        QVERIFY(p->hardwareRows().isEmpty());
        QVERIFY(p->d_timer->isActive());
        QCOMPARE(p->d_timer->interval(), 500);

        fakedrv::clearCalls();
        fireTimer(p->d_timer);
        p->d_ponButton->click();
        p->d_poffButton->click();
        p->d_sysResetButton->click();
        p->d_resetButton->click();
        p->d_fanNomSpeedBox->setValue(2400);
        QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
        QCOMPARE(callTexts(), QStringList());
        QCOMPARE(m_modal->reports, QStringList());
        // Nothing was polled: the panel keeps its first values.
        QCOMPARE(p->d_fanTemp->text(), degrees(20));
    }

    void initialWidgets()
    {
        auto p = makePanel(ModalDriver::Demo);
        QCOMPARE(p->d_header->text(),
                 QStringLiteral("<html>Ostrel 4870<br><font size='2'>VXI-1 Rev.4 Mainframe</font></html>"));

        for (cv5120fp_led *led : p->statusLeds()) {
            QCOMPARE(led->value(), 0);
            QVERIFY(led->text().isEmpty());
        }
        QCOMPARE(p->d_powerLed->onColor(), QColor(Qt::green));
        QCOMPARE(p->d_fanFailLed->onColor(), QColor(Qt::red));
        QCOMPARE(p->d_sysFailLed->toolTip(), QStringLiteral("Shows the status of VXI sysFail signal line."));

        QSpinBox *box = p->d_fanNomSpeedBox;
        QCOMPARE(box->value(), 1200);
        QCOMPARE(box->text(), QStringLiteral("1200 RPM"));
        box->stepBy(-1);
        QCOMPARE(box->text(), QStringLiteral("OFF"));
        box->stepBy(-1);
        QCOMPARE(box->value(), 1150);
        box->setValue(5000);
        QCOMPARE(box->value(), 3600);
        // The panel opens at its minimum size: the widest value keeps its unit.
        QVERIFY(box->minimumWidth() >= 70);
        QVERIFY(box->minimumWidth() >= box->sizeHint().width());

        for (int k = 0; k < 3; ++k) {
            QCOMPARE(p->d_fanSpeed[k]->text(), QStringLiteral("0 RPM"));
            QVERIFY(p->d_fanSpeed[k]->isReadOnly());
            QCOMPARE(p->d_fanSpeed[k]->toolTip(),
                     QStringLiteral("Returns the actual speed of fan #%1 in RPM.").arg(k + 1));
        }
        // A real degree sign, whatever the local code page.
        QCOMPARE(p->d_fanTemp->text(), QStringLiteral("20 \u00B0C"));
        QCOMPARE(p->d_psTemp->text(), QStringLiteral("20 \u00B0C"));

        // Channel cells: name, voltage, current and status side by side;
        // -24 V on top of the right half, row 4 of the left half empty.
        const QStringList names = {"+24 V", "+12 V", "+5 V", "-2 V", "-5.2 V", "-12 V", "-24 V"};
        const int rows[] = {1, 2, 3, 4, 3, 2, 1};
        const int cols[] = {0, 0, 0, 5, 5, 5, 5};
        auto *grid = qobject_cast<QGridLayout *>(p->d_outVolt[0]->parentWidget()->layout());
        QVERIFY(grid);
        for (int i = 0; i < 7; ++i) {
            int r, c, rs, cs;
            grid->getItemPosition(grid->indexOf(p->d_outVolt[i]), &r, &c, &rs, &cs);
            QCOMPARE(r, rows[i]);
            QCOMPARE(c, cols[i] + 1);
            auto *label = qobject_cast<QLabel *>(grid->itemAtPosition(r, cols[i])->widget());
            QVERIFY(label);
            QCOMPARE(label->text(), names[i]);
            QCOMPARE(grid->itemAtPosition(r, cols[i] + 2)->widget(), p->d_outAmp[i]);
            QCOMPARE(grid->itemAtPosition(r, cols[i] + 3)->widget(), p->d_outStatus[i]);
            QCOMPARE(p->d_outVolt[i]->text(), names[i]);
            QCOMPARE(p->d_outAmp[i]->text(), QStringLiteral("0.0 A"));
            QCOMPARE(p->d_outAmp[i]->toolTip(),
                     QStringLiteral("Shows the actual current flowing on %1 line.").arg(names[i]));
            QVERIFY(p->d_outStatus[i]->toolTip().startsWith(
                QStringLiteral("Shows the actual status of %1 line.\n").arg(names[i])));
            QCOMPARE(p->d_outStatus[i]->value(), 0);
        }
        QCOMPARE(grid->itemAtPosition(4, 0), nullptr);
    }

    void realModeAdoptsTheSession()
    {
        fakedrv::mainframe().psSerial = -17;
        auto p = makePanel(ModalDriver::Address);
        const QStringList calls = callTexts();
        QCOMPARE(fakedrv::count("cv4870_init"), 1); // the probe of the connection flow
        const ViSession vi = p->d_vi;
        QVERIFY(vi != VI_NULL);
        const QString s = QString::number(vi);
        const int initAt = calls.indexOf(QStringLiteral("cv4870_init(\"%1\", 1, 0)").arg(resource()));
        QVERIFY(initAt >= 0);
        QCOMPARE(calls.mid(initAt + 1),
                 QStringList({"viGetAttribute(" + s + ", VI_ATTR_TCPIP_HOSTNAME)",
                              "cv4870_revision_query(0, drvRev, NULL)",
                              "cv4870_revision_query(" + s + ", drvRev, fwRev)", "cv4870_getSerialNumber(" + s + ")"}));
        QCOMPARE(p->d_demo, 0);
        QCOMPARE(p->d_activeLed->value(), 1);
        QCOMPARE(p->windowTitle(), QStringLiteral("Ostrel 4870 Soft Front Panel: mainframe.test"));
        using Row = QPair<QString, QString>;
        QCOMPARE(p->hardwareRows(), QVector<Row>({Row("Power Supply S/N:", "-17"),
                                                  Row("Fan Tray S/N:", "48702002"),
                                                  Row("Firmware Revision:", "A.01.00")}));
        QVERIFY(p->d_timer->isActive());
        QCOMPARE(m_modal->reports, QStringList());
        // No poll during construction.
        QCOMPARE(fakedrv::count("cv4870_getStatus"), 0);
    }

    void realModeOpensTheSessionWhenTheFlowLeftNone()
    {
        // The probe succeeds but leaves 0; the panel's own init gets a handle.
        fakedrv::setInitSession(0);
        int inits = 0;
        fakedrv::setHook("cv4870_init", [&inits] {
            if (++inits == 2)
                fakedrv::clearInitSession();
        });
        auto p = makePanel(ModalDriver::Address);
        QCOMPARE(inits, 2);
        const QString init = QStringLiteral("cv4870_init(\"%1\", 1, 0)").arg(resource());
        QCOMPARE(callTexts().count(init), 2);
        QVERIFY(p->d_vi != VI_NULL);
        QCOMPARE(QString::fromStdString(fakedrv::resourceOf(p->d_vi)), resource());
        QCOMPARE(p->windowTitle(), QStringLiteral("Ostrel 4870 Soft Front Panel: mainframe.test"));
        QCOMPARE(m_modal->reports, QStringList());
    }

    void failedFallbackInitIsReportedAndConstructionGoesOn()
    {
        fakedrv::setInitSession(0);
        int inits = 0;
        // A hook runs after the call's status is taken: script the next one.
        fakedrv::setHook("cv4870_init", [&inits] {
            if (++inits == 1)
                fakedrv::pushStatus("cv4870_init", someError);
        });
        fakedrv::setStatus("viGetAttribute", VI_ERROR_INV_OBJECT);
        auto p = makePanel(ModalDriver::Address);
        QCOMPARE(m_modal->reports,
                 QStringList({errorBox("cv4870_init(sel->descr().toLatin1().data(), 1, 0, &d_vi)", someError)}));
        // No host name: the host of the resource string stands in the title.
        QCOMPARE(p->windowTitle(), QStringLiteral("Ostrel 4870 Soft Front Panel: ") + QLatin1String(testAddress));
        QCOMPARE(p->hardwareRows().size(), 3);
        QVERIFY(p->d_timer->isActive());
    }

    void emptyHostNameFallsBackToTheResourceHost()
    {
        fakedrv::mainframe().hostname = "";
        auto p = makePanel(ModalDriver::Address);
        QCOMPARE(p->windowTitle(), QStringLiteral("Ostrel 4870 Soft Front Panel: ") + QLatin1String(testAddress));
    }

    void hardwareRowsWhenQueriesFail_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<ViStatus>("status");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("revision error")
            << "cv4870_revision_query" << someError
            << errorBox("cv4870_revision_query(d_vi, drvRev, fwRev)", someError)
            << QStringList({"48701001", "48702002", "unknown"});
        QTest::newRow("serial error")
            << "cv4870_getSerialNumber" << someError
            << errorBox("cv4870_getSerialNumber(d_vi, &psSerNum, &fanSerNum)", someError)
            << QStringList({"unknown", "unknown", "A.01.00"});
        QTest::newRow("serial warning") << "cv4870_getSerialNumber" << someWarning << warningBox(someWarning)
                                        << QStringList({"unknown", "unknown", "A.01.00"});
    }
    void hardwareRowsWhenQueriesFail()
    {
        QFETCH(QString, failing);
        QFETCH(ViStatus, status);
        QFETCH(QString, report);
        QFETCH(QStringList, values);
        // Only the queries made with the session fail: the revision query
        // without a session comes first, and its hook scripts the next call.
        if (failing == QLatin1String("cv4870_revision_query"))
            fakedrv::setHook("cv4870_revision_query", [status] {
                if (fakedrv::calls().back().args.at(0) == "0")
                    fakedrv::pushStatus("cv4870_revision_query", status);
            });
        else
            fakedrv::pushStatus(failing.toStdString(), status);
        auto p = makePanel(ModalDriver::Address);
        QCOMPARE(m_modal->reports, QStringList({report}));
        const auto rows = p->hardwareRows();
        QCOMPARE(rows.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(rows[i].second, values[i]);
        QCOMPARE(fakedrv::count("cv4870_error_message"), 1);
    }

    void pollReadsInOrderAndFormats()
    {
        auto p = realPanel();
        fakedrv::Mainframe &m = fakedrv::mainframe();
        const double volts[7] = {24.004, 12.0, 5.0, -2.0, -5.2, -12.004, -23.996};
        const double amps[7] = {0.0, 1.005, 12.5, -0.25, 3.0, 0.001, 7.777};
        for (int i = 0; i < 7; ++i) {
            m.volt[i] = volts[i];
            m.amp[i] = amps[i];
        }
        m.fan[0] = 1800;
        m.fan[1] = 0;
        m.fan[2] = 12345;
        m.fanNom = 2400;
        m.fanTemp = -3;
        m.psTemp = 41;
        m.inFail = 7; // any non-zero reading lights the LED
        p->updateStatus();

        const QString s = QString::number(p->d_vi);
        QStringList expected;
        for (const char *c : pollCalls)
            expected << QStringLiteral("%1(%2)").arg(QLatin1String(c), s);
        QCOMPARE(callTexts(), expected);

        const QStringList voltTexts = {"24.00 V", "12.00 V", "5.00 V", "-2.00 V", "-5.20 V", "-12.00 V", "-24.00 V"};
        const QStringList ampTexts = {"0.00 A", "1.00 A", "12.50 A", "-0.25 A", "3.00 A", "0.00 A", "7.78 A"};
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(p->d_outVolt[i]->text(), voltTexts[i]);
            QCOMPARE(p->d_outAmp[i]->text(), ampTexts[i]);
        }
        QCOMPARE(p->d_fanSpeed[0]->text(), QStringLiteral("1800 RPM"));
        QCOMPARE(p->d_fanSpeed[1]->text(), QStringLiteral("0 RPM"));
        QCOMPARE(p->d_fanSpeed[2]->text(), QStringLiteral("12345 RPM"));
        QCOMPARE(p->d_fanNomSpeedBox->value(), 2400);
        QCOMPARE(p->d_fanTemp->text(), degrees(-3));
        QCOMPARE(p->d_psTemp->text(), degrees(41));
        QCOMPARE(p->d_powerLed->value(), 1);
        QCOMPARE(p->d_inFailLed->value(), 7);
        QCOMPARE(p->d_outFailLed->value(), 0);
        QVERIFY(p->d_timer->isActive());
        QCOMPARE(m_modal->reports, QStringList());
    }

    void pollFormatsWithAPointInEveryLocale()
    {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        auto p = realPanel();
        fakedrv::mainframe().volt[0] = 1234.5;
        p->updateStatus();
        QLocale::setDefault(saved);
        QCOMPARE(p->d_outVolt[0]->text(), QStringLiteral("1234.50 V"));
    }

    void timerDrivesThePollInRealMode()
    {
        auto p = realPanel();
        fireTimer(p->d_timer);
        QCOMPARE(fakedrv::count("cv4870_getStatus"), 1);
        QCOMPARE(fakedrv::count("cv4870_getTemperature"), 1);
    }

    void identicalPollsRepaintOnlyOffChannelLeds()
    {
        auto p = realPanel();
        fakedrv::Mainframe &m = fakedrv::mainframe();
        m.inFail = 1;
        m.outState[1] = 0;
        m.outState[4] = 0;
        p->show();
        QVERIFY(QTest::qWaitForWindowExposed(p.get()));
        p->updateStatus();
        QCoreApplication::processEvents();

        PaintCounter counter;
        for (cv5120fp_led *led : p->statusLeds())
            counter.watch(led);
        for (cv5120fp_led *led : p->d_outStatus)
            counter.watch(led);
        p->d_outVolt[0]->setText(QString());
        p->updateStatus();

        for (cv5120fp_led *led : p->statusLeds())
            QCOMPARE(counter.paints.value(led), 0);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(counter.paints.value(p->d_outStatus[i]), (i == 1 || i == 4) ? 1 : 0);
        // Texts are written on every poll.
        QCOMPARE(p->d_outVolt[0]->text(), QStringLiteral("24.01 V"));

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
        QTest::addColumn<int>("value");
        QTest::addColumn<QColor>("offColor");
        QTest::newRow("power off, output off: grey") << 0 << 0 << 0 << QColor(Qt::lightGray);
        QTest::newRow("power on, output off: red") << 1 << 0 << 0 << QColor(Qt::red);
        QTest::newRow("power on, output on: green") << 1 << 1 << 1 << QColor(Qt::red);
        QTest::newRow("power off, output on: green") << 0 << 1 << 1 << QColor(Qt::lightGray);
        QTest::newRow("any non-zero state lights") << 5 << 3 << 3 << QColor(Qt::red);
    }
    void channelLedColours()
    {
        QFETCH(int, pon);
        QFETCH(int, state);
        QFETCH(int, value);
        QFETCH(QColor, offColor);
        auto p = realPanel();
        fakedrv::Mainframe &m = fakedrv::mainframe();
        m.pon = ViBoolean(pon);
        for (ViBoolean &s : m.outState)
            s = ViBoolean(state);
        p->updateStatus();
        for (cv5120fp_led *led : p->d_outStatus) {
            QCOMPARE(led->value(), value);
            QCOMPARE(led->offColor(), offColor);
            QCOMPARE(led->onColor(), QColor(Qt::green));
        }
        QCOMPARE(p->d_powerLed->value(), pon);
    }

    void nominalSpeedFollowsThePollUnlessFocused()
    {
        auto p = realPanel();
        fakedrv::mainframe().fanNom = 0;
        p->updateStatus();
        QCOMPARE(p->d_fanNomSpeedBox->text(), QStringLiteral("OFF"));
        QCOMPARE(p->d_fanNomSpeedBox->value(), 1150);
        QCOMPARE(fakedrv::count("cv4870_setFanSpeed"), 0); // showing sends nothing

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
        QCOMPARE(callTexts(), QStringList());
    }

    void fanSpeedSent_data()
    {
        QTest::addColumn<int>("shown");
        QTest::addColumn<QString>("sent");
        QTest::newRow("OFF") << 1150 << "0";
        QTest::newRow("below 1200") << 1199 << "0";
        QTest::newRow("1200") << 1200 << "1200";
        QTest::newRow("3600") << 3600 << "3600";
    }
    void fanSpeedSent()
    {
        QFETCH(int, shown);
        QFETCH(QString, sent);
        auto p = realPanel();
        p->d_fanNomSpeedBox->setValue(shown);
        QCOMPARE(fakedrv::count("cv4870_setFanSpeed"), 0);
        QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
        QCOMPARE(callTexts(), QStringList({QStringLiteral("cv4870_setFanSpeed(%1, %2)").arg(p->d_vi).arg(sent)}));
    }

    void pollFailure_data()
    {
        QTest::addColumn<int>("failing");
        QTest::addColumn<ViStatus>("status");
        for (int k = 0; k < 6; ++k) {
            QTest::addRow("%s error", pollCalls[k]) << k << someError;
            QTest::addRow("%s warning", pollCalls[k]) << k << someWarning;
        }
    }
    void pollFailure()
    {
        QFETCH(int, failing);
        QFETCH(ViStatus, status);
        auto p = realPanel();
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
        QVERIFY(!p->d_timer->isActive());
        QCOMPARE(m_modal->reports,
                 QStringList({status < 0 ? errorBox(QLatin1String(pollCallTexts[failing]), status)
                                         : warningBox(status)}));
        QStringList expected;
        for (int k = 0; k <= failing; ++k)
            expected << QLatin1String(pollCalls[k]);
        expected << "cv4870_error_message";
        QCOMPARE(callNames(), expected);
        QVERIFY(callTexts().last() == QStringLiteral("cv4870_error_message(0, %1)").arg(status));

        // Values of calls that returned before the failing one are shown;
        // voltages, currents and channel LEDs appear only once all three
        // output queries have succeeded.
        const bool statusShown = failing > 0;
        const bool outputsShown = failing > 3;
        const bool fansShown = failing > 4;
        QCOMPARE(p->d_powerLed->value(), statusShown ? 0 : 1);
        QCOMPARE(p->d_outVolt[0]->text(), QString(outputsShown ? "1.00 V" : "24.01 V"));
        QCOMPARE(p->d_outAmp[0]->text(), QString(outputsShown ? "2.00 A" : "1.50 A"));
        QCOMPARE(p->d_outStatus[0]->value(), outputsShown ? 0 : 1);
        QCOMPARE(p->d_fanSpeed[0]->text(), QString(fansShown ? "999 RPM" : "1790 RPM"));
        QCOMPARE(p->d_fanTemp->text(), degrees(25));

        // Polling is not resumed; commands keep working.
        QCoreApplication::processEvents();
        QVERIFY(!p->d_timer->isActive());
        fakedrv::clearCalls();
        p->d_ponButton->click();
        QCOMPARE(callNames(), QStringList({"cv4870_setMainPowerState"}));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("callText");
        QTest::newRow("HW Reset") << "HW Reset" << "cv4870_reset(%1)" << "cv4870_reset(d_vi)";
        QTest::newRow("Power On") << "Power On" << "cv4870_setMainPowerState(%1, 1)"
                                  << "cv4870_setMainPowerState(d_vi, VI_TRUE)";
        QTest::newRow("Power Off") << "Power Off" << "cv4870_setMainPowerState(%1, 0)"
                                   << "cv4870_setMainPowerState(d_vi, VI_FALSE)";
        QTest::newRow("SysReset") << "SysReset" << "cv4870_setVXIsysReset(%1)" << "cv4870_setVXIsysReset(d_vi)";
        QTest::newRow("fan speed") << "" << "cv4870_setFanSpeed(%1, 1200)" << "cv4870_setFanSpeed(d_vi, val)";
    }
    void commands()
    {
        QFETCH(QString, button);
        QFETCH(QString, call);
        QFETCH(QString, callText);
        auto p = realPanel();
        auto press = [&] {
            if (button.isEmpty()) {
                QTest::keyClick(p->d_fanNomSpeedBox, Qt::Key_Return);
                return;
            }
            for (QPushButton *b : p->findChildren<QPushButton *>())
                if (b->text() == button)
                    b->click();
        };
        const QString expectedCall = call.arg(p->d_vi);
        press();
        QCOMPARE(callTexts(), QStringList({expectedCall}));
        QCOMPARE(m_modal->reports, QStringList());

        // A failure is reported with the call's own text; no retry, no poll,
        // and the timer keeps running.
        const std::string fn = expectedCall.left(expectedCall.indexOf('(')).toStdString();
        fakedrv::clearCalls();
        fakedrv::pushStatus(fn, someError);
        press();
        QCOMPARE(m_modal->reports, QStringList({errorBox(callText, someError)}));
        QCOMPARE(callNames(), QStringList({QString::fromStdString(fn), "cv4870_error_message"}));
        QVERIFY(p->d_timer->isActive());

        m_modal->reports.clear();
        fakedrv::pushStatus(fn, someWarning);
        press();
        QCOMPARE(m_modal->reports, QStringList({warningBox(someWarning)}));
    }
};

// Child of abandonedConnectionEndsTheProcess(): cancels the connection
// choice; the panel's constructor must not return.
static int abandonConnection(int argc, char **argv)
{
    QApplication app(argc, argv);
    ScratchSettings settings;
    ModalDriver modal(ModalDriver::Cancel);
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
