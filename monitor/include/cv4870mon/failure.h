// Why a reading or a command failed: one classification for every front
// end (cv4870ctl's text and JSON, the exporter's metrics), from the
// driver's status and what the VISA library recorded about the connection.
#ifndef CV4870MON_FAILURE_H
#define CV4870MON_FAILURE_H

#include <array>
#include <string>

#include "visa.h"

namespace cv4870mon {

enum class FailureReason {
    None, // no failure
    Refused, // nothing listens on the port: the host said so
    Timeout, // no connection, or no answer, before the deadline
    Unreachable, // no route to the network or host, host down
    Name, // the host name could not be resolved
    Closed, // the connection was closed or reset
    Protocol, // an answer that is not a reply of the mainframe protocol
    Mainframe, // the mainframe reported an error
    Other, // anything else: out of resources, a driver or library error
};

// Every reason but None, in declaration order (for label values known in advance).
extern const std::array<FailureReason, 8> kFailureReasons;

// "refused", "timeout", "unreachable", "name", "closed", "protocol",
// "mainframe", "other"; "none" for None.
const char *failureReasonName(FailureReason reason);

struct Failure
{
    FailureReason reason = FailureReason::None;
    std::string message; // for people: "connection refused by 127.0.0.1:23"

    explicit operator bool() const { return reason != FailureReason::None; }
};

// Classifies status, the negative status a driver or VISA call returned
// on this thread. What the VISA library recorded about the thread's last
// connect, read or write is used when it belongs to this status; else the
// status alone decides and the message names the resource's host:port.
// Call it on the thread that made the failing call, before any other VISA
// call there.
Failure classifyFailure(ViStatus status, const std::string &resource);

} // namespace cv4870mon

#endif
