// Transitions between two snapshots, and the link tracker that turns a
// sequence of polls (good or failed) into events.
#ifndef CV4870MON_EVENTS_H
#define CV4870MON_EVENTS_H

#include <optional>
#include <string>
#include <vector>

#include "cv4870mon/health.h"
#include "cv4870mon/snapshot.h"

namespace cv4870mon {

enum class EventKind {
    LineSet, // a failure line went on (subject: "input_fail", ...)
    LineCleared, // and off again
    OutputFailed, // an output's state went bad while powered (subject: "+5V")
    OutputRecovered,
    PowerOn, // main power switched (subject: "main_power")
    PowerOff,
    FanNominalChanged, // subject "fan_nominal", fromRpm/toRpm set
    LinkLost, // subject "link", text has the reason
    LinkRestored,
};
// "line_set", "line_cleared", "output_failed", "output_recovered",
// "power_on", "power_off", "fan_nominal_changed", "link_lost", "link_restored"
const char *eventKindName(EventKind kind);

struct Event
{
    Clock::time_point time;
    std::string resource;
    EventKind kind = EventKind::LineSet;
    std::string subject;
    Severity severity = Severity::Ok; // of the state the event leads to
    std::string text;
    std::optional<std::int32_t> fromRpm, toRpm;
    bool presentAtStart = false; // a state found at the first reading, not a change seen
};

// Events from before to after, stamped with after's time. Output events
// are reported only while main power is on in both snapshots (switching
// power gives a power event, not seven output events).
std::vector<Event> diffSnapshots(const Snapshot &before, const Snapshot &after);

// The problems a first reading already shows, as the events that would
// have led to them from a healthy, powered mainframe (power_off,
// line_set, output_failed), each with presentAtStart set.
std::vector<Event> presentAtStart(const Snapshot &first);

// Follows one mainframe across polls. Not thread-safe: one per poller.
class LinkTracker
{
public:
    explicit LinkTracker(std::string resource = {});

    // A good poll: link restored (after a failure) and the transitions since
    // the last good snapshot, even one from before the link was lost.
    std::vector<Event> onSnapshot(const Snapshot &snapshot);
    // A failed poll: link lost the first time (also when no poll has
    // succeeded yet), nothing while it stays down.
    std::vector<Event> onFailure(Clock::time_point time, const std::string &reason);

    bool up() const { return up_; }
    const std::optional<Snapshot> &last() const { return last_; }

private:
    std::string resource_;
    std::optional<Snapshot> last_;
    bool up_ = false;
    bool everFailed_ = false;
};

} // namespace cv4870mon

#endif
