// The About dialog: texts, rows, the cropped picture and the button row.
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "cv4870fp.h"
#include "cv5120fp_app.h"
#include "gui_test_util.h"

namespace {

// Opens the protected forms.
class About : public cv5120fp_About
{
public:
    About()
        : cv5120fp_About("4.3.1.10391", "1.2.3", "4870", cv4870fp_copyright, nullptr)
    {}
    using cv5120fp_About::d_hardwareForm;
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

} // namespace

class tst_about : public QObject
{
    Q_OBJECT

private slots:
    void textsAndRows();
    void onlyOkVisible();
    void picture_data();
    void picture();
};

void tst_about::textsAndRows()
{
    About d;
    QCOMPARE(d.windowTitle(), QStringLiteral("About Ostrel 4870 Soft Front Panel"));
    QStringList labels;
    for (QLabel *l : d.findChildren<QLabel *>())
        labels << l->text();
    QVERIFY(labels.contains(
        QStringLiteral("<font size='5' bold>Ostrel 4870 VXIplug&play Driver<br>Soft Front Panel Application</font>")));
    QVERIFY(labels.contains(QString::fromLatin1(cv4870fp_copyright)));

    QCOMPARE(rowsOf(d.d_softwareForm), QStringList({"Instrument Driver:=1.2.3", "Soft Front Panel:=4.3.1.10391"}));
    QCOMPARE(d.d_hardwareForm->rowCount(), 0); // demo mode
    QCOMPARE(qobject_cast<QGroupBox *>(d.d_hardwareForm->parentWidget())->title(),
             QStringLiteral("Hardware Information"));
    d.addSerialNumbers(QStringLiteral("48701001"), QStringLiteral("48702002"));
    d.addHardwareInfo(QStringLiteral("Firmware Revision:"), QStringLiteral("A.01.00"));
    QCOMPARE(rowsOf(d.d_hardwareForm),
             QStringList({"Power Supply S/N:=48701001", "Fan Tray S/N:=48702002", "Firmware Revision:=A.01.00"}));

    // 8-bit arguments are read as Latin-1.
    cv5120fp_About latin("r\xe9v", "1", "4870", "\xa9 Corvane", nullptr);
    labels.clear();
    for (QLabel *l : latin.findChildren<QLabel *>())
        labels << l->text();
    QVERIFY(labels.contains(QChar(0xA9) + QStringLiteral(" Corvane")));
    QVERIFY(labels.contains(QStringLiteral("r") + QChar(0xE9) + QStringLiteral("v")));
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
    QCOMPARE(d.layout()->sizeConstraint(), QLayout::SetFixedSize);
}

void tst_about::picture_data()
{
    QTest::addColumn<int>("lh");
    QTest::addColumn<int>("rows");
    QTest::newRow("lh 13: 19 lines") << 13 << 247;
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
    // The bottom rows of the image, unscaled.
    const QImage full = QPixmap(QStringLiteral(":/about.png")).toImage();
    QList<QImage> shown;
    for (QLabel *l : d.findChildren<QLabel *>())
        if (!l->pixmap(Qt::ReturnByValue).isNull())
            shown << l->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(shown, QList<QImage>({full.copy(0, full.height() - rows, full.width(), rows)}));
}

QTEST_MAIN(tst_about)
#include "tst_about.moc"
