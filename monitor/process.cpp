#include "cv4870mon/process.h"

#include <pthread.h>
#include <sys/resource.h>

namespace cv4870mon {

sigset_t blockServiceSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signals;
}

void waitForStop(const sigset_t &signals, const std::function<void()> &reload)
{
    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal == SIGHUP)
        reload();
}

std::uint64_t raiseDescriptorLimit(std::uint64_t needed)
{
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl = raised;
    }
    return rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < needed ? rl.rlim_cur : 0;
}

} // namespace cv4870mon
