// The tables of what a snapshot holds.
#include "cv4870mon/snapshot.h"

namespace cv4870mon {

const std::array<const char *, kOutputCount> kOutputNames = {"+24V", "+12V", "+5V", "-2V", "-5.2V", "-12V", "-24V"};
const std::array<double, kOutputCount> kNominalVolts = {24.0, 12.0, 5.0, -2.0, -5.2, -12.0, -24.0};

const std::array<FailureLine, 5> kFailureLines = {{
    {&StatusLines::inputFail, "input_fail", "input fail"},
    {&StatusLines::outputFail, "output_fail", "output fail"},
    {&StatusLines::fanFail, "fan_fail", "fan fail"},
    {&StatusLines::sensorFail, "sensor_fail", "sensor fail"},
    {&StatusLines::sysFail, "sys_fail", "SysFail"},
}};

const std::array<TemperatureSensor, kTemperatureCount> kTemperatureSensors = {{
    {&Snapshot::fanTrayCelsius, "fan_tray", "fan tray"},
    {&Snapshot::powerSupplyCelsius, "power_supply", "power supply"},
}};

} // namespace cv4870mon
