// The dialog in which the operator types the TCP/IP address of the mainframe.
#include "cv4870fp_select.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include "cv4870fp.h"
#include "cv5120fp_app.h"

cv4870fp_enterAddress::cv4870fp_enterAddress()
    : QDialog()
{
    // The field is prefilled once, from the address last confirmed.
    QString address;
    {
        QSettings settings(QString::fromLatin1(cv4870fp_settingsOrganization),
                           QString::fromLatin1(cv4870fp_settingsApplication));
        address = settings.value(QString::fromLatin1(cv4870fp_settingsAddressKey), QVariant()).toString();
    }
    if (address.isEmpty())
        address = QString::fromLatin1(cv4870fp_defaultEntryAddress);

    QHBoxLayout *upper = new QHBoxLayout;
    QHBoxLayout *lower = new QHBoxLayout;
    QVBoxLayout *main = new QVBoxLayout;
    const QFontMetrics fm(font());

    setWindowTitle(QStringLiteral("Ostrel 4870 SFP: Enter VXI Mainframe TCP/IP Address"));
    setWindowIcon(cv5120fp_windowIcon());

    upper->addWidget(new QLabel(QStringLiteral("IP Address:")));
    d_ipAddr = new QLineEdit;
    upper->addWidget(d_ipAddr);
    d_ipAddr->setMinimumWidth(18 * fm.height());
    d_ipAddr->setText(address);
    d_ipAddr->setToolTip(
        QStringLiteral("Enter the TCP/IP address for the Module you want to connect to.<br>Example: <b>") +
        QString::fromLatin1(cv4870fp_demoAddress) + QStringLiteral("</b>"));

    lower->addStretch();
    QPushButton *ok = new QPushButton(QStringLiteral("OK"));
    lower->addWidget(ok);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    QPushButton *cancel = new QPushButton(QStringLiteral("Cancel"));
    lower->addWidget(cancel);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    main->addLayout(upper);
    main->addLayout(lower);
    setLayout(main);
}
