/* VISA library for TCP/IP SOCKET resources: the standard's signatures,
 * attributes and status values (the subset this library implements).
 * Every function declared here is exported by the shared library
 * libcvvisa.so.1, and only these. */
#ifndef VISA_H
#define VISA_H

#include "visatype.h"

#ifdef __cplusplus
extern "C" {
#endif

#define _VI_ERROR ((ViStatus)0x80000000)

#define VI_FIND_BUFLEN 256
#define VI_TMO_IMMEDIATE 0UL
#define VI_TMO_INFINITE 0xFFFFFFFFUL
#define VI_NO_LOCK 0
#define VI_EXCLUSIVE_LOCK 1
#define VI_INTF_GPIB 1
#define VI_INTF_VXI 2
#define VI_INTF_GPIB_VXI 3
#define VI_INTF_ASRL 4
#define VI_INTF_TCPIP 6
#define VI_INTF_USB 7

#define VI_PROT_NORMAL 1

/* viFlush masks */
#define VI_READ_BUF 1
#define VI_WRITE_BUF 2
#define VI_READ_BUF_DISCARD 4
#define VI_WRITE_BUF_DISCARD 8
#define VI_IO_IN_BUF 16
#define VI_IO_OUT_BUF 32
#define VI_IO_IN_BUF_DISCARD 64
#define VI_IO_OUT_BUF_DISCARD 128

/* Events and their mechanisms */
#define VI_EVENT_IO_COMPLETION ((ViEventType)0x3FFF2009UL)
#define VI_EVENT_SERVICE_REQ ((ViEventType)0x3FFF200BUL)
#define VI_EVENT_EXCEPTION ((ViEventType)0xBFFF200EUL)
#define VI_ALL_ENABLED_EVENTS ((ViEventType)0x3FFF7FFFUL)
#define VI_QUEUE 1
#define VI_HNDLR 2
#define VI_SUSPEND_HNDLR 4
#define VI_ALL_MECH 0xFFFF

/* Attributes */
#define VI_ATTR_RSRC_CLASS ((ViAttr)0xBFFF0001UL)
#define VI_ATTR_RSRC_NAME ((ViAttr)0xBFFF0002UL)
#define VI_ATTR_RSRC_IMPL_VERSION ((ViAttr)0x3FFF0003UL)
#define VI_ATTR_RSRC_LOCK_STATE ((ViAttr)0x3FFF0004UL)
#define VI_ATTR_SEND_END_EN ((ViAttr)0x3FFF0016UL)
#define VI_ATTR_TERMCHAR ((ViAttr)0x3FFF0018UL)
#define VI_ATTR_TMO_VALUE ((ViAttr)0x3FFF001AUL)
#define VI_ATTR_IO_PROT ((ViAttr)0x3FFF001CUL)
#define VI_ATTR_SUPPRESS_END_EN ((ViAttr)0x3FFF0036UL)
#define VI_ATTR_TERMCHAR_EN ((ViAttr)0x3FFF0038UL)
#define VI_ATTR_RM_SESSION ((ViAttr)0x3FFF00C4UL)
#define VI_ATTR_INTF_TYPE ((ViAttr)0x3FFF0171UL)
#define VI_ATTR_RSRC_MANF_NAME ((ViAttr)0xBFFF0174UL)
#define VI_ATTR_RSRC_MANF_ID ((ViAttr)0x3FFF0175UL)
#define VI_ATTR_INTF_NUM ((ViAttr)0x3FFF0176UL)
#define VI_ATTR_TCPIP_ADDR ((ViAttr)0xBFFF0195UL)
#define VI_ATTR_TCPIP_HOSTNAME ((ViAttr)0xBFFF0196UL)
#define VI_ATTR_TCPIP_PORT ((ViAttr)0x3FFF0197UL)
#define VI_ATTR_TCPIP_NODELAY ((ViAttr)0x3FFF019AUL)
#define VI_ATTR_TCPIP_KEEPALIVE ((ViAttr)0x3FFF019BUL)

/* Vendor-specific attributes of this library (cv-visa), on a resource
 * manager: the resource file its last viFindRsrc looked for (string), and
 * whether that search found and read it (ViBoolean). Before a search: the
 * file a search would look for now, and VI_FALSE. */
#define VI_ATTR_CV_RSRC_FILE ((ViAttr)0xBFFF4001UL)
#define VI_ATTR_CV_RSRC_FILE_READ ((ViAttr)0x3FFF4002UL)

/* Completion and warning codes */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_EVENT_DIS ((ViStatus)0x3FFF0003L)
#define VI_SUCCESS_QUEUE_EMPTY ((ViStatus)0x3FFF0004L)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005L)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006L)
#define VI_WARN_CONFIG_NLOADED ((ViStatus)0x3FFF0077L)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082L)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085L)

/* Error codes */
#define VI_ERROR_SYSTEM_ERROR (_VI_ERROR + 0x3FFF0000L)
#define VI_ERROR_INV_OBJECT (_VI_ERROR + 0x3FFF000EL)
#define VI_ERROR_INV_SESSION VI_ERROR_INV_OBJECT
#define VI_ERROR_RSRC_LOCKED (_VI_ERROR + 0x3FFF000FL)
#define VI_ERROR_INV_EXPR (_VI_ERROR + 0x3FFF0010L)
#define VI_ERROR_RSRC_NFOUND (_VI_ERROR + 0x3FFF0011L)
#define VI_ERROR_INV_RSRC_NAME (_VI_ERROR + 0x3FFF0012L)
#define VI_ERROR_INV_ACC_MODE (_VI_ERROR + 0x3FFF0013L)
#define VI_ERROR_TMO (_VI_ERROR + 0x3FFF0015L)
#define VI_ERROR_INV_EVENT (_VI_ERROR + 0x3FFF0026L)
#define VI_ERROR_INV_MECH (_VI_ERROR + 0x3FFF0027L)
#define VI_ERROR_NENABLED (_VI_ERROR + 0x3FFF002FL)
#define VI_ERROR_NSUP_ATTR (_VI_ERROR + 0x3FFF001DL)
#define VI_ERROR_NSUP_ATTR_STATE (_VI_ERROR + 0x3FFF001EL)
#define VI_ERROR_ATTR_READONLY (_VI_ERROR + 0x3FFF001FL)
#define VI_ERROR_INV_SETUP (_VI_ERROR + 0x3FFF003AL)
#define VI_ERROR_ALLOC (_VI_ERROR + 0x3FFF003CL)
#define VI_ERROR_INV_MASK (_VI_ERROR + 0x3FFF003DL)
#define VI_ERROR_IO (_VI_ERROR + 0x3FFF003EL)
#define VI_ERROR_NSUP_OPER (_VI_ERROR + 0x3FFF0067L)
#define VI_ERROR_RSRC_BUSY (_VI_ERROR + 0x3FFF0072L)
#define VI_ERROR_USER_BUF (_VI_ERROR + 0x3FFF0071L)
#define VI_ERROR_INV_PARAMETER (_VI_ERROR + 0x3FFF0078L)
#define VI_ERROR_CONN_LOST (_VI_ERROR + 0x3FFF00A6L)

/* The shared library is built with hidden symbols; these are its API. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Resource manager, search and sessions */
ViStatus viOpenDefaultRM(ViPSession vi);
ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi);
ViStatus viClose(ViObject vi);
ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]);
ViStatus viFindNext(ViFindList vi, ViChar desc[]);
ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum);
ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                       ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[]);
ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue);
ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]);

/* Message-based I/O */
ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus viBufRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt);
ViStatus viClear(ViSession vi);
ViStatus viFlush(ViSession vi, ViUInt16 mask);
ViStatus viReadSTB(ViSession vi, ViPUInt16 status);

/* Not provided by this library: see README.md for what each returns. */
ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context);
ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViPEventType outEventType,
                       ViPEvent outContext);
ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, ViConstKeyId requestedKey, ViChar accessKey[]);
ViStatus viUnlock(ViSession vi);
ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol);
ViStatus viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId);
ViStatus viTerminate(ViObject vi, ViUInt16 degree, ViJobId jobId);

/* Why a connection failed, as cvvisa_lastFailure reports it (cv-visa). */
#define CV_VISA_FAILURE_NONE 0
#define CV_VISA_FAILURE_REFUSED 1 /* the host answered that nothing listens on the port */
#define CV_VISA_FAILURE_TIMEOUT 2 /* no connection, or no data, before the timeout */
#define CV_VISA_FAILURE_UNREACHABLE 3 /* no route to the network or host, host down */
#define CV_VISA_FAILURE_NAME 4 /* the host name could not be resolved */
#define CV_VISA_FAILURE_CLOSED 5 /* the peer closed or reset the connection */
#define CV_VISA_FAILURE_SYSTEM 6 /* another error of the operating system */

/* The last failure of a viOpen, viRead or viWrite (and their buffered
 * forms) made by the calling thread: the status that call returned, the
 * reason (CV_VISA_FAILURE_*), the operating system's error number (0 when
 * none) and a text for people ("connection refused by 127.0.0.1:23"),
 * VI_FIND_BUFLEN bytes at most. One of these calls that succeeds clears
 * it: status VI_SUCCESS, reason CV_VISA_FAILURE_NONE, text empty. Every
 * pointer may be null. Returns VI_SUCCESS. */
ViStatus cvvisa_lastFailure(ViPStatus status, ViPInt32 reason, ViPInt32 sysError, ViChar desc[]);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* VISA_H */
