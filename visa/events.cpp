/* Events, locks, triggers and asynchronous I/O: operations the library does
 * not provide. Each checks its handle and arguments and answers with the
 * status a VISA client expects when a resource lacks the feature. */
#include "objects.h"
#include "visa.h"

using namespace cvvisa;

namespace {

bool isObject(ViObject vi)
{
    return objectTable().find(vi) != nullptr;
}

/* No resource of this library supports an event type: only "all enabled
 * events" names a (empty) set. */
ViStatus checkEventArgs(ViObject vi, ViEventType eventType, ViUInt16 mechanism, bool allowAll)
{
    if (!isObject(vi))
        return VI_ERROR_INV_OBJECT;
    if (!allowAll || eventType != VI_ALL_ENABLED_EVENTS)
        return VI_ERROR_INV_EVENT;
    const ViUInt16 mechanisms = VI_QUEUE | VI_HNDLR | VI_SUSPEND_HNDLR;
    if (mechanism != VI_ALL_MECH && (mechanism == 0 || (mechanism & ~mechanisms) != 0))
        return VI_ERROR_INV_MECH;
    return VI_SUCCESS;
}

ViStatus notSupported(ViObject vi)
{
    return isObject(vi) ? VI_ERROR_NSUP_OPER : VI_ERROR_INV_OBJECT;
}

} // namespace

extern "C" {

ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context)
{
    (void)context;
    return checkEventArgs(vi, eventType, mechanism, false);
}

ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism)
{
    const ViStatus st = checkEventArgs(vi, eventType, mechanism, true);
    return st == VI_SUCCESS ? VI_SUCCESS_EVENT_DIS : st;
}

ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism)
{
    const ViStatus st = checkEventArgs(vi, eventType, mechanism, true);
    return st == VI_SUCCESS ? VI_SUCCESS_QUEUE_EMPTY : st;
}

ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViPEventType outEventType,
                       ViPEvent outContext)
{
    (void)timeout; /* nothing is enabled, so nothing is waited for */
    if (outEventType)
        *outEventType = 0;
    if (outContext)
        *outContext = VI_NULL;
    const ViStatus st = checkEventArgs(vi, inEventType, VI_QUEUE, true);
    return st == VI_SUCCESS ? VI_ERROR_NENABLED : st;
}

ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, ViConstKeyId requestedKey, ViChar accessKey[])
{
    (void)lockType, (void)timeout, (void)requestedKey;
    if (accessKey)
        accessKey[0] = '\0';
    return notSupported(vi);
}

ViStatus viUnlock(ViSession vi)
{
    return notSupported(vi);
}

ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol)
{
    (void)protocol;
    return notSupported(vi);
}

ViStatus viReadAsync(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPJobId jobId)
{
    (void)buf, (void)cnt;
    if (jobId)
        *jobId = VI_NULL;
    return notSupported(vi);
}

ViStatus viWriteAsync(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPJobId jobId)
{
    (void)buf, (void)cnt;
    if (jobId)
        *jobId = VI_NULL;
    return notSupported(vi);
}

ViStatus viTerminate(ViObject vi, ViUInt16 degree, ViJobId jobId)
{
    (void)degree, (void)jobId;
    return notSupported(vi);
}

} // extern "C"
