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
template <typename F> QByteArray captureStdout(F f)
{
    std::fflush(stdout);
    FILE *tmp = std::tmpfile();
    if (!tmp)
        return QByteArray("<no temporary file>");
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    f();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    QByteArray out;
    std::rewind(tmp);
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        out.append(buf, int(n));
    std::fclose(tmp);
    return out;
}

QPixmap solid(int w, int h, const QColor &c)
{
    QPixmap p(w, h);
    p.fill(c);
    return p;
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
    void compiledInImages();
    void pictureOfTheRightSize();
    void pictureOfTheWrongSize_data();
    void pictureOfTheWrongSize();
    void textRectangles();
};

void tst_splash::compiledInImages()
{
    QCOMPARE(QPixmap(QStringLiteral(":/fp_splash.png")).size(), QSize(520, 400));
    QCOMPARE(QPixmap(QStringLiteral(":/cv4870_splash.png")).size(), QSize(452, 194));
    QCOMPARE(QPixmap(QStringLiteral(":/about.png")).size(), QSize(110, 345));
    QVERIFY(!QPixmap(QStringLiteral(":/corvane-logo.bmp")).isNull());
    QVERIFY(!QPixmap(QStringLiteral(":/vxi-logo.bmp")).isNull());
    // The real artwork composes without the size message.
    QPixmap splash;
    QCOMPARE(captureStdout([&] { splash = makeSplashPixmap(1.0f); }), QByteArray());
    QCOMPARE(splash.size(), QSize(520, 400));
}

void tst_splash::pictureOfTheRightSize()
{
    const QColor mark(255, 0, 255);
    QImage img;
    const QByteArray out =
        captureStdout([&] { img = makeSplashPixmap(1.0f, solid(452, 194, mark)).toImage(); });
    QCOMPARE(out, QByteArray());
    // Drawn unscaled with its top-left corner at (67, 43).
    for (const QPoint &p : {QPoint(67, 43), QPoint(518, 43), QPoint(67, 236), QPoint(518, 236), QPoint(300, 140)})
        QCOMPARE(img.pixelColor(p), mark);
    for (const QPoint &p : {QPoint(66, 43), QPoint(519, 43), QPoint(67, 42), QPoint(67, 237)})
        QVERIFY(img.pixelColor(p) != mark);
}

void tst_splash::pictureOfTheWrongSize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("one row too many") << QSize(452, 195);
    QTest::newRow("one column too few") << QSize(451, 194);
    QTest::newRow("null") << QSize(0, 0);
}

void tst_splash::pictureOfTheWrongSize()
{
    QFETCH(QSize, size);
    const QColor mark(255, 0, 255);
    const QPixmap picture = size.isEmpty() ? QPixmap() : solid(size.width(), size.height(), mark);
    QImage img;
    const QByteArray out = captureStdout([&] { img = makeSplashPixmap(1.0f, picture).toImage(); });
    QCOMPARE(out, QByteArray(sizeMessage));
    const QImage background = QPixmap(QStringLiteral(":/fp_splash.png")).toImage().convertToFormat(img.format());
    QVERIFY(changedIn(img, background, QRect(0, 0, 520, 250)).isNull());
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
    QVERIFY2(title.united(model).united(copyright).contains(all),
             qPrintable(QStringLiteral("changed %1,%2 %3x%4").arg(all.x()).arg(all.y()).arg(all.width()).arg(all.height())));

    // Each line is there, horizontally centred in its 413-pixel box.
    for (const QRect &r : {title, model, copyright}) {
        const QRect ink = changedIn(img, background, r);
        QVERIFY(!ink.isNull());
        const int leftGap = ink.left() - r.left();
        const int rightGap = r.right() - ink.right();
        QVERIFY2(qAbs(leftGap - rightGap) <= 3, qPrintable(QStringLiteral("%1 vs %2").arg(leftGap).arg(rightGap)));
    }
    // The model line starts at the top of its box, well below the title line.
    const QRect modelInk = changedIn(img, background, model);
    QVERIFY(modelInk.top() < model.top() + hT / 2);
    // The copyright line stays clear of the last hS pixel rows.
    QVERIFY(changedIn(img, background, QRect(0, 400 - hS, 520, hS)).isNull());
}

QTEST_MAIN(tst_splash)
#include "tst_splash.moc"
