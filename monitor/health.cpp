// Health of a snapshot.
#include <utility>

#include "cv4870mon/health.h"
#include "cv4870mon/text.h"

namespace cv4870mon {

const char *severityName(Severity severity)
{
    switch (severity) {
    case Severity::Ok:
        return "ok";
    case Severity::Warning:
        return "warning";
    case Severity::Critical:
        return "critical";
    }
    return "unknown";
}

std::string Problem::code() const
{
    switch (kind) {
    case ProblemKind::StatusLine:
        return subject < kFailureLines.size() ? kFailureLines[subject].code : "status_line";
    case ProblemKind::MainPowerOff:
        return "main_power_off";
    case ProblemKind::MainPowerOn:
        return "main_power_on";
    case ProblemKind::Output:
        return std::string("output:") + (subject < kOutputCount ? kOutputNames[subject] : "?");
    case ProblemKind::Temperature:
        return std::string("temperature:") + (subject < kTemperatureCount ? kTemperatureSensors[subject].code : "?");
    }
    return "unknown";
}

const Problem *Health::find(ProblemKind kind, std::size_t subject) const
{
    for (const Problem &p : problems) {
        if (p.kind == kind && p.subject == subject)
            return &p;
    }
    return nullptr;
}

Health assessHealth(const Snapshot &s, const Thresholds &thresholds)
{
    Health h;
    auto add = [&h](Severity severity, ProblemKind kind, std::size_t subject, std::string text) {
        h.problems.push_back({severity, kind, subject, std::move(text)});
        if (severity > h.severity)
            h.severity = severity;
    };
    for (std::size_t i = 0; i < kFailureLines.size(); ++i) {
        if (s.status.*kFailureLines[i].member)
            add(Severity::Critical, ProblemKind::StatusLine, i, kFailureLines[i].text);
    }
    if (!s.status.powerOn) {
        if (!thresholds.powerExpectedOff)
            add(Severity::Warning, ProblemKind::MainPowerOff, 0, "main power off");
    } else {
        if (thresholds.powerExpectedOff)
            add(Severity::Warning, ProblemKind::MainPowerOn, 0, "main power on, expected off");
        for (std::size_t i = 0; i < kOutputCount; ++i) {
            if (!s.outputs[i].ok)
                add(Severity::Critical, ProblemKind::Output, i, std::string("output ") + kOutputNames[i] + " not good");
        }
    }
    for (std::size_t i = 0; i < kTemperatureCount; ++i) {
        const TemperatureSensor &sensor = kTemperatureSensors[i];
        const double t = static_cast<double>(s.*sensor.member);
        const std::string what = std::string(sensor.text) + " " + formatNumber(t) + " C ";
        if (thresholds.critical && thresholds.critical->alerts(t))
            add(Severity::Critical, ProblemKind::Temperature, i,
                what + thresholds.critical->describe() + " (critical)");
        else if (thresholds.warning && thresholds.warning->alerts(t))
            add(Severity::Warning, ProblemKind::Temperature, i, what + thresholds.warning->describe() + " (warning)");
    }
    return h;
}

} // namespace cv4870mon
