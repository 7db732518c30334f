// The failure classification.
#include "cv4870.h"
#include "cv4870mon/failure.h"
#include "cv4870mon/target.h"
#include "cv4870mon/text.h"

namespace cv4870mon {

namespace {

bool isMainframeError(ViStatus status)
{
    return status >= CV4870_ERROR_MAINFRAME_OTHER && status <= CV4870_ERROR_SCPI_BASE - CV4870_SCPI_CODE_MIN;
}

} // namespace

const std::array<FailureReason, 8> kFailureReasons = {
    FailureReason::Refused, FailureReason::Timeout,  FailureReason::Unreachable, FailureReason::Name,
    FailureReason::Closed,  FailureReason::Protocol, FailureReason::Mainframe,   FailureReason::Other,
};

const char *failureReasonName(FailureReason reason)
{
    switch (reason) {
    case FailureReason::None:
        return "none";
    case FailureReason::Refused:
        return "refused";
    case FailureReason::Timeout:
        return "timeout";
    case FailureReason::Unreachable:
        return "unreachable";
    case FailureReason::Name:
        return "name";
    case FailureReason::Closed:
        return "closed";
    case FailureReason::Protocol:
        return "protocol";
    case FailureReason::Mainframe:
        return "mainframe";
    case FailureReason::Other:
        return "other";
    }
    return "other";
}

Failure classifyFailure(ViStatus status, const std::string &resource)
{
    if (status >= 0)
        return {};
    ViStatus recorded = VI_SUCCESS;
    ViInt32 reason = CV_VISA_FAILURE_NONE;
    ViChar text[VI_FIND_BUFLEN] = {};
    cvvisa_lastFailure(&recorded, &reason, nullptr, text);
    if (recorded == status && reason != CV_VISA_FAILURE_NONE && text[0]) {
        switch (reason) {
        case CV_VISA_FAILURE_REFUSED:
            return {FailureReason::Refused, text};
        case CV_VISA_FAILURE_TIMEOUT:
            return {FailureReason::Timeout, text};
        case CV_VISA_FAILURE_UNREACHABLE:
            return {FailureReason::Unreachable, text};
        case CV_VISA_FAILURE_NAME:
            return {FailureReason::Name, text};
        case CV_VISA_FAILURE_CLOSED:
            return {FailureReason::Closed, text};
        default:
            return {FailureReason::Other, text};
        }
    }
    const std::string peer = socketEndpoint(resource);
    switch (status) {
    case VI_ERROR_TMO:
        return {FailureReason::Timeout, "no answer from " + peer + " before the deadline"};
    case VI_ERROR_CONN_LOST:
        return {FailureReason::Closed, "connection to " + peer + " lost"};
    case VI_ERROR_RSRC_NFOUND:
        return {FailureReason::Unreachable, "cannot connect to " + peer};
    case VI_ERROR_INV_RESPONSE:
        return {FailureReason::Protocol, "the answer from " + peer + " is not a mainframe reply"};
    case VI_ERROR_FAIL_ID_QUERY:
        return {FailureReason::Protocol, peer + " does not identify as a 4870 mainframe"};
    default:
        if (isMainframeError(status))
            return {FailureReason::Mainframe, "mainframe at " + peer + ": " + statusText(status)};
        return {FailureReason::Other, peer + ": " + statusText(status)};
    }
}

} // namespace cv4870mon
