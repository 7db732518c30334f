/* cvvisa_lastFailure: one record per thread, written by the calls that
 * connect, read and write. */
#include "failure.h"
#include "objects.h"

#include <cerrno>

namespace cvvisa {

namespace {

struct Failure
{
    ViStatus status = VI_SUCCESS;
    ViInt32 reason = CV_VISA_FAILURE_NONE;
    int sysError = 0;
    std::string text;
};

thread_local Failure lastFailure;

} // namespace

void clearFailure()
{
    if (lastFailure.status != VI_SUCCESS) {
        lastFailure.status = VI_SUCCESS;
        lastFailure.reason = CV_VISA_FAILURE_NONE;
        lastFailure.sysError = 0;
        lastFailure.text.clear();
    }
}

void setFailure(ViStatus status, ViInt32 reason, int sysError, const std::string &text)
{
    lastFailure.status = status;
    lastFailure.reason = reason;
    lastFailure.sysError = sysError;
    lastFailure.text = text;
}

ViInt32 failureReasonOfErrno(int err)
{
    switch (err) {
    case ECONNREFUSED:
        return CV_VISA_FAILURE_REFUSED;
    case ETIMEDOUT:
        return CV_VISA_FAILURE_TIMEOUT;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case EADDRNOTAVAIL:
        return CV_VISA_FAILURE_UNREACHABLE;
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case ECONNABORTED:
        return CV_VISA_FAILURE_CLOSED;
    default:
        return CV_VISA_FAILURE_SYSTEM;
    }
}

std::string endpointText(const std::string &host, unsigned port)
{
    const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace cvvisa

extern "C" ViStatus cvvisa_lastFailure(ViPStatus status, ViPInt32 reason, ViPInt32 sysError, ViChar desc[])
{
    const cvvisa::Failure &f = cvvisa::lastFailure;
    if (status)
        *status = f.status;
    if (reason)
        *reason = f.reason;
    if (sysError)
        *sysError = f.sysError;
    if (desc)
        cvvisa::copyOut(desc, f.text);
    return VI_SUCCESS;
}
