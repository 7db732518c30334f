// Fixed texts of the Ostrel 4870 soft front panel and its splash image.
#include "cv4870fp.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QString>

#include <cstdio>

const char cv4870fp_copyright[] = "Copyright (c) 2026 Corvane Ltd. All rights reserved.";
const char cv4870fp_demoAddress[] = "192.168.48.70";
const char cv4870fp_defaultEntryAddress[] = "10.48.70.1";
const char cv4870fp_settingsOrganization[] = "Corvane Ltd.";
const char cv4870fp_settingsApplication[] = "Ostrel 4870 Soft Front Panel";
const char cv4870fp_settingsAddressKey[] = "ip_addr";

QString cv4870fp_socketResource(const QString &address)
{
    return QStringLiteral("TCPIP::") + address + QStringLiteral("::23::SOCKET");
}

QPixmap makeSplashPixmap(float scale)
{
    return makeSplashPixmap(scale, QPixmap(QStringLiteral(":/cv4870_splash.png")));
}

QPixmap makeSplashPixmap(float scale, const QPixmap &devicePicture)
{
    QPixmap canvas(QStringLiteral(":/fp_splash.png"));
    QPainter painter(&canvas);

    QFont titleFont = painter.font();
    QFont modelFont = painter.font();
    QFont smallFont = painter.font();
    titleFont.setPointSize(int(double(scale) * 18.0));
    titleFont.setBold(true);
    modelFont.setPointSize(int(double(scale) * 12.0));
    modelFont.setBold(true);
    smallFont.setPointSize(8);
    smallFont.setBold(true);
    const int hT = QFontMetrics(titleFont).height();
    const int hS = QFontMetrics(smallFont).height();

    painter.setFont(titleFont);
    painter.drawText(QRect(87, 256 + hT / 2, 413, hT), Qt::AlignCenter, QStringLiteral("Ostrel 4870"));
    painter.setFont(modelFont);
    painter.drawText(QRect(87, 256 + 2 * hT, 413, 3 * (48 - hS) - 2 * hT),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, QStringLiteral("VXI-1 Rev.4 Mainframe"));
    painter.setFont(smallFont);
    painter.drawText(QRect(87, 2 * (200 - hS), 413, hS), Qt::AlignCenter, QString::fromLatin1(cv4870fp_copyright));

    if (devicePicture.width() == 452 && devicePicture.height() == 194) {
        painter.drawPixmap(67, 43, devicePicture);
    } else {
        std::fputs("The size of the image of the device, that is to be used in the splash screen, "
                   "is not as required!!!\n",
                   stdout);
        std::fflush(stdout);
    }

    painter.end();
    return canvas.copy();
}
