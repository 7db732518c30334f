// Threshold ranges in the syntax of monitoring plugins (-w/-c):
//   "10"      alert outside 0..10        "10:"     alert below 10
//   "~:10"    alert above 10             "10:20"   alert outside 10..20
//   "@10:20"  alert inside 10..20 (ends included)
// Numbers are decimal with an optional sign, fraction and exponent, in the
// C locale; NaN and infinities are refused ("~" is the open lower end).
#ifndef CV4870MON_RANGE_H
#define CV4870MON_RANGE_H

#include <optional>
#include <string>
#include <string_view>

namespace cv4870mon {

struct Range
{
    std::optional<double> start; // none: "~", no lower end
    std::optional<double> end; // none: no upper end
    bool inside = false; // "@": alert inside instead of outside
    std::string text; // as given, for performance data

    // True when value is to be alerted on; a NaN value always is.
    bool alerts(double value) const;
    // "0..45", "10..", "..10", with "inside " or "outside " in front.
    std::string describe() const;
};

struct RangeResult
{
    bool ok = false;
    Range range; // when ok
    std::string error; // when not: what is wrong, for the user
};

RangeResult parseRange(std::string_view text);

} // namespace cv4870mon

#endif
