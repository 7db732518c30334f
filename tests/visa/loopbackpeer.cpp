#include "loopbackpeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

int bindListener(const std::string &addr, unsigned short port, int backlog, unsigned short *bound)
{
    sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    socklen_t len;
    auto *in4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, addr.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        len = sizeof *in4;
    } else if (inet_pton(AF_INET6, addr.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        len = sizeof *in6;
    } else {
        return -1;
    }
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    *bound = ntohs(ss.ss_family == AF_INET ? in4->sin_port : in6->sin6_port);
    return fd;
}

} // namespace

LoopbackPeer::~LoopbackPeer()
{
    closeListener();
    for (int fd : accepted_)
        close(fd);
}

bool LoopbackPeer::listen(const std::string &addr, unsigned short port, int backlog)
{
    closeListener();
    listenFd_ = bindListener(addr, port, backlog, &port_);
    return listenFd_ >= 0;
}

int LoopbackPeer::accept(int timeoutMs)
{
    pollfd pfd = {listenFd_, POLLIN, 0};
    if (listenFd_ < 0 || poll(&pfd, 1, timeoutMs) != 1)
        return -1;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        accepted_.push_back(fd);
    return fd;
}

void LoopbackPeer::closeListener()
{
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
}

bool sendAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

std::string recvUpTo(int fd, std::size_t want, int timeoutMs)
{
    std::string got;
    char buf[4096];
    while (got.size() < want) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) != 1)
            break;
        std::size_t room = want - got.size() < sizeof buf ? want - got.size() : sizeof buf;
        ssize_t n = recv(fd, buf, room, 0);
        if (n <= 0)
            break;
        got.append(buf, std::size_t(n));
    }
    return got;
}

unsigned short unusedPort(const std::string &addr)
{
    unsigned short port = 0;
    int fd = bindListener(addr, 0, 1, &port);
    if (fd < 0)
        return 0;
    close(fd);
    return port;
}
