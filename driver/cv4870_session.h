// Sessions and the one-round-trip exchange of the cv4870 driver. Internal.
#ifndef CV4870_SESSION_H
#define CV4870_SESSION_H

#include <string>
#include <string_view>
#include <type_traits>

#include "cv4870.h"
#include "cv4870_reply.h"

namespace cv4870drv {

// Keeps the resource manager opened for session `vi` until it is closed.
void addSession(ViSession vi, ViSession rm);
// Forgets `vi` and closes it and its resource manager. VI_ERROR_INV_OBJECT
// for a session this driver did not open.
ViStatus closeSession(ViSession vi);

// A reference to the decoder of a query's response unit, which exchange()
// calls while it holds the session. The decoder returns
// VI_ERROR_INV_RESPONSE when the response does not decode, which marks the
// session out of step like any reply not in shape, or another status for
// the call. It is called, never copied: the callable must outlive the call.
class ResponseDecoder
{
public:
    ResponseDecoder() = default;
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, ResponseDecoder>>>
    ResponseDecoder(const F &f) // implicit: a lambda is passed as is
        : obj_(&f)
        , call_([](const void *obj, std::string_view response) { return (*static_cast<const F *>(obj))(response); })
    {}
    explicit operator bool() const { return call_ != nullptr; }
    ViStatus operator()(std::string_view response) const { return call_(obj_, response); }

private:
    const void *obj_ = nullptr;
    ViStatus (*call_)(const void *, std::string_view) = nullptr;
};

// One round trip: sends ":SYST:TAG? <tag>;*CLS;<command>;:SYST:ERR?" and
// reads the reply line that starts with that tag (see cv4870_session.cpp).
// For a query, `decode` (if given) sees the response unit and its status is
// the call's. A mainframe error comes back as its status, and its text is
// remembered for cv4870_error_message. I/O failures pass the VISA status
// through.
ViStatus exchange(ViSession vi, std::string_view command, bool query, ResponseDecoder decode = {});

// The last text the mainframe sent for the status of a mainframe error.
void rememberMainframeError(ViStatus status, ViInt32 code, std::string_view text);
// Writes the text for a driver or mainframe status; false if it is neither.
bool driverStatusText(ViStatus status, char *buf, std::size_t cap);

} // namespace cv4870drv

#endif // CV4870_SESSION_H
