/* Ostrel 4870 VXI mainframe instrument driver (VXIplug&play style).
 *
 * Every function returns a ViStatus: 0 success, negative error, positive
 * warning. Every function but cv4870_init takes the session first; the
 * session is a VISA session as well, so viGetAttribute works on it.
 * Power-supply outputs are always passed in the order
 * +24 V, +12 V, +5 V, -2 V, -5.2 V, -12 V, -24 V. */
#ifndef CV4870_H
#define CV4870_H

#include "visa.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Common instrument-driver codes */
#define VI_WARN_NSUP_ID_QUERY ((ViStatus)0x3FFC0101L)
#define VI_WARN_NSUP_RESET ((ViStatus)0x3FFC0102L)
#define VI_WARN_NSUP_SELF_TEST ((ViStatus)0x3FFC0103L)
#define VI_WARN_NSUP_ERROR_QUERY ((ViStatus)0x3FFC0104L)
#define VI_WARN_NSUP_REV_QUERY ((ViStatus)0x3FFC0105L)
#define VI_ERROR_PARAMETER1 (_VI_ERROR + 0x3FFC0001L)
#define VI_ERROR_PARAMETER2 (_VI_ERROR + 0x3FFC0002L)
#define VI_ERROR_PARAMETER3 (_VI_ERROR + 0x3FFC0003L)
#define VI_ERROR_PARAMETER4 (_VI_ERROR + 0x3FFC0004L)
#define VI_ERROR_PARAMETER5 (_VI_ERROR + 0x3FFC0005L)
#define VI_ERROR_PARAMETER6 (_VI_ERROR + 0x3FFC0006L)
#define VI_ERROR_PARAMETER7 (_VI_ERROR + 0x3FFC0007L)
#define VI_ERROR_PARAMETER8 (_VI_ERROR + 0x3FFC0008L)
#define VI_ERROR_FAIL_ID_QUERY (_VI_ERROR + 0x3FFC0011L)
#define VI_ERROR_INV_RESPONSE (_VI_ERROR + 0x3FFC0012L)

/* Driver-specific ranges */
#define VI_INSTR_WARNING_OFFSET ((ViStatus)0x3FFC0900L)
#define VI_INSTR_ERROR_OFFSET (_VI_ERROR + 0x3FFC0900L)

/* Driver warnings (positive). A text the mainframe sent (description,
 * firmware revision) was longer than the caller's buffer and was cut to fit;
 * the buffer still holds a NUL-terminated text. */
#define CV4870_WARN_TEXT_TRUNCATED (VI_INSTR_WARNING_OFFSET + 0x01L)

/* Errors the mainframe reports through SYSTem:ERRor? come back as negative
 * statuses in the instrument range:
 *   device-specific code n (1..1023):   CV4870_ERROR_DEVICE_BASE + n
 *   SCPI code n (-1..-767):             CV4870_ERROR_SCPI_BASE - n
 *   any other code:                     CV4870_ERROR_MAINFRAME_OTHER
 * cv4870_error_message names the mainframe's code and its text, e.g.
 * "Mainframe error -222: Data out of range". */
#define CV4870_ERROR_MAINFRAME_OTHER (VI_INSTR_ERROR_OFFSET + 0x000L)
#define CV4870_ERROR_DEVICE_BASE (VI_INSTR_ERROR_OFFSET + 0x000L)
#define CV4870_ERROR_SCPI_BASE (VI_INSTR_ERROR_OFFSET + 0x400L)
#define CV4870_DEVICE_CODE_MAX 1023
#define CV4870_SCPI_CODE_MIN (-767)

/* Revision of this driver, as cv4870_revision_query reports it */
#define CV4870_DRIVER_REVISION "1.2.0"

/* I/O timeout (ms) that cv4870_init sets on the session, and the connect
 * timeout it passes to viOpen */
#define CV4870_TIMEOUT_MS 2000

/* Buffer sizes the callers hand in */
#define CV4870_ERROR_MESSAGE_BUFLEN 1024
#define CV4870_DESCRIPTION_BUFLEN 256
#define CV4870_REVISION_BUFLEN 256
#define CV4870_DRIVER_REVISION_BUFLEN 64

/* Nominal fan speed limits (0 switches the fans off) */
#define CV4870_FAN_SPEED_OFF 0
#define CV4870_FAN_SPEED_MIN 1200
#define CV4870_FAN_SPEED_MAX 3600

/* Every call on a session is one round trip: the driver sends
 * ":SYST:TAG? <tag>;*CLS;<command>;:SYST:ERR?" and reads one reply line (at
 * most 4096 bytes). Each session counts its tags up from a random start, and
 * a call returns VI_SUCCESS only with the reply line that starts with the
 * tag it sent; late or repeated replies to earlier lines (other tags) are
 * read away. Outputs are written only when the whole reply decodes; a null
 * output gives VI_ERROR_PARAMETERn (n = 1-based argument position, the
 * session is 1). Timeouts and a lost connection pass the VISA status through
 * (VI_ERROR_TMO, VI_ERROR_CONN_LOST); a line that is not a tagged reply, or
 * a tagged reply that does not decode, gives VI_ERROR_INV_RESPONSE. After a
 * failed exchange the next call first resynchronises the session (a lone tag
 * query, lines read away until its tag comes back), so it never takes a late
 * reply for its own; that call may take up to twice the session timeout.
 * Calls on different sessions may run on different threads. */

/* Opens a resource manager and a session on resourceName, sets the timeout
 * (CV4870_TIMEOUT_MS), LF termination and TCP_NODELAY, checks the maker and
 * model in *IDN? when idQuery is VI_TRUE (else VI_ERROR_FAIL_ID_QUERY) and
 * resets the mainframe when resetDevice is VI_TRUE. On any error nothing is
 * left open and *vi is VI_NULL. */
ViStatus cv4870_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean resetDevice, ViPSession vi);
/* Closes the session and the resource manager that cv4870_init opened. */
ViStatus cv4870_close(ViSession vi);
/* Text for any status into message[CV4870_ERROR_MESSAGE_BUFLEN]; vi is not
 * used (VI_NULL is fine). VI_WARN_UNKNOWN_STATUS for a status it does not
 * know, with "Unknown status 0x<hex>" as text. */
ViStatus cv4870_error_message(ViSession vi, ViStatus status, ViChar message[]);
/* Driver revision into driverRev (at least CV4870_DRIVER_REVISION_BUFLEN
 * bytes). With a null firmwareRev that is all, and no session is needed.
 * Otherwise the firmware revision (SYSTem:FIRMware?) goes into
 * firmwareRev[CV4870_REVISION_BUFLEN]; without a session firmwareRev is
 * emptied and VI_WARN_NSUP_REV_QUERY returned. */
ViStatus cv4870_revision_query(ViSession vi, ViChar driverRev[], ViChar firmwareRev[]);
ViStatus cv4870_getSerialNumber(ViSession vi, ViPInt32 psSerial, ViPInt32 fanSerial);
/* Module description into description[CV4870_DESCRIPTION_BUFLEN]: quotes
 * removed, control bytes replaced by '?', emptied on failure. */
ViStatus cv4870_getDescription(ViSession vi, ViChar description[]);
ViStatus cv4870_getStatus(ViSession vi, ViPBoolean powerOn, ViPBoolean inputFail, ViPBoolean outputFail,
                          ViPBoolean fanFail, ViPBoolean sensorFail, ViPBoolean sysFail);
ViStatus cv4870_getOutputVoltages(ViSession vi, ViPReal64 p24V, ViPReal64 p12V, ViPReal64 p5V, ViPReal64 m2V,
                                  ViPReal64 m5_2V, ViPReal64 m12V, ViPReal64 m24V);
ViStatus cv4870_getOutputCurrents(ViSession vi, ViPReal64 p24V, ViPReal64 p12V, ViPReal64 p5V, ViPReal64 m2V,
                                  ViPReal64 m5_2V, ViPReal64 m12V, ViPReal64 m24V);
ViStatus cv4870_getOutputStates(ViSession vi, ViPBoolean p24V, ViPBoolean p12V, ViPBoolean p5V, ViPBoolean m2V,
                                ViPBoolean m5_2V, ViPBoolean m12V, ViPBoolean m24V);
ViStatus cv4870_getFanSpeed(ViSession vi, ViPInt32 nominal, ViPInt32 fan1, ViPInt32 fan2, ViPInt32 fan3);
ViStatus cv4870_getTemperature(ViSession vi, ViPInt32 fanTray, ViPInt32 powerSupply);
/* nominal: CV4870_FAN_SPEED_OFF or CV4870_FAN_SPEED_MIN..MAX, else
 * VI_ERROR_PARAMETER2 and nothing is sent. */
ViStatus cv4870_setFanSpeed(ViSession vi, ViInt32 nominal);
ViStatus cv4870_setMainPowerState(ViSession vi, ViBoolean on);
ViStatus cv4870_setVXIsysReset(ViSession vi);
ViStatus cv4870_reset(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif /* CV4870_H */
