// The TARGET argument of the command-line tools.
#include "cv4870mon/target.h"

namespace cv4870mon {

TargetResult parseTarget(std::string_view text)
{
    TargetResult r;
    r.ok = cvtarget::parseTarget(text, &r.target, &r.error);
    if (r.ok)
        r.resource = r.target.resource();
    return r;
}

std::string socketEndpoint(const std::string &resource)
{
    cvtarget::Target t;
    return cvtarget::parseResource(resource, &t) ? t.key() : resource;
}

} // namespace cv4870mon
