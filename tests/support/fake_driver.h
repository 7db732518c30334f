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
    int nullInits = 0; // the next this many successful cv4870_init calls write 0 to *vi
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

// The calls logged as "fn(arg, arg)", or as "fn" alone.
std::vector<std::string> calls(bool withArgs = true);
void clearCalls();

// The next call of fn returns st (one entry per call, first in first out);
// when the queue is empty the persistent status applies (default 0).
void pushStatus(const std::string &fn, ViStatus st);
void setStatus(const std::string &fn, ViStatus st);
// Runs at the start of every call of fn (after logging, before returning).
void setHook(const std::string &fn, std::function<void()> hook);

Mainframe &mainframe();
// Resources that viFindRsrc lists, in this order (the expression is logged,
// not applied). An empty list makes viFindRsrc return VI_ERROR_RSRC_NFOUND.
std::vector<Resource> &resources();

// Handles of sessions opened by cv4870_init (1001, 1002, ...) and not yet
// closed, and the resource a session was opened on ("" if unknown).
std::vector<ViSession> openSessions();
std::string resourceOf(ViSession vi);

} // namespace fakedrv

#endif // FAKE_DRIVER_H
