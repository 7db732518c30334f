// parseTarget on any bytes: never crashes, and whatever it accepts is a
// resource string the VISA library opens, to the address judged, with the
// same key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "../target/reached.h"
#include "cv4870mon/target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const cv4870mon::TargetResult r = cv4870mon::parseTarget(text);
    if (r.ok != r.error.empty())
        std::abort();
    if (!r.ok)
        return 0;
    cvvisa::SocketRsrc visa;
    cvtarget::Target again;
    if (r.resource.size() > 255 || cvvisa::parseSocketRsrc(r.resource.c_str(), &visa) != VI_SUCCESS ||
        !visaReachesJudgedHost(visa, r.target.host) || !cvtarget::parseResource(r.resource, &again) ||
        again.key() != r.target.key())
        std::abort();
    return 0;
}
