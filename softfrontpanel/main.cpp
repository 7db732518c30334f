// Ostrel 4870 soft front panel: splash screen, main window, event loop.
#include <QApplication>
#include <QSplashScreen>

#include <cstdio>
#include <cstring>

#include "cv4870fp.h"
#include "cv4870fp_app.h"

int main(int argc, char **argv)
{
    // "cv4870fp --version" alone prints the version and ends before anything
    // starts; every other argument goes to the application object.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("cv4870fp %s\n", CV_VERSION);
        return 0;
    }

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
