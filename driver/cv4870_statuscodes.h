// Every status of the driver's own (cv4870.h) with its text: the one table
// behind cv4870_error_message. Mainframe errors are named apart, from the
// mainframe's code and text. Internal to the driver; the tests walk it.
#ifndef CV4870_STATUSCODES_H
#define CV4870_STATUSCODES_H

#include "cv4870.h"

#define CV4870_STATUS_LIST(X)                                                                                          \
    X(VI_WARN_NSUP_ID_QUERY, "Identification query not supported")                                                     \
    X(VI_WARN_NSUP_RESET, "Reset not supported")                                                                       \
    X(VI_WARN_NSUP_SELF_TEST, "Self-test not supported")                                                               \
    X(VI_WARN_NSUP_ERROR_QUERY, "Error query not supported")                                                           \
    X(VI_WARN_NSUP_REV_QUERY, "Instrument revision query not supported without a session")                             \
    X(VI_ERROR_PARAMETER1, "Parameter 1 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER2, "Parameter 2 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER3, "Parameter 3 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER4, "Parameter 4 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER5, "Parameter 5 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER6, "Parameter 6 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER7, "Parameter 7 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_PARAMETER8, "Parameter 8 invalid (out of range or null pointer)")                                       \
    X(VI_ERROR_FAIL_ID_QUERY, "Identification query failed: the instrument is not a Corvane Ltd. 4870")                \
    X(VI_ERROR_INV_RESPONSE, "Invalid or unexpected response from the mainframe")                                      \
    X(CV4870_WARN_TEXT_TRUNCATED, "Text from the mainframe was cut to fit the buffer")

#endif // CV4870_STATUSCODES_H
