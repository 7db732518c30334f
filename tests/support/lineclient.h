// A small blocking-with-timeout TCP client for the tests and the emulator
// benchmark: sends command lines, reads reply lines. Loopback only.
#ifndef CV4870EMU_LINECLIENT_H
#define CV4870EMU_LINECLIENT_H

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class LineClient
{
public:
    enum class Result { Line, Timeout, Closed, Overflow };

    LineClient() = default;
    ~LineClient() { close(); }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    // receiveBuffer > 0 sets the socket's receive buffer before connecting.
    bool connect(const std::string &address, unsigned short port, int receiveBuffer = 0)
    {
        close();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        // Never anything but loopback from a test.
        if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127)
            return false;
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
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

    int fd() const { return m_fd; }
    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

    // Ends the connection with a reset instead of an orderly close.
    void abort()
    {
        const linger reset{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close();
    }

    bool send(const std::string &bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0 && !(n < 0 && errno == EINTR))
                return false;
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return true;
    }

    // Reads one line (without its LF) within timeoutMs; at most maxBytes
    // are gathered before Overflow is reported.
    Result readLine(std::string &line, int timeoutMs = 5000, std::size_t maxBytes = 1 << 20)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        line.clear();
        std::size_t lf;
        while ((lf = m_pending.find('\n')) == std::string::npos) {
            if (m_pending.size() >= maxBytes)
                return Result::Overflow;
            if (const Result r = fill(deadline); r != Result::Line)
                return r;
        }
        line = m_pending.substr(0, lf);
        m_pending.erase(0, lf + 1);
        return Result::Line;
    }

    // Waits for count bytes (or fewer at a timeout / close) in `bytes`;
    // std::string::npos reads until the peer closes or the time is up.
    Result readBytes(std::string &bytes, std::size_t count, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        Result r = Result::Line;
        while (m_pending.size() < count && r == Result::Line)
            r = fill(deadline);
        bytes = m_pending.substr(0, count);
        m_pending.erase(0, count);
        return r;
    }

    // One round trip: sends the line with LF, returns the reply line or "".
    std::string query(const std::string &command, int timeoutMs = 5000)
    {
        std::string reply;
        if (!send(command + "\n") || readLine(reply, timeoutMs) != Result::Line)
            return std::string();
        return reply;
    }

private:
    // One bounded receive before the deadline; Line means "go on".
    Result fill(std::chrono::steady_clock::time_point deadline)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{m_fd, POLLIN, 0};
        const int rc = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (rc <= 0)
            return rc < 0 && errno == EINTR ? Result::Line : Result::Timeout;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return n < 0 && (errno == EINTR || errno == EAGAIN) ? Result::Line : Result::Closed;
        m_pending.append(buffer, static_cast<std::size_t>(n));
        return Result::Line;
    }

    int m_fd = -1;
    std::string m_pending;
};

#endif // CV4870EMU_LINECLIENT_H
