/* TCP transport of SOCKET sessions. The socket stays non-blocking; every
 * wait is a poll() bounded by the caller's deadline on the monotonic clock. */
#include "tcpconn.h"
#include "failure.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace cvvisa {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReadChunk = 4096;
/* Most bytes a discard takes from the socket in one call. */
constexpr std::size_t kMaxDiscard = 1 << 20;

} // namespace

Deadline::Deadline(ViUInt32 timeoutMs)
    : infinite_(timeoutMs == VI_TMO_INFINITE)
    , end_(Clock::now() + std::chrono::milliseconds(timeoutMs))
{}

int Deadline::pollMs() const
{
    if (infinite_)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end_ - Clock::now()).count();
    if (left <= 0)
        return 0;
    /* Timeouts from about 25 days up do not fit poll()'s int; a wait
     * that wakes early just polls again. */
    const auto ms = (left + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

bool Deadline::expired() const
{
    return !infinite_ && Clock::now() >= end_;
}

/* ---- name resolution ---- */

namespace {

struct Lookup
{
    std::mutex lock;
    std::condition_variable doneCv;
    bool done = false;
    int rc = EAI_FAIL;
    std::vector<SockAddr> addrs;
};

int lookup(const std::string &host, unsigned port, int flags, std::vector<SockAddr> *out)
{
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0)
        return rc;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SockAddr a;
        memset(&a, 0, sizeof a);
        memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        a.len = ai->ai_addrlen;
        out->push_back(a);
    }
    freeaddrinfo(res);
    return 0;
}

} // namespace

ViStatus resolveHost(const std::string &host, HostKind kind, unsigned port, const Deadline &deadline,
                     std::vector<SockAddr> *addrs)
{
    addrs->clear();
    if (kind != HostKind::Name) {
        /* Numeric: no resolver traffic, no wait. */
        const int rc = lookup(host, port, AI_NUMERICHOST, addrs);
        if (rc == 0 && !addrs->empty())
            return VI_SUCCESS;
        setFailure(VI_ERROR_RSRC_NFOUND, CV_VISA_FAILURE_NAME, 0,
                   "address " + host + " not usable: " + (rc ? gai_strerror(rc) : "no address"));
        return VI_ERROR_RSRC_NFOUND;
    }
    auto job = std::make_shared<Lookup>();
    try {
        std::thread([job, host, port] {
            std::vector<SockAddr> found;
            int rc = lookup(host, port, 0, &found);
            std::lock_guard<std::mutex> g(job->lock);
            job->rc = rc;
            job->addrs = std::move(found);
            job->done = true;
            job->doneCv.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return VI_ERROR_ALLOC;
    }
    std::unique_lock<std::mutex> g(job->lock);
    if (deadline.infinite())
        job->doneCv.wait(g, [&] { return job->done; });
    else if (!job->doneCv.wait_until(g, deadline.end(), [&] { return job->done; })) {
        /* the lookup thread finishes on its own */
        setFailure(VI_ERROR_RSRC_NFOUND, CV_VISA_FAILURE_NAME, 0, "name lookup of " + host + " did not finish in time");
        return VI_ERROR_RSRC_NFOUND;
    }
    if (job->rc != 0 || job->addrs.empty()) {
        const int err = job->rc == EAI_SYSTEM ? errno : 0;
        setFailure(VI_ERROR_RSRC_NFOUND, CV_VISA_FAILURE_NAME, err,
                   "name lookup of " + host + " failed: " + (job->rc ? gai_strerror(job->rc) : "no address"));
        return VI_ERROR_RSRC_NFOUND;
    }
    *addrs = job->addrs;
    return VI_SUCCESS;
}

/* ---- connect ---- */

int startConnect(const SockAddr &addr, bool *done)
{
    *done = false;
    int fd = socket(addr.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr.storage), addr.len) == 0) {
        *done = true;
        return fd;
    }
    if (errno == EINPROGRESS)
        return fd;
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
}

std::string numericAddress(const sockaddr_storage &addr)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&addr)->sin_addr, text, sizeof text);
    else if (addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_addr, text, sizeof text);
    return text;
}

int socketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

TcpConn::~TcpConn()
{
    close();
}

void TcpConn::shutdown()
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

void TcpConn::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

ViStatus TcpConn::open(const SocketRsrc &rsrc, ViUInt32 timeoutMs)
{
    close();
    Deadline deadline(timeoutMs);
    std::vector<SockAddr> addrs;
    ViStatus st = resolveHost(rsrc.host, rsrc.hostKind, rsrc.port, deadline, &addrs);
    if (st != VI_SUCCESS)
        return st;

    /* Why the last address tried failed, for cvvisa_lastFailure. */
    int lastError = 0;
    std::string lastAddress;
    for (const SockAddr &addr : addrs) {
        bool done = false;
        lastAddress = endpointText(numericAddress(addr.storage), rsrc.port);
        int fd = startConnect(addr, &done);
        if (fd < 0) {
            lastError = errno;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                setFailure(VI_ERROR_ALLOC, CV_VISA_FAILURE_SYSTEM, lastError,
                           "no socket for " + lastAddress + ": " + strerror(lastError));
                return VI_ERROR_ALLOC;
            }
            continue;
        }
        if (!done) {
            pollfd pfd = {fd, POLLOUT, 0};
            int n;
            do {
                n = poll(&pfd, 1, deadline.pollMs());
            } while (n < 0 && errno == EINTR && !deadline.expired());
            lastError = n > 0 ? socketError(fd) : n == 0 ? ETIMEDOUT : errno;
            done = lastError == 0;
        }
        if (!done) {
            ::close(fd);
            if (deadline.expired())
                break;
            continue;
        }
        fd_ = fd;
        break;
    }
    if (fd_ < 0) {
        const ViInt32 reason = failureReasonOfErrno(lastError);
        std::string text;
        if (reason == CV_VISA_FAILURE_REFUSED)
            text = "connection refused by " + lastAddress;
        else if (reason == CV_VISA_FAILURE_TIMEOUT)
            text = "no connection to " + lastAddress + " within " + std::to_string(timeoutMs) + " ms";
        else
            text = (reason == CV_VISA_FAILURE_UNREACHABLE ? "no route to " : "cannot connect to ") + lastAddress +
                   ": " + strerror(lastError);
        setFailure(VI_ERROR_RSRC_NFOUND, reason, lastError, text);
        return VI_ERROR_RSRC_NFOUND;
    }

    peerClosed_ = false;
    drained_ = true;
    pending_.resize(kReadChunk);
    dropPending();
    setNoDelay(true);

    sockaddr_storage peer;
    socklen_t len = sizeof peer;
    peerAddress_ = getpeername(fd_, reinterpret_cast<sockaddr *>(&peer), &len) == 0 ? numericAddress(peer) : "";
    return VI_SUCCESS;
}

ViStatus TcpConn::setNoDelay(bool on)
{
    int v = on ? 1 : 0;
    return setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0 ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
}

ViStatus TcpConn::setKeepAlive(bool on)
{
    int v = on ? 1 : 0;
    return setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &v, sizeof v) == 0 ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
}

/* ---- I/O ---- */

ViStatus TcpConn::fill(const Deadline &deadline)
{
    dropPending();
    if (fd_ < 0 || peerClosed_)
        return VI_ERROR_CONN_LOST;
    for (;;) {
        /* A reply is seldom there the moment it is asked for: after a
         * receive that emptied the socket, the next one waits for data
         * first (within the deadline), which spares a receive that would
         * find nothing. */
        if (drained_) {
            drained_ = false;
            pollfd pfd = {fd_, POLLIN, 0};
            if (poll(&pfd, 1, deadline.pollMs()) < 0 && errno != EINTR)
                return VI_ERROR_IO;
        }
        ssize_t n = recv(fd_, pending_.data(), pending_.size(), 0);
        if (n > 0) {
            pendingEnd_ = std::size_t(n);
            drained_ = pendingEnd_ < pending_.size();
            return VI_SUCCESS;
        }
        if (n == 0) {
            peerClosed_ = true;
            return VI_ERROR_CONN_LOST;
        }
        if (errno == EINTR)
            continue;
        if (errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN || errno == ETIMEDOUT) {
            peerClosed_ = true;
            return VI_ERROR_CONN_LOST;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return VI_ERROR_IO;
        if (deadline.expired())
            return VI_ERROR_TMO;
        drained_ = true;
    }
}

ViStatus TcpConn::read(ViPBuf buf, ViUInt32 cnt, ViUInt32 *moved, const ReadOptions &opt, const Deadline &deadline)
{
    *moved = 0;
    if (cnt == 0)
        return VI_SUCCESS_MAX_CNT;
    for (;;) {
        /* Hand over what is pending, up to the termination character. */
        const ViByte *from = pending_.data() + pendingPos_;
        std::size_t n = std::min<std::size_t>(pendingEnd_ - pendingPos_, cnt - *moved);
        const void *term = opt.termCharEnabled && n > 0 ? memchr(from, opt.termChar, n) : nullptr;
        if (term)
            n = std::size_t(static_cast<const ViByte *>(term) - from) + 1;
        if (n > 0) {
            memcpy(buf + *moved, from, n);
            pendingPos_ += n;
            *moved += ViUInt32(n);
        }
        if (term)
            return VI_SUCCESS_TERM_CHAR;
        if (*moved == cnt)
            return VI_SUCCESS_MAX_CNT;
        /* Without a termination character a read ends once data came,
         * unless the END indication is suppressed. */
        if (*moved > 0 && !opt.termCharEnabled && !opt.suppressEnd)
            return VI_SUCCESS;
        ViStatus st = fill(deadline);
        if (st == VI_ERROR_CONN_LOST && *moved > 0)
            return VI_SUCCESS; /* the data before the close; the next read reports it */
        if (st != VI_SUCCESS)
            return st;
    }
}

ViStatus TcpConn::discardInput()
{
    dropPending();
    if (fd_ < 0)
        return VI_ERROR_CONN_LOST;
    ViByte chunk[kReadChunk];
    for (std::size_t dropped = 0; !peerClosed_ && dropped < kMaxDiscard;) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0)
            dropped += std::size_t(n);
        else if (n == 0)
            peerClosed_ = true;
        else if (errno != EINTR)
            break;
    }
    return VI_SUCCESS;
}

ViStatus TcpConn::write(ViConstBuf buf, ViUInt32 cnt, ViUInt32 *moved, const Deadline &deadline)
{
    *moved = 0;
    if (fd_ < 0)
        return VI_ERROR_CONN_LOST;
    while (*moved < cnt) {
        ssize_t n = send(fd_, buf + *moved, cnt - *moved, MSG_NOSIGNAL);
        if (n > 0) {
            *moved += ViUInt32(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN || errno == ETIMEDOUT)) {
            peerClosed_ = true;
            return VI_ERROR_CONN_LOST;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return VI_ERROR_IO;
        if (deadline.expired())
            return VI_ERROR_TMO;
        pollfd pfd = {fd_, POLLOUT, 0};
        if (poll(&pfd, 1, deadline.pollMs()) < 0 && errno != EINTR)
            return VI_ERROR_IO;
    }
    return VI_SUCCESS;
}

} // namespace cvvisa
