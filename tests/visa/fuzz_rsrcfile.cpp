/* Resource-file parser on arbitrary text (parsing only, nothing is probed):
 * never crashes, every accepted entry is within its limits. */
#include "rsrcfile.h"
#include "rsrcname.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    cvvisa::ResourceConfig config;
    cvvisa::parseResourceConfig(std::string(reinterpret_cast<const char *>(data), size), &config);
    for (const std::string &name : config.names)
        if (name.empty() || name.size() > cvvisa::kMaxRsrcNameLen)
            abort();
    std::uint64_t total = 0;
    for (const cvvisa::ScanRange &r : config.scans) {
        if (r.first > r.last || r.port == 0 || r.port > 65535)
            abort();
        total += std::uint64_t(r.last) - r.first + 1;
    }
    if (total > cvvisa::kMaxScanAddresses)
        abort();
    return 0;
}
