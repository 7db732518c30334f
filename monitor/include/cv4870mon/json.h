// JSON of snapshots and events (schema in docs/cv4870ctl.md). Bump
// kSchemaVersion when a field changes meaning or goes away; new fields do
// not change it.
#ifndef CV4870MON_JSON_H
#define CV4870MON_JSON_H

#include <string>

#include <nlohmann/json.hpp>

#include "cv4870mon/events.h"
#include "cv4870mon/failure.h"
#include "cv4870mon/health.h"
#include "cv4870mon/snapshot.h"

namespace cv4870mon {

constexpr int kSchemaVersion = 1;

// "2026-01-31T23:59:59.123Z"
std::string isoTime(Clock::time_point time);

nlohmann::json toJson(const Snapshot &snapshot, const Health &health);
nlohmann::json toJson(const Event &event);
// {"reason": "refused", "message": "connection refused by 127.0.0.1:23"}
nlohmann::json toJson(const Failure &failure);

} // namespace cv4870mon

#endif
