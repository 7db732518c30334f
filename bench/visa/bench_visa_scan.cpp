/* Times viFindRsrc over a resource file whose only entry is a scan of a
 * /24 loopback block with four listeners in it.
 *
 *   bench_visa_scan [rounds]     (default 20) */
#include "visa.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char kBlock[] = "127.42.0.";
const int kListenerHosts[] = {3, 77, 150, 254};

int listenOn(const std::string &addr, unsigned short port, unsigned short *bound)
{
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1)
        return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    *bound = ntohs(sa.sin_port);
    return fd;
}

/* Accepts and drops the probes' connections so the backlogs never fill. */
void drain(const std::vector<int> &fds)
{
    for (int fd : fds) {
        int c;
        while ((c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
            close(c);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    std::vector<int> listeners;
    unsigned short port = 0;
    for (int host : kListenerHosts) {
        int fd = listenOn(kBlock + std::to_string(host), port, &port);
        if (fd < 0) {
            fprintf(stderr, "cannot listen on %s%d\n", kBlock, host);
            return 1;
        }
        listeners.push_back(fd);
    }
    std::string pathText = (std::filesystem::temp_directory_path() / "bench_visa_scanXXXXXX").string();
    std::vector<char> path(pathText.begin(), pathText.end());
    path.push_back('\0');
    int tmp = mkstemp(path.data());
    if (tmp < 0)
        return 1;
    std::string conf = "scan " + std::string(kBlock) + "0/24 " + std::to_string(port) + "\n";
    if (write(tmp, conf.data(), conf.size()) != ssize_t(conf.size()))
        return 1;
    close(tmp);
    setenv("CV_VISA_RESOURCES", path.data(), 1);

    ViSession rm;
    if (viOpenDefaultRM(&rm) != VI_SUCCESS)
        return 1;
    std::vector<double> ms;
    ViUInt32 found = 0;
    for (int i = 0; i < rounds; ++i) {
        ViFindList list = VI_NULL;
        ViChar desc[VI_FIND_BUFLEN];
        auto t0 = std::chrono::steady_clock::now();
        ViStatus st = viFindRsrc(rm, "TCPIP?*SOCKET", &list, &found, desc);
        auto t1 = std::chrono::steady_clock::now();
        if (st != VI_SUCCESS || found != 4) {
            fprintf(stderr, "round %d: status 0x%08X, %u found\n", i, unsigned(st), unsigned(found));
            return 1;
        }
        viClose(list);
        drain(listeners);
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    viClose(rm);
    unlink(path.data());
    for (int fd : listeners)
        close(fd);

    std::sort(ms.begin(), ms.end());
    printf("viFindRsrc over %s0/24 (254 probes, 4 listeners): %d rounds, "
           "min %.2f ms, median %.2f ms, max %.2f ms\n",
           kBlock, rounds, ms.front(), ms[ms.size() / 2], ms.back());
    return 0;
}
