// cv4870ctl's report on made-up snapshots: the Health column of every kind
// of row when something is wrong, numbers no reading should print as
// hundreds of digits, and the service discovery file.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>

#include "cv4870mon/json.h"
#include "report.h"

using namespace cv4870mon;

namespace {

Snapshot healthy()
{
    Snapshot s;
    s.identity.resource = "TCPIP0::127.0.0.1::4870::SOCKET";
    s.status.powerOn = true;
    for (std::size_t i = 0; i < kOutputCount; ++i)
        s.outputs[i] = {kNominalVolts[i], 1.5, true};
    s.fanNominalRpm = 1800;
    s.fanRpm = {1790, 1800, 1810};
    s.fanTrayCelsius = 30;
    s.powerSupplyCelsius = 40;
    return s;
}

// The row of the table that starts with label, its cells split on runs of spaces.
std::string row(const std::string &table, const std::string &label)
{
    const std::regex line("(^|\n)(" + std::regex_replace(label, std::regex(R"([+.])"), R"(\$&)") + R"(  [^\n]*))");
    std::smatch m;
    return std::regex_search(table, m, line) ? std::regex_replace(m[2].str(), std::regex(" {2,}"), "|") : "";
}

} // namespace

TEST(Report, HealthColumnOfEveryFaultRow)
{
    Thresholds limits;
    limits.warning = parseRange("35").range;
    // fault, label of the row, the row as cells
    const std::tuple<std::function<void(Snapshot &)>, const char *, const char *> rows[] = {
        {[](Snapshot &) {}, "+5V", "+5V|+5.000 V|1.500 A|good|ok"},
        {[](Snapshot &s) { s.outputs[2].ok = false; }, "+5V", "+5V|+5.000 V|1.500 A|BAD|critical"},
        {[](Snapshot &s) { s.status.sysFail = true; }, "SysFail", "SysFail|SET|critical"},
        {[](Snapshot &s) { s.status.inputFail = true; }, "input fail", "input fail|SET|critical"},
        {[](Snapshot &s) { s.status.powerOn = false; }, "main power", "main power|off|warning"},
        {[](Snapshot &s) { s.status.fanFail = true, s.fanRpm[1] = 0; }, "fan 2", "fan 2|0 rpm|critical"},
        {[](Snapshot &s) { s.status.fanFail = true; }, "fan 3", "fan 3|1810 rpm|critical"},
        {[](Snapshot &) {}, "power supply", "power supply|40 C|warning"}, // above 35
        {[](Snapshot &) {}, "fan tray", "fan tray|30 C|ok"},
        {[](Snapshot &s) { s.outputs[0].voltageVolts = 1e308; }, "+24V", "+24V|+1e+308 V|1.500 A|good|ok"},
        {[](Snapshot &s) { s.outputs[6].currentAmperes = -3e12; }, "-24V", "-24V|-24.000 V|-3e+12 A|good|ok"},
    };
    for (const auto &[fault, label, cells] : rows) {
        Snapshot s = healthy();
        fault(s);
        const std::string table = cv4870ctl::statusTable(s, assessHealth(s, limits));
        EXPECT_EQ(row(table, label), cells) << table;
    }
}

TEST(Report, HugeReadingsStayReadableInPerfdataCsvAndJson)
{
    Snapshot s = healthy();
    s.outputs[0].voltageVolts = 1e308;
    s.outputs[1].currentAmperes = -2.5e15;
    const Health h = assessHealth(s);
    const std::string line = cv4870ctl::pluginLine(s, h, {});
    EXPECT_NE(line.find("'+24V voltage'=1e+308V"), std::string::npos) << line;
    EXPECT_NE(line.find("'+12V current'=-2.5e+15A"), std::string::npos) << line;
    EXPECT_NE(line.find("'fan1'=1790;;;0 "), std::string::npos) << line;
    EXPECT_LT(line.size(), 1000u);
    const std::string csv = cv4870ctl::csvRow(s, h);
    EXPECT_NE(csv.find(",1e+308,"), std::string::npos) << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), ','), 40);
    const nlohmann::json j = nlohmann::json::parse(toJson(s, h).dump());
    EXPECT_EQ(j["outputs"][0]["voltage_volts"].get<double>(), 1e308);
}

TEST(Report, ServiceDiscoveryGroupsOneTargetEach)
{
    const nlohmann::json found = nlohmann::json::parse(R"([
        {"resource": "TCPIP0::127.0.0.1::4870::SOCKET", "description": "Rack \"7\"", "power_supply_serial": 1,
         "fan_tray_serial": 2},
        {"resource": "TCPIP0::[::1]::23::SOCKET", "description": "", "power_supply_serial": 3, "fan_tray_serial": 4}
    ])");
    const nlohmann::json sd = cv4870ctl::serviceDiscovery(found);
    ASSERT_EQ(sd.size(), 2u);
    EXPECT_EQ(sd[0]["targets"], nlohmann::json::array({"127.0.0.1:4870"}));
    EXPECT_EQ(sd[1]["targets"], nlohmann::json::array({"[::1]:23"}));
    EXPECT_EQ(sd[0]["labels"]["description"], "Rack \"7\"");
    EXPECT_EQ(sd[0]["labels"]["power_supply_serial"], "1"); // label values are strings
    EXPECT_EQ(cv4870ctl::serviceDiscovery(nlohmann::json::array()), nlohmann::json::array());
}
