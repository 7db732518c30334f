// The LED draws its lamp from a shared cache of drawn lamps; every pixel must
// be what drawing the lamp directly gives. Each case renders a window of
// LEDs at odd offsets with the cache off (the direct drawing), then twice
// with it on (drawn into the cache, then copied from it), and compares.
#include <QtTest>

#include "cv5120fp_led.h"
#include "gui_test_util.h"

class tst_led_pixels : public QObject
{
    Q_OBJECT

    // Four LEDs of one kind, at offsets that are odd in both directions and
    // wider than their minimum by 0 to 3 pixels, so every centring occurs.
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
};

QTEST_MAIN(tst_led_pixels)
#include "tst_led_pixels.moc"
