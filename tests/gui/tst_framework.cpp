// The panel window base: layout, header, buttons and their help texts,
// the virtual slots, the icon, centring and the close confirmation.
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>

#include "cv5120fp_app.h"
#include "cv5120fp_led.h"
#include "fake_driver.h"
#include "gui_test_util.h"

namespace {

// A product panel in miniature: sees the protected members and records
// which instrument slots ran.
class Panel : public cv5120fp_app
{
public:
    Panel()
        : areaInDerived(workArea())
    {}
    QWidget *areaInDerived;
    QStringList pressed;

    using cv5120fp_app::d_aboutButton;
    using cv5120fp_app::d_activeLed;
    using cv5120fp_app::d_closeButton;
    using cv5120fp_app::d_header;
    using cv5120fp_app::d_ledBox;
    using cv5120fp_app::d_poffButton;
    using cv5120fp_app::d_ponButton;
    using cv5120fp_app::d_resetButton;
    using cv5120fp_app::d_sysResetButton;
    using cv5120fp_app::d_workArea;

private:
    void resetPressed() override { pressed << QStringLiteral("reset"); }
    void ponPressed() override { pressed << QStringLiteral("pon"); }
    void poffPressed() override { pressed << QStringLiteral("poff"); }
    void sysResetPressed() override { pressed << QStringLiteral("sysReset"); }
};

} // namespace

class tst_framework : public QObject
{
    Q_OBJECT

private slots:
    void init() { fakedrv::reset(); }
    void windowIcon();
    void layout();
    void buttonColumn();
    void slotsReachTheProductPanel();
    void centerOnDesktop_data();
    void centerOnDesktop();
    void shownCentredWithItsContents();
    void closeConfirmation_data();
    void closeConfirmation();
};

void tst_framework::windowIcon()
{
    static const char *const rows[16] = {
        "########....aaa.", "#########..aaaaa", "##########.aaaaa", "#########..aaaaa",
        "########....aaa.", "................", ".bbb....########", "bbbbb..#########",
        "bbbbb.##########", "bbbbb..#########", ".bbb....########", "................",
        "c..cc.cc.c.cc.cc", "cc.cc.c..c.cc.c.", "cc.cc..c.c.c..c.", "cc.cc.cc.c.cc.cc",
    };
    const QMap<char, QRgb> colours{{'c', qRgba(255, 255, 255, 255)},
                                   {'b', qRgba(0, 0, 255, 255)},
                                   {'#', qRgba(128, 128, 128, 255)},
                                   {'a', qRgba(255, 0, 0, 255)},
                                   {'.', 0}};
    cv5120fp_app w;
    const QImage img = w.windowIcon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(img.size(), QSize(16, 16));
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const QRgb px = img.pixel(x, y);
            QCOMPARE(rows[y][x] == '.' ? static_cast<QRgb>(qAlpha(px)) : px, colours.value(rows[y][x]));
        }
}

void tst_framework::layout()
{
    // Header row over the body; the empty work area is the product panel's.
    Panel w;
    QCOMPARE(w.areaInDerived, w.d_workArea);
    QVERIFY(!w.d_workArea->layout());
    QCOMPARE(w.layout()->itemAt(0)->layout()->itemAt(1)->widget(), w.d_header);
    QCOMPARE(w.layout()->itemAt(1)->layout()->itemAt(0)->widget(), w.d_workArea);
    QCOMPARE(w.d_activeLed->value(), 0);
}

void tst_framework::buttonColumn()
{
    Panel w;
    auto *column = w.layout()->itemAt(1)->layout()->itemAt(1)->layout();
    // The LED box, then stretch, three buttons, stretch, one, stretch, two.
    QCOMPARE(qobject_cast<QGroupBox *>(column->itemAt(0)->widget())->layout(), w.d_ledBox);
    QCOMPARE(w.d_ledBox->itemAt(0)->widget(), w.d_activeLed);
    const QList<QWidget *> items{nullptr,         w.d_ponButton, w.d_poffButton,  w.d_sysResetButton, nullptr,
                                 w.d_resetButton, nullptr,       w.d_aboutButton, w.d_closeButton};
    QCOMPARE(column->count(), items.size() + 1);
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(column->itemAt(i + 1)->widget(), items[i]);

    const QString hwReset = QStringLiteral("Hardware reset the VXI Mainframe to the default state");
    const struct
    {
        QWidget *w;
        const char *text;
        QString toolTip, whatsThis;
    } help[] = {
        {w.d_ponButton, "Power On", "Swithes ON power of the VXI Mainframe", ""},
        {w.d_poffButton, "Power Off", "Swithes OFF power of the VXI Mainframe", ""},
        {w.d_sysResetButton, "SysReset", "Asserts SysReset line on VXI Backplane", ""},
        {w.d_resetButton, "HW Reset", hwReset, hwReset},
        {w.d_aboutButton, "About", "", "Displays \"About\" panel"},
        {w.d_closeButton, "Close", "", "Close main panel and terminates program"},
        {w.d_activeLed, "Active", "", "Green light means that the Soft Front Panel works\nin Real (not Demo) mode."},
    };
    for (const auto &h : help) {
        auto *b = qobject_cast<QPushButton *>(h.w);
        QCOMPARE(b ? b->text() : static_cast<cv5120fp_led *>(h.w)->text(), QString::fromLatin1(h.text));
        QCOMPARE(h.w->toolTip(), h.toolTip);
        QCOMPARE(h.w->whatsThis(), h.whatsThis);
    }
}

void tst_framework::slotsReachTheProductPanel()
{
    Panel w;
    for (QPushButton *b : {w.d_resetButton, w.d_ponButton, w.d_poffButton, w.d_sysResetButton, w.d_aboutButton})
        b->click();
    QCOMPARE(w.pressed, QStringList({"reset", "pon", "poff", "sysReset"}));
    QVERIFY(fakedrv::calls().empty());
}

void tst_framework::centerOnDesktop_data()
{
    QTest::addColumn<int>("dw");
    QTest::addColumn<int>("dh");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    // Sizes relative to the available area; signed division rounds toward zero.
    QTest::newRow("smaller") << -200 << -101 << 100 << 50;
    QTest::newRow("wider than the screen") << 101 << 3 << -50 << -1;
    QTest::newRow("same size") << 0 << 0 << 0 << 0;
}

void tst_framework::centerOnDesktop()
{
    QFETCH(int, dw);
    QFETCH(int, dh);
    QFETCH(int, x);
    QFETCH(int, y);
    const QRect avail = QGuiApplication::screens().at(0)->availableGeometry();
    QWidget w;
    w.resize(avail.width() + dw, avail.height() + dh);
    ::centerOnDesktop(&w);
    QCOMPARE(w.geometry(), QRect(x, y, avail.width() + dw, avail.height() + dh));
}

void tst_framework::shownCentredWithItsContents()
{
    // Content that a product panel puts into the work area counts for the
    // window's size only once its layout runs; the window is centred with
    // that size and keeps its place when shown.
    Panel w;
    auto *layout = new QVBoxLayout(w.workArea());
    auto *content = new QWidget;
    content->setMinimumSize(600, 400);
    layout->addWidget(content);
    ::centerOnDesktop(&w);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect avail = QGuiApplication::screens().at(0)->availableGeometry();
    QVERIFY(w.width() > 600);
    QCOMPARE(w.geometry().topLeft(), QPoint((avail.width() - w.width()) / 2, (avail.height() - w.height()) / 2));
}

void tst_framework::closeConfirmation_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("no") << int(QMessageBox::No) << false;
    QTest::newRow("box closed") << int(QMessageBox::NoButton) << false;
}

void tst_framework::closeConfirmation()
{
    QFETCH(int, answer);
    QFETCH(bool, closes);
    Panel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    ModalAnswer box{QMessageBox::StandardButton(answer)};
    w.d_closeButton->click();
    QCOMPARE(box.boxes(), 1);
    QCOMPARE(box.seen().title, QStringLiteral("Ostrel  SFP"));
    QCOMPARE(box.seen().text, QStringLiteral("Do you really want to exit?"));
    QCOMPARE(box.seen().icon, QMessageBox::Question);
    QCOMPARE(box.seen().buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(w.isVisible(), !closes);
}

QTEST_MAIN(tst_framework)
#include "tst_framework.moc"
