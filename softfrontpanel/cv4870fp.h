// Fixed texts and addresses of the Ostrel 4870 soft front panel.
#ifndef CV4870FP_H
#define CV4870FP_H

#include <QPixmap>

// Copyright line of the splash screen and the About dialog.
extern const char cv4870fp_copyright[];
// Host of the demo resource string and of the title in demo mode.
extern const char cv4870fp_demoAddress[];
// Prefill of the address field when no address is stored.
extern const char cv4870fp_defaultEntryAddress[];
// Settings store: organisation, application and the one key.
extern const char cv4870fp_settingsOrganization[];
extern const char cv4870fp_settingsApplication[];
extern const char cv4870fp_settingsAddressKey[];

// Resource string of a typed or demo address: raw socket on port 23.
QString cv4870fp_socketResource(const QString &address);

// Composes the splash image; the picture of the mainframe is taken from
// ":/cv4870_splash.png" unless a picture is handed in.
QPixmap makeSplashPixmap(float scale);
QPixmap makeSplashPixmap(float scale, const QPixmap &devicePicture);

#endif // CV4870FP_H
