#include "cvhttp/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace cvhttp {

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::size_t kPemFileBytes = 1024 * 1024;
constexpr char kDefaultPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
constexpr std::chrono::milliseconds kTick{200};
// Marks a request whose target is longer than Limits::requestLineBytes.
char longTarget;

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

const std::string *find(const Fields &fields, std::string_view name, bool anyCase)
{
    for (const auto &f : fields) {
        if (anyCase ? sameName(f.first, name) : f.first == name)
            return &f.second;
    }
    return nullptr;
}

bool readBounded(const std::string &path, std::string *text, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    text->resize(kPemFileBytes + 1);
    in.read(&(*text)[0], std::streamsize(text->size()));
    text->resize(static_cast<std::size_t>(in.gcount()));
    if (text->size() > kPemFileBytes) {
        *error = path + " is larger than 1 MiB";
        return false;
    }
    if (text->empty()) {
        *error = path + " is empty";
        return false;
    }
    return true;
}

} // namespace

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

const std::string *Request::header(std::string_view name) const
{
    return find(headers, name, true);
}

const std::string *Request::queryValue(std::string_view name) const
{
    return find(query, name, false);
}

Response Response::text(unsigned status, std::string body)
{
    Response r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

namespace detail {

// One request from its headers to its end: the answer a handler gives
// from any thread, and the text of a stream. The polling thread and the
// producers meet under the mutex; the connection is touched only while
// conn is set, which the request's end clears.
struct Exchange
{
    Server::Impl *server = nullptr;
    MHD_Connection *conn = nullptr; // null once the request ended
    Request request;
    bool bodyTooLarge = false;
    bool handled = false; // the handler has been called

    std::mutex mutex;
    bool suspended = false;
    bool answered = false; // an answer or a stream was given
    std::optional<Response> answer; // waiting to be queued
    bool streaming = false;
    bool queued = false; // given to the connection
    std::string unsent; // stream text not yet taken by the connection
    bool streamClosed = false;
    bool streamAborted = false; // closed for a client that does not read
    Steady::time_point lastPush;
    std::function<void()> gone;

    // Under mutex: lets the polling thread pick up what changed.
    void wake()
    {
        if (suspended && conn) {
            suspended = false;
            MHD_resume_connection(conn);
        }
    }
    bool give(Response response)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (answered || !conn)
            return false;
        answered = true;
        answer = std::move(response);
        wake();
        return true;
    }
};

} // namespace detail

using detail::Exchange;

struct Reply::Token
{
    std::shared_ptr<Exchange> x;
    ~Token()
    {
        if (x)
            x->give(Response::text(500, "Internal error: the request was not answered.\n"));
    }
};

Reply::Reply(std::shared_ptr<Token> token)
    : token_(std::move(token))
{}

bool Reply::send(Response response) const
{
    return token_->x->give(std::move(response));
}

EventStream::EventStream(std::shared_ptr<Exchange> exchange)
    : x_(std::move(exchange))
{}

struct Server::Impl
{
    MHD_Daemon *daemon = nullptr;
    Handler handler;
    ServerOptions options;

    Response own(unsigned status, const char *text) const
    {
        return options.errorResponse ? options.errorResponse(status, text) : Response::text(status, text);
    }
    unsigned maxConnections = 0, maxPerIp = 0;

    // Open connections with their socket, and the deadline of the request
    // they are receiving (none while a request is being answered).
    struct Track
    {
        int fd = -1;
        bool armed = false;
        Steady::time_point deadline;
    };
    std::mutex trackMutex;
    std::unordered_map<MHD_Connection *, Track> tracks;
    std::unordered_set<std::shared_ptr<Exchange>> exchanges; // requests not ended; guarded by trackMutex
    bool stopping = false; // guarded by trackMutex
    std::atomic<std::uint64_t> deadlineClosed{0}, streamsOverflowed{0};

    std::thread timer;
    std::mutex timerMutex;
    std::condition_variable timerWake;
    bool timerStop = false;

    void log(const std::string &text)
    {
        if (options.log)
            options.log(text);
    }
    void arm(MHD_Connection *conn, std::chrono::milliseconds within)
    {
        std::lock_guard<std::mutex> lock(trackMutex);
        const auto it = tracks.find(conn);
        if (it != tracks.end()) {
            it->second.armed = within.count() > 0;
            it->second.deadline = Steady::now() + within;
        }
    }
    // Ends a connection from outside the polling thread: the socket is
    // shut down, and the polling thread sees the end and closes it.
    void cut(MHD_Connection *conn)
    {
        std::lock_guard<std::mutex> lock(trackMutex);
        const auto it = tracks.find(conn);
        if (it != tracks.end() && it->second.fd >= 0)
            shutdown(it->second.fd, SHUT_RDWR);
    }
    void runTimer();
    MHD_Result queue(const std::shared_ptr<Exchange> &x);

    static MHD_Result access(void *cls, MHD_Connection *conn, const char *url, const char *method, const char *version,
                             const char *upload, std::size_t *uploadSize, void **state);
    static void completed(void *cls, MHD_Connection *conn, void **state, MHD_RequestTerminationCode code);
    static void notify(void *cls, MHD_Connection *conn, void **socketContext, MHD_ConnectionNotificationCode code);
    static ssize_t readStream(void *cls, std::uint64_t pos, char *buf, std::size_t max);
    static void freeStream(void *cls);
    static void logger(void *cls, const char *format, va_list args);
    static void *uriSeen(void *cls, const char *uri, MHD_Connection *conn);
};

bool EventStream::push(std::string_view chunk)
{
    bool overflow = false;
    MHD_Connection *conn = nullptr;
    {
        std::lock_guard<std::mutex> lock(x_->mutex);
        if (x_->streamClosed || !x_->conn)
            return false;
        if (x_->unsent.size() + chunk.size() > x_->server->options.limits.streamBufferBytes) {
            x_->streamClosed = x_->streamAborted = true;
            std::string().swap(x_->unsent);
            overflow = true;
            conn = x_->conn;
        } else {
            x_->unsent.append(chunk);
            x_->lastPush = Steady::now();
        }
        x_->wake();
    }
    if (overflow) {
        ++x_->server->streamsOverflowed;
        // A client that reads nothing never lets the connection take the
        // end of the stream: its socket is shut down.
        x_->server->cut(conn);
    }
    return !overflow;
}

void EventStream::close()
{
    std::lock_guard<std::mutex> lock(x_->mutex);
    x_->streamClosed = true;
    x_->wake();
}

bool EventStream::closed() const
{
    std::lock_guard<std::mutex> lock(x_->mutex);
    return x_->streamClosed || !x_->conn;
}

std::size_t EventStream::unsent() const
{
    std::lock_guard<std::mutex> lock(x_->mutex);
    return x_->unsent.size();
}

std::shared_ptr<EventStream> Reply::stream(Response head, std::function<void()> gone) const
{
    Exchange &x = *token_->x;
    std::lock_guard<std::mutex> lock(x.mutex);
    if (x.answered || !x.conn)
        return nullptr;
    x.answered = x.streaming = true;
    if (head.contentType == Response().contentType)
        head.contentType = "text/event-stream";
    if (!find(head.headers, "Cache-Control", true))
        head.headers.emplace_back("Cache-Control", "no-cache, no-transform");
    if (!find(head.headers, "X-Accel-Buffering", true))
        head.headers.emplace_back("X-Accel-Buffering", "no");
    x.unsent = ":\n\n"; // sent at once, so that the client sees the answer begin
    x.answer = std::move(head);
    x.gone = std::move(gone);
    x.lastPush = Steady::now();
    x.wake();
    return std::make_shared<EventStream>(token_->x);
}

namespace {

MHD_Result collect(void *cls, MHD_ValueKind, const char *key, std::size_t keySize, const char *value,
                   std::size_t valueSize)
{
    // With their lengths, so that a "%00" in a value can not cut it short.
    static_cast<Fields *>(cls)->emplace_back(key ? std::string(key, keySize) : std::string(),
                                             value ? std::string(value, valueSize) : std::string());
    return MHD_YES;
}

void addHeaders(MHD_Response *r, const Fields &defaults, const Response &response)
{
    for (const auto &h : defaults) {
        if (!find(response.headers, h.first, true))
            MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    }
    for (const auto &h : response.headers)
        MHD_add_response_header(r, h.first.c_str(), h.second.c_str());
    if (!response.contentType.empty())
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
}

MHD_Result queueBuffer(MHD_Connection *conn, const Fields &defaults, const Response &response)
{
    MHD_Response *r = MHD_create_response_from_buffer(response.body.size(), const_cast<char *>(response.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    addHeaders(r, defaults, response);
    const MHD_Result queued = MHD_queue_response(conn, response.status, r);
    MHD_destroy_response(r);
    return queued;
}

// A Content-Length past the limit; the server has already refused one that
// is not a number.
bool tooLarge(const std::string &length, std::size_t limit)
{
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return length.size() > 18 || std::stoull(length) > limit;
}

void fillRequest(MHD_Connection *conn, const char *url, const char *method, Request *request)
{
    request->method = method;
    request->path = url;
    MHD_get_connection_values_n(conn, MHD_HEADER_KIND, collect, &request->headers);
    const MHD_ConnectionInfo *info = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr *sa = info ? info->client_addr : nullptr;
    char text[INET6_ADDRSTRLEN] = "";
    if (sa && sa->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(sa);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        request->clientPort = ntohs(v4->sin_port);
    } else if (sa && sa->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        request->clientPort = ntohs(v6->sin6_port);
    }
    request->clientAddress = text;
}

} // namespace

MHD_Result Server::Impl::queue(const std::shared_ptr<Exchange> &xp)
{
    Exchange &x = *xp;
    std::unique_lock<std::mutex> lock(x.mutex);
    if (x.queued)
        return MHD_YES;
    if (!x.answer) {
        // Waits for the answer without a thread: the connection rests
        // until a handler or the stop wakes it.
        x.suspended = true;
        MHD_suspend_connection(x.conn);
        return MHD_YES;
    }
    x.queued = true;
    Response response = std::move(*x.answer);
    x.answer.reset();
    const bool streaming = x.streaming;
    lock.unlock();
    if (!streaming)
        return queueBuffer(x.conn, options.defaultHeaders, response);
    auto *cls = new std::shared_ptr<Exchange>(xp);
    MHD_Response *r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Impl::readStream, cls, &Impl::freeStream);
    if (!r) {
        delete cls;
        return MHD_NO;
    }
    addHeaders(r, options.defaultHeaders, response);
    const MHD_Result queued = MHD_queue_response(x.conn, response.status, r);
    MHD_destroy_response(r);
    return queued;
}

MHD_Result Server::Impl::access(void *cls, MHD_Connection *conn, const char *url, const char *method,
                                const char *version, const char *upload, std::size_t *uploadSize, void **state)
{
    auto *self = static_cast<Impl *>(cls);
    const bool tooLong = *state == &longTarget;
    auto *holder = tooLong ? nullptr : static_cast<std::shared_ptr<Exchange> *>(*state);
    if (!holder) {
        // The headers are complete; the body, if any, follows.
        auto x = std::make_shared<Exchange>();
        x->server = self;
        x->conn = conn;
        x->request.tls = self->options.tls.has_value();
        fillRequest(conn, url, method, &x->request);
        {
            std::lock_guard<std::mutex> lock(self->trackMutex);
            self->exchanges.insert(x);
        }
        *state = new std::shared_ptr<Exchange>(x);
        if (tooLong) {
            x->handled = x->answered = x->queued = true;
            self->arm(conn, std::chrono::milliseconds(0));
            return queueBuffer(conn, self->options.defaultHeaders, self->own(414, "Request target too long.\n"));
        }
        if (std::strcmp(version, MHD_HTTP_VERSION_1_1) == 0 && !x->request.header(MHD_HTTP_HEADER_HOST)) {
            // HTTP/1.1 requires the Host header.
            x->handled = x->answered = x->queued = true;
            self->arm(conn, std::chrono::milliseconds(0));
            return queueBuffer(conn, self->options.defaultHeaders, self->own(400, "Missing Host header.\n"));
        }
        const std::string *length = x->request.header(MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && tooLarge(*length, self->options.limits.requestBodyBytes)) {
            x->handled = x->answered = x->queued = true;
            self->arm(conn, std::chrono::milliseconds(0));
            return queueBuffer(conn, self->options.defaultHeaders, self->own(413, "Request body too large.\n"));
        }
        return MHD_YES;
    }
    Exchange &x = **holder;
    if (*uploadSize != 0) {
        if (!x.handled && !x.bodyTooLarge) {
            if (x.request.body.size() + *uploadSize > self->options.limits.requestBodyBytes) {
                x.bodyTooLarge = true;
                std::string().swap(x.request.body);
            } else {
                x.request.body.append(upload, *uploadSize);
            }
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    if (x.handled)
        return self->queue(*holder);
    x.handled = true;
    self->arm(conn, std::chrono::milliseconds(0));
    if (x.bodyTooLarge) {
        x.answered = x.queued = true;
        return queueBuffer(conn, self->options.defaultHeaders, self->own(413, "Request body too large.\n"));
    }
    MHD_get_connection_values_n(conn, MHD_GET_ARGUMENT_KIND, collect, &x.request.query);
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(self->trackMutex);
        stopping = self->stopping;
    }
    if (stopping) {
        x.give(self->own(503, "The server is stopping.\n"));
    } else {
        try {
            auto token = std::make_shared<Reply::Token>();
            token->x = *holder;
            self->handler(x.request, Reply(std::move(token)));
        } catch (...) {
            x.give(self->own(500, "Internal error.\n"));
        }
    }
    return self->queue(*holder);
}

void Server::Impl::completed(void *cls, MHD_Connection *conn, void **state, MHD_RequestTerminationCode)
{
    auto *self = static_cast<Impl *>(cls);
    // The mark of a long target stays when the headers never completed.
    auto *holder = *state == &longTarget ? nullptr : static_cast<std::shared_ptr<Exchange> *>(*state);
    *state = nullptr;
    // The next request on a kept-alive connection has the idle time to
    // begin and the deadline to arrive whole.
    self->arm(conn, std::chrono::duration_cast<std::chrono::milliseconds>(self->options.limits.idleTimeout) +
                        self->options.limits.requestDeadline);
    if (!holder)
        return;
    std::function<void()> gone;
    {
        std::lock_guard<std::mutex> lock((*holder)->mutex);
        (*holder)->conn = nullptr;
        (*holder)->suspended = false;
        (*holder)->streamClosed = true;
        std::string().swap((*holder)->unsent);
        gone = std::move((*holder)->gone);
    }
    {
        std::lock_guard<std::mutex> lock(self->trackMutex);
        self->exchanges.erase(*holder);
    }
    delete holder;
    if (gone) {
        try {
            gone();
        } catch (...) {
            // The stream is gone either way.
        }
    }
}

void Server::Impl::notify(void *cls, MHD_Connection *conn, void **, MHD_ConnectionNotificationCode code)
{
    auto *self = static_cast<Impl *>(cls);
    std::lock_guard<std::mutex> lock(self->trackMutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        Track track;
        if (const MHD_ConnectionInfo *info = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD))
            track.fd = info->connect_fd;
        track.armed = true;
        track.deadline = Steady::now() + self->options.limits.requestDeadline;
        self->tracks[conn] = track;
    } else {
        // Called before the socket is closed: the timer, which shuts
        // sockets down under the same mutex, never reaches a reused one.
        self->tracks.erase(conn);
    }
}

ssize_t Server::Impl::readStream(void *cls, std::uint64_t, char *buf, std::size_t max)
{
    Exchange &x = **static_cast<std::shared_ptr<Exchange> *>(cls);
    std::lock_guard<std::mutex> lock(x.mutex);
    if (!x.unsent.empty()) {
        const std::size_t n = std::min(max, x.unsent.size());
        std::memcpy(buf, x.unsent.data(), n);
        x.unsent.erase(0, n);
        return static_cast<ssize_t>(n);
    }
    if (x.streamAborted || !x.conn)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    if (x.streamClosed)
        return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: the connection rests until a push wakes it.
    x.suspended = true;
    MHD_suspend_connection(x.conn);
    return 0;
}

void *Server::Impl::uriSeen(void *cls, const char *uri, MHD_Connection *)
{
    // The request line fits the connection's buffer, which is larger, so
    // that the client gets its 414 and not a bare close.
    return std::strlen(uri) > static_cast<Impl *>(cls)->options.limits.requestLineBytes ? &longTarget : nullptr;
}

void Server::Impl::freeStream(void *cls)
{
    delete static_cast<std::shared_ptr<Exchange> *>(cls);
}

void Server::Impl::logger(void *cls, const char *format, va_list args)
{
    auto *self = static_cast<Impl *>(cls);
    if (!self->options.log)
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    self->log(line);
}

void Server::Impl::runTimer()
{
    std::unique_lock<std::mutex> lock(timerMutex);
    while (!timerWake.wait_for(lock, kTick, [this] { return timerStop; })) {
        const Steady::time_point now = Steady::now();
        std::vector<std::shared_ptr<Exchange>> streams;
        {
            std::lock_guard<std::mutex> g(trackMutex);
            for (auto &t : tracks) {
                if (t.second.armed && t.second.deadline <= now && t.second.fd >= 0) {
                    // Past its deadline: the polling thread sees the end of
                    // the socket and closes the connection.
                    shutdown(t.second.fd, SHUT_RDWR);
                    t.second.armed = false;
                    ++deadlineClosed;
                }
            }
            if (options.limits.streamKeepAlive.count() > 0) {
                for (const auto &x : exchanges) {
                    if (x->streaming)
                        streams.push_back(x);
                }
            }
        }
        for (const auto &x : streams) {
            bool quiet = false;
            {
                std::lock_guard<std::mutex> g(x->mutex);
                quiet = x->conn && !x->streamClosed && now - x->lastPush >= options.limits.streamKeepAlive;
            }
            // A comment line keeps proxies from closing a quiet stream,
            // and shows a client that went away.
            if (quiet)
                EventStream(x).push(":\n\n");
        }
    }
}

Server::Server()
    : d(std::make_unique<Impl>())
{}

Server::~Server()
{
    stop();
}

bool Server::start(const ServerOptions &options, Handler handler, std::string *error)
{
    if (d->daemon) {
        *error = "the server is already running";
        return false;
    }
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr *addr = nullptr;
    // poll(), not epoll: with this libmicrohttpd (0.9.75) epoll's edge
    // triggering loses the next request of a kept-alive connection whose
    // last answer came after a resume, and the client waits for the idle
    // timeout. poll() over a thousand connections costs little.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME;
    if (inet_pton(AF_INET, options.address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(options.port);
        addr = reinterpret_cast<const sockaddr *>(&v4);
    } else if (inet_pton(AF_INET6, options.address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(options.port);
        addr = reinterpret_cast<const sockaddr *>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        *error = "'" + options.address + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    std::string cert, key;
    if (options.tls) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            *error = "this libmicrohttpd has no TLS";
            return false;
        }
        if (!readBounded(options.tls->certFile, &cert, error) || !readBounded(options.tls->keyFile, &key, error))
            return false;
        flags |= MHD_USE_TLS;
    }
    d->options = options;
    d->handler = std::move(handler);
    d->stopping = false;
    d->timerStop = false;
    const Limits &limits = options.limits;

    // Every connection holds a descriptor: at most as many connections as
    // the limit leaves beside the reserve, so that accepting never fails
    // for want of one (which would leave the listening socket ready and
    // the polling thread spinning).
    unsigned maxConnections = std::max(1u, limits.maxConnections);
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
        const rlim_t room =
            rl.rlim_cur > limits.reservedDescriptors + 16 ? rl.rlim_cur - limits.reservedDescriptors : 16;
        if (room < maxConnections) {
            maxConnections = static_cast<unsigned>(room);
            d->log("at most " + std::to_string(maxConnections) + " connections: the descriptor limit is " +
                   std::to_string(rl.rlim_cur));
        }
    }
    // No single address may take more than half of the connections.
    unsigned perIp = std::max(1u, maxConnections / 2);
    if (limits.maxConnectionsPerIp != 0)
        perIp = std::min(perIp, limits.maxConnectionsPerIp);
    d->maxConnections = maxConnections;
    d->maxPerIp = perIp;
    const unsigned idle = static_cast<unsigned>(std::max<long long>(1, limits.idleTimeout.count()));
    const std::string priorities =
        options.tls && !options.tls->priorities.empty() ? options.tls->priorities : kDefaultPriorities;

    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Impl::logger), d.get()},
        {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr *>(addr)},
        {MHD_OPTION_CONNECTION_LIMIT, maxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, perIp, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, idle, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits.requestHeaderBytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::uriSeen), d.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::completed), d.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::notify), d.get()},
    };
    // Each polling thread takes its share of the connections.
    const unsigned threads = std::min(options.threads, maxConnections);
    if (threads > 1)
        items.push_back({MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr});
    if (options.tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(cert.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(key.c_str())});
        items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(priorities.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    errno = 0;
    d->daemon = MHD_start_daemon(flags | MHD_USE_ERROR_LOG, options.port, nullptr, nullptr, &Impl::access, d.get(),
                                 MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (!d->daemon) {
        *error = "cannot listen on " + options.address + " port " + std::to_string(options.port) +
                 (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        if (options.tls)
            *error += " (or the TLS certificate, key or priorities are not usable)";
        return false;
    }
    d->timer = std::thread([this] { d->runTimer(); });
    return true;
}

std::uint16_t Server::port() const
{
    const MHD_DaemonInfo *info = d->daemon ? MHD_get_daemon_info(d->daemon, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    return info ? info->port : 0;
}

ServerStats Server::stats() const
{
    ServerStats s;
    s.deadlineClosed = d->deadlineClosed.load();
    s.streamsOverflowed = d->streamsOverflowed.load();
    s.maxConnections = d->maxConnections;
    s.maxConnectionsPerIp = d->maxPerIp;
    std::lock_guard<std::mutex> lock(d->trackMutex);
    s.connections = static_cast<unsigned>(d->tracks.size());
    return s;
}

void Server::stop()
{
    if (!d->daemon)
        return;
    std::vector<std::shared_ptr<Exchange>> waiting;
    {
        std::lock_guard<std::mutex> lock(d->trackMutex);
        d->stopping = true;
        waiting.assign(d->exchanges.begin(), d->exchanges.end());
    }
    // Wakes every suspended connection with its end: 503 for an answer
    // still awaited, the end of a stream.
    for (const auto &x : waiting) {
        std::lock_guard<std::mutex> lock(x->mutex);
        if (!x->answered) {
            x->answered = true;
            x->answer = Response::text(503, "The server is stopping.\n");
        }
        x->streamClosed = true;
        x->wake();
    }
    // Lets the polling thread send those answers before it closes
    // everything, for at most two seconds.
    for (int i = 0; i < 200; ++i) {
        const bool sent = std::all_of(waiting.begin(), waiting.end(), [](const std::shared_ptr<Exchange> &x) {
            std::lock_guard<std::mutex> lock(x->mutex);
            return x->conn == nullptr;
        });
        if (sent)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(d->timerMutex);
        d->timerStop = true;
    }
    d->timerWake.notify_all();
    if (d->timer.joinable())
        d->timer.join();
    // Waits for the handlers running on the polling thread, then closes
    // every connection; the request ends detach what producers still hold.
    MHD_stop_daemon(d->daemon);
    d->daemon = nullptr;
    std::lock_guard<std::mutex> lock(d->trackMutex);
    for (const auto &x : d->exchanges) {
        std::lock_guard<std::mutex> g(x->mutex);
        x->conn = nullptr; // the connection is gone; what producers still hold does nothing
    }
    d->exchanges.clear();
    d->tracks.clear();
}

bool splitListenAddress(const std::string &text, std::string *address, std::uint16_t *port)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || colon + 6 < text.size())
        return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || std::stoul(digits) > 65535)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;
    *address = host;
    *port = static_cast<std::uint16_t>(std::stoul(digits));
    return !host.empty();
}

bool isNumericAddress(const std::string &text)
{
    in6_addr numeric{};
    return inet_pton(AF_INET, text.c_str(), &numeric) == 1 || inet_pton(AF_INET6, text.c_str(), &numeric) == 1;
}

} // namespace cvhttp
