// The LED indicator: size, painted geometry, colours and when it repaints.
#include <QImage>
#include <QtTest>

#include "cv5120fp_led.h"
#include "gui_test_util.h"

namespace {

const QColor windowColor(100, 100, 100);
const QColor textColor(0, 0, 0);
const QColor onColor(255, 0, 0);
const QColor offColor(0, 0, 255);
const QColor light = windowColor.lighter(150);
const QColor dark = windowColor.darker(200);

// Bounding box of the pixels of one exact colour, or of every colour not
// in the list when exclude is set.
QRect boxOf(const QImage &img, const QList<QColor> &colours, bool exclude = false)
{
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (colours.contains(img.pixelColor(x, y)) != exclude)
                box |= QRect(x, y, 1, 1);
    return box;
}

QImage render(cv5120fp_led &led, int width)
{
    QPalette pal = QApplication::palette();
    pal.setColor(QPalette::Window, windowColor);
    pal.setColor(QPalette::WindowText, textColor);
    led.setPalette(pal);
    led.resize(width, led.minimumSizeHint().height());
    QImage img(led.size(), QImage::Format_RGB32);
    img.fill(windowColor);
    led.render(&img);
    return img;
}

} // namespace

class tst_led : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data();
    void geometry();
    void labelRightOfLamp();
    void offColorMarker();
    void repaintsOnlyOnChange();
};

void tst_led::geometry_data()
{
    QTest::addColumn<int>("h");
    QTest::addColumn<QSize>("minSize");
    QTest::addColumn<int>("extraWidth");
    QTest::addColumn<int>("value");
    QTest::newRow("h8: no bezel") << 8 << QSize(13, 10) << 0 << 0;
    QTest::newRow("h9: no bezel, wider") << 9 << QSize(15, 11) << 6 << 0;
    QTest::newRow("h10 minimum") << 10 << QSize(16, 12) << 0 << 1;
    QTest::newRow("h13 wider, off") << 13 << QSize(21, 15) << 10 << 0;
    QTest::newRow("h13 narrower") << 13 << QSize(21, 15) << -3 << 7;
    QTest::newRow("h17 wider") << 17 << QSize(27, 19) << 5 << 1;
}

void tst_led::geometry()
{
    QFETCH(int, h);
    QFETCH(QSize, minSize);
    QFETCH(int, extraWidth);
    QFETCH(int, value);
    QFont f;
    if (!fontWithHeight(h, &f))
        QSKIP("no font of that height");
    cv5120fp_led led(QString(), onColor, offColor);
    led.setFont(f);
    QCOMPARE(led.minimumSizeHint(), minSize);
    QCOMPARE(led.sizePolicy(), QSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum));
    // A label widens it by its advance and leaves the height alone.
    cv5120fp_led labelled(QStringLiteral("Active"), onColor, offColor);
    labelled.setFont(f);
    QCOMPARE(labelled.minimumSizeHint(), minSize + QSize(QFontMetrics(f).horizontalAdvance("Active"), 0));

    led.setValue(value);
    const QImage img = render(led, minSize.width() + extraWidth);
    const int x = (extraWidth >> 1) + 2;
    const QColor lamp = value ? onColor : offColor;
    if (h < 10) {
        // One circle of diameter h, filled with the lamp colour and
        // outlined in the text colour; no bezel.
        QVERIFY(boxOf(img, {light, dark}).isNull());
        const QRect outline = boxOf(img, {textColor});
        QCOMPARE(outline.topLeft(), QPoint(x, 0));
        QVERIFY(outline.right() >= x + h - 1 && outline.right() <= x + h);
        QCOMPARE(boxOf(img, {lamp}).left(), x + 1);
        return;
    }
    // The lamp: a filled circle of diameter h - 6 at (x + 3, 3).
    const QRect lampBox = boxOf(img, {lamp});
    QCOMPARE(lampBox.topLeft(), QPoint(x + 3, 3));
    QVERIFY(qAbs(lampBox.width() - (h - 6)) <= 1 && qAbs(lampBox.height() - (h - 6)) <= 1);
    // Outer arcs in the rectangle (x, 0, h, h): light upper-left half,
    // dark lower-right half, nothing antialiased.
    QCOMPARE(boxOf(img, {light}).topLeft(), QPoint(x, 0));
    const QRect darkBox = boxOf(img, {dark});
    QVERIFY(darkBox.right() >= x + h - 1 && darkBox.right() <= x + h);
    QVERIFY(darkBox.bottom() >= h - 1 && darkBox.bottom() <= h);
    QVERIFY(boxOf(img, {windowColor, light, dark, lamp}, true).isNull());
    for (int py = 0; py < img.height(); ++py)
        for (int px = 0; px < img.width(); ++px) {
            // Positive: below the 45 degree diagonal through the centre.
            const double side = (px + 0.5 - x - h / 2.0) + (py + 0.5 - h / 2.0);
            const QColor c = img.pixelColor(px, py);
            QVERIFY2((c != light || side <= 1.5) && (c != dark || side >= -1.5),
                     qPrintable(QStringLiteral("bezel at %1,%2").arg(px).arg(py)));
        }
}

void tst_led::labelRightOfLamp()
{
    QFont f;
    if (!fontWithHeight(14, &f))
        QSKIP("no font of height 14");
    cv5120fp_led led(QStringLiteral("Active"), onColor, offColor);
    led.setFont(f);
    // Everything but the bezel and lamp is label, which starts at
    // x + h + h / 2 and has its baseline at h - 1.
    const QRect text = boxOf(render(led, led.minimumSizeHint().width()), {windowColor, light, dark, offColor}, true);
    QVERIFY(!text.isNull());
    QVERIFY(text.left() >= 2 + 14 + 7 - 1 && text.left() <= 2 + 14 + 7 + 2);
    QVERIFY(text.bottom() <= 14 + 1);
}

void tst_led::offColorMarker()
{
    // Magenta stands for the window colour, taken once from the palette.
    QPalette pal = QApplication::palette();
    const QPalette saved = pal;
    pal.setColor(QPalette::Window, QColor(12, 34, 56));
    QApplication::setPalette(pal);
    cv5120fp_led marked(QString(), onColor, Qt::magenta);
    cv5120fp_led plain(QString(), onColor, offColor);
    QApplication::setPalette(saved);
    QCOMPARE(marked.offColor(), QColor(12, 34, 56));
    QCOMPARE(plain.offColor(), offColor);
    marked.setOffColor(Qt::magenta); // setting it later keeps magenta
    QCOMPARE(marked.offColor(), QColor(Qt::magenta));
}

void tst_led::repaintsOnlyOnChange()
{
    cv5120fp_led led(QStringLiteral("x"), onColor, offColor);
    led.show();
    QVERIFY(QTest::qWaitForWindowExposed(&led));
    QCoreApplication::processEvents();
    PaintCounter counter;
    counter.watch(&led);
    // Each step and the paint count after it; painted at once, not deferred.
    // While on, a new off colour is only stored.
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
    QCOMPARE(led.offColor(), QColor(Qt::cyan));
}

QTEST_MAIN(tst_led)
#include "tst_led.moc"
