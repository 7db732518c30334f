// JSON of snapshots and events; the schema is documented in docs/cv4870ctl.md.
#include <cstdio>
#include <ctime>

#include "cv4870mon/json.h"

namespace cv4870mon {

using nlohmann::json;

std::string isoTime(Clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    auto seconds = static_cast<std::time_t>(ms / 1000);
    long millis = static_cast<long>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

json toJson(const Snapshot &s, const Health &health)
{
    json outputs = json::array();
    for (std::size_t i = 0; i < kOutputCount; ++i) {
        outputs.push_back({{"name", kOutputNames[i]},
                           {"nominal_voltage_volts", kNominalVolts[i]},
                           {"voltage_volts", s.outputs[i].voltageVolts},
                           {"current_amperes", s.outputs[i].currentAmperes},
                           {"ok", s.outputs[i].ok}});
    }
    json problems = json::array();
    for (const Problem &p : health.problems)
        problems.push_back({{"severity", severityName(p.severity)}, {"code", p.code()}, {"text", p.text}});
    return {
        {"schema_version", kSchemaVersion},
        {"type", "snapshot"},
        {"time", isoTime(s.time)},
        {"resource", s.identity.resource},
        {"identity",
         {{"description", s.identity.description},
          {"firmware_revision", s.identity.firmwareRevision},
          {"power_supply_serial", s.identity.powerSupplySerial},
          {"fan_tray_serial", s.identity.fanTraySerial}}},
        {"status",
         {{"main_power_on", s.status.powerOn},
          {"input_fail", s.status.inputFail},
          {"output_fail", s.status.outputFail},
          {"fan_fail", s.status.fanFail},
          {"sensor_fail", s.status.sensorFail},
          {"sys_fail", s.status.sysFail}}},
        {"outputs", outputs},
        {"fans", {{"nominal_speed_rpm", s.fanNominalRpm}, {"speed_rpm", s.fanRpm}}},
        {"temperatures",
         {{"fan_tray_temperature_celsius", s.fanTrayCelsius},
          {"power_supply_temperature_celsius", s.powerSupplyCelsius}}},
        {"health", {{"state", severityName(health.severity)}, {"problems", problems}}},
    };
}

json toJson(const Event &e)
{
    json j = {
        {"schema_version", kSchemaVersion},
        {"type", "event"},
        {"time", isoTime(e.time)},
        {"resource", e.resource},
        {"event", eventKindName(e.kind)},
        {"subject", e.subject},
        {"severity", severityName(e.severity)},
        {"text", e.text},
    };
    if (e.fromRpm)
        j["from_rpm"] = *e.fromRpm;
    if (e.toRpm)
        j["to_rpm"] = *e.toRpm;
    if (e.presentAtStart)
        j["present_at_start"] = true;
    return j;
}

json toJson(const Failure &failure)
{
    return {{"reason", failureReasonName(failure.reason)}, {"message", failure.message}};
}

} // namespace cv4870mon
