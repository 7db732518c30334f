// Reporting of driver statuses: the pattern, the two boxes, their titles,
// the exit on Yes and the Latin-1 driver texts.
#include <QProcess>
#include <QtTest>

#include <cstdlib>

#include "cv5120fp_app.h"
#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

const char childVar[] = "TST_REPORTING_CHILD";
const char callText[] = "cv4870_reset(d_vi)";

} // namespace

class tst_reporting : public QObject
{
    Q_OBJECT

private slots:
    void init() { fakedrv::reset(); }
    void titleScheme();
    void zeroReportsNothing();
    void warning();
    void errorAnsweredNo_data();
    void errorAnsweredNo();
    void errorAnsweredYesExits();
    void boxParentIsActiveWindow();
    void latin1DriverText();
};

void tst_reporting::titleScheme()
{
    QCOMPARE(cv5120fp_boxTitle(" SFP"), QStringLiteral("Ostrel  SFP"));
    QCOMPARE(cv5120fp_boxTitle(" SFP Error message"), QStringLiteral("Ostrel  SFP Error message"));
    sfpModelName = QStringLiteral("5120");
    QCOMPARE(cv5120fp_boxTitle(" SFP Warning message"), QStringLiteral("Ostrel 5120 SFP Warning message"));
    sfpModelName.clear();
}

void tst_reporting::zeroReportsNothing()
{
    ModalAnswer box{QMessageBox::Ok};
    QVERIFY(!reportDriverStatus(0, callText));
    QCOMPARE(fakedrv::count("cv4870_error_message"), 0);
    QCOMPARE(box.boxes(), 0);
}

void tst_reporting::warning()
{
    fakedrv::setErrorText("Fan speed below nominal");
    ModalAnswer box{QMessageBox::Ok};
    QVERIFY(reportDriverStatus(0x3FFC0901, callText));
    QCOMPARE(box.boxes(), 1);
    QCOMPARE(box.seen().icon, QMessageBox::Warning);
    QCOMPARE(box.seen().title, QStringLiteral("Ostrel  SFP Warning message"));
    QCOMPARE(box.seen().text, QStringLiteral("Warning: [Fan speed below nominal]"));
    QCOMPARE(box.seen().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    // The driver's text is asked for without a session.
    QCOMPARE(fakedrv::count("cv4870_error_message"), 1);
    const fakedrv::Call &c = fakedrv::calls().back();
    QCOMPARE(c.fn, std::string("cv4870_error_message"));
    QCOMPARE(c.args.at(0), std::string("0"));
    QCOMPARE(c.args.at(1), std::to_string(0x3FFC0901));

    // reportWarning itself adds nothing to the message.
    ModalAnswer plain{QMessageBox::Ok};
    reportWarning(QStringLiteral("plain"));
    QCOMPARE(plain.seen().text, QStringLiteral("plain"));
}

void tst_reporting::errorAnsweredNo_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("no") << int(QMessageBox::No);
    QTest::newRow("box closed") << int(QMessageBox::NoButton);
}

void tst_reporting::errorAnsweredNo()
{
    QFETCH(int, answer);
    ModalAnswer box{QMessageBox::StandardButton(answer)};
    QVERIFY(reportDriverStatus(-1073807339, callText));
    QCOMPARE(box.boxes(), 1);
    QCOMPARE(box.seen().icon, QMessageBox::Critical);
    QCOMPARE(box.seen().title, QStringLiteral("Ostrel  SFP Error message"));
    QCOMPARE(box.seen().text,
             QStringLiteral("cv4870_reset(d_vi) failed due to [Fake error -1073807339]\nDo you want to exit?"));
    QCOMPARE(box.seen().buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(fakedrv::count("cv4870_error_message"), 1);
}

void tst_reporting::errorAnsweredYesExits()
{
    // The child reports an error, answers Yes and must end with status 0
    // before it reaches its own exit code 3.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(childVar), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    const QByteArray out = child.readAllStandardOutput();
    const QByteArray err = child.readAllStandardError();
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(out.contains("box shown"), err.constData());
    QVERIFY2(child.exitCode() == 0, err.constData());
}

void tst_reporting::boxParentIsActiveWindow()
{
    QWidget window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    {
        ModalAnswer box{QMessageBox::Ok};
        reportWarning(QStringLiteral("w"));
        QCOMPARE(box.seen().parent, &window);
    }
    window.hide();
    QApplication::setActiveWindow(nullptr);
    QTRY_VERIFY(!QApplication::activeWindow());
    ModalAnswer box{QMessageBox::No};
    reportError(QStringLiteral("e"));
    QVERIFY(box.seen().shown);
    QCOMPARE(box.seen().parent, nullptr);
}

void tst_reporting::latin1DriverText()
{
    // Driver texts are Latin-1: byte 0xB0 is the degree sign.
    fakedrv::setErrorText("Temperature above 70 \xb0" "C");
    ModalAnswer box{QMessageBox::No};
    reportDriverStatus(-5, callText);
    QCOMPARE(box.seen().text, QStringLiteral("cv4870_reset(d_vi) failed due to [Temperature above 70 ") +
                                  QChar(0xB0) + QStringLiteral("C]\nDo you want to exit?"));

    // Percent signs and place markers in the driver's text stay as they are.
    fakedrv::setErrorText("%1 %s 100%");
    ModalAnswer box2{QMessageBox::Ok};
    reportDriverStatus(7, callText);
    QCOMPARE(box2.seen().text, QStringLiteral("Warning: [%1 %s 100%]"));
}

static int childMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->button(QMessageBox::Yes))
            return;
        std::printf("box shown\n");
        std::fflush(stdout);
        box->button(QMessageBox::Yes)->click();
    });
    poll.start();
    reportError(QStringLiteral("fatal"));
    return 3;
}

int main(int argc, char **argv)
{
    if (std::getenv(childVar))
        return childMain(argc, argv);
    QApplication app(argc, argv);
    tst_reporting t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_reporting.moc"
