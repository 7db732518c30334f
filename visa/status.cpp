/* viStatusDesc: status value to text. */
#include "statuscodes.h"
#include "visa.h"

#include <cstdio>

namespace {

struct StatusText
{
    ViStatus status;
    const char *text;
};

#define CV_VISA_STATUS_ROW(code, text) {code, text},
const StatusText kStatusTexts[] = {CV_VISA_STATUS_LIST(CV_VISA_STATUS_ROW)};
#undef CV_VISA_STATUS_ROW

} // namespace

extern "C" ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[])
{
    (void)vi; /* the texts do not depend on the session */
    if (!desc)
        return VI_ERROR_USER_BUF;
    for (const StatusText &row : kStatusTexts) {
        if (row.status == status) {
            snprintf(desc, VI_FIND_BUFLEN, "%s", row.text);
            return VI_SUCCESS;
        }
    }
    snprintf(desc, VI_FIND_BUFLEN, "Unknown status 0x%08lX.", (unsigned long)(ViUInt32)status);
    return VI_WARN_UNKNOWN_STATUS;
}
