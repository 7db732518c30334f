/* The calling thread's last connection failure, behind cvvisa_lastFailure.
 * Internal to the VISA library. */
#ifndef CV_VISA_FAILURE_H
#define CV_VISA_FAILURE_H

#include "visa.h"

#include <string>

namespace cvvisa {

/* Forgets the thread's last failure (a call that succeeded). */
void clearFailure();
/* Records why the call now failing with status failed. */
void setFailure(ViStatus status, ViInt32 reason, int sysError, const std::string &text);
/* The reason an errno of connect, send or recv stands for. */
ViInt32 failureReasonOfErrno(int err);
/* "127.0.0.1:23", "[::1]:23" */
std::string endpointText(const std::string &host, unsigned port);

} // namespace cvvisa

#endif
