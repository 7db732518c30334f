// Network side of the emulator: one thread waits on an epoll set holding
// every listener and client socket of every mainframe, and on a heap of
// timers for replies held back. A wake-up costs in proportion to what is
// ready, not to how many mainframes and clients there are. Sockets are
// non-blocking; a client that does not read its replies is simply not read
// from until it catches up.
#include "cv4870emu.h"
#include "scpi.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <queue>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace cv4870emu {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kOutputHighWater = 256 * 1024; // stop reading above this
constexpr int kListenBacklog = 4096; // the kernel caps it at net.core.somaxconn
constexpr int kAcceptPauseMs = 100;
constexpr int kMaxEvents = 256; // per epoll_wait()

// epoll tags: the kind in the top two bits; a connection's tag also holds
// its slot's generation, so a stale tag never reaches a newer connection.
constexpr std::uint64_t kWakeTag = 0;
constexpr std::uint64_t kListenerKind = std::uint64_t(1) << 62;
constexpr std::uint64_t kConnectionKind = std::uint64_t(2) << 62;
constexpr std::uint64_t kKindMask = std::uint64_t(3) << 62;

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
    std::uint64_t tag = 0;
    std::uint32_t events = 0; // registered with epoll
    bool timerArmed = false; // a timer is set for output.front()
    Clock::time_point timerDue{};
};

struct Listener
{
    int fd = -1;
    std::string address;
    std::uint16_t port = 0;
    int clients = 0;
    bool paused = false; // out of descriptors: not accepting for a moment
};

struct Timer
{
    Clock::time_point due;
    std::uint64_t tag; // a connection's, or a listener's to resume accepting
    bool operator>(const Timer &o) const { return due > o.due; }
};

void closeFd(int &fd)
{
    if (fd >= 0) {
        while (::close(fd) != 0 && errno == EINTR) {
        }
        fd = -1;
    }
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
    // Connections by slot; a free slot is null and listed in freeSlots.
    std::vector<std::unique_ptr<Connection>> slots;
    std::vector<std::uint32_t> generations; // per slot, bumped when freed
    std::vector<std::uint32_t> freeSlots;
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
    LogLevel logLevel = LogLevel::Quiet;
    std::function<void(const std::string &)> sink;
    int maxClients = 64;
    int epollFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> running{false}; // read by running() from any thread
    std::atomic<std::size_t> clientCount{0};
    std::atomic<std::uint64_t> wakeups{0};

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
        for (std::unique_ptr<Connection> &c : slots) {
            if (c)
                closeFd(c->fd);
        }
        slots.clear();
        generations.clear();
        freeSlots.clear();
        timers = {};
        clientCount = 0;
        for (Listener &l : listeners)
            closeFd(l.fd);
        listeners.clear();
        closeFd(epollFd);
        closeFd(wakeFd);
    }

    bool watch(int op, int fd, std::uint32_t events, std::uint64_t tag)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = tag;
        return ::epoll_ctl(epollFd, op, fd, &ev) == 0;
    }

    Connection *connection(std::uint64_t tag) const
    {
        const std::size_t slot = static_cast<std::size_t>(tag & 0xffffffffu);
        if (slot >= slots.size() || !slots[slot] || slots[slot]->tag != tag)
            return nullptr;
        return slots[slot].get();
    }

    bool bindAll(std::string *error);
    void run();
    int waitMs();
    void runTimers();
    void accept(std::size_t index);
    void service(Connection &c, std::uint32_t revents);
    void rearm(Connection &c);
    void close(Connection &c);
    void readFrom(Connection &c);
    void processInput(Connection &c);
    void handleLine(Connection &c, std::string &line);
    void writeTo(Connection &c);
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
        errno = err;
        return false;
    };

    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return fail("epoll", errno);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0 || !watch(EPOLL_CTL_ADD, wakeFd, EPOLLIN, kWakeTag))
        return fail("wake event", errno);

    listeners.reserve(requested.size());
    for (std::size_t i = 0; i < requested.size(); ++i) {
        const std::string where = requested[i].first + ':' + std::to_string(requested[i].second);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(requested[i].second);
        if (::inet_pton(AF_INET, requested[i].first.c_str(), &sa.sin_addr) != 1)
            return fail(where, EINVAL);
        Listener l;
        l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (l.fd < 0)
            return fail(where, errno);
        listeners.push_back(l);
        const int one = 1;
        ::setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(l.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(l.fd, kListenBacklog) != 0 ||
            !watch(EPOLL_CTL_ADD, l.fd, EPOLLIN, kListenerKind | i))
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

// Milliseconds until the earliest timer (rounded up), -1 for none. Timers
// of connections gone or moved on are dropped here.
int Server::Impl::waitMs()
{
    while (!timers.empty()) {
        const Timer &t = timers.top();
        if ((t.tag & kKindMask) == kConnectionKind) {
            const Connection *c = connection(t.tag);
            if (!c || !c->timerArmed || c->timerDue != t.due) {
                timers.pop();
                continue;
            }
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - Clock::now()).count();
        if (wait < 0)
            return 0;
        return wait >= std::numeric_limits<int>::max() - 1 ? std::numeric_limits<int>::max()
                                                           : static_cast<int>(wait) + 1;
    }
    return -1;
}

void Server::Impl::runTimers()
{
    const Clock::time_point now = Clock::now();
    while (!timers.empty() && timers.top().due <= now) {
        const Timer t = timers.top();
        timers.pop();
        if ((t.tag & kKindMask) == kListenerKind) {
            Listener &l = listeners[static_cast<std::size_t>(t.tag & ~kKindMask)];
            if (l.paused && watch(EPOLL_CTL_MOD, l.fd, EPOLLIN, t.tag))
                l.paused = false;
            continue;
        }
        Connection *c = connection(t.tag);
        if (!c || !c->timerArmed || c->timerDue != t.due)
            continue;
        c->timerArmed = false;
        service(*c, 0);
    }
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
            const int err = errno;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                // Rest instead of waking again and again for the same backlog.
                if (watch(EPOLL_CTL_MOD, l.fd, 0, kListenerKind | index)) {
                    l.paused = true;
                    timers.push(Timer{Clock::now() + std::chrono::milliseconds(kAcceptPauseMs), kListenerKind | index});
                }
            }
            if (err != EAGAIN && err != EWOULDBLOCK)
                log(LogLevel::Connections, name(index) + ": accept failed: " + std::strerror(err));
            return;
        }
        const std::string peer = endpoint(sa);
        if (l.clients >= maxClients) {
            log(LogLevel::Connections, name(index) + ": refused " + peer + " (too many clients)");
            closeFd(fd);
            continue;
        }
        std::uint32_t slot;
        if (freeSlots.empty()) {
            slot = static_cast<std::uint32_t>(slots.size());
            slots.emplace_back();
            generations.push_back(0);
        } else {
            slot = freeSlots.back();
            freeSlots.pop_back();
        }
        const std::uint64_t tag = kConnectionKind | (std::uint64_t(generations[slot] & 0x3fffffffu) << 32) | slot;
        if (!watch(EPOLL_CTL_ADD, fd, EPOLLIN, tag)) {
            log(LogLevel::Connections, name(index) + ": cannot watch " + peer + ": " + std::strerror(errno));
            closeFd(fd);
            freeSlots.push_back(slot);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->mainframe = index;
        c->peer = peer;
        c->tag = tag;
        c->events = EPOLLIN;
        slots[slot] = std::move(c);
        ++l.clients;
        ++clientCount;
        log(LogLevel::Connections, name(index) + ": connection from " + peer);
    }
}

// One connection's turn: after an epoll event (revents) or its timer (0).
void Server::Impl::service(Connection &c, std::uint32_t revents)
{
    if (revents & (EPOLLERR | EPOLLHUP)) {
        c.closed = true; // reset or gone both ways: nobody left to read the replies
    } else {
        if ((revents & EPOLLIN) && c.received.empty())
            readFrom(c);
        processInput(c);
        if (!c.closed)
            writeTo(c);
        processInput(c); // the replies sent may have made room
        if (c.eof && c.output.empty())
            c.closed = true;
    }
    if (c.closed)
        close(c);
    else
        rearm(c);
}

// Brings the epoll interest and the timer in line with the connection's
// state: read while nothing is held back, write while a reply is due, and
// wake when the next held-back reply falls due.
void Server::Impl::rearm(Connection &c)
{
    const Clock::time_point now = Clock::now();
    const bool due = !c.output.empty() && c.output.front().due <= now;
    std::uint32_t events = 0;
    if (c.received.empty() && c.pending < kOutputHighWater && !c.eof)
        events |= EPOLLIN;
    if (due)
        events |= EPOLLOUT;
    if (events != c.events && watch(EPOLL_CTL_MOD, c.fd, events, c.tag))
        c.events = events;
    if (!c.output.empty() && !due && (!c.timerArmed || c.timerDue != c.output.front().due)) {
        c.timerArmed = true;
        c.timerDue = c.output.front().due;
        timers.push(Timer{c.timerDue, c.tag});
    }
}

void Server::Impl::close(Connection &c)
{
    log(LogLevel::Connections, name(c.mainframe) + ": " + c.peer + " disconnected");
    --listeners[c.mainframe].clients;
    --clientCount;
    closeFd(c.fd); // also leaves the epoll set
    const std::uint32_t slot = static_cast<std::uint32_t>(c.tag & 0xffffffffu);
    ++generations[slot];
    freeSlots.push_back(slot);
    slots[slot].reset();
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
    epoll_event events[kMaxEvents];
    for (;;) {
        const int n = ::epoll_wait(epollFd, events, kMaxEvents, waitMs());
        ++wakeups;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log(LogLevel::Connections, std::string("epoll_wait failed: ") + std::strerror(errno));
            return;
        }
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag)
                return; // stop()
            if ((tag & kKindMask) == kListenerKind) {
                accept(static_cast<std::size_t>(tag & ~kKindMask));
            } else if (Connection *c = connection(tag)) {
                service(*c, events[i].events);
            }
        }
        runTimers();
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

std::size_t Server::clientCount() const
{
    return d->clientCount;
}

std::uint64_t Server::wakeups() const
{
    return d->wakeups;
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
    const std::uint64_t one = 1;
    while (::write(d->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
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
