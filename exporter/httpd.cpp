#include "httpd.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace cv4870exp {

namespace {

const char kScrapeTimeoutHeader[] = "X-Prometheus-Scrape-Timeout-Seconds";

// With their lengths, so that a "%00" in a value can not cut it short.
MHD_Result collectArgument(void *cls, MHD_ValueKind, const char *key, std::size_t keySize, const char *value,
                           std::size_t valueSize)
{
    static_cast<HttpRequest *>(cls)->query.emplace_back(key ? std::string(key, keySize) : std::string(),
                                                        value ? std::string(value, valueSize) : std::string());
    return MHD_YES;
}

MHD_Result reply(MHD_Connection *connection, const HttpResponse &response)
{
    MHD_Response *r = MHD_create_response_from_buffer(response.body.size(), const_cast<char *>(response.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    const MHD_Result queued = MHD_queue_response(connection, response.status, r);
    MHD_destroy_response(r);
    return queued;
}

} // namespace

struct HttpServerAccess
{
    static MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                             const char *, std::size_t *uploadSize, void **state)
    {
        static int headersSeen;
        auto *server = static_cast<HttpServer *>(cls);
        HttpResponse response;
        try {
            HttpRequest request;
            request.method = method;
            request.path = url;
            if (request.method != "GET" && request.method != "HEAD") {
                response.status = MHD_HTTP_METHOD_NOT_ALLOWED;
                response.body = "Only GET and HEAD are served.\n";
                return reply(connection, response);
            }
            // The first call has the headers only. Answering once the
            // request is complete keeps the connection alive for the next
            // scrape; a body that a GET should not have is skipped.
            if (*state == nullptr) {
                *state = &headersSeen;
                return MHD_YES;
            }
            if (*uploadSize != 0) {
                *uploadSize = 0;
                return MHD_YES;
            }
            MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collectArgument, &request);
            if (const char *t = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, kScrapeTimeoutHeader))
                request.scrapeTimeout = t;
            response = server->handler_(request);
        } catch (const std::exception &) {
            response = HttpResponse{};
            response.status = MHD_HTTP_INTERNAL_SERVER_ERROR;
            response.body = "Internal error.\n";
        }
        return reply(connection, response);
    }
};

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(const std::string &address, std::uint16_t port, const HttpLimits &limits, Handler handler,
                       std::string *error)
{
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr *addr = nullptr;
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD;
    if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        addr = reinterpret_cast<const sockaddr *>(&v4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        addr = reinterpret_cast<const sockaddr *>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        *error = "'" + address + "' is not a numeric IPv4 or IPv6 address";
        return false;
    }
    handler_ = std::move(handler);
    errno = 0;
    daemon_ = MHD_start_daemon(flags, port, nullptr, nullptr, &HttpServerAccess::handle, this, MHD_OPTION_SOCK_ADDR,
                               addr, MHD_OPTION_CONNECTION_LIMIT, limits.maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                               limits.connectionTimeoutS, MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.requestBytes,
                               MHD_OPTION_END);
    if (!daemon_) {
        *error = "cannot listen on " + address + " port " + std::to_string(port) +
                 (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    return true;
}

std::uint16_t HttpServer::port() const
{
    const MHD_DaemonInfo *info = daemon_ ? MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    return info ? info->port : 0;
}

void HttpServer::stop()
{
    if (daemon_)
        MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
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

} // namespace cv4870exp
