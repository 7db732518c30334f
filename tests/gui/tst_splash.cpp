// The composed splash image: where the texts and the mainframe picture
// go, and the one-line message for a picture of the wrong size.
#include <QPainter>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "cv4870fp.h"

namespace {

const char sizeMessage[] =
    "The size of the image of the device, that is to be used in the splash screen, is not as required!!!\n";

// Runs f with standard output sent to a temporary file and returns what
// was written.
template <typename F>
QByteArray captureStdout(F f)
{
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    if (!tmp)
        return "<no temporary file>";
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    QFile file;
    file.open(tmp, QIODevice::ReadOnly);
    file.seek(0);
    const QByteArray out = file.readAll();
    file.close();
    std::fclose(tmp);
    return out;
}

int fontHeight(int pointSize)
{
    QFont f = QApplication::font();
    f.setPointSize(pointSize);
    f.setBold(true);
    return QFontMetrics(f).height();
}

// Bounding box of the pixels that differ between two images of one size.
QRect changedIn(const QImage &a, const QImage &b, const QRect &area)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class tst_splash : public QObject
{
    Q_OBJECT

private slots:
    void picture_data();
    void picture();
    void textRectangles();
};

void tst_splash::picture_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("right size") << QSize(452, 194);
    QTest::newRow("one row too many") << QSize(452, 195);
    QTest::newRow("none") << QSize();
}

void tst_splash::picture()
{
    // The picture goes unscaled with its top-left corner at (67, 43); one of
    // another size is left out with a one-line message.
    QFETCH(QSize, size);
    const QColor mark(255, 0, 255);
    QPixmap picture;
    if (size.isValid()) {
        picture = QPixmap(size);
        picture.fill(mark);
    }
    QImage img;
    const QByteArray out = captureStdout([&] { img = makeSplashPixmap(1.0f, picture).toImage(); });
    if (size != QSize(452, 194)) {
        QCOMPARE(out, QByteArray(sizeMessage));
        const QImage background = QPixmap(QStringLiteral(":/fp_splash.png")).toImage().convertToFormat(img.format());
        QVERIFY(changedIn(img, background, QRect(0, 0, 520, 250)).isNull());
        return;
    }
    QCOMPARE(out, QByteArray());
    for (const QPoint &p : {QPoint(67, 43), QPoint(518, 43), QPoint(67, 236), QPoint(518, 236)})
        QCOMPARE(img.pixelColor(p), mark);
    for (const QPoint &p : {QPoint(66, 43), QPoint(519, 43), QPoint(67, 42), QPoint(67, 237)})
        QVERIFY(img.pixelColor(p) != mark);
    // The real artwork fits as well.
    QCOMPARE(captureStdout([&] { img = makeSplashPixmap(1.0f).toImage(); }), QByteArray());
    QCOMPARE(img.size(), QSize(520, 400));
}

void tst_splash::textRectangles()
{
    QImage img;
    captureStdout([&] { img = makeSplashPixmap(1.0f, QPixmap()).toImage(); });
    const QImage background = QPixmap(QStringLiteral(":/fp_splash.png")).toImage().convertToFormat(img.format());
    QCOMPARE(img.size(), QSize(520, 400));

    const int hT = fontHeight(18);
    const int hS = fontHeight(8);
    const QRect title(87, 256 + hT / 2, 413, hT);
    const QRect model(87, 256 + 2 * hT, 413, 3 * (48 - hS) - 2 * hT);
    const QRect copyright(87, 400 - 2 * hS, 413, hS);
    QCOMPARE(model.bottom() + 1, 400 - 3 * hS);

    // Nothing is drawn outside the three boxes.
    const QRect all = changedIn(img, background, img.rect());
    QVERIFY(!all.isNull());
    QVERIFY(title.united(model).united(copyright).contains(all));

    // Each line is there, horizontally centred in its 413-pixel box.
    for (const QRect &r : {title, model, copyright}) {
        const QRect ink = changedIn(img, background, r);
        QVERIFY(!ink.isNull());
        QVERIFY(qAbs((ink.left() - r.left()) - (r.right() - ink.right())) <= 3);
    }
    // The model line starts at the top of its box, well below the title line.
    QVERIFY(changedIn(img, background, model).top() < model.top() + hT / 2);
    // The copyright line stays clear of the last hS pixel rows.
    QVERIFY(changedIn(img, background, QRect(0, 400 - hS, 520, hS)).isNull());
}

QTEST_MAIN(tst_splash)
#include "tst_splash.moc"
