// What one poll of a mainframe reads.
//
// Everything here is plain data: copyable, no I/O, safe to share between
// threads once built.
#ifndef CV4870MON_SNAPSHOT_H
#define CV4870MON_SNAPSHOT_H

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace cv4870mon {

using Clock = std::chrono::system_clock;

constexpr std::size_t kOutputCount = 7;
constexpr std::size_t kFanCount = 3;

// Outputs in the panel's channel order: +24 V, +12 V, +5 V, -2 V, -5.2 V,
// -12 V, -24 V.
extern const std::array<const char *, kOutputCount> kOutputNames; // "+24V" ...
extern const std::array<double, kOutputCount> kNominalVolts;

// Read once when a session opens. Texts are UTF-8 (the mainframe's
// Latin-1 converted).
struct Identity
{
    std::string resource;
    std::string description;
    std::string firmwareRevision;
    std::int32_t powerSupplySerial = 0;
    std::int32_t fanTraySerial = 0;
};

// The mainframe's status lines (cv4870_getStatus).
struct StatusLines
{
    bool powerOn = false;
    bool inputFail = false;
    bool outputFail = false;
    bool fanFail = false;
    bool sensorFail = false;
    bool sysFail = false;
};

// The five failure lines in the order the driver reports them: the member,
// the code used in health, events and JSON, and the text people read.
struct FailureLine
{
    bool StatusLines::*member;
    const char *code;
    const char *text;
};
extern const std::array<FailureLine, 5> kFailureLines;

struct Output
{
    double voltageVolts = 0.0;
    double currentAmperes = 0.0;
    bool ok = false; // the mainframe's own state: on and within its limits
};

struct Snapshot
{
    Clock::time_point time; // when the poll began (UTC)
    Identity identity;
    StatusLines status;
    std::array<Output, kOutputCount> outputs{};
    std::int32_t fanNominalRpm = 0; // 0: fans switched off
    std::array<std::int32_t, kFanCount> fanRpm{};
    std::int32_t fanTrayCelsius = 0;
    std::int32_t powerSupplyCelsius = 0;
};

// The two temperature sensors: the member, the code used in health and
// JSON, and the text people read.
struct TemperatureSensor
{
    std::int32_t Snapshot::*member;
    const char *code; // "fan_tray", "power_supply"
    const char *text; // "fan tray", "power supply"
};
constexpr std::size_t kTemperatureCount = 2;
extern const std::array<TemperatureSensor, kTemperatureCount> kTemperatureSensors;

} // namespace cv4870mon

#endif
