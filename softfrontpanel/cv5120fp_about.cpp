// About dialog of the soft front panels: product, copyright, picture,
// software revisions and the hardware rows the product panel adds.
#include "cv5120fp_app.h"

#include <QFontMetrics>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

// Both forms use the font's line height as their spacing unit.
static QFormLayout *makeRevisionForm(QGroupBox *box, int lh)
{
    auto *form = new QFormLayout;
    form->setHorizontalSpacing(lh);
    form->setContentsMargins(lh, lh, lh, lh);
    box->setLayout(form);
    return form;
}

cv5120fp_About::cv5120fp_About(const char *sfpRevision, const char *driverRevision, const char *model,
                               const char *copyright, QWidget *parent)
    : QDialog(parent)
    , d_page(0)
{
    const int lh = QFontMetrics(font()).height();
    const QString modelText = QString::fromLatin1(model);

    setWindowTitle(tr("About Ostrel %1 Soft Front Panel").arg(modelText));
    setMinimumSize(380, 300);
    resize(380, 300);

    auto *topLayout = new QVBoxLayout(this);
    topLayout->setSizeConstraint(QLayout::SetFixedSize);

    auto *heading = new QLabel(QStringLiteral("<font size='5' bold>Ostrel %1 VXIplug&play Driver<br>"
                                              "Soft Front Panel Application</font>")
                                   .arg(modelText));
    heading->setAlignment(Qt::AlignCenter);
    topLayout->addWidget(heading);

    auto *copyrightLabel = new QLabel(QString::fromLatin1(copyright));
    copyrightLabel->setAlignment(Qt::AlignCenter);
    topLayout->addWidget(copyrightLabel);

    topLayout->addSpacing(lh);

    auto *row = new QHBoxLayout;
    topLayout->addLayout(row);

    // The bottom rows of the picture, 19 lines high, but never less than
    // 8 lines and never more than the picture itself.
    const QPixmap picture(QStringLiteral(":/about.png"));
    int h = 19 * lh;
    if (h > picture.height())
        h = picture.height();
    if (h < 8 * lh)
        h = 8 * lh;
    auto *pictureLabel = new QLabel;
    if (h >= picture.height())
        pictureLabel->setPixmap(picture);
    else
        pictureLabel->setPixmap(picture.copy(0, picture.height() - h, picture.width(), h));
    row->addWidget(pictureLabel);

    auto *column = new QVBoxLayout;
    row->addLayout(column);

    auto *softwareBox = new QGroupBox(QStringLiteral("Software Revisions"));
    d_softwareForm = makeRevisionForm(softwareBox, lh);
    d_softwareForm->addRow(QStringLiteral("Instrument Driver:"), &d_driverRevLabel);
    d_softwareForm->addRow(QStringLiteral("Soft Front Panel:"), &d_sfpRevLabel);
    d_driverRevs.append(QString::fromLatin1(driverRevision));
    d_sfpRevs.append(QString::fromLatin1(sfpRevision));
    d_driverRevLabel.setText(d_driverRevs.at(0));
    d_sfpRevLabel.setText(d_sfpRevs.at(0));
    column->addWidget(softwareBox);

    auto *hardwareBox = new QGroupBox(QStringLiteral("Hardware Information"));
    d_hardwareForm = makeRevisionForm(hardwareBox, lh);
    column->addWidget(hardwareBox);

    auto *buttons = new QHBoxLayout;
    column->addLayout(buttons);
    d_prevButton = new QPushButton(QStringLiteral("< Previous"));
    d_nextButton = new QPushButton(QStringLiteral("Next >"));
    auto *okButton = new QPushButton(QStringLiteral("OK"));
    for (QPushButton *b : {d_prevButton, d_nextButton, okButton}) {
        b->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
        buttons->addWidget(b);
    }
    d_prevButton->setEnabled(false);
    d_prevButton->hide();
    d_nextButton->hide();

    connect(d_nextButton, &QPushButton::clicked, this, &cv5120fp_About::next);
    connect(d_prevButton, &QPushButton::clicked, this, &cv5120fp_About::prev);
    connect(okButton, &QPushButton::clicked, this, &QWidget::hide);
}

void cv5120fp_About::addSerialNumbers(const QString &psSerial, const QString &fanSerial)
{
    d_hardwareForm->addRow(QStringLiteral("Power Supply S/N:"), new QLabel(psSerial));
    d_hardwareForm->addRow(QStringLiteral("Fan Tray S/N:"), new QLabel(fanSerial));
}

void cv5120fp_About::addHardwareInfo(const QString &label, const QString &value)
{
    d_hardwareForm->addRow(label, new QLabel(value));
}

void cv5120fp_About::next()
{
    if (d_page >= d_driverRevs.size() - 1)
        return;
    ++d_page;
    d_driverRevLabel.setText(d_driverRevs.at(d_page));
    d_sfpRevLabel.setText(d_sfpRevs.at(d_page));
    d_nextButton->setEnabled(d_page < d_driverRevs.size() - 1);
    d_prevButton->setEnabled(true);
}

void cv5120fp_About::prev()
{
    if (d_page <= 0)
        return;
    --d_page;
    d_driverRevLabel.setText(d_driverRevs.at(d_page));
    d_sfpRevLabel.setText(d_sfpRevs.at(d_page));
    d_prevButton->setEnabled(d_page > 0);
    d_nextButton->setEnabled(true);
}
