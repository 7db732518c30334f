// What cv4870ctl prints: the status table, the plugin line with its
// performance data, and the rows of a watch log.
#ifndef CV4870CTL_REPORT_H
#define CV4870CTL_REPORT_H

#include <string>

#include <nlohmann/json.hpp>

#include "cv4870mon/events.h"
#include "cv4870mon/health.h"
#include "cv4870mon/snapshot.h"

namespace cv4870ctl {

// Aligned human table of one snapshot with units and a health column.
std::string statusTable(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health);

// One monitoring-plugin line: "CV4870 OK - ... | perfdata".
std::string pluginLine(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health,
                       const cv4870mon::Thresholds &thresholds);
// The line without a reading: "CV4870 CRITICAL - <text>" ('|' in text
// replaced, so that it never starts performance data).
std::string pluginFailureLine(const std::string &state, const std::string &text);

// A Prometheus file-based service discovery file: one group per mainframe
// found ({"resource", "description", "power_supply_serial",
// "fan_tray_serial"}), its target as host:port.
nlohmann::json serviceDiscovery(const nlohmann::json &mainframes);

// One line for an event as watch prints it: "<time>  <severity>  <text>".
std::string eventLine(const cv4870mon::Event &event);

// CSV log: one header row, then one row per snapshot or event; the columns
// of the other kind stay empty.
std::string csvHeader();
std::string csvRow(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health);
std::string csvRow(const cv4870mon::Event &event);

} // namespace cv4870ctl

#endif
