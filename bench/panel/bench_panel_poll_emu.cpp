// One status poll end to end: updateStatus() on the shown panel through the
// real driver and VISA library to the emulator on a loopback address: six
// queries over TCP plus the GUI work.
#include <QApplication>

#include <string>

#include "cv4870emu.h"
#include "poll_timing.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ScratchSettings settings;
    const int polls = pollCount(argc, argv, 1000);

    cv4870emu::Server server;
    server.setLogLevel(cv4870emu::LogLevel::Quiet);
    server.addMainframe("127.0.46.3", 23);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "emulator: %s\n", error.c_str());
        return 1;
    }

    DialogScript modal(connectSteps(QStringLiteral("127.0.46.3")), true);
    TestPanel panel;
    if (!showPanelForPolling(panel))
        return 1;

    timePolls(panel, 50, nullptr); // warm-up
    std::printf("polls: %d\n", polls);
    printPollFigures("poll through driver, VISA and loopback TCP", timePolls(panel, polls, nullptr));
    return modal.reports.isEmpty() ? 0 : 1;
}
