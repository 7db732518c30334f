// The LED draws its lamp from a shared cache of drawn lamps, and repaints a
// lamp whose colour changed by itself over the window's last paint; every
// pixel must be what drawing the whole LED directly gives.
#include <QGroupBox>
#include <QHBoxLayout>
#include <QFrame>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>

#include "cv5120fp_led.h"
#include "gui_test_util.h"

class tst_led_pixels : public QObject
{
    Q_OBJECT

    static QImage render(QWidget &window, qreal dpr)
    {
        QImage img((window.size() * dpr), QImage::Format_ARGB32_Premultiplied);
        img.setDevicePixelRatio(dpr);
        img.fill(Qt::transparent);
        window.render(&img);
        return img;
    }

private slots:
    void sameAsDirectDrawing_data()
    {
        QTest::addColumn<int>("h");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QColor>("on");
        QTest::addColumn<QColor>("off");
        QTest::addColumn<QColor>("window");
        QTest::addColumn<qreal>("dpr");
        QTest::addColumn<bool>("cached"); // false: the cache cannot serve, nor for a translucent lamp
        const QColor grey(100, 100, 100), odd(13, 200, 77), clear(0, 0, 255, 128);
        const QColor magenta(Qt::magenta), green(Qt::green), red(Qt::red);
        for (const int h : {8, 9, 10, 13, 17, 24})
            for (const qreal dpr : {1.0, 2.0}) {
                const QByteArray at = "h" + QByteArray::number(h) + " x" + QByteArray::number(dpr);
                QTest::newRow(at + " panel LED") << h << QString() << green << magenta << grey << dpr << true;
                QTest::newRow(at + " Active") << h << "Active" << green << magenta << odd << dpr << true;
                QTest::newRow(at + " failure LED") << h << QString() << red << odd << grey << dpr << true;
                QTest::newRow(at + " translucent lamp") << h << QString() << clear << odd << grey << dpr << true;
            }
        QTest::newRow("h13 translucent window") << 13 << "x" << red << odd << QColor(1, 2, 3, 200) << 1.0 << false;
        QTest::newRow("h8 translucent outline") << 8 << "x" << red << odd << QColor(1, 2, 3, 200) << 1.0 << false;
        QTest::newRow("h13 x1.5") << 13 << QString() << green << magenta << grey << 1.5 << false;
    }
    // Four LEDs of one kind, at offsets that are odd in both directions and
    // wider than their minimum by 0 to 3 pixels, so every centring occurs,
    // rendered with the cache off, then on twice (drawn into it, copied).
    void sameAsDirectDrawing()
    {
        QFETCH(int, h);
        QFETCH(QString, label);
        QFETCH(QColor, on);
        QFETCH(QColor, off);
        QFETCH(QColor, window);
        QFETCH(qreal, dpr);
        QFETCH(bool, cached);
        QFont font;
        if (!fontWithHeight(h, &font))
            QSKIP("no font of that height");
        QPalette pal = QApplication::palette();
        pal.setColor(QPalette::Window, window);
        // A translucent text colour leaves the small lamp's outline to the
        // direct drawing, as the window colour does for the bezel.
        if (h < 10 && window.alpha() != 255)
            pal.setColor(QPalette::WindowText, window);
        QWidget w;
        w.setPalette(pal);
        w.setFont(font);
        w.resize(200, 4 * (h + 5));
        QList<cv5120fp_led *> leds;
        for (int i = 0; i < 4; ++i) {
            auto *led = new cv5120fp_led(label, on, off);
            led->setParent(&w);
            led->setGeometry(QRect(QPoint(1 + 2 * i, 3 + i * (h + 5)), led->minimumSizeHint() + QSize(i, 0)));
            leds << led;
        }
        const bool saved = cv5120fp_led::s_lampCache;
        for (const int value : {0, 1, 5}) {
            for (cv5120fp_led *led : leds)
                led->setValue(value);
            cv5120fp_led::s_lampCache = false;
            const QImage direct = render(w, dpr);
            cv5120fp_led::s_lampCache = true;
            cv5120fp_led::clearLampCache();
            const QImage drawn = render(w, dpr);
            const int held = cv5120fp_led::lampCacheSize();
            const QImage copied = render(w, dpr);
            cv5120fp_led::s_lampCache = saved;
            QVERIFY2(drawn == direct, qPrintable(QStringLiteral("value %1, first paint").arg(value)));
            QVERIFY2(copied == direct, qPrintable(QStringLiteral("value %1, from the cache").arg(value)));
            // One lamp for the four LEDs, found drawn the second time.
            QCOMPARE(held, cached && (value ? on : off).alpha() == 255 ? 1 : 0);
            QCOMPARE(cv5120fp_led::lampCacheSize(), held);
        }
    }

    // On a shown window, a change of a lamp's colour repaints the lamp alone
    // over the window's last paint, at once, with no parent painting. The
    // window then holds what a twin window shows where every change
    // repaints the whole LED with direct drawing; also when the change comes
    // with repaints of the group box and the LEDs still to come, and under a
    // label stacked over the lamp (both repainted whole).
    void lampAloneOnScreen()
    {
        struct Panel
        {
            QWidget window;
            QGroupBox *box = new QGroupBox(QStringLiteral("Status"));
            QList<cv5120fp_led *> leds;
            QImage shown() { return window.screen()->grabWindow(window.winId()).toImage(); }
        } panel, twin;
        for (Panel *p : {&panel, &twin}) {
            auto *row = new QHBoxLayout(p->box);
            for (const QString &label : {QString(), QString(), QStringLiteral("Active"), QString()}) {
                p->leds << new cv5120fp_led(label, p->leds.size() == 1 ? Qt::red : Qt::green, Qt::magenta);
                row->addWidget(p->leds.last());
            }
            (new QVBoxLayout(&p->window))->addWidget(p->box);
            p->window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&p->window));
        }
        QCoreApplication::processEvents();
        struct Step
        {
            const char *what;
            std::function<void(Panel &)> run;
            bool alone; // the lamp repainted by itself
        };
        const Step steps[] = {
            {"on", [](Panel &p) { p.leds[0]->setValue(1); }, true},
            {"on, other value", [](Panel &p) { p.leds[0]->setValue(5); }, true},
            {"failure on", [](Panel &p) { p.leds[1]->setValue(1); }, true},
            {"off colour", [](Panel &p) { p.leds[3]->setOffColor(QColor(200, 10, 10)); }, true},
            {"toggled, labelled", [](Panel &p) { p.leds[2]->toggleValue(); }, true},
            {"group box repaint pending",
             [](Panel &p) {
                 QPalette pal = p.box->palette();
                 pal.setColor(QPalette::Window, QColor(30, 60, 90));
                 p.box->setPalette(pal);
                 p.box->setAutoFillBackground(true);
                 p.leds[0]->setValue(0);
             },
             false},
            {"frame over the lamp",
             [](Panel &p) {
                 auto *over = new QFrame(p.box);
                 over->setFrameShape(QFrame::Box); // drawn plain
                 over->setGeometry(QRect(p.leds[3]->geometry().topLeft() + QPoint(4, 4), QSize(6, 6)));
                 over->show();
                 QCoreApplication::processEvents();
                 p.leds[3]->setValue(1);
             },
             true},
        };
        for (const Step &step : steps) {
            cv5120fp_led::s_lampCache = false;
            step.run(twin);
            cv5120fp_led::s_lampCache = true;
            PaintCounter counter;
            counter.watch(panel.box);
            step.run(panel);
            QVERIFY2((counter.paints.value(panel.box) == 0) == step.alone, step.what);
            QVERIFY2(panel.shown() == twin.shown(), step.what);
        }
    }
};

QTEST_MAIN(tst_led_pixels)
#include "tst_led_pixels.moc"
