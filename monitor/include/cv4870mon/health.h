// How healthy a snapshot is: problems as structured values (what kind, and
// which line, output or sensor), so that no front end matches texts.
#ifndef CV4870MON_HEALTH_H
#define CV4870MON_HEALTH_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cv4870mon/range.h"
#include "cv4870mon/snapshot.h"

namespace cv4870mon {

enum class Severity { Ok = 0, Warning = 1, Critical = 2 };
// "ok", "warning", "critical"
const char *severityName(Severity severity);

enum class ProblemKind {
    StatusLine, // subject: index into kFailureLines
    MainPowerOff, // subject: 0
    MainPowerOn, // subject: 0; only when power is expected off
    Output, // subject: output index (kOutputNames)
    Temperature, // subject: index into kTemperatureSensors
};

// One thing that is wrong.
struct Problem
{
    Severity severity = Severity::Ok;
    ProblemKind kind = ProblemKind::StatusLine;
    std::size_t subject = 0;
    std::string text; // for people

    // Stable for scripts and JSON: "sys_fail", "main_power_off",
    // "main_power_on", "output:+5V", "temperature:fan_tray".
    std::string code() const;
};

struct Health
{
    Severity severity = Severity::Ok; // the worst of the problems
    std::vector<Problem> problems;

    // The problem of this kind and subject, or null.
    const Problem *find(ProblemKind kind, std::size_t subject = 0) const;
};

// Optional ranges on the two temperatures (degrees Celsius, the plugin
// range syntax of range.h): a temperature the range alerts on is a warning
// or critical. The mainframe's own sensor limits still apply through its
// sensor-fail line. powerExpectedOff: a rack switched off on purpose.
struct Thresholds
{
    std::optional<Range> warning;
    std::optional<Range> critical;
    bool powerExpectedOff = false;
};

// The health of one snapshot, from the mainframe's status lines and output
// states only, plus the thresholds:
//   SysFail, input fail, output fail, fan fail, sensor fail: critical;
//   an output whose state is not good while main power is on: critical;
//   main power off: warning (the outputs are off, so their states do not
//   count); with powerExpectedOff, main power off is fine and on a warning.
Health assessHealth(const Snapshot &snapshot, const Thresholds &thresholds = {});

} // namespace cv4870mon

#endif
