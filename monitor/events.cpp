// Transitions between two snapshots, and the link tracker.
#include <utility>

#include "cv4870mon/events.h"

namespace cv4870mon {

const char *eventKindName(EventKind kind)
{
    switch (kind) {
    case EventKind::LineSet:
        return "line_set";
    case EventKind::LineCleared:
        return "line_cleared";
    case EventKind::OutputFailed:
        return "output_failed";
    case EventKind::OutputRecovered:
        return "output_recovered";
    case EventKind::PowerOn:
        return "power_on";
    case EventKind::PowerOff:
        return "power_off";
    case EventKind::FanNominalChanged:
        return "fan_nominal_changed";
    case EventKind::LinkLost:
        return "link_lost";
    case EventKind::LinkRestored:
        return "link_restored";
    }
    return "unknown";
}

std::vector<Event> diffSnapshots(const Snapshot &before, const Snapshot &after)
{
    std::vector<Event> events;
    auto add = [&](EventKind kind, std::string subject, Severity severity, std::string text) {
        Event e;
        e.time = after.time;
        e.resource = after.identity.resource;
        e.kind = kind;
        e.subject = std::move(subject);
        e.severity = severity;
        e.text = std::move(text);
        events.push_back(std::move(e));
    };
    if (before.status.powerOn != after.status.powerOn) {
        if (after.status.powerOn)
            add(EventKind::PowerOn, "main_power", Severity::Ok, "main power switched on");
        else
            add(EventKind::PowerOff, "main_power", Severity::Warning, "main power switched off");
    }
    for (const FailureLine &line : kFailureLines) {
        const bool was = before.status.*line.member, is = after.status.*line.member;
        if (was != is)
            add(is ? EventKind::LineSet : EventKind::LineCleared, line.code, is ? Severity::Critical : Severity::Ok,
                std::string(line.text) + (is ? " set" : " cleared"));
    }
    if (before.status.powerOn && after.status.powerOn) {
        for (std::size_t i = 0; i < kOutputCount; ++i) {
            const bool was = before.outputs[i].ok, is = after.outputs[i].ok;
            if (was != is)
                add(is ? EventKind::OutputRecovered : EventKind::OutputFailed, kOutputNames[i],
                    is ? Severity::Ok : Severity::Critical,
                    std::string("output ") + kOutputNames[i] + (is ? " recovered" : " failed"));
        }
    }
    if (before.fanNominalRpm != after.fanNominalRpm) {
        add(EventKind::FanNominalChanged, "fan_nominal", Severity::Ok,
            "nominal fan speed " + std::to_string(before.fanNominalRpm) + " -> " + std::to_string(after.fanNominalRpm) +
                " rpm");
        events.back().fromRpm = before.fanNominalRpm;
        events.back().toRpm = after.fanNominalRpm;
    }
    return events;
}

std::vector<Event> presentAtStart(const Snapshot &first)
{
    Snapshot healthy = first;
    healthy.status = {};
    healthy.status.powerOn = true;
    for (Output &o : healthy.outputs)
        o.ok = true;
    std::vector<Event> events = diffSnapshots(healthy, first);
    for (Event &e : events) {
        e.presentAtStart = true;
        e.text += " (present at start)";
    }
    return events;
}

LinkTracker::LinkTracker(std::string resource)
    : resource_(std::move(resource))
{}

std::vector<Event> LinkTracker::onSnapshot(const Snapshot &snapshot)
{
    std::vector<Event> events;
    if (!up_ && everFailed_) {
        Event e;
        e.time = snapshot.time;
        e.resource = resource_.empty() ? snapshot.identity.resource : resource_;
        e.kind = EventKind::LinkRestored;
        e.subject = "link";
        e.text = "link restored";
        events.push_back(std::move(e));
    }
    if (last_) {
        std::vector<Event> changes = diffSnapshots(*last_, snapshot);
        events.insert(events.end(), changes.begin(), changes.end());
    }
    last_ = snapshot;
    up_ = true;
    return events;
}

std::vector<Event> LinkTracker::onFailure(Clock::time_point time, const std::string &reason)
{
    std::vector<Event> events;
    if (up_ || !everFailed_) {
        Event e;
        e.time = time;
        e.resource = resource_;
        e.kind = EventKind::LinkLost;
        e.subject = "link";
        e.severity = Severity::Critical;
        e.text = "link lost: " + reason;
        events.push_back(std::move(e));
    }
    up_ = false;
    everFailed_ = true;
    return events;
}

} // namespace cv4870mon
