// The probe's target text and the allow-list on arbitrary bytes: the
// parsers never crash, a target passes a block or a domain only when the
// host the VISA library would connect to lies inside, and a list built from
// one entry admits that entry.
#include "../target/reached.h"
#include "allowlist.h"
#include "cv4870mon/target.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const cv4870mon::TargetResult target = cv4870mon::parseTarget(text);
    if (target.ok) {
        cv4870exp::AllowList block, domain;
        block.add("10.20.1.0/24");
        domain.add("*.racks.lab");
        cvvisa::SocketRsrc r;
        if (cvvisa::parseSocketRsrc(target.resource.c_str(), &r) != VI_SUCCESS ||
            !visaReachesJudgedHost(r, target.target.host))
            abort();
        const cvtarget::Host &host = target.target.host;
        if (block.allows(target.target) &&
            (host.kind != cvtarget::HostKind::Ipv4 || host.bytes[0] != 10 || host.bytes[1] != 20 || host.bytes[2] != 1))
            abort();
        if (domain.allows(target.target) &&
            (host.text.size() <= 10 || host.text.compare(host.text.size() - 10, 10, ".racks.lab") != 0))
            abort();
    }

    cv4870exp::AllowList one;
    cvtarget::Target t;
    if (one.add(text) && cvtarget::parseTarget(text, &t) && !one.allows(t))
        abort();
    return 0;
}
