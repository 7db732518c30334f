// The metrics of one reading of a mainframe, written from the monitoring
// core's tables: failure lines, outputs, fans and temperature sensors.
#ifndef CV4870_EXPORTER_COLLECT_H
#define CV4870_EXPORTER_COLLECT_H

#include "exposition.h"
#include "cv4870mon/snapshot.h"

namespace cv4870exp {

// Every family of a good reading but cv4870_up and the probe's duration.
void writeReading(Families &w, const cv4870mon::Snapshot &s);

} // namespace cv4870exp

#endif
