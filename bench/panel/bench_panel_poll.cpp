// GUI cost of one status poll: updateStatus() on the shown panel with its
// real widgets (offscreen), the driver replaced by the scripted double so
// that no I/O is timed.
#include <QApplication>

#include "fake_driver.h"
#include "poll_timing.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ScratchSettings settings;
    const int polls = pollCount(argc, argv, 2000);

    DialogScript modal(connectSteps(QStringLiteral("127.0.46.200")), true);
    TestPanel panel;
    if (!showPanelForPolling(panel))
        return 1;

    fakedrv::Mainframe &m = fakedrv::mainframe();
    const auto forget = [](int) { fakedrv::clearCalls(); };
    timePolls(panel, 200, forget); // warm-up
    std::printf("polls per case: %d\n", polls);
    printPollFigures("identical readings, every output on", timePolls(panel, polls, forget));

    m.pon = 0;
    for (ViBoolean &s : m.outState)
        s = 0;
    printPollFigures("identical readings, power off (7 grey LEDs repainted)", timePolls(panel, polls, forget));

    printPollFigures("every value changes", timePolls(panel, polls, [&m](int i) {
                         fakedrv::clearCalls();
                         const ViBoolean v = ViBoolean(i & 1);
                         m.pon = m.inFail = m.outFail = m.fanFail = m.senseFail = m.sysFail = v;
                         for (int c = 0; c < 7; ++c) {
                             m.outState[c] = v;
                             m.volt[c] += 0.01;
                         }
                         m.fan[0] = 1000 + i % 1000;
                         m.fanTemp = 20 + i % 40;
                     }));
    return 0;
}
