/* Resource manager and SOCKET sessions: open, close, attributes, I/O. */
#include "failure.h"
#include "objects.h"
#include "rsrcfile.h"
#include "rsrcname.h"
#include "visa.h"

#include <new>

using namespace cvvisa;

namespace {

constexpr ViUInt32 kDefaultConnectMs = 2000;

/* What VI_ATTR_RSRC_MANF_NAME, _MANF_ID and _IMPL_VERSION report on every
 * object; the library has no registered manufacturer id. The version is
 * the library's, major.minor.patch in the bits 31-20, 19-8 and 7-0. */
constexpr char kManufacturer[] = "cv-visa";
constexpr ViUInt16 kManufacturerId = 0;
constexpr ViVersion kImplVersion =
    ViVersion(CV_VISA_VERSION_MAJOR) << 20 | ViVersion(CV_VISA_VERSION_MINOR) << 8 | ViVersion(CV_VISA_VERSION_PATCH);

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

/* What a failed read or write tells cvvisa_lastFailure. */
void recordIoFailure(const SessionObject &s, ViStatus st, ViUInt32 timeoutMs)
{
    const std::string peer = endpointText(s.hostName, s.rsrc.port);
    if (st == VI_ERROR_TMO)
        setFailure(st, CV_VISA_FAILURE_TIMEOUT, 0,
                   "no answer from " + peer + " within " + std::to_string(timeoutMs) + " ms");
    else if (st == VI_ERROR_CONN_LOST)
        setFailure(st, CV_VISA_FAILURE_CLOSED, 0, "connection to " + peer + " closed by the peer");
    else
        setFailure(st, CV_VISA_FAILURE_SYSTEM, 0, "I/O error on the connection to " + peer);
}

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
    opt.termCharEnabled = s->termCharEnabled.load(std::memory_order_relaxed);
    opt.termChar = s->termChar.load(std::memory_order_relaxed);
    opt.suppressEnd = s->suppressEnd.load(std::memory_order_relaxed);
    const ViUInt32 timeoutMs = s->timeoutMs.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> g(s->io);
    Deadline deadline(timeoutMs);
    ViUInt32 moved = 0;
    st = transfer(*s, opt, deadline, &moved);
    if (retCnt)
        *retCnt = moved;
    if (st < 0)
        recordIoFailure(*s, st, timeoutMs);
    else
        clearFailure();
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

ViStatus getLibraryAttribute(ViAttr attr, void *value)
{
    switch (attr) {
    case VI_ATTR_RSRC_MANF_NAME:
        copyOut(static_cast<ViChar *>(value), kManufacturer);
        return VI_SUCCESS;
    case VI_ATTR_RSRC_MANF_ID:
        *static_cast<ViUInt16 *>(value) = kManufacturerId;
        return VI_SUCCESS;
    case VI_ATTR_RSRC_IMPL_VERSION:
        *static_cast<ViVersion *>(value) = kImplVersion;
        return VI_SUCCESS;
    default:
        return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus setLibraryAttribute(ViAttr attr)
{
    ViChar probe[VI_FIND_BUFLEN];
    if (attr == VI_ATTR_CV_RSRC_FILE || attr == VI_ATTR_CV_RSRC_FILE_READ)
        return VI_ERROR_ATTR_READONLY;
    return getLibraryAttribute(attr, probe) == VI_SUCCESS ? VI_ERROR_ATTR_READONLY : VI_ERROR_NSUP_ATTR;
}

ViStatus getManagerAttribute(ManagerObject &rm, ViAttr attr, void *value)
{
    std::lock_guard<std::mutex> g(rm.lock);
    switch (attr) {
    case VI_ATTR_CV_RSRC_FILE:
        copyOut(static_cast<ViChar *>(value), rm.searched ? rm.rsrcFile : resourceFilePath());
        return VI_SUCCESS;
    case VI_ATTR_CV_RSRC_FILE_READ:
        *static_cast<ViBoolean *>(value) = rm.rsrcFileRead ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    default:
        return getLibraryAttribute(attr, value);
    }
}

ViStatus getSessionAttribute(SessionObject &s, ViAttr attr, void *value)
{
    switch (attr) {
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
    default:
        break;
    }
    std::lock_guard<std::mutex> g(s.attrLock);
    switch (attr) {
    case VI_ATTR_RSRC_CLASS:
        copyOut(static_cast<ViChar *>(value), "SOCKET");
        return VI_SUCCESS;
    case VI_ATTR_INTF_TYPE:
        *static_cast<ViUInt16 *>(value) = VI_INTF_TCPIP;
        return VI_SUCCESS;
    case VI_ATTR_INTF_NUM:
        *static_cast<ViUInt16 *>(value) = ViUInt16(s.rsrc.board);
        return VI_SUCCESS;
    case VI_ATTR_RSRC_LOCK_STATE:
        *static_cast<ViAccessMode *>(value) = VI_NO_LOCK;
        return VI_SUCCESS;
    case VI_ATTR_RM_SESSION:
        *static_cast<ViSession *>(value) = s.rm;
        return VI_SUCCESS;
    case VI_ATTR_SEND_END_EN:
        *static_cast<ViBoolean *>(value) = VI_TRUE;
        return VI_SUCCESS;
    case VI_ATTR_IO_PROT:
        *static_cast<ViUInt16 *>(value) = VI_PROT_NORMAL;
        return VI_SUCCESS;
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
    case VI_ATTR_TCPIP_NODELAY:
        *static_cast<ViBoolean *>(value) = s.noDelay ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    case VI_ATTR_TCPIP_KEEPALIVE:
        *static_cast<ViBoolean *>(value) = s.keepAlive ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
    default:
        return getLibraryAttribute(attr, value);
    }
}

ViStatus setSessionAttribute(SessionObject &s, ViAttr attr, ViAttrState value)
{
    const bool isBool = value == VI_TRUE || value == VI_FALSE;
    std::lock_guard<std::mutex> g(s.attrLock);
    switch (attr) {
    case VI_ATTR_RSRC_NAME:
    case VI_ATTR_RSRC_CLASS:
    case VI_ATTR_INTF_TYPE:
    case VI_ATTR_INTF_NUM:
    case VI_ATTR_RSRC_LOCK_STATE:
    case VI_ATTR_RM_SESSION:
    case VI_ATTR_TCPIP_ADDR:
    case VI_ATTR_TCPIP_HOSTNAME:
    case VI_ATTR_TCPIP_PORT:
        return VI_ERROR_ATTR_READONLY;
    /* A raw socket knows no END indication and no other protocol: only
     * the values that describe it are accepted. */
    case VI_ATTR_SEND_END_EN:
        return value == VI_TRUE ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
    case VI_ATTR_IO_PROT:
        return value == VI_PROT_NORMAL ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
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
        return setLibraryAttribute(attr);
    }
}

/* Throws away the bytes received and not yet read; the I/O lock keeps a
 * read of another thread from seeing half of it. */
ViStatus discardInput(ViSession vi)
{
    std::shared_ptr<SessionObject> s;
    ViStatus st = sessionFor(vi, &s);
    if (st != VI_SUCCESS)
        return st;
    std::lock_guard<std::mutex> g(s->io);
    return s->conn.discardInput();
}

} // namespace

extern "C" {

ViStatus viOpenDefaultRM(ViPSession vi)
{
    if (!vi)
        return VI_ERROR_INV_PARAMETER;
    *vi = VI_NULL;
    std::shared_ptr<Object> rm(new (std::nothrow) ManagerObject());
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
    clearFailure();
    if (vi)
        *vi = VI_NULL;
    if (const ViStatus st = checkManager(sesn); st != VI_SUCCESS)
        return st;
    if (!vi)
        return VI_ERROR_INV_PARAMETER;
    /* A resource of another kind is well named but not one this library
     * can reach. */
    RsrcInfo info;
    ViStatus st = parseRsrc(name, &info);
    if (st != VI_SUCCESS)
        return st;
    SocketRsrc rsrc;
    if (info.rsrcClass != "SOCKET" || parseSocketRsrc(name, &rsrc) != VI_SUCCESS)
        return VI_ERROR_RSRC_NFOUND;
    if (mode != VI_NO_LOCK)
        return VI_ERROR_INV_ACC_MODE;

    std::shared_ptr<SessionObject> s(new (std::nothrow) SessionObject(sesn));
    if (!s)
        return VI_ERROR_ALLOC;
    st = s->conn.open(rsrc, timeout != 0 ? timeout : kDefaultConnectMs);
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
    if (obj->kind == ObjectKind::ResourceManager)
        return getManagerAttribute(static_cast<ManagerObject &>(*obj), attrName, attrValue);
    if (obj->kind != ObjectKind::Session)
        return getLibraryAttribute(attrName, attrValue);
    return getSessionAttribute(static_cast<SessionObject &>(*obj), attrName, attrValue);
}

ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue)
{
    std::shared_ptr<Object> obj = objectTable().find(vi);
    if (!obj)
        return VI_ERROR_INV_OBJECT;
    if (obj->kind != ObjectKind::Session)
        return setLibraryAttribute(attrName);
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

/* The library keeps no formatted I/O buffers: the buffered calls move the
 * bytes as viRead and viWrite do. */
ViStatus viBufRead(ViSession vi, ViPBuf buf, ViUInt32 cnt, ViPUInt32 retCnt)
{
    return viRead(vi, buf, cnt, retCnt);
}

ViStatus viBufWrite(ViSession vi, ViConstBuf buf, ViUInt32 cnt, ViPUInt32 retCnt)
{
    return viWrite(vi, buf, cnt, retCnt);
}

/* A SOCKET device has no clear message: the session forgets what it has
 * received and not yet read. */
ViStatus viClear(ViSession vi)
{
    return discardInput(vi);
}

ViStatus viFlush(ViSession vi, ViUInt16 mask)
{
    const ViUInt16 all = VI_READ_BUF | VI_WRITE_BUF | VI_READ_BUF_DISCARD | VI_WRITE_BUF_DISCARD | VI_IO_IN_BUF |
                         VI_IO_OUT_BUF | VI_IO_IN_BUF_DISCARD | VI_IO_OUT_BUF_DISCARD;
    std::shared_ptr<SessionObject> s;
    ViStatus st = sessionFor(vi, &s);
    if (st != VI_SUCCESS)
        return st;
    if (mask == 0 || (mask & ~all) != 0 ||
        (mask & (VI_READ_BUF | VI_READ_BUF_DISCARD)) == (VI_READ_BUF | VI_READ_BUF_DISCARD) ||
        (mask & (VI_WRITE_BUF | VI_WRITE_BUF_DISCARD)) == (VI_WRITE_BUF | VI_WRITE_BUF_DISCARD))
        return VI_ERROR_INV_MASK;
    /* Writes are never held back and there is no formatted read buffer:
     * only the bytes received and not yet read can be discarded. */
    if (mask & (VI_IO_IN_BUF | VI_IO_IN_BUF_DISCARD))
        return discardInput(vi);
    return VI_SUCCESS;
}

/* A raw socket carries no status byte. */
ViStatus viReadSTB(ViSession vi, ViPUInt16 status)
{
    if (status)
        *status = 0;
    std::shared_ptr<SessionObject> s;
    const ViStatus st = sessionFor(vi, &s);
    return st == VI_SUCCESS ? VI_ERROR_NSUP_OPER : st;
}

} // extern "C"
