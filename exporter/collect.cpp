#include "collect.h"

#include "cv4870mon/health.h"

#include <string>

namespace cv4870exp {

namespace {

// The exposition name of a failure line: cv4870_<code>. The SysFail line
// kept the name it had before the table (cv4870_sysfail), which alerts use.
std::string lineMetric(const cv4870mon::FailureLine &line)
{
    return std::string("cv4870_") +
           (line.member == &cv4870mon::StatusLines::sysFail ? std::string("sysfail") : std::string(line.code));
}

} // namespace

void writeReading(Families &w, const cv4870mon::Snapshot &s)
{
    const cv4870mon::Identity &id = s.identity;
    const std::string serial = std::to_string(id.powerSupplySerial);
    const std::string fanSerial = std::to_string(id.fanTraySerial);
    w.family("cv4870_info", "Identity of the mainframe; the value is always 1.");
    w.sample({{"serial", serial},
              {"fan_serial", fanSerial},
              {"firmware", id.firmwareRevision},
              {"description", id.description}},
             1);

    w.gauge("cv4870_main_power_on", "Status line: main power is switched on.", s.status.powerOn ? 1 : 0);
    for (const cv4870mon::FailureLine &line : cv4870mon::kFailureLines)
        w.gauge(lineMetric(line), std::string("Status line: ") + line.text + " is asserted.",
                s.status.*line.member ? 1 : 0);

    const struct
    {
        const char *name, *help;
        double (*value)(const cv4870mon::Output &);
    } outputs[] = {
        {"cv4870_output_voltage_volts", "Measured voltage of a power-supply output.",
         [](const cv4870mon::Output &o) { return o.voltageVolts; }},
        {"cv4870_output_current_amperes", "Load current of a power-supply output.",
         [](const cv4870mon::Output &o) { return o.currentAmperes; }},
        {"cv4870_output_ok", "1 when the output is on and within 5 % of nominal.",
         [](const cv4870mon::Output &o) { return o.ok ? 1.0 : 0.0; }},
    };
    for (const auto &family : outputs) {
        w.family(family.name, family.help);
        for (std::size_t i = 0; i < cv4870mon::kOutputCount; ++i)
            w.sample({{"output", cv4870mon::kOutputNames[i]}}, family.value(s.outputs[i]));
    }

    w.gauge("cv4870_fan_nominal_speed_rpm", "Nominal fan speed; 0 when the fans are switched off.", s.fanNominalRpm);
    w.family("cv4870_fan_speed_rpm", "Measured speed of a fan.");
    for (std::size_t i = 0; i < cv4870mon::kFanCount; ++i)
        w.sample({{"fan", std::to_string(i + 1)}}, s.fanRpm[i]);
    w.family("cv4870_temperature_celsius", "Temperature of a sensor.");
    for (const cv4870mon::TemperatureSensor &sensor : cv4870mon::kTemperatureSensors)
        w.sample({{"sensor", sensor.code}}, s.*sensor.member);
    w.gauge("cv4870_health_severity", "Health of this reading: 0 ok, 1 warning (main power off), 2 critical.",
            double(static_cast<int>(cv4870mon::assessHealth(s).severity)));
}

} // namespace cv4870exp
