#include "loopbackpeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

int bindListener(const std::string &addr, unsigned short port, int backlog, unsigned short *bound)
{
    sockaddr_in in4{};
    in4.sin_family = AF_INET;
    in4.sin_port = htons(port);
    socklen_t len = sizeof in4;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || inet_pton(AF_INET, addr.c_str(), &in4.sin_addr) != 1 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&in4), len) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&in4), &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *bound = ntohs(in4.sin_port);
    return fd;
}

bool readable(int fd, int timeoutMs = 5000)
{
    pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs) == 1;
}

} // namespace

LoopbackPeer::~LoopbackPeer()
{
    if (listenFd_ >= 0)
        close(listenFd_);
    for (int fd : accepted_)
        close(fd);
}

bool LoopbackPeer::listen(const std::string &addr, unsigned short port, int backlog)
{
    listenFd_ = bindListener(addr, port, backlog, &port_);
    return listenFd_ >= 0;
}

int LoopbackPeer::accept(int timeoutMs)
{
    if (listenFd_ < 0 || !readable(listenFd_, timeoutMs))
        return -1;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        accepted_.push_back(fd);
    return fd;
}

bool sendAll(int fd, const std::string &data)
{
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

std::string recvUpTo(int fd, std::size_t want)
{
    std::string got;
    char buf[4096];
    while (got.size() < want && readable(fd)) {
        ssize_t n = recv(fd, buf, std::min(want - got.size(), sizeof buf), 0);
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
