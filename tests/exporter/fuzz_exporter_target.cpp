// The probe's target text and the allow-list on arbitrary bytes: the
// parsers never crash, a target passes a block or a domain only when its
// host lies inside, and a list built from one entry admits that entry.
#include "allowlist.h"
#include "rsrcname.h"
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
        const bool parsed = cvvisa::parseSocketRsrc(target.resource.c_str(), &r) == VI_SUCCESS;
        std::string host = r.host;
        for (char &c : host)
            c = cvvisa::asciiLower(c);
        if (host.size() > 1 && host.back() == '.')
            host.pop_back();
        if (block.allows(target.resource) && (!parsed || host.compare(0, 8, "10.20.1.") != 0))
            abort();
        if (domain.allows(target.resource) &&
            (!parsed || host.size() <= 10 || host.compare(host.size() - 10, 10, ".racks.lab") != 0))
            abort();
    }

    cv4870exp::AllowList one;
    if (one.add(text) && cvvisa::isDottedIpv4(text) && !one.allows("TCPIP0::" + text + "::23::SOCKET"))
        abort();
    return 0;
}
