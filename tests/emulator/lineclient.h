// A small blocking-with-timeout TCP client for the emulator tests and the
// benchmark: sends command lines, reads reply lines. Loopback only.
#ifndef CV4870EMU_LINECLIENT_H
#define CV4870EMU_LINECLIENT_H

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class LineClient {
public:
    enum class Result { Line, Timeout, Closed, Overflow };

    LineClient() = default;
    ~LineClient() { close(); }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    bool connect(const std::string &address, unsigned short port)
    {
        close();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
            return false;
        // Never anything but loopback from a test.
        if ((ntohl(sa.sin_addr.s_addr) >> 24) != 127)
            return false;
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        if (::connect(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close();
            return false;
        }
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_pending.clear();
    }

    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

    bool send(const std::string &bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads one line (without its LF) within timeoutMs; at most maxBytes
    // are gathered before Overflow is reported.
    Result readLine(std::string &line, int timeoutMs = 5000, std::size_t maxBytes = 1 << 20)
    {
        line.clear();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::size_t lf = m_pending.find('\n');
            if (lf != std::string::npos) {
                line = m_pending.substr(0, lf);
                m_pending.erase(0, lf + 1);
                return Result::Line;
            }
            if (m_pending.size() >= maxBytes)
                return Result::Overflow;
            const Result r = fill(deadline);
            if (r != Result::Line)
                return r;
        }
    }

    // Waits for count bytes (or fewer at a timeout / close) in `bytes`.
    Result readBytes(std::string &bytes, std::size_t count, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_pending.size() < count) {
            const Result r = fill(deadline);
            if (r != Result::Line) {
                bytes.swap(m_pending);
                m_pending.clear();
                return r;
            }
        }
        bytes = m_pending.substr(0, count);
        m_pending.erase(0, count);
        return Result::Line;
    }

    // One round trip: sends the line with LF, returns the reply line or "".
    std::string query(const std::string &command, int timeoutMs = 5000)
    {
        std::string reply;
        if (!send(command + "\n") || readLine(reply, timeoutMs) != Result::Line)
            return std::string();
        return reply;
    }

    int fd() const { return m_fd; }

private:
    Result fill(std::chrono::steady_clock::time_point deadline)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return Result::Timeout;
        pollfd p{m_fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            return Result::Line;
        if (rc <= 0)
            return Result::Timeout;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return Result::Line;
        if (n <= 0)
            return Result::Closed;
        m_pending.append(buffer, static_cast<std::size_t>(n));
        return Result::Line;
    }

    int m_fd = -1;
    std::string m_pending;
};

#endif // CV4870EMU_LINECLIENT_H
