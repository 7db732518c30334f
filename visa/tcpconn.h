/* One TCP connection of a SOCKET session: bounded connect, read and write.
 * Internal to the VISA library. */
#ifndef CV_VISA_TCPCONN_H
#define CV_VISA_TCPCONN_H

#include "rsrcname.h"
#include "visa.h"

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace cvvisa {

/* A point in monotonic time after which a wait gives up.
 * VI_TMO_INFINITE never expires. */
class Deadline
{
public:
    explicit Deadline(ViUInt32 timeoutMs);
    bool infinite() const { return infinite_; }
    /* Milliseconds left, rounded up, for poll(): -1 when infinite. */
    int pollMs() const;
    bool expired() const;
    std::chrono::steady_clock::time_point end() const { return end_; }

private:
    bool infinite_;
    std::chrono::steady_clock::time_point end_;
};

struct ReadOptions
{
    bool termCharEnabled = false;
    ViUInt8 termChar = '\n';
    bool suppressEnd = false;
};

class TcpConn
{
public:
    TcpConn() = default;
    ~TcpConn();
    TcpConn(const TcpConn &) = delete;
    TcpConn &operator=(const TcpConn &) = delete;

    /* Resolves and connects within timeoutMs. VI_ERROR_RSRC_NFOUND when the
     * host is unknown, refuses, is unreachable or does not answer in time;
     * the thread's failure record (failure.h) then says which. */
    ViStatus open(const SocketRsrc &rsrc, ViUInt32 timeoutMs);
    /* Wakes any thread waiting on the socket; safe from another thread. */
    void shutdown();
    void close();

    ViStatus read(ViPBuf buf, ViUInt32 cnt, ViUInt32 *moved, const ReadOptions &opt, const Deadline &deadline);
    ViStatus write(ViConstBuf buf, ViUInt32 cnt, ViUInt32 *moved, const Deadline &deadline);

    /* Drops the bytes received and not yet read, without waiting for more
     * (at most 1 MiB from the socket). VI_ERROR_CONN_LOST when closed. */
    ViStatus discardInput();

    ViStatus setNoDelay(bool on);
    ViStatus setKeepAlive(bool on);

    /* Numeric address of the peer ("127.0.0.1", "::1"). */
    const std::string &peerAddress() const { return peerAddress_; }

private:
    /* Receives at most one chunk into pending_; VI_SUCCESS when bytes came. */
    ViStatus fill(const Deadline &deadline);
    void dropPending() { pendingPos_ = pendingEnd_ = 0; }

    int fd_ = -1;
    bool peerClosed_ = false;
    /* The last receive left the socket empty: the next one waits first,
     * rather than paying for a receive that finds nothing. */
    bool drained_ = true;
    /* Received and not yet read: pending_[pendingPos_, pendingEnd_). */
    std::vector<ViByte> pending_;
    std::size_t pendingPos_ = 0;
    std::size_t pendingEnd_ = 0;
    std::string peerAddress_;
};

/* Resolves host (a name, a dotted or an IPv6 address) to socket addresses
 * for port. A name lookup runs on a thread of its own so that a slow resolver
 * can not hold the caller past the deadline. */
struct SockAddr
{
    sockaddr_storage storage;
    socklen_t len;
};
ViStatus resolveHost(const std::string &host, HostKind kind, unsigned port, const Deadline &deadline,
                     std::vector<SockAddr> *addrs);

/* Starts a non-blocking connect to addr. Returns the socket, or -1 with
 * errno set. *done is true when the connect already completed. */
int startConnect(const SockAddr &addr, bool *done);
/* "127.0.0.1", "::1"; empty for another family. */
std::string numericAddress(const sockaddr_storage &addr);
/* The pending error of a socket whose connect has finished (SO_ERROR). */
int socketError(int fd);

} // namespace cvvisa

#endif
