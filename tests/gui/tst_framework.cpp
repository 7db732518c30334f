// The panel window base: layout, header, buttons and their help texts,
// the virtual slots, the icon, centring and the close confirmation.
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
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
    Panel() : areaInDerived(workArea()) {}
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
    using cv5120fp_app::d_vxiLogo;
    using cv5120fp_app::d_workArea;

private:
    void resetPressed() override { pressed << QStringLiteral("reset"); }
    void ponPressed() override { pressed << QStringLiteral("pon"); }
    void poffPressed() override { pressed << QStringLiteral("poff"); }
    void sysResetPressed() override { pressed << QStringLiteral("sysReset"); }
};

void compareMargins(QLayout *l, int left, int top, int right, int bottom)
{
    int a, b, c, d;
    l->getContentsMargins(&a, &b, &c, &d);
    QCOMPARE(QList<int>({a, b, c, d}), QList<int>({left, top, right, bottom}));
}

} // namespace

class tst_framework : public QObject
{
    Q_OBJECT

private slots:
    void init() { fakedrv::reset(); }
    void applicationStyle();
    void windowIcon();
    void layoutScalesWithFont_data();
    void layoutScalesWithFont();
    void header();
    void buttonColumn();
    void slotsReachTheProductPanel();
    void bareBaseButtonsDoNothing();
    void workArea();
    void activeLedStartsOff();
    void centerOnDesktop_data();
    void centerOnDesktop();
    void centredWithTheSizeItIsShownWith();
    void shownCentredWithItsContents();
    void closeConfirmation_data();
    void closeConfirmation();
};

void tst_framework::applicationStyle()
{
    cv5120fp_app w;
    const QString expected =
        QStyleFactory::keys().contains(QStringLiteral("Plastique"), Qt::CaseInsensitive) ? "plastique" : "fusion";
    QCOMPARE(QApplication::style()->objectName().toLower(), expected);
}

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
                                   {'a', qRgba(255, 0, 0, 255)}};
    cv5120fp_app w;
    for (const QIcon &icon : {w.windowIcon(), cv5120fp_windowIcon()}) {
        const QImage img = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(img.size(), QSize(16, 16));
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const char p = rows[y][x];
                if (p == '.')
                    QCOMPARE(qAlpha(img.pixel(x, y)), 0);
                else
                    QCOMPARE(img.pixel(x, y), colours.value(p));
            }
    }
}

void tst_framework::layoutScalesWithFont_data()
{
    QTest::addColumn<int>("h");
    QTest::newRow("odd 13") << 13;
    QTest::newRow("even 22") << 22;
}

void tst_framework::layoutScalesWithFont()
{
    QFETCH(int, h);
    QFont f;
    if (!fontWithHeight(h, &f))
        QSKIP("no font of that height");
    AppFontScope scope(f);
    Panel w;
    const int half = h >> 1;

    auto *top = qobject_cast<QVBoxLayout *>(w.layout());
    QVERIFY(top);
    QCOMPARE(top->count(), 2);
    QCOMPARE(top->spacing(), h);
    compareMargins(top, 0, 0, 0, 0);
    QCOMPARE(top->sizeConstraint(), QLayout::SetMinimumSize);

    auto *header = qobject_cast<QHBoxLayout *>(top->itemAt(0)->layout());
    auto *body = qobject_cast<QHBoxLayout *>(top->itemAt(1)->layout());
    QVERIFY(header && body);
    QCOMPARE(header->spacing(), 0);
    QCOMPARE(body->spacing(), h);
    compareMargins(body, half, 0, 0, half);

    QCOMPARE(body->count(), 2);
    QCOMPARE(body->itemAt(0)->widget(), w.d_workArea);
    auto *column = qobject_cast<QVBoxLayout *>(body->itemAt(1)->layout());
    QVERIFY(column);
    QCOMPARE(column->spacing(), half);
    compareMargins(column, 0, 0, half, half);
    QCOMPARE(w.d_ledBox->spacing(), h);
}

void tst_framework::header()
{
    Panel w;
    auto *header = qobject_cast<QHBoxLayout *>(w.layout()->itemAt(0)->layout());
    QCOMPARE(header->count(), 3);
    auto *makerLogo = qobject_cast<QLabel *>(header->itemAt(0)->widget());
    QVERIFY(makerLogo);
    QCOMPARE(makerLogo->pixmap(Qt::ReturnByValue).toImage(),
             QPixmap(QStringLiteral(":/corvane-logo.bmp")).toImage());
    QCOMPARE(header->itemAt(1)->widget(), w.d_header);
    QCOMPARE(header->itemAt(2)->widget(), w.d_vxiLogo);
    QCOMPARE(w.d_vxiLogo->pixmap(Qt::ReturnByValue).toImage(), QPixmap(QStringLiteral(":/vxi-logo.bmp")).toImage());
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(header->stretch(i), 0);
        QCOMPARE(header->itemAt(i)->alignment(), Qt::Alignment());
    }
    // Both logos suit a header row of about one title height.
    QVERIFY(!makerLogo->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(w.d_vxiLogo->pixmap(Qt::ReturnByValue).height() >= 32);

    QCOMPARE(w.d_header->styleSheet(),
             QStringLiteral("QLabel { background-color: #1a2c5e; color: #ffffff; font: bold 20px}"));
    QCOMPARE(w.d_header->alignment(), Qt::AlignCenter);
    QCOMPARE(w.d_header->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(w.d_header->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QVERIFY(w.d_header->text().isEmpty());
    QVERIFY(w.windowTitle().isEmpty());
}

void tst_framework::buttonColumn()
{
    Panel w;
    auto *body = w.layout()->itemAt(1)->layout();
    auto *column = qobject_cast<QVBoxLayout *>(body->itemAt(1)->layout());
    QCOMPARE(column->count(), 10);

    auto *group = qobject_cast<QGroupBox *>(column->itemAt(0)->widget());
    QVERIFY(group);
    QVERIFY(group->title().isEmpty());
    QCOMPARE(group->layout(), w.d_ledBox);
    QCOMPARE(w.d_ledBox->count(), 1);
    QCOMPARE(w.d_ledBox->itemAt(0)->widget(), w.d_activeLed);

    // Below the group box: stretch, three buttons, stretch, one, stretch, two.
    const QList<QPushButton *> buttons{nullptr,
                                       w.d_ponButton,
                                       w.d_poffButton,
                                       w.d_sysResetButton,
                                       nullptr,
                                       w.d_resetButton,
                                       nullptr,
                                       w.d_aboutButton,
                                       w.d_closeButton};
    for (int i = 0; i < buttons.size(); ++i) {
        QLayoutItem *item = column->itemAt(i + 1);
        QCOMPARE(column->stretch(i + 1), 0);
        if (!buttons[i]) {
            QVERIFY2(item->spacerItem(), qPrintable(QString::number(i)));
        } else {
            QCOMPARE(item->widget(), buttons[i]);
            QCOMPARE(item->alignment(), Qt::Alignment());
        }
    }

    QCOMPARE(w.d_ponButton->text(), QStringLiteral("Power On"));
    QCOMPARE(w.d_poffButton->text(), QStringLiteral("Power Off"));
    QCOMPARE(w.d_sysResetButton->text(), QStringLiteral("SysReset"));
    QCOMPARE(w.d_resetButton->text(), QStringLiteral("HW Reset"));
    QCOMPARE(w.d_aboutButton->text(), QStringLiteral("About"));
    QCOMPARE(w.d_closeButton->text(), QStringLiteral("Close"));

    QCOMPARE(w.d_ponButton->toolTip(), QStringLiteral("Swithes ON power of the VXI Mainframe"));
    QCOMPARE(w.d_poffButton->toolTip(), QStringLiteral("Swithes OFF power of the VXI Mainframe"));
    QCOMPARE(w.d_sysResetButton->toolTip(), QStringLiteral("Asserts SysReset line on VXI Backplane"));
    const QString hwReset = QStringLiteral("Hardware reset the VXI Mainframe to the default state");
    QCOMPARE(w.d_resetButton->whatsThis(), hwReset);
    QCOMPARE(w.d_resetButton->toolTip(), hwReset);
    QCOMPARE(w.d_aboutButton->whatsThis(), QStringLiteral("Displays \"About\" panel"));
    QVERIFY(w.d_aboutButton->toolTip().isEmpty());
    QCOMPARE(w.d_closeButton->whatsThis(), QStringLiteral("Close main panel and terminates program"));
    QVERIFY(w.d_closeButton->toolTip().isEmpty());
    QCOMPARE(w.d_activeLed->whatsThis(),
             QStringLiteral("Green light means that the Soft Front Panel works\nin Real (not Demo) mode."));
    QVERIFY(w.d_activeLed->toolTip().isEmpty());
    for (QPushButton *b : {w.d_ponButton, w.d_poffButton, w.d_sysResetButton})
        QVERIFY(b->whatsThis().isEmpty());
}

void tst_framework::slotsReachTheProductPanel()
{
    Panel w;
    w.d_resetButton->click();
    w.d_ponButton->click();
    w.d_poffButton->click();
    w.d_sysResetButton->click();
    w.d_aboutButton->click();
    QCOMPARE(w.pressed, QStringList({"reset", "pon", "poff", "sysReset"}));

    // The meta-object lists the four slots in this order.
    const QMetaObject *mo = &cv5120fp_app::staticMetaObject;
    QCOMPARE(QString::fromLatin1(mo->className()), QStringLiteral("cv5120fp_app"));
    QStringList slotList;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        slotList << QString::fromLatin1(mo->method(i).methodSignature());
    QCOMPARE(slotList, QStringList({"resetPressed()", "ponPressed()", "poffPressed()", "sysResetPressed()"}));
    QVERIFY(fakedrv::calls().empty());
}

void tst_framework::bareBaseButtonsDoNothing()
{
    cv5120fp_app w;
    const QList<QPushButton *> buttons = w.findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 6);
    w.show();
    for (QPushButton *b : buttons)
        if (b->text() != QLatin1String("Close"))
            b->click();
    QVERIFY(w.isVisible());
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(fakedrv::calls().empty());
}

void tst_framework::workArea()
{
    Panel w;
    // The base installed its layout on the window, the product panel gets
    // the empty work area.
    QCOMPARE(w.areaInDerived, w.d_workArea);
    QCOMPARE(w.workArea(), w.d_workArea);
    QVERIFY(w.layout());
    QVERIFY(!w.d_workArea->layout());
    QCOMPARE(w.d_workArea->parentWidget(), &w);
}

void tst_framework::activeLedStartsOff()
{
    Panel w;
    QCOMPARE(w.d_activeLed->text(), QStringLiteral("Active"));
    QCOMPARE(w.d_activeLed->value(), 0);
    QCOMPARE(w.d_activeLed->onColor(), QColor(Qt::green));
    QCOMPARE(w.d_activeLed->offColor(), QApplication::palette().color(QPalette::Window));
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

void tst_framework::centredWithTheSizeItIsShownWith()
{
    // A window whose layout has not run yet is centred with the size the
    // layout gives it, not with its provisional size.
    const QRect avail = QGuiApplication::screens().at(0)->availableGeometry();
    QWidget w;
    auto *layout = new QVBoxLayout(&w);
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    auto *child = new QWidget;
    child->setMinimumSize(avail.width() / 2 + 1, 40);
    layout->addWidget(child);
    w.resize(50, 50);
    ::centerOnDesktop(&w);
    QVERIFY(w.width() > avail.width() / 2);
    QCOMPARE(w.x(), (avail.width() - w.width()) / 2);
    QCOMPARE(w.y(), (avail.height() - w.height()) / 2);
    const QRect before = w.geometry();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.geometry(), before);
}

void tst_framework::shownCentredWithItsContents()
{
    // Content that a product panel puts into the work area counts for the
    // window's size only once it is shown; the window appears centred
    // with that size.
    Panel w;
    auto *layout = new QVBoxLayout;
    w.workArea()->setLayout(layout);
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
    w.d_activeLed->setValue(1);

    ModalAnswer box{QMessageBox::StandardButton(answer)};
    w.d_closeButton->click();
    QCOMPARE(box.boxes(), 1);
    QCOMPARE(box.seen().title, QStringLiteral("Ostrel  SFP"));
    QCOMPARE(box.seen().text, QStringLiteral("Do you really want to exit?"));
    QCOMPARE(box.seen().icon, QMessageBox::Question);
    QCOMPARE(box.seen().buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(w.isVisible(), !closes);
    QCOMPARE(w.d_activeLed->value(), 1);
}

QTEST_MAIN(tst_framework)
#include "tst_framework.moc"
