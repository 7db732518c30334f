// What cv4870ctl prints: the status table, the plugin line with its
// performance data, and the rows of a watch log.
#ifndef CV4870CTL_REPORT_H
#define CV4870CTL_REPORT_H

#include <string>

#include "cv4870mon/events.h"
#include "cv4870mon/health.h"
#include "cv4870mon/snapshot.h"

namespace cv4870ctl {

// Aligned human table of one snapshot with units and a health column.
std::string statusTable(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health);

// One monitoring-plugin line: "CV4870 OK - ... | perfdata".
std::string pluginLine(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health,
                       const cv4870mon::Thresholds &thresholds);

// One line for an event as watch prints it: "<time>  <severity>  <text>".
std::string eventLine(const cv4870mon::Event &event);

// CSV log: one header row, then one row per snapshot or event; the columns
// of the other kind stay empty.
std::string csvHeader();
std::string csvRow(const cv4870mon::Snapshot &snapshot, const cv4870mon::Health &health);
std::string csvRow(const cv4870mon::Event &event);

} // namespace cv4870ctl

#endif
