// cvhttp: the HTTP server that the exporter and the web service share, on
// libmicrohttpd. One polling thread (poll) serves every connection; a
// handler answers at once or later from any thread while its connection
// waits suspended, so a slow answer holds no thread. Every request has a
// total deadline from its first byte, so no client can hold a connection
// by sending a byte now and then.
//
//   cvhttp::Server server;
//   cvhttp::ServerOptions options; // address, port, limits, tls, defaultHeaders
//   server.start(options, [&](const cvhttp::Request &r, cvhttp::Reply reply) {
//       if (r.path == "/now")
//           reply.send(cvhttp::Response::text(200, "at once\n"));
//       else if (r.path == "/later") // answered from a worker thread
//           workers.submit([reply] { reply.send(cvhttp::Response::text(200, slowWork())); });
//       else if (auto events = reply.stream(head, onGone)) // Server-Sent Events
//           keep(events); // events->push("data: ...\n\n") from any thread
//   }, &error);
#ifndef CVHTTP_SERVER_H
#define CVHTTP_SERVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cvhttp {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Case-insensitive comparison of header names (ASCII).
bool sameName(std::string_view a, std::string_view b);

struct Request
{
    std::string method;
    std::string path; // decoded, without the query
    Fields query; // decoded, in the order sent
    Fields headers; // in the order sent
    std::string body; // at most Limits::requestBodyBytes
    std::string clientAddress; // numeric, "127.0.0.1" or "::1"
    std::uint16_t clientPort = 0;
    bool tls = false;

    // The first header of that name (case-insensitive), nullptr if absent.
    const std::string *header(std::string_view name) const;
    // The first query parameter of that name, nullptr if absent.
    const std::string *queryValue(std::string_view name) const;
};

struct Response
{
    unsigned status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    Fields headers; // added after the server's default headers, replacing those of the same name

    static Response text(unsigned status, std::string body);
};

namespace detail {
struct Exchange;
}

// The producer side of a streamed answer (Server-Sent Events): text
// chunks are sent as they come. Thread-safe; callable from any thread.
class EventStream
{
public:
    // Queues a chunk; false once the stream is closed, the client went
    // away, or the unsent text passed Limits::streamBufferBytes (the
    // stream is then closed, so a client that stops reading costs no more).
    bool push(std::string_view chunk);
    // Ends the answer once the queued text is sent. Idempotent.
    void close();
    bool closed() const;
    // Bytes pushed and not yet handed to the connection, so that a producer
    // with much to send can pace itself below the bound.
    std::size_t unsent() const;

    explicit EventStream(std::shared_ptr<detail::Exchange> exchange);

private:
    std::shared_ptr<detail::Exchange> x_;
};

// How a handler answers its request, once, now or later from any thread.
// Copies share one answer; when the last copy goes without an answer the
// client gets 500.
class Reply
{
public:
    // The first answer counts; later calls do nothing and return false.
    bool send(Response response) const;
    // Answers with a stream: head's status and headers (by default
    // text/event-stream, no-cache, and no buffering by proxies), a comment
    // line at once, then the chunks pushed into the stream. gone is called once, on the server's thread,
    // when the stream ends for any reason (client away, closed, stop);
    // it must not block. Null when the request was already answered.
    std::shared_ptr<EventStream> stream(Response head, std::function<void()> gone = {}) const;

    struct Token;
    explicit Reply(std::shared_ptr<Token> token);

private:
    std::shared_ptr<Token> token_;
};

// Called on the server's polling thread with a complete request: it must
// not block. Work that waits runs elsewhere and answers through the Reply.
using Handler = std::function<void(const Request &request, Reply reply)>;

struct Limits
{
    unsigned maxConnections = 1024; // lowered to what the descriptor limit allows
    unsigned maxConnectionsPerIp = 512; // 0: no limit of its own; at most half of maxConnections
    std::size_t requestLineBytes = 8 * 1024; // the request target; longer: 414
    std::size_t requestHeaderBytes = 32 * 1024; // request line and headers; more: 414 or 431
    std::size_t requestBodyBytes = 64 * 1024; // more: 413
    std::chrono::milliseconds requestDeadline{10000}; // first byte to complete request
    std::chrono::seconds idleTimeout{30}; // no traffic at all
    std::size_t streamBufferBytes = 256 * 1024; // unsent text of one stream
    std::chrono::seconds streamKeepAlive{15}; // a comment line on a quiet stream; 0: none
    unsigned reservedDescriptors = 64; // kept free for everything but connections
};

struct TlsOptions
{
    std::string certFile; // PEM, the certificate chain
    std::string keyFile; // PEM, unencrypted
    std::string priorities; // GnuTLS priority string; empty: "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2"
};

struct ServerOptions
{
    std::string address = "127.0.0.1"; // numeric IPv4 or IPv6
    std::uint16_t port = 0; // 0: a free port
    Limits limits;
    std::optional<TlsOptions> tls;
    Fields defaultHeaders; // on every answer, e.g. security headers
    unsigned threads = 1; // polling threads
    std::function<void(const std::string &)> log; // the server's own warnings; none when empty
    // Shapes the answers the server gives by itself before any handler
    // (400, 413, 414, 503 while stopping, 500) from their status and text, e.g. as
    // JSON; plain text when empty.
    std::function<Response(unsigned status, const std::string &text)> errorResponse;
};

struct ServerStats
{
    std::uint64_t deadlineClosed = 0; // connections closed for a request past its deadline
    std::uint64_t streamsOverflowed = 0; // streams closed for a client that did not read
    unsigned connections = 0; // open now
    unsigned maxConnections = 0; // in force after the descriptor limit
    unsigned maxConnectionsPerIp = 0; // in force
};

class Server
{
public:
    Server();
    ~Server(); // stop()
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens and serves; false with *error set when it can not.
    bool start(const ServerOptions &options, Handler handler, std::string *error);
    std::uint16_t port() const;
    ServerStats stats() const;
    // Answers 503 to requests still waiting, ends streams, closes every
    // connection and waits for the handlers running. Idempotent.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// Splits "address:port" or "[v6]:port"; false when it is not one.
bool splitListenAddress(const std::string &text, std::string *address, std::uint16_t *port);
// True for a numeric IPv4 or IPv6 address.
bool isNumericAddress(const std::string &text);

} // namespace cvhttp

#endif
