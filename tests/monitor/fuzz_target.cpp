// parseTarget on any bytes: never crashes, and whatever it accepts is a
// single word of printable ASCII that fits a VISA resource buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cv4870mon/target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const cv4870mon::TargetResult r = cv4870mon::parseTarget(text);
    if (r.ok == r.error.empty() && (!r.ok || r.resource.size() <= 255)) {
        for (char c : r.resource) {
            if (c <= ' ' || c >= 0x7f)
                std::abort();
        }
        return 0;
    }
    std::abort();
}
