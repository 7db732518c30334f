// parseRange on any bytes: never crashes; what it accepts has finite ends
// in order and keeps the text it was given.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cv4870mon/range.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const cv4870mon::RangeResult r = cv4870mon::parseRange(text);
    if (r.ok != r.error.empty())
        std::abort();
    if (!r.ok)
        return 0;
    const cv4870mon::Range &range = r.range;
    if (range.text != text || (range.start && !std::isfinite(*range.start)) ||
        (range.end && !std::isfinite(*range.end)) || (range.start && range.end && *range.start > *range.end))
        std::abort();
    if (range.start && range.end && range.alerts(*range.start / 2 + *range.end / 2) != range.inside)
        std::abort();
    (void)range.describe();
    return 0;
}
