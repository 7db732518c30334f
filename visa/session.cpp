/* Resource manager and SOCKET sessions: open, close, attributes, I/O. */
#include "objects.h"
#include "visa.h"

#include <new>

using namespace cvvisa;

namespace {

constexpr ViUInt32 kDefaultConnectMs = 2000;

/* Looks up an I/O session; the status says why when there is none. */
ViStatus sessionFor(ViObject vi, std::shared_ptr<SessionObject> *out)
{
    std::shared_ptr<Object> obj = objectTable().find(vi);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    if (obj->kind != ObjectKind::Session)
        return VI_ERROR_NSUP_OPER;
    *out = std::static_pointer_cast<SessionObject>(obj);
    return VI_SUCCESS;
}

/* Checks the arguments of viRead and viWrite and takes a snapshot of the
 * session's I/O attributes. */
/* The common part of viRead and viWrite: checks the session and buffer,
 * takes the session's I/O lock and runs transfer(session, options,
 * deadline, &moved). The deadline starts once the session is ours: the
 * timeout bounds this call's own wait, not the wait behind another
 * thread's call. */
template <typename Transfer>
ViStatus runIo(ViSession vi, const void *buf, ViUInt32 cnt, ViPUInt32 retCnt, Transfer transfer)
{
    if (retCnt)
        *retCnt = 0;
    std::shared_ptr<SessionObject> s;
    ViStatus st = sessionFor(vi, &s);
    if (st != VI_SUCCESS)
        return st;
    if (!buf && cnt > 0)
        return VI_ERROR_USER_BUF;
    ReadOptions opt;
    ViUInt32 timeoutMs = 0;
    {
        std::lock_guard<std::mutex> g(s->attrLock);
        opt.termCharEnabled = s->termCharEnabled;
        opt.termChar = s->termChar;
        opt.suppressEnd = s->suppressEnd;
        timeoutMs = s->timeoutMs;
    }
    std::lock_guard<std::mutex> g(s->io);
    Deadline deadline(timeoutMs);
    ViUInt32 moved = 0;
    st = transfer(*s, opt, deadline, &moved);
    if (retCnt)
        *retCnt = moved;
    return st;
}

void release(const std::shared_ptr<Object> &obj)
{
    if (obj->kind != ObjectKind::Session)
        return;
    auto s = std::static_pointer_cast<SessionObject>(obj);
    s->conn.shutdown(); /* wakes a read or write of another thread */
    std::lock_guard<std::mutex> io(s->io);
    std::lock_guard<std::mutex> attrs(s->attrLock);
    s->conn.close();
}

ViStatus getSessionAttribute(SessionObject &s, ViAttr attr, void *value)
{
    std::lock_guard<std::mutex> g(s.attrLock);
    switch (attr) {
    case VI_ATTR_RSRC_NAME:
        copyOut(static_cast<ViChar *>(value), s.rsrcName);
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_ADDR:
        copyOut(static_cast<ViChar *>(value), s.conn.peerAddress());
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_HOSTNAME:
        copyOut(static_cast<ViChar *>(value), s.hostName);
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_PORT:
        *static_cast<ViUInt16 *>(value) = ViUInt16(s.rsrc.port);
        return VI_SUCCESS;
    case VI_ATTR_TMO_VALUE:
        *static_cast<ViUInt32 *>(value) = s.timeoutMs;
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR:
        *static_cast<ViUInt8 *>(value) = s.termChar;
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR_EN:
        *static_cast<ViBoolean *>(value) = s.termCharEnabled ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    case VI_ATTR_SUPPRESS_END_EN:
        *static_cast<ViBoolean *>(value) = s.suppressEnd ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_NODELAY:
        *static_cast<ViBoolean *>(value) = s.noDelay ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_KEEPALIVE:
        *static_cast<ViBoolean *>(value) = s.keepAlive ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    default:
        return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus setSessionAttribute(SessionObject &s, ViAttr attr, ViAttrState value)
{
    const bool isBool = value == VI_TRUE || value == VI_FALSE;
    std::lock_guard<std::mutex> g(s.attrLock);
    switch (attr) {
    case VI_ATTR_RSRC_NAME:
    case VI_ATTR_TCPIP_ADDR:
    case VI_ATTR_TCPIP_HOSTNAME:
    case VI_ATTR_TCPIP_PORT:
        return VI_ERROR_ATTR_READONLY;
    case VI_ATTR_TMO_VALUE:
        if (value > 0xFFFFFFFFu)
            return VI_ERROR_NSUP_ATTR_STATE;
        s.timeoutMs = ViUInt32(value);
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR:
        if (value > 0xFF)
            return VI_ERROR_NSUP_ATTR_STATE;
        s.termChar = ViUInt8(value);
        return VI_SUCCESS;
    case VI_ATTR_TERMCHAR_EN:
        if (!isBool)
            return VI_ERROR_NSUP_ATTR_STATE;
        s.termCharEnabled = value == VI_TRUE;
        return VI_SUCCESS;
    case VI_ATTR_SUPPRESS_END_EN:
        if (!isBool)
            return VI_ERROR_NSUP_ATTR_STATE;
        s.suppressEnd = value == VI_TRUE;
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_NODELAY: {
        if (!isBool)
            return VI_ERROR_NSUP_ATTR_STATE;
        ViStatus st = s.conn.setNoDelay(value == VI_TRUE);
        if (st == VI_SUCCESS)
            s.noDelay = value == VI_TRUE;
        return st;
    }
    case VI_ATTR_TCPIP_KEEPALIVE: {
        if (!isBool)
            return VI_ERROR_NSUP_ATTR_STATE;
        ViStatus st = s.conn.setKeepAlive(value == VI_TRUE);
        if (st == VI_SUCCESS)
            s.keepAlive = value == VI_TRUE;
        return st;
    }
    default:
        return VI_ERROR_NSUP_ATTR;
    }
}

} // namespace

extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi)
{
    if (!vi)
        return VI_ERROR_INV_PARAMETER;
    *vi = VI_NULL;
    std::shared_ptr<Object> rm(new (std::nothrow) Object(ObjectKind::ResourceManager, VI_NULL));
    if (!rm)
        return VI_ERROR_ALLOC;
    ViObject handle = objectTable().add(rm);
    if (handle == VI_NULL)
        return VI_ERROR_ALLOC;
    *vi = handle;
    return VI_SUCCESS;
}

ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi)
{
    if (vi)
        *vi = VI_NULL;
    std::shared_ptr<Object> rm = objectTable().find(sesn);
    if (!rm)
        return VI_ERROR_INV_OBJECT;
    if (rm->kind != ObjectKind::ResourceManager)
        return VI_ERROR_NSUP_OPER;
    if (!vi)
        return VI_ERROR_INV_PARAMETER;
    SocketRsrc rsrc;
    if (parseSocketRsrc(name, &rsrc) != VI_SUCCESS)
        return VI_ERROR_INV_RSRC_NAME;
    if (mode != VI_NO_LOCK)
        return VI_ERROR_INV_ACC_MODE;

    std::shared_ptr<SessionObject> s(new (std::nothrow) SessionObject(sesn));
    if (!s)
        return VI_ERROR_ALLOC;
    ViStatus st = s->conn.open(rsrc, timeout != 0 ? timeout : kDefaultConnectMs);
    if (st != VI_SUCCESS)
        return st;
    s->rsrcName = rsrc.canonical();
    /* A numeric host never costs a reverse lookup: its name is the
     * address the connection reached. */
    s->hostName = rsrc.hostKind == HostKind::Name ? rsrc.host : s->conn.peerAddress();
    s->rsrc = std::move(rsrc);
    ViObject handle = objectTable().add(s);
    if (handle == VI_NULL)
        return objectTable().find(sesn) ? VI_ERROR_ALLOC : VI_ERROR_INV_OBJECT;
    *vi = handle;
    return VI_SUCCESS;
}

ViStatus viClose(ViObject vi)
{
    if (vi == VI_NULL)
        return VI_WARN_NULL_OBJECT;
    std::vector<std::shared_ptr<Object>> removed = objectTable().remove(vi);
    if (removed.empty())
        return VI_ERROR_INV_OBJECT;
    for (const auto &obj : removed)
        release(obj);
    return VI_SUCCESS;
}

ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void *attrValue)
{
    std::shared_ptr<Object> obj = objectTable().find(vi);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    if (!attrValue)
        return VI_ERROR_USER_BUF;
    if (obj->kind != ObjectKind::Session)
        return VI_ERROR_NSUP_ATTR;
    return getSessionAttribute(static_cast<SessionObject &>(*obj), attrName, attrValue);
}

ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue)
{
    std::shared_ptr<Object> obj = objectTable().find(vi);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    if (obj->kind != ObjectKind::Session)
        return VI_ERROR_NSUP_ATTR;
    return setSessionAttribute(static_cast<SessionObject &>(*obj), attrName, attrValue);
}

ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt)
{
    return runIo(vi, buf, cnt, retCnt,
                 [&](SessionObject &s, const ReadOptions &opt, const Deadline &deadline, ViUInt32 *moved) {
                     return s.conn.read(buf, cnt, moved, opt, deadline);
                 });
}

ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt)
{
    return runIo(vi, buf, cnt, retCnt,
                 [&](SessionObject &s, const ReadOptions &, const Deadline &deadline, ViUInt32 *moved) {
                     return s.conn.write(buf, cnt, moved, deadline);
                 });
}

} // extern "C"
