/* A TCP listener on a loopback address for the VISA and driver tests: the
 * test accepts the library's connection and drives the peer side. */
#ifndef LOOPBACKPEER_H
#define LOOPBACKPEER_H

#include <string>
#include <vector>

class LoopbackPeer
{
public:
    LoopbackPeer() = default;
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;

    /* Listens on addr ("127.x.y.z"); port 0 picks a free one. */
    bool listen(const std::string &addr, unsigned short port = 0, int backlog = 16);
    unsigned short port() const { return port_; }
    /* Accepts one pending connection; -1 when none came within timeoutMs. */
    int accept(int timeoutMs = 5000);

private:
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::vector<int> accepted_;
};

bool sendAll(int fd, const std::string &data);
/* Reads until want bytes arrived, the peer closed or 5 s passed. */
std::string recvUpTo(int fd, std::size_t want);
/* A loopback port with nothing listening on addr (bound, then released). */
unsigned short unusedPort(const std::string &addr);

#endif
