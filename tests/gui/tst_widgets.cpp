// The framework's parts on their own: the LED, the panel window base, the
// About dialog, the splash image and the reporting of driver statuses.
#include <QProcess>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>

#include <cstdio>
#include <cstring>

#include "cv4870fp.h"
#include "cv5120fp_app.h"
#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

const QColor onColor(255, 0, 0), offColor(0, 0, 255);

// Bounding box of the pixels of colour c.
QRect boxOf(const QImage &img, const QColor &c)
{
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y) == c)
                box |= QRect(x, y, 1, 1);
    return box;
}

QStringList labelTexts(QWidget *w)
{
    QStringList texts;
    for (QLabel *l : w->findChildren<QLabel *>())
        texts << l->text();
    return texts;
}

} // namespace

class tst_widgets : public QObject
{
    Q_OBJECT

private slots:
    void init() { fakedrv::reset(); }

    void ledMinimumSize()
    {
        // Lamp, gap and label side by side, two pixels of bezel in height.
        QFont f;
        if (!fontWithHeight(13, &f))
            QSKIP("no font of that height");
        cv5120fp_led led(QString(), onColor, offColor);
        led.setFont(f);
        QCOMPARE(led.minimumSizeHint(), QSize(21, 15));
    }

    void ledRepaintsOnlyOnChange()
    {
        cv5120fp_led led(QStringLiteral("x"), onColor, offColor);
        led.show();
        QVERIFY(QTest::qWaitForWindowExposed(&led));
        QCoreApplication::processEvents();
        PaintCounter counter;
        counter.watch(&led);
        // Each step and the paint count after it: painted at once, not
        // deferred; while on, a new off colour is only stored.
        const std::function<void()> steps[] = {
            [&] { led.setValue(0); },   [&] { led.setValue(5); },
            [&] { led.setValue(5); },   [&] { led.setOffColor(Qt::yellow); },
            [&] { led.toggleValue(); }, [&] { led.setOffColor(Qt::cyan); },
            [&] { led.toggleValue(); }, [&] { led.setValue(-1); },
        };
        const int paints[] = {0, 1, 1, 1, 2, 3, 4, 5};
        for (int i = 0; i < 8; ++i) {
            steps[i]();
            QCOMPARE(counter.paints.value(&led), paints[i]);
        }
        QCOMPARE(led.value(), -1);

        // Magenta stands for the window colour, taken once from the palette.
        QPalette pal = QApplication::palette();
        const QPalette saved = pal;
        pal.setColor(QPalette::Window, QColor(12, 34, 56));
        QApplication::setPalette(pal);
        cv5120fp_led marked(QString(), onColor, Qt::magenta);
        QApplication::setPalette(saved);
        QCOMPARE(marked.offColor(), QColor(12, 34, 56));
    }

    void centerOnDesktop_data()
    {
        QTest::addColumn<QSize>("grow");
        QTest::addColumn<QPoint>("at");
        // Sizes relative to the available area; signed division rounds toward zero.
        QTest::newRow("smaller") << QSize(-200, -101) << QPoint(100, 50);
        QTest::newRow("wider than the screen") << QSize(101, 3) << QPoint(-50, -1);
    }
    void centerOnDesktop()
    {
        QFETCH(QSize, grow);
        QFETCH(QPoint, at);
        QWidget w;
        w.resize(QGuiApplication::screens().at(0)->availableGeometry().size() + grow);
        ::centerOnDesktop(&w);
        QCOMPARE(w.pos(), at);
    }

    void panelShownCentredWithIconAndContents()
    {
        // Content in the work area counts for the window's size only once
        // its layout runs; the window is centred with that size when shown.
        cv5120fp_app w;
        QVERIFY(!w.windowIcon().pixmap(16, 16).isNull());
        auto *content = new QWidget;
        content->setMinimumSize(600, 400);
        (new QVBoxLayout(w.workArea()))->addWidget(content);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect avail = QGuiApplication::screens().at(0)->availableGeometry();
        QVERIFY(w.width() > 600);
        QCOMPARE(w.geometry().topLeft(), QPoint((avail.width() - w.width()) / 2, (avail.height() - w.height()) / 2));
        // The instrument slots of the base do nothing.
        for (const char *b : {"Power On", "Power Off", "SysReset", "HW Reset"})
            clickButton(&w, QLatin1String(b));
        QVERIFY(fakedrv::calls().empty());
    }

    void closeConfirmation_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("closes");
        QTest::newRow("yes") << "Yes" << true;
        QTest::newRow("no") << "No" << false;
        QTest::newRow("box closed") << "<close>" << false;
    }
    void closeConfirmation()
    {
        QFETCH(QString, answer);
        cv5120fp_app w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        DialogScript box({"box:" + answer});
        clickButton(&w, QStringLiteral("Close"));
        QCOMPARE(box.stepsLeft(), 0);
        const DialogScript::Shown &seen = box.shown().at(0);
        QCOMPARE(seen.title + '|' + seen.text, QStringLiteral("Ostrel  SFP|Do you really want to exit?"));
        QCOMPARE(seen.icon, QMessageBox::Question);
        QCOMPARE(seen.buttons, QStringList({"Yes", "No"}));
        QTEST(!w.isVisible(), "closes");
    }

    void about()
    {
        cv5120fp_About d("r\xe9v", "1.2.3", "4870", "\xa9 Corvane", nullptr);
        QCOMPARE(d.windowTitle(), QStringLiteral("About Ostrel 4870 Soft Front Panel"));
        // 8-bit arguments are read as Latin-1.
        const QStringList labels = labelTexts(&d);
        QVERIFY(labels.contains(QChar(0xA9) + QStringLiteral(" Corvane")));
        QVERIFY(labels.contains(QStringLiteral(
            "<font size='5' bold>Ostrel 4870 VXIplug&play Driver<br>Soft Front Panel Application</font>")));
        QCOMPARE(formRows(&d, "Software Revisions"),
                 QStringList({"Instrument Driver:=1.2.3", "Soft Front Panel:=r" + QString(QChar(0xE9)) + "v"}));
        d.show();
        QStringList visible;
        for (QPushButton *b : d.findChildren<QPushButton *>())
            if (b->isVisible())
                visible << b->text();
        QCOMPARE(visible, QStringList({"OK"}));
        clickButton(&d, QStringLiteral("OK"));
        QVERIFY(!d.isVisible());
    }

    void splashPicture_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("right size") << QSize(452, 194);
        QTest::newRow("one row too many") << QSize(452, 195);
        QTest::newRow("none") << QSize();
    }
    void splashPicture()
    {
        // The picture goes unscaled with its top-left corner at (67, 43); one
        // of another size is left out with a one-line message.
        QFETCH(QSize, size);
        const QColor mark(255, 0, 255);
        QPixmap picture;
        if (size.isValid()) {
            picture = QPixmap(size);
            picture.fill(mark);
        }
        const QImage img = makeSplashPixmap(1.0f, picture).toImage();
        QCOMPARE(img.size(), QSize(520, 400));
        QCOMPARE(boxOf(img, mark), size == QSize(452, 194) ? QRect(67, 43, 452, 194) : QRect());
    }

    void splashSizeMessage()
    {
        // The child composes the splash with the real artwork, then with
        // pictures of the right size, one row too many and none.
        const QByteArray message =
            "The size of the image of the device, that is to be used in the splash screen, is not as required!!!\n";
        QByteArray out;
        QCOMPARE(runChild("--splash", &out), 0);
        QCOMPARE(out, "||" + message + "|" + message + "|");
    }

    void report_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("driverText");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("text");
        const QString exit = QStringLiteral("]\nDo you want to exit?");
        QTest::newRow("success") << 0 << QByteArray() << "OK" << QString();
        QTest::newRow("warning") << 0x3FFC0901 << QByteArray("Fan speed below nominal") << "OK"
                                 << "Warning: [Fan speed below nominal]";
        QTest::newRow("error, No") << -1073807339 << QByteArray() << "No"
                                   << "cv4870_reset(d_vi) failed due to [Fake error -1073807339" + exit;
        QTest::newRow("error, box closed") << -5 << QByteArray() << "<close>"
                                           << "cv4870_reset(d_vi) failed due to [Fake error -5" + exit;
        // Driver texts are Latin-1: byte 0xB0 is the degree sign.
        QTest::newRow("Latin-1") << -5 << QByteArray("70 \xb0") << "No"
                                 << "cv4870_reset(d_vi) failed due to [70 " + QString(QChar(0xB0)) + exit;
        QTest::newRow("place markers stay") << 7 << QByteArray("%1 %s 100%") << "OK"
                                            << "Warning: [%1 %s 100%]";
    }
    void report()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, driverText);
        QFETCH(QString, answer);
        fakedrv::mainframe().errorText = driverText.toStdString();
        DialogScript box({"box:" + answer});
        QCOMPARE(reportDriverStatus(status, "cv4870_reset(d_vi)"), status != 0);
        QCOMPARE(box.shown().size(), status != 0 ? 1 : 0);
        if (status == 0) {
            QVERIFY(fakedrv::calls().empty());
            return;
        }
        const DialogScript::Shown &seen = box.shown().at(0);
        QTEST(seen.text, "text");
        const bool error = status < 0;
        QCOMPARE(seen.icon, error ? QMessageBox::Critical : QMessageBox::Warning);
        QCOMPARE(seen.title,
                 error ? QStringLiteral("Ostrel  SFP Error message") : QStringLiteral("Ostrel  SFP Warning message"));
        QCOMPARE(seen.buttons, error ? QStringList({"Yes", "No"}) : QStringList({"OK"}));
        // The driver's text is asked for once, without a session.
        QCOMPARE(fakedrv::calls(),
                 std::vector<std::string>({"cv4870_error_message(0, " + std::to_string(status) + ")"}));
    }

    void reportTitleAndParent()
    {
        sfpModelName = QStringLiteral("5120");
        QCOMPARE(cv5120fp_boxTitle(" SFP Warning message"), QStringLiteral("Ostrel 5120 SFP Warning message"));
        sfpModelName.clear();
        // The box belongs to the active window, if any.
        QWidget window;
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        DialogScript boxes({"box:OK", "box:No"});
        reportWarning(QStringLiteral("plain")); // nothing added to the text
        window.hide();
        QApplication::setActiveWindow(nullptr);
        QTRY_VERIFY(!QApplication::activeWindow());
        reportError(QStringLiteral("e"));
        QCOMPARE(boxes.shown().size(), 2);
        QCOMPARE(boxes.shown().at(0).text, QStringLiteral("plain"));
        QCOMPARE(boxes.shown().at(0).parent, &window);
        QCOMPARE(boxes.shown().at(1).parent, nullptr);
    }

    void errorAnsweredYesExits()
    {
        // The child reports an error, answers Yes and must end with status 0
        // before it reaches its own exit code 3.
        QByteArray out;
        QCOMPARE(runChild("--report-error", &out), 0);
        QVERIFY(out.contains("box shown"));
    }
};

static int reportErrorChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    DialogScript yes({QStringLiteral("box:Yes")});
    QTimer::singleShot(0, [] {
        std::printf("box shown\n");
        std::fflush(stdout);
    });
    reportError(QStringLiteral("fatal"));
    return 3;
}

static int splashChild(int argc, char **argv)
{
    QApplication app(argc, argv);
    makeSplashPixmap(1.0f);
    for (const QSize &size : {QSize(452, 194), QSize(452, 195), QSize()}) {
        std::printf("|");
        std::fflush(stdout);
        makeSplashPixmap(1.0f, size.isValid() ? QPixmap(size) : QPixmap());
    }
    std::printf("|");
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--splash") == 0)
        return splashChild(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--report-error") == 0)
        return reportErrorChild(argc, argv);
    QApplication app(argc, argv);
    tst_widgets t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_widgets.moc"
