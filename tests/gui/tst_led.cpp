// The LED indicator: size, painted geometry, colours and when it repaints.
#include <QImage>
#include <QPainter>
#include <QtTest>

#include "cv5120fp_led.h"
#include "gui_test_util.h"

namespace {

const QColor windowColor(100, 100, 100);
const QColor textColor(0, 0, 0);
const QColor onColor(255, 0, 0);
const QColor offColor(0, 0, 255);

// Counts its own paint events.
class CountingLed : public cv5120fp_led
{
public:
    using cv5120fp_led::cv5120fp_led;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *e) override
    {
        ++paints;
        cv5120fp_led::paintEvent(e);
    }
};

QPalette testPalette()
{
    QPalette pal = QApplication::palette();
    pal.setColor(QPalette::Window, windowColor);
    pal.setColor(QPalette::WindowText, textColor);
    return pal;
}

// Bounding box of the pixels of one exact colour.
QRect boxOf(const QImage &img, const QColor &c)
{
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y) == c)
                box |= QRect(x, y, 1, 1);
    return box;
}

QImage render(cv5120fp_led &led, int width)
{
    led.setPalette(testPalette());
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
    void minimumSize_data();
    void minimumSize();
    void bezelGeometry_data();
    void bezelGeometry();
    void smallFontHasNoBezel();
    void labelRightOfLamp();
    void offColorMarker();
    void repaintsOnlyOnChange();
};

void tst_led::minimumSize_data()
{
    QTest::addColumn<int>("h");
    QTest::addColumn<QSize>("size");
    QTest::newRow("h13") << 13 << QSize(21, 15);
    QTest::newRow("h8") << 8 << QSize(13, 10);
    QTest::newRow("h17") << 17 << QSize(27, 19);
}

void tst_led::minimumSize()
{
    QFETCH(int, h);
    QFETCH(QSize, size);
    QFont f;
    if (!fontWithHeight(h, &f))
        QSKIP("no font of that height");
    cv5120fp_led led(QString(), onColor, offColor);
    led.setFont(f);
    QCOMPARE(led.minimumSizeHint(), size);
    // A label widens it by its advance and leaves the height alone.
    cv5120fp_led labelled(QStringLiteral("Active"), onColor, offColor);
    labelled.setFont(f);
    QCOMPARE(labelled.minimumSizeHint(),
             size + QSize(QFontMetrics(f).horizontalAdvance(QStringLiteral("Active")), 0));
    QCOMPARE(led.sizePolicy().horizontalPolicy(), QSizePolicy::Maximum);
    QCOMPARE(led.sizePolicy().verticalPolicy(), QSizePolicy::Maximum);
}

void tst_led::bezelGeometry_data()
{
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("extraWidth");
    QTest::addColumn<int>("value");
    // x = ((width - minimum width) >> 1) + 2
    QTest::newRow("h13 minimum, on") << 13 << 0 << 1;
    QTest::newRow("h13 wider, off") << 13 << 10 << 0;
    QTest::newRow("h13 narrower") << 13 << -3 << 7;
    QTest::newRow("h10 minimum") << 10 << 0 << 1;
    QTest::newRow("h17 wider") << 17 << 5 << 1;
}

void tst_led::bezelGeometry()
{
    QFETCH(int, h);
    QFETCH(int, extraWidth);
    QFETCH(int, value);
    QFont f;
    if (!fontWithHeight(h, &f))
        QSKIP("no font of that height");
    cv5120fp_led led(QString(), onColor, offColor);
    led.setFont(f);
    led.setValue(value);
    const int minWidth = led.minimumSizeHint().width();
    const QImage img = render(led, minWidth + extraWidth);
    const int x = (extraWidth >> 1) + 2;

    const QColor bg = windowColor;
    const QColor lamp = value ? onColor : offColor;
    // The lamp: a filled circle of diameter h - 6 at (x + 3, 3).
    const QRect lampBox = boxOf(img, lamp);
    QCOMPARE(lampBox.left(), x + 3);
    QCOMPARE(lampBox.top(), 3);
    QVERIFY(qAbs(lampBox.width() - (h - 6)) <= 1);
    QVERIFY(qAbs(lampBox.height() - (h - 6)) <= 1);

    // Outer arcs in the rectangle (x, 0, h, h): light upper-left half,
    // dark lower-right half.
    const QRect lightBox = boxOf(img, bg.lighter(150));
    const QRect darkBox = boxOf(img, bg.darker(200));
    QCOMPARE(lightBox.left(), x);
    QCOMPARE(lightBox.top(), 0);
    QVERIFY(darkBox.right() >= x + h - 1 && darkBox.right() <= x + h);
    QVERIFY(darkBox.bottom() >= h - 1 && darkBox.bottom() <= h);
    const double cx = x + h / 2.0, cy = h / 2.0;
    for (int py = 0; py < img.height(); ++py) {
        for (int px = 0; px < img.width(); ++px) {
            const QColor c = img.pixelColor(px, py);
            // Above the 45 degree diagonal through the centre means upper-left.
            const double side = (px + 0.5 - cx) + (py + 0.5 - cy);
            if (c == bg.lighter(150))
                QVERIFY2(side <= 1.5, qPrintable(QStringLiteral("light at %1,%2").arg(px).arg(py)));
            if (c == bg.darker(200))
                QVERIFY2(side >= -1.5, qPrintable(QStringLiteral("dark at %1,%2").arg(px).arg(py)));
        }
    }
    // Nothing is antialiased: only the five colours of the figure appear.
    for (int py = 0; py < img.height(); ++py)
        for (int px = 0; px < img.width(); ++px) {
            const QColor c = img.pixelColor(px, py);
            QVERIFY(c == bg || c == bg.lighter(150) || c == bg.darker(200) || c == lamp);
        }
}

void tst_led::smallFontHasNoBezel()
{
    QFont f;
    if (!fontWithHeight(9, &f))
        QSKIP("no font of height 9");
    cv5120fp_led led(QString(), onColor, offColor);
    led.setFont(f);
    const QImage img = render(led, led.minimumSizeHint().width());
    // One circle of diameter h at (2, 0), filled with the off colour and
    // outlined in the text colour.
    QVERIFY(boxOf(img, windowColor.lighter(150)).isNull());
    QVERIFY(boxOf(img, windowColor.darker(200)).isNull());
    const QRect outline = boxOf(img, textColor);
    QCOMPARE(outline.left(), 2);
    QCOMPARE(outline.top(), 0);
    QVERIFY(outline.right() >= 2 + 9 - 1 && outline.right() <= 2 + 9);
    QCOMPARE(img.pixelColor(2 + 4, 4), offColor);
    QCOMPARE(boxOf(img, offColor).left(), 3);
}

void tst_led::labelRightOfLamp()
{
    QFont f;
    if (!fontWithHeight(14, &f))
        QSKIP("no font of height 14");
    cv5120fp_led led(QStringLiteral("Active"), onColor, offColor);
    led.setFont(f);
    const QImage img = render(led, led.minimumSizeHint().width());
    // Everything but the bezel and lamp colours is label, which starts at
    // x + h + h / 2 and has its baseline at h - 1.
    QRect text;
    for (int py = 0; py < img.height(); ++py)
        for (int px = 0; px < img.width(); ++px) {
            const QColor c = img.pixelColor(px, py);
            if (c != windowColor && c != windowColor.lighter(150) && c != windowColor.darker(200) && c != offColor)
                text |= QRect(px, py, 1, 1);
        }
    QVERIFY(!text.isNull());
    QVERIFY(text.left() >= 2 + 14 + 7 - 1);
    QVERIFY(text.left() <= 2 + 14 + 7 + 2);
    QVERIFY(text.bottom() <= 14 + 1);
}

void tst_led::offColorMarker()
{
    QPalette pal = QApplication::palette();
    const QPalette saved = pal;
    pal.setColor(QPalette::Window, QColor(12, 34, 56));
    QApplication::setPalette(pal);
    cv5120fp_led marked(QString(), onColor, Qt::magenta);
    cv5120fp_led plain(QString(), onColor, offColor);
    QApplication::setPalette(saved);

    // Taken once from the palette; later palette changes do not reach it.
    QCOMPARE(marked.offColor(), QColor(12, 34, 56));
    QCOMPARE(plain.offColor(), offColor);
    // Magenta can still be set afterwards.
    marked.setOffColor(Qt::magenta);
    QCOMPARE(marked.offColor(), QColor(Qt::magenta));
}

void tst_led::repaintsOnlyOnChange()
{
    CountingLed led(QStringLiteral("x"), onColor, offColor);
    led.show();
    QVERIFY(QTest::qWaitForWindowExposed(&led));
    QCoreApplication::processEvents();
    led.paints = 0;

    led.setValue(0);
    QCOMPARE(led.paints, 0);
    led.setValue(5);
    QCOMPARE(led.paints, 1); // painted at once, not deferred
    led.setValue(5);
    QCOMPARE(led.paints, 1);

    // While on, a new off colour is only stored.
    led.setOffColor(Qt::yellow);
    QCOMPARE(led.paints, 1);
    QCOMPARE(led.offColor(), QColor(Qt::yellow));

    led.toggleValue();
    QCOMPARE(led.value(), 0);
    QCOMPARE(led.paints, 2);
    led.setOffColor(Qt::cyan);
    QCOMPARE(led.paints, 3);
    led.toggleValue();
    QCOMPARE(led.value(), 1);
    QCOMPARE(led.paints, 4);
    led.setValue(-1);
    QCOMPARE(led.paints, 5);
}

QTEST_MAIN(tst_led)
#include "tst_led.moc"
