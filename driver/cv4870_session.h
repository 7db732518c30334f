// Sessions and the one-round-trip exchange of the cv4870 driver. Internal.
#ifndef CV4870_SESSION_H
#define CV4870_SESSION_H

#include <functional>
#include <string>
#include <string_view>

#include "cv4870.h"
#include "cv4870_reply.h"

namespace cv4870drv {

// Keeps the resource manager opened for session `vi` until it is closed.
void addSession(ViSession vi, ViSession rm);
// Forgets `vi` and closes it and its resource manager. VI_ERROR_INV_OBJECT
// for a session this driver did not open.
ViStatus closeSession(ViSession vi);

// Decodes a query's response unit; VI_ERROR_INV_RESPONSE when it does not
// decode, which marks the session out of step like any reply not in shape.
using ResponseDecoder = std::function<ViStatus(std::string_view response)>;

// One round trip: sends ":SYST:TAG? <tag>;*CLS;<command>;:SYST:ERR?" and
// reads the reply line that starts with that tag (see cv4870_session.cpp).
// On VI_SUCCESS, `reply.response` points into `line` (queries) and
// `decode`, if given, has accepted it. A mainframe error comes back as its
// status, and its text is remembered for cv4870_error_message. I/O failures
// pass the VISA status through.
ViStatus exchange(ViSession vi, std::string_view command, bool query, std::string &line, Reply &reply,
                  const ResponseDecoder &decode = {});

// The last text the mainframe sent for the status of a mainframe error.
void rememberMainframeError(ViStatus status, ViInt32 code, std::string_view text);
// Writes the text for a driver or mainframe status; false if it is neither.
bool driverStatusText(ViStatus status, char *buf, std::size_t cap);

} // namespace cv4870drv

#endif // CV4870_SESSION_H
