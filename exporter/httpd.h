// The exporter's HTTP side: libmicrohttpd with a thread per connection, so
// a slow probe holds only its own connection.
#ifndef CV4870_EXPORTER_HTTPD_H
#define CV4870_EXPORTER_HTTPD_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace cv4870exp {

struct HttpRequest
{
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query; // in order, decoded
    std::string scrapeTimeout; // X-Prometheus-Scrape-Timeout-Seconds, if sent
};

struct HttpResponse
{
    unsigned status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
};

struct HttpLimits
{
    unsigned maxConnections = 1024;
    unsigned connectionTimeoutS = 10; // idle or unfinished requests are closed
    std::size_t requestBytes = 16 * 1024; // request line and headers
};

class HttpServer
{
public:
    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Listens on a numeric IPv4 or IPv6 address ("127.0.0.1", "::1"); port
    // 0 picks a free one. False with *error set on failure.
    bool start(const std::string &address, std::uint16_t port, const HttpLimits &limits, Handler handler,
               std::string *error);
    std::uint16_t port() const;
    // Stops listening and waits for the requests in progress; idempotent.
    void stop();

private:
    friend struct HttpServerAccess;
    MHD_Daemon *daemon_ = nullptr;
    Handler handler_;
};

// Splits "address:port" or "[v6]:port". False when it is not one.
bool splitListenAddress(const std::string &text, std::string *address, std::uint16_t *port);

} // namespace cv4870exp

#endif
