// Start-up steps the long-running services share: the stop signals taken
// by sigwait on the main thread, and the descriptor limit.
#ifndef CV4870MON_PROCESS_H
#define CV4870MON_PROCESS_H

#include <signal.h>

#include <cstdint>
#include <functional>

namespace cv4870mon {

// Blocks SIGINT, SIGTERM and SIGHUP for sigwait and ignores SIGPIPE. Call
// it before any other thread starts: threads inherit the mask.
sigset_t blockServiceSignals();

// Waits on the main thread for the signals blocked above: each SIGHUP runs
// reload, the first other signal (or a failed wait) returns.
void waitForStop(const sigset_t &signals, const std::function<void()> &reload);

// Raises the soft limit of open descriptors to the hard one; 0 when the
// limit is then at least `needed`, else the limit (for the caller's warning).
std::uint64_t raiseDescriptorLimit(std::uint64_t needed);

} // namespace cv4870mon

#endif
