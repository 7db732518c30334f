// The About dialog: texts, rows, the cropped picture, the button row and
// paging between revision entries.
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "cv4870fp.h"
#include "cv5120fp_app.h"
#include "gui_test_util.h"

namespace {

// Opens the protected page lists for the paging tests.
class About : public cv5120fp_About
{
public:
    About() : cv5120fp_About("4.3.1.10391", "1.2.3", "4870", cv4870fp_copyright, nullptr) {}
    using cv5120fp_About::d_driverRevs;
    using cv5120fp_About::d_hardwareForm;
    using cv5120fp_About::d_nextButton;
    using cv5120fp_About::d_page;
    using cv5120fp_About::d_prevButton;
    using cv5120fp_About::d_sfpRevs;
    using cv5120fp_About::d_softwareForm;
};

// Label texts and value texts of a form, row by row.
QStringList rowsOf(QFormLayout *form)
{
    QStringList rows;
    for (int i = 0; i < form->rowCount(); ++i) {
        auto *label = qobject_cast<QLabel *>(form->itemAt(i, QFormLayout::LabelRole)->widget());
        auto *value = qobject_cast<QLabel *>(form->itemAt(i, QFormLayout::FieldRole)->widget());
        rows << label->text() + QLatin1Char('=') + value->text();
    }
    return rows;
}

QLabel *pictureOf(QDialog &d)
{
    for (QLabel *l : d.findChildren<QLabel *>())
        if (!l->pixmap(Qt::ReturnByValue).isNull())
            return l;
    return nullptr;
}

} // namespace

class tst_about : public QObject
{
    Q_OBJECT

private slots:
    void texts();
    void rows();
    void onlyOkVisible();
    void okHidesAndShowAgain();
    void picture_data();
    void picture();
    void paging();
};

void tst_about::texts()
{
    About d;
    QCOMPARE(d.windowTitle(), QStringLiteral("About Ostrel 4870 Soft Front Panel"));
    QStringList labels;
    for (QLabel *l : d.findChildren<QLabel *>())
        labels << l->text();
    QVERIFY(labels.contains(QStringLiteral(
        "<font size='5' bold>Ostrel 4870 VXIplug&play Driver<br>Soft Front Panel Application</font>")));
    QVERIFY(labels.contains(QString::fromLatin1(cv4870fp_copyright)));

    // 8-bit arguments are read as Latin-1.
    cv5120fp_About latin("r\xe9v", "1", "4870", "\xa9 Corvane", nullptr);
    QStringList latinLabels;
    for (QLabel *l : latin.findChildren<QLabel *>())
        latinLabels << l->text();
    QVERIFY(latinLabels.contains(QString(QChar(0xA9)) + QStringLiteral(" Corvane")));
    QVERIFY(latinLabels.contains(QStringLiteral("r") + QChar(0xE9) + QStringLiteral("v")));
}

void tst_about::rows()
{
    About d;
    QCOMPARE(rowsOf(d.d_softwareForm), QStringList({"Instrument Driver:=1.2.3", "Soft Front Panel:=4.3.1.10391"}));
    // Demo mode: no hardware rows.
    QCOMPARE(d.d_hardwareForm->rowCount(), 0);
    auto *hwBox = qobject_cast<QGroupBox *>(d.d_hardwareForm->parentWidget());
    QCOMPARE(hwBox->title(), QStringLiteral("Hardware Information"));
    QCOMPARE(qobject_cast<QGroupBox *>(d.d_softwareForm->parentWidget())->title(),
             QStringLiteral("Software Revisions"));

    d.addSerialNumbers(QStringLiteral("48701001"), QStringLiteral("48702002"));
    d.addHardwareInfo(QStringLiteral("Firmware Revision:"), QStringLiteral("A.01.00"));
    QCOMPARE(rowsOf(d.d_hardwareForm), QStringList({"Power Supply S/N:=48701001", "Fan Tray S/N:=48702002",
                                                    "Firmware Revision:=A.01.00"}));
    // Rows are only ever added.
    d.addHardwareInfo(QStringLiteral("Firmware Revision:"), QStringLiteral("B"));
    QCOMPARE(d.d_hardwareForm->rowCount(), 4);
}

void tst_about::onlyOkVisible()
{
    About d;
    d.show();
    QStringList visible;
    for (QPushButton *b : d.findChildren<QPushButton *>())
        if (b->isVisible())
            visible << b->text();
    QCOMPARE(visible, QStringList({"OK"}));
    QCOMPARE(d.d_prevButton->text(), QStringLiteral("< Previous"));
    QCOMPARE(d.d_nextButton->text(), QStringLiteral("Next >"));
    QVERIFY(!d.d_prevButton->isEnabled());
    // The operator cannot resize it.
    QCOMPARE(d.layout()->sizeConstraint(), QLayout::SetFixedSize);
}

void tst_about::okHidesAndShowAgain()
{
    About d;
    d.addSerialNumbers(QStringLiteral("1"), QStringLiteral("2"));
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QPushButton *ok = nullptr;
    for (QPushButton *b : d.findChildren<QPushButton *>())
        if (b->text() == QLatin1String("OK"))
            ok = b;
    QVERIFY(ok);
    ok->click();
    QVERIFY(!d.isVisible());
    d.show();
    QVERIFY(d.isVisible());
    QCOMPARE(d.d_hardwareForm->rowCount(), 2);
    QCOMPARE(d.d_page, 0);
}

void tst_about::picture_data()
{
    QTest::addColumn<int>("lh");
    QTest::addColumn<int>("rows");
    QTest::newRow("lh 13: 19 lines") << 13 << 247;
    QTest::newRow("lh 17: 19 lines") << 17 << 323;
    QTest::newRow("lh 19: whole image") << 19 << 345;
    QTest::newRow("lh 48: 8 lines exceed the image") << 48 << 345;
}

void tst_about::picture()
{
    QFETCH(int, lh);
    QFETCH(int, rows);
    QFont f;
    if (!fontWithHeight(lh, &f))
        QSKIP("no font of that height");
    AppFontScope scope(f);
    About d;

    QLabel *label = pictureOf(d);
    QVERIFY(label);
    const QImage shown = label->pixmap(Qt::ReturnByValue).toImage();
    const QImage full = QPixmap(QStringLiteral(":/about.png")).toImage();
    QCOMPARE(shown.size(), QSize(110, rows));
    // The bottom rows of the image, unscaled.
    QCOMPARE(shown, full.copy(0, full.height() - rows, full.width(), rows));
}

void tst_about::paging()
{
    About d;
    QLabel *driverLabel =
        qobject_cast<QLabel *>(d.d_softwareForm->itemAt(0, QFormLayout::FieldRole)->widget());
    QLabel *sfpLabel = qobject_cast<QLabel *>(d.d_softwareForm->itemAt(1, QFormLayout::FieldRole)->widget());

    // One page: neither step moves.
    d.next();
    d.prev();
    QCOMPARE(d.d_page, 0);
    QCOMPARE(driverLabel->text(), QStringLiteral("1.2.3"));

    d.d_driverRevs << QStringLiteral("drv B");
    d.d_sfpRevs << QStringLiteral("sfp B");
    d.next();
    QCOMPARE(d.d_page, 1);
    QCOMPARE(driverLabel->text(), QStringLiteral("drv B"));
    QCOMPARE(sfpLabel->text(), QStringLiteral("sfp B"));
    QVERIFY(!d.d_nextButton->isEnabled());
    QVERIFY(d.d_prevButton->isEnabled());
    d.next();
    QCOMPARE(d.d_page, 1);

    d.prev();
    QCOMPARE(d.d_page, 0);
    QCOMPARE(sfpLabel->text(), QStringLiteral("4.3.1.10391"));
    QVERIFY(!d.d_prevButton->isEnabled());
    QVERIFY(d.d_nextButton->isEnabled());
}

QTEST_MAIN(tst_about)
#include "tst_about.moc"
