// Network side of the emulator: one thread polls every listener and client
// socket of every mainframe. Sockets are non-blocking; a client that does
// not read its replies is simply not read from until it catches up.
#include "cv4870emu.h"
#include "scpi.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace cv4870emu {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kOutputHighWater = 256 * 1024; // stop reading above this
constexpr int kListenBacklog = 64;
constexpr int kAcceptPauseMs = 100;

struct Chunk
{
    Clock::time_point due;
    std::string data;
};

struct Connection
{
    int fd = -1;
    std::size_t mainframe = 0;
    std::string peer;
    std::string received; // bytes from the socket not yet split into lines
    std::size_t consumed = 0; // of received
    std::string input; // the line being gathered
    bool discarding = false; // an over-long line is being skipped up to its LF
    std::deque<Chunk> output;
    std::size_t sent = 0; // bytes of output.front() already sent
    std::size_t pending = 0; // bytes queued in output
    bool eof = false; // the peer sent everything; close once the replies are out
    bool closed = false;
};

struct Listener
{
    int fd = -1;
    std::string address;
    std::uint16_t port = 0;
    int clients = 0;
};

void closeFd(int &fd)
{
    if (fd >= 0) {
        while (::close(fd) != 0 && errno == EINTR) {
        }
        fd = -1;
    }
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string endpoint(const sockaddr_in &sa)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return std::string(text) + ':' + std::to_string(ntohs(sa.sin_port));
}

// Printable form of a line for the command log.
std::string printable(const std::string &text, std::size_t max = 200)
{
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() < max; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (out.size() >= max)
        out += "...";
    return out;
}

} // namespace

struct Server::Impl
{
    std::vector<std::unique_ptr<Mainframe>> mainframes;
    std::vector<std::pair<std::string, std::uint16_t>> requested;
    std::vector<Listener> listeners;
    std::vector<Connection> connections;
    LogLevel logLevel = LogLevel::Quiet;
    std::function<void(const std::string &)> sink;
    int maxClients = 64;
    // Out of file descriptors: the listeners rest for a moment instead of
    // waking poll() again and again.
    Clock::time_point acceptPausedUntil{};
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread thread;
    std::atomic<bool> running{false}; // read by running() from any thread

    void log(LogLevel level, const std::string &text)
    {
        if (level > logLevel)
            return;
        if (sink)
            sink(text);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    }

    std::string name(std::size_t index) const
    {
        return listeners[index].address + ':' + std::to_string(listeners[index].port);
    }

    void closeAll()
    {
        for (Connection &c : connections)
            closeFd(c.fd);
        connections.clear();
        for (Listener &l : listeners)
            closeFd(l.fd);
        listeners.clear();
        closeFd(wakeRead);
        closeFd(wakeWrite);
    }

    bool bindAll(std::string *error);
    void run();
    void accept(std::size_t index);
    void readFrom(Connection &c);
    void processInput(Connection &c);
    void handleLine(Connection &c, std::string &line);
    void writeTo(Connection &c);
    int pollTimeout() const;
};

bool Server::Impl::bindAll(std::string *error)
{
    auto fail = [&](const std::string &where, int err) {
        if (error) {
            *error = "cannot listen on " + where + ": " + std::strerror(err);
            if (err == EACCES)
                *error += " (ports below 1024 need root privileges)";
            else if (err == EADDRNOTAVAIL)
                *error += " (no such local address)";
        }
        closeAll();
        return false;
    };

    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return fail("wake pipe", errno);
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    setNonBlocking(wakeRead);
    setNonBlocking(wakeWrite);

    for (std::size_t i = 0; i < requested.size(); ++i) {
        const std::string where = requested[i].first + ':' + std::to_string(requested[i].second);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(requested[i].second);
        if (::inet_pton(AF_INET, requested[i].first.c_str(), &sa.sin_addr) != 1)
            return fail(where, EINVAL);
        Listener l;
        l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (l.fd < 0)
            return fail(where, errno);
        listeners.push_back(l);
        const int one = 1;
        ::setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(l.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(l.fd, kListenBacklog) != 0 ||
            !setNonBlocking(l.fd))
            return fail(where, errno);
        socklen_t len = sizeof sa;
        if (::getsockname(l.fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return fail(where, errno);
        listeners.back().address = requested[i].first;
        listeners.back().port = ntohs(sa.sin_port);
        mainframes[i]->setBoundAddress(listeners.back().address, listeners.back().port);
    }
    return true;
}

int Server::Impl::pollTimeout() const
{
    const Clock::time_point now = Clock::now();
    long best = -1;
    if (acceptPausedUntil > now)
        best =
            static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(acceptPausedUntil - now).count()) +
            1;
    for (const Connection &c : connections) {
        if (c.output.empty())
            continue;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(c.output.front().due - now).count();
        if (wait <= 0)
            continue; // writable data waits for POLLOUT instead
        const long ms = static_cast<long>(wait) + 1;
        if (best < 0 || ms < best)
            best = ms;
    }
    return static_cast<int>(best);
}

void Server::Impl::accept(std::size_t index)
{
    Listener &l = listeners[index];
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int fd = ::accept4(l.fd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                log(LogLevel::Connections, name(index) + ": accept failed: " + std::strerror(errno));
            return;
        }
        const std::string peer = endpoint(sa);
        if (l.clients >= maxClients) {
            log(LogLevel::Connections, name(index) + ": refused " + peer + " (too many clients)");
            closeFd(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.fd = fd;
        c.mainframe = index;
        c.peer = peer;
        connections.push_back(std::move(c));
        ++l.clients;
        log(LogLevel::Connections, name(index) + ": connection from " + peer);
    }
}

void Server::Impl::handleLine(Connection &c, std::string &line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    log(LogLevel::Commands, name(c.mainframe) + " " + c.peer + " > " + printable(line));
    LineOutcome outcome = mainframes[c.mainframe]->processLine(line);
    switch (outcome.action) {
    case LineOutcome::Action::Drop:
        log(LogLevel::Commands, name(c.mainframe) + " " + c.peer + " dropped");
        c.closed = true;
        return;
    case LineOutcome::Action::Silent:
        return;
    case LineOutcome::Action::Reply:
        break;
    }
    log(LogLevel::Commands, name(c.mainframe) + " " + c.peer + " < " + printable(outcome.bytes));
    c.pending += outcome.bytes.size();
    c.output.push_back(Chunk{Clock::now() + std::chrono::milliseconds(outcome.delayMs), std::move(outcome.bytes)});
}

// Reads one chunk; only called once the previous chunk is used up, so the
// input held per connection stays below kReadChunk plus one line.
void Server::Impl::readFrom(Connection &c)
{
    char buffer[kReadChunk];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            c.closed = true;
        return;
    }
    if (n == 0) {
        c.eof = true;
        return;
    }
    c.received.assign(buffer, static_cast<std::size_t>(n));
    c.consumed = 0;
}

// Executes the complete lines received so far, as long as the client keeps
// up with reading the replies.
void Server::Impl::processInput(Connection &c)
{
    while (!c.closed && c.consumed < c.received.size() && c.pending < kOutputHighWater) {
        const char *p = c.received.data() + c.consumed;
        const std::size_t left = c.received.size() - c.consumed;
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', left));
        const std::size_t length = lf ? static_cast<std::size_t>(lf - p) : left;
        c.consumed += lf ? length + 1 : length;
        if (!c.discarding) {
            c.input.append(p, length);
            if (c.input.size() > kMaxLineLength) {
                mainframes[c.mainframe]->pushError(scpi::InputBufferOverrun);
                log(LogLevel::Commands, name(c.mainframe) + " " + c.peer + " > (line too long, discarded)");
                c.input.clear();
                c.input.shrink_to_fit();
                c.discarding = true;
            }
        }
        if (!lf)
            break;
        if (c.discarding) {
            c.discarding = false;
        } else {
            std::string line;
            line.swap(c.input);
            handleLine(c, line);
        }
    }
    if (c.consumed >= c.received.size()) {
        c.received.clear();
        c.consumed = 0;
    }
}

void Server::Impl::writeTo(Connection &c)
{
    const Clock::time_point now = Clock::now();
    while (!c.output.empty() && c.output.front().due <= now) {
        Chunk &chunk = c.output.front();
        const ssize_t n = ::send(c.fd, chunk.data.data() + c.sent, chunk.data.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.closed = true;
            return;
        }
        c.sent += static_cast<std::size_t>(n);
        if (c.sent < chunk.data.size())
            return;
        c.pending -= chunk.data.size();
        c.sent = 0;
        c.output.pop_front();
    }
}

void Server::Impl::run()
{
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back(pollfd{wakeRead, POLLIN, 0});
        const Clock::time_point now = Clock::now();
        const short listenEvents = now >= acceptPausedUntil ? POLLIN : 0;
        for (const Listener &l : listeners)
            fds.push_back(pollfd{l.fd, listenEvents, 0});
        for (const Connection &c : connections) {
            short events = 0;
            if (c.received.empty() && c.pending < kOutputHighWater && !c.eof)
                events |= POLLIN;
            if (!c.output.empty() && c.output.front().due <= now)
                events |= POLLOUT;
            fds.push_back(pollfd{c.fd, events, 0});
        }
        const int rc = ::poll(fds.data(), fds.size(), pollTimeout());
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            log(LogLevel::Connections, std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
            return;
        }
        const std::size_t listenerCount = listeners.size();
        const std::size_t connectionCount = connections.size(); // accept() appends
        for (std::size_t i = 0; i < connectionCount; ++i) {
            Connection &c = connections[i];
            const short revents = fds[1 + listenerCount + i].revents;
            if (c.eof && (revents & (POLLHUP | POLLERR)))
                c.closed = true; // gone both ways: nobody left to read the replies
            else if ((revents & (POLLIN | POLLHUP | POLLERR)) && c.received.empty())
                readFrom(c);
            processInput(c);
            if (!c.closed)
                writeTo(c);
            processInput(c); // the replies sent may have made room
            if (c.eof && c.output.empty())
                c.closed = true;
        }
        for (std::size_t i = 0; i < listenerCount; ++i) {
            if (fds[1 + i].revents & POLLIN)
                accept(i);
        }
        for (std::size_t i = 0; i < connections.size();) {
            Connection &c = connections[i];
            if (!c.closed) {
                ++i;
                continue;
            }
            log(LogLevel::Connections, name(c.mainframe) + ": " + c.peer + " disconnected");
            --listeners[c.mainframe].clients;
            closeFd(c.fd);
            if (i + 1 != connections.size())
                connections[i] = std::move(connections.back());
            connections.pop_back();
        }
    }
}

Server::Server()
    : d(new Impl)
{}

Server::~Server()
{
    stop();
}

Mainframe &Server::addMainframe(const std::string &address, std::uint16_t port, std::uint32_t seed)
{
    d->mainframes.push_back(std::make_unique<Mainframe>(seed));
    d->requested.emplace_back(address, port);
    return *d->mainframes.back();
}

std::size_t Server::count() const
{
    return d->mainframes.size();
}

Mainframe &Server::mainframe(std::size_t index)
{
    return *d->mainframes.at(index);
}

void Server::setLogLevel(LogLevel level)
{
    d->logLevel = level;
}

void Server::setLogSink(std::function<void(const std::string &)> sink)
{
    d->sink = std::move(sink);
}

void Server::setMaxClients(int perMainframe)
{
    d->maxClients = perMainframe < 1 ? 1 : perMainframe;
}

bool Server::start(std::string *error)
{
    if (d->running)
        return true;
    if (!d->bindAll(error))
        return false;
    for (std::size_t i = 0; i < d->listeners.size(); ++i)
        d->log(LogLevel::Connections, "listening on " + d->name(i));
    d->running = true;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void Server::stop()
{
    if (!d->running)
        return;
    const char byte = 'q';
    while (::write(d->wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    d->thread.join();
    d->closeAll();
    d->running = false;
}

bool Server::running() const
{
    return d->running;
}

} // namespace cv4870emu
