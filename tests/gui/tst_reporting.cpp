// Reporting of driver statuses: the two boxes, their titles and texts, the
// exit on Yes and the Latin-1 driver texts.
#include <QProcess>
#include <QtTest>

#include <cstdlib>

#include "cv5120fp_app.h"
#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

const char childVar[] = "TST_REPORTING_CHILD";

} // namespace

class tst_reporting : public QObject
{
    Q_OBJECT

private slots:
    void init() { fakedrv::reset(); }
    void titleScheme();
    void zeroReportsNothing();
    void report_data();
    void report();
    void errorAnsweredYesExits();
    void boxParentIsActiveWindow();
};

void tst_reporting::titleScheme()
{
    QCOMPARE(cv5120fp_boxTitle(" SFP Error message"), QStringLiteral("Ostrel  SFP Error message"));
    sfpModelName = QStringLiteral("5120");
    QCOMPARE(cv5120fp_boxTitle(" SFP Warning message"), QStringLiteral("Ostrel 5120 SFP Warning message"));
    sfpModelName.clear();
}

void tst_reporting::zeroReportsNothing()
{
    ModalAnswer box{QMessageBox::Ok};
    QVERIFY(!reportDriverStatus(0, "cv4870_reset(d_vi)"));
    QCOMPARE(fakedrv::count("cv4870_error_message"), 0);
    QCOMPARE(box.boxes(), 0);
}

void tst_reporting::report_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("driverText");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("text");
    const QString exit = QStringLiteral("]\nDo you want to exit?");
    QTest::newRow("warning") << 0x3FFC0901 << QByteArray("Fan speed below nominal") << int(QMessageBox::Ok)
                             << "Warning: [Fan speed below nominal]";
    QTest::newRow("error, No") << -1073807339 << QByteArray() << int(QMessageBox::No)
                               << "cv4870_reset(d_vi) failed due to [Fake error -1073807339" + exit;
    QTest::newRow("error, box closed") << -5 << QByteArray() << int(QMessageBox::NoButton)
                                       << "cv4870_reset(d_vi) failed due to [Fake error -5" + exit;
    // Driver texts are Latin-1: byte 0xB0 is the degree sign.
    QTest::newRow("Latin-1") << -5
                             << QByteArray("70 \xb0"
                                           "C")
                             << int(QMessageBox::No)
                             << "cv4870_reset(d_vi) failed due to [70 " + QString(QChar(0xB0)) + "C" + exit;
    QTest::newRow("place markers stay") << 7 << QByteArray("%1 %s 100%") << int(QMessageBox::Ok)
                                        << "Warning: [%1 %s 100%]";
}

void tst_reporting::report()
{
    QFETCH(int, status);
    QFETCH(QByteArray, driverText);
    QFETCH(int, answer);
    fakedrv::setErrorText(driverText.toStdString());
    ModalAnswer box{QMessageBox::StandardButton(answer)};
    QVERIFY(reportDriverStatus(status, "cv4870_reset(d_vi)"));
    QCOMPARE(box.boxes(), 1);
    QTEST(box.seen().text, "text");
    const bool error = status < 0;
    QCOMPARE(box.seen().icon, error ? QMessageBox::Critical : QMessageBox::Warning);
    QCOMPARE(box.seen().title,
             error ? QStringLiteral("Ostrel  SFP Error message") : QStringLiteral("Ostrel  SFP Warning message"));
    QCOMPARE(box.seen().buttons, error ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    // The driver's text is asked for once, without a session.
    QCOMPARE(fakedrv::callTexts(),
             std::vector<std::string>({"cv4870_error_message(0, " + std::to_string(status) + ")"}));
}

void tst_reporting::errorAnsweredYesExits()
{
    // The child reports an error, answers Yes and must end with status 0
    // before it reaches its own exit code 3.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(childVar), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // It ends from inside the box: what it holds then is no leak.
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(60000));
    const QByteArray err = child.readAllStandardError();
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QVERIFY2(child.readAllStandardOutput().contains("box shown"), err.constData());
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
        reportWarning(QStringLiteral("plain")); // nothing added to the text
        QCOMPARE(box.seen().text, QStringLiteral("plain"));
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

static int childMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->button(QMessageBox::Yes))
            return;
        std::printf("box shown\n");
        std::fflush(stdout);
        box->button(QMessageBox::Yes)->click();
    });
    poll.start(10);
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
