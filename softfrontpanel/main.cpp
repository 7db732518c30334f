// Ostrel 4870 soft front panel: splash screen, main window, event loop.
#include <QApplication>
#include <QSplashScreen>

#include "cv4870fp.h"
#include "cv4870fp_app.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    auto *splash = new QSplashScreen(makeSplashPixmap(1.0f), Qt::WindowFlags());
    splash->show();

    {
        cv4870fp_app window;
        centerOnDesktop(&window);
        window.show();
        splash->finish(&window);

        app.exec();
        delete splash;
    }
    return 0;
}
