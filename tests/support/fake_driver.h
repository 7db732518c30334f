// Scripted double of the driver and VISA libraries for the GUI tests.
// Every cv4870_* and vi* call is logged with its arguments; statuses are
// scripted per function; the values the getters return live in mainframe().
#ifndef FAKE_DRIVER_H
#define FAKE_DRIVER_H

#include <functional>
#include <string>
#include <vector>

#include "cv4870.h"

namespace fakedrv {

struct Call
{
    std::string fn; // e.g. "cv4870_getStatus"
    std::vector<std::string> args; // inputs only, as text; outputs are not logged
    std::string text() const; // "fn(arg, arg)"
};

struct Mainframe
{
    ViBoolean pon = 1, inFail = 0, outFail = 0, fanFail = 0, senseFail = 0, sysFail = 0;
    ViReal64 volt[7] = {24.01, 12.0, 5.0, -2.0, -5.2, -12.0, -24.0};
    ViReal64 amp[7] = {1.5, 3.2, 10.4, 2.0, 8.1, 1.1, 0.7};
    ViBoolean outState[7] = {1, 1, 1, 1, 1, 1, 1};
    ViInt32 fanNom = 1800;
    ViInt32 fan[3] = {1790, 1805, 1812};
    ViInt32 fanTemp = 25, psTemp = 31;
    ViInt32 psSerial = 48701001, fanSerial = 48702002;
    std::string driverRev = "1.0.0-fake";
    std::string firmware = "A.01.00";
    std::string hostname = "mainframe.test"; // VI_ATTR_TCPIP_HOSTNAME of every session
    std::string errorText; // cv4870_error_message text; empty: "Fake error <status>"
};

struct Resource
{
    std::string name; // what viFindRsrc / viFindNext list
    ViStatus initStatus = VI_SUCCESS; // what cv4870_init returns for it
    std::string address; // VI_ATTR_TCPIP_ADDR of a session on it
    std::string description; // cv4870_getDescription of a session on it
};

// Clears the log, the scripts, the resources and the values.
void reset();

const std::vector<Call> &calls();
std::vector<std::string> callNames();
std::vector<std::string> callTexts();
int count(const std::string &fn);
void clearCalls();

// The next call of fn returns st (one entry per call, first in first out);
// when the queue is empty the persistent status applies (default 0).
void pushStatus(const std::string &fn, ViStatus st);
void setStatus(const std::string &fn, ViStatus st);
// Runs at the start of every call of fn (after logging, before returning).
void setHook(const std::string &fn, std::function<void()> hook);

Mainframe &mainframe();
void setErrorText(const std::string &text);

// Resources that viFindRsrc lists, in this order (the expression is logged,
// not applied). An empty list makes viFindRsrc return VI_ERROR_RSRC_NFOUND.
std::vector<Resource> &resources();

// Value that cv4870_init writes to *vi. By default each init writes a new
// handle (1001, 1002, ...); setInitSession(0) makes the next inits write 0.
void setInitSession(ViSession value);
void clearInitSession();
// Handles of sessions opened by cv4870_init and not yet closed.
std::vector<ViSession> openSessions();
// Resource name a session was opened on ("" if unknown).
std::string resourceOf(ViSession vi);

} // namespace fakedrv

#endif // FAKE_DRIVER_H
