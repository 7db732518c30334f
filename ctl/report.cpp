// Text, plugin and CSV forms of snapshots and events.
#include <cstdio>
#include <string>
#include <vector>

#include "cv4870.h"
#include "cv4870mon/json.h"
#include "cv4870mon/target.h"
#include "cv4870mon/text.h"
#include "report.h"

namespace cv4870ctl {

using namespace cv4870mon;

namespace {

std::string upper(std::string text)
{
    for (char &c : text)
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return text;
}

// The severity of the problem of this kind and subject, "ok" without one.
std::string healthOf(const Health &health, ProblemKind kind, std::size_t subject = 0)
{
    const Problem *p = health.find(kind, subject);
    return p ? severityName(p->severity) : "ok";
}

std::size_t lineIndex(bool StatusLines::*member)
{
    for (std::size_t i = 0; i < kFailureLines.size(); ++i) {
        if (kFailureLines[i].member == member)
            return i;
    }
    return kFailureLines.size();
}

// Rows of cells, printed with each column as wide as its widest cell.
std::string table(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<std::size_t> width;
    for (const auto &row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string csvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

constexpr std::size_t kSnapshotColumns = 6 + 3 * kOutputCount + 1 + kFanCount + 2 + 1;

} // namespace

std::string statusTable(const Snapshot &s, const Health &health)
{
    const Identity &id = s.identity;
    std::string out = table({
        {"Resource", id.resource},
        {"Description", id.description},
        {"Serial numbers",
         "power supply " + std::to_string(id.powerSupplySerial) + ", fan tray " + std::to_string(id.fanTraySerial)},
        {"Firmware", id.firmwareRevision},
        {"Time", isoTime(s.time)},
        {"Health", upper(severityName(health.severity))},
    });
    for (const Problem &p : health.problems)
        out += "  " + std::string(severityName(p.severity)) + ": " + p.text + "\n";

    std::vector<std::vector<std::string>> rows = {{"Status line", "State", "Health"}};
    rows.push_back({"main power", s.status.powerOn ? "on" : "off", healthOf(health, ProblemKind::MainPowerOff)});
    for (std::size_t i = 0; i < kFailureLines.size(); ++i) {
        const FailureLine &line = kFailureLines[i];
        rows.push_back(
            {line.text, s.status.*line.member ? "SET" : "clear", healthOf(health, ProblemKind::StatusLine, i)});
    }
    out += "\n" + table(rows);

    rows = {{"Output", "Voltage", "Current", "State", "Health"}};
    for (std::size_t i = 0; i < kOutputCount; ++i) {
        const Output &o = s.outputs[i];
        rows.push_back({kOutputNames[i], formatNumber(o.voltageVolts, 3, true) + " V",
                        formatNumber(o.currentAmperes, 3) + " A", o.ok ? "good" : "BAD",
                        healthOf(health, ProblemKind::Output, i)});
    }
    out += "\n" + table(rows);

    rows = {{"Fan", "Speed", "Health"}};
    rows.push_back({"nominal", std::to_string(s.fanNominalRpm) + " rpm", ""});
    for (std::size_t i = 0; i < kFanCount; ++i)
        rows.push_back({"fan " + std::to_string(i + 1), std::to_string(s.fanRpm[i]) + " rpm",
                        healthOf(health, ProblemKind::StatusLine, lineIndex(&StatusLines::fanFail))});
    out += "\n" + table(rows);

    rows = {{"Temperature", "Value", "Health"}};
    for (std::size_t i = 0; i < kTemperatureCount; ++i) {
        const TemperatureSensor &sensor = kTemperatureSensors[i];
        rows.push_back(
            {sensor.text, std::to_string(s.*sensor.member) + " C", healthOf(health, ProblemKind::Temperature, i)});
    }
    out += "\n" + table(rows);
    return out;
}

namespace {

// '|' would start the performance data.
std::string pluginText(std::string text)
{
    for (char &c : text)
        c = c == '|' ? '/' : c;
    return text;
}

// 'label'=value[uom];warn;crit;min;max, trailing empty fields left off.
std::string perfItem(const std::string &label, const std::string &value, const std::string &uom,
                     const std::string &warn = "", const std::string &crit = "", const std::string &min = "",
                     const std::string &max = "")
{
    std::string fields = ";" + warn + ";" + crit + ";" + min + ";" + max;
    while (!fields.empty() && fields.back() == ';')
        fields.pop_back();
    return "'" + label + "'=" + value + uom + fields;
}

} // namespace

std::string pluginLine(const Snapshot &s, const Health &health, const Thresholds &thresholds)
{
    std::string text;
    if (health.problems.empty()) {
        text = s.status.powerOn ? "main power on, 7 outputs good" : "main power off as expected";
        text += ", fans " + std::to_string(s.fanRpm[0]) + "/" + std::to_string(s.fanRpm[1]) + "/" +
                std::to_string(s.fanRpm[2]) + " rpm, fan tray " + std::to_string(s.fanTrayCelsius) +
                " C, power supply " + std::to_string(s.powerSupplyCelsius) + " C";
    } else {
        for (const Problem &p : health.problems)
            text += (text.empty() ? "" : ", ") + p.text;
    }
    const std::string warn = thresholds.warning ? thresholds.warning->text : "";
    const std::string crit = thresholds.critical ? thresholds.critical->text : "";
    std::vector<std::string> perf = {
        perfItem("fan_tray_temperature", std::to_string(s.fanTrayCelsius), "C", warn, crit),
        perfItem("power_supply_temperature", std::to_string(s.powerSupplyCelsius), "C", warn, crit),
        perfItem("main_power", s.status.powerOn ? "1" : "0", "", "", "", "0", "1"),
        perfItem("fan_nominal", std::to_string(s.fanNominalRpm), "", "", "", "0", std::to_string(CV4870_FAN_SPEED_MAX)),
    };
    for (std::size_t i = 0; i < kFanCount; ++i)
        perf.push_back(perfItem("fan" + std::to_string(i + 1), std::to_string(s.fanRpm[i]), "", "", "", "0"));
    for (std::size_t i = 0; i < kOutputCount; ++i)
        perf.push_back(
            perfItem(std::string(kOutputNames[i]) + " voltage", formatNumber(s.outputs[i].voltageVolts, 3), "V"));
    for (std::size_t i = 0; i < kOutputCount; ++i)
        perf.push_back(
            perfItem(std::string(kOutputNames[i]) + " current", formatNumber(s.outputs[i].currentAmperes, 3), "A"));
    std::string data;
    for (const std::string &item : perf)
        data += (data.empty() ? "" : " ") + item;
    return "CV4870 " + upper(severityName(health.severity)) + " - " + pluginText(text) + " | " + data;
}

std::string pluginFailureLine(const std::string &state, const std::string &text)
{
    return "CV4870 " + state + " - " + pluginText(text);
}

nlohmann::json serviceDiscovery(const nlohmann::json &mainframes)
{
    nlohmann::json groups = nlohmann::json::array();
    for (const nlohmann::json &m : mainframes) {
        const std::string resource = m.at("resource").get<std::string>();
        const std::string target = socketEndpoint(resource);
        groups.push_back({{"targets", {target}},
                          {"labels",
                           {{"resource", resource},
                            {"description", m.at("description")},
                            {"power_supply_serial", std::to_string(m.at("power_supply_serial").get<int>())},
                            {"fan_tray_serial", std::to_string(m.at("fan_tray_serial").get<int>())}}}});
    }
    return groups;
}

std::string eventLine(const Event &e)
{
    std::string severity = severityName(e.severity);
    severity.resize(8, ' ');
    return isoTime(e.time) + "  " + severity + "  " + e.text;
}

std::string csvHeader()
{
    std::string h = "time,record,resource,event,subject,severity,text,health,main_power_on,input_fail,output_fail,"
                    "fan_fail,sensor_fail,sys_fail";
    for (const char *name : kOutputNames)
        h += std::string(",") + name + "_voltage_volts," + name + "_current_amperes," + name + "_ok";
    h += ",fan_nominal_speed_rpm";
    for (std::size_t i = 0; i < kFanCount; ++i)
        h += ",fan" + std::to_string(i + 1) + "_speed_rpm";
    return h + ",fan_tray_temperature_celsius,power_supply_temperature_celsius";
}

std::string csvRow(const Snapshot &s, const Health &health)
{
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    std::string row =
        isoTime(s.time) + ",snapshot," + csvField(s.identity.resource) + ",,,,," + severityName(health.severity);
    for (bool b : {s.status.powerOn, s.status.inputFail, s.status.outputFail, s.status.fanFail, s.status.sensorFail,
                   s.status.sysFail})
        row += "," + flag(b);
    for (const Output &o : s.outputs)
        row += "," + formatNumber(o.voltageVolts, 3) + "," + formatNumber(o.currentAmperes, 3) + "," + flag(o.ok);
    row += "," + std::to_string(s.fanNominalRpm);
    for (std::int32_t rpm : s.fanRpm)
        row += "," + std::to_string(rpm);
    return row + "," + std::to_string(s.fanTrayCelsius) + "," + std::to_string(s.powerSupplyCelsius);
}

std::string csvRow(const Event &e)
{
    return isoTime(e.time) + ",event," + csvField(e.resource) + "," + eventKindName(e.kind) + "," +
           csvField(e.subject) + "," + severityName(e.severity) + "," + csvField(e.text) +
           std::string(kSnapshotColumns, ',');
}

} // namespace cv4870ctl
