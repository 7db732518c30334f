// Texts from the driver, made fit for JSON, labels and terminals.
#ifndef CV4870MON_TEXT_H
#define CV4870MON_TEXT_H

#include <string>

#include "visa.h"

namespace cv4870mon {

// A text from the driver (Latin-1, control bytes already replaced) as
// UTF-8, as JSON and the exporter's labels need.
std::string utf8FromLatin1(const char *text);

// A number for tables and performance data, in the C locale: decimals
// after the point (shortest form when negative), a '+' for positives when
// sign is set. Magnitudes from 1e9 up in exponent form ("1e+308"), so no
// reading prints as hundreds of digits; NaN and infinities as "nan",
// "inf", "-inf".
std::string formatNumber(double value, int decimals = -1, bool sign = false);

// The driver's text for a status ("VISA: timeout ..."), never empty, UTF-8.
std::string statusText(ViStatus status);

} // namespace cv4870mon

#endif
