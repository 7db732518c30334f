// Times updateStatus() on a shown panel, one poll at a time.
#ifndef POLL_TIMING_H
#define POLL_TIMING_H

#include <QCoreApplication>
#include <QElapsedTimer>

#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "gui_test_util.h"

struct PollFigures
{
    double medianUs, meanUs, p99Us;
};

// before(i) runs ahead of poll i, outside the timing; so do the deferred
// repaints of the texts, which the event loop handles after the poll.
inline PollFigures timePolls(TestPanel &panel, int polls, const std::function<void(int)> &before)
{
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(polls));
    QElapsedTimer t;
    for (int i = 0; i < polls; ++i) {
        if (before)
            before(i);
        t.start();
        panel.updateStatus();
        us.push_back(static_cast<double>(t.nsecsElapsed()) / 1000.0);
        QCoreApplication::processEvents();
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    return {us[us.size() / 2], sum / static_cast<double>(us.size()), us[us.size() * 99 / 100]};
}

inline int pollCount(int argc, char **argv, int fallback)
{
    return argc > 1 ? std::max(100, std::atoi(argv[1])) : fallback;
}

// The panel connected through the flow to address, shown, and with its own
// timer stopped so that only the timed polls run.
inline bool showPanelForPolling(TestPanel &panel)
{
    panel.d_timer->stop();
    panel.show();
    return QTest::qWaitForWindowExposed(&panel);
}

inline void printPollFigures(const char *name, const PollFigures &f)
{
    std::printf("%s: median %.1f us, mean %.1f us, p99 %.1f us\n", name, f.medianUs, f.meanUs, f.p99Us);
}

#endif // POLL_TIMING_H
