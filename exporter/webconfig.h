// The web configuration file (--web.config.file) in the format of
// Prometheus' exporter toolkit: TLS (tls_server_config), response headers
// (http_server_config.headers) and HTTP basic authentication with bcrypt
// hashes (basic_auth_users).
//
//   tls_server_config:
//     cert_file: exporter.crt      # relative to the file itself
//     key_file: exporter.key
//     min_version: TLS13           # TLS12 (default) or TLS13
//   basic_auth_users:
//     prometheus: $2b$10$...       # bcrypt, e.g. htpasswd -nBC 10 prometheus
#ifndef CV4870_EXPORTER_WEBCONFIG_H
#define CV4870_EXPORTER_WEBCONFIG_H

#include <cvhttp/server.h>

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace cv4870exp {

struct WebConfig
{
    std::optional<cvhttp::TlsOptions> tls; // none: plain HTTP
    cvhttp::Fields headers; // on every answer
    std::map<std::string, std::string> users; // user name -> bcrypt hash; empty: no authentication
};

// Reads the YAML text; relative file names are taken relative to baseDir.
// Unknown keys, a key or certificate file that cannot be read, a TLS
// version or client authentication that is not offered and a hash that is
// not bcrypt are errors (false, with a one-line *error).
bool parseWebConfig(const std::string &text, const std::string &baseDir, WebConfig *config, std::string *error);
// The same from a file; relative names are relative to its directory.
bool loadWebConfig(const std::string &path, WebConfig *config, std::string *error);

// Checks the Authorization header of a request against the users. bcrypt
// is slow on purpose, so a verified user and password is remembered (by
// their HMAC-SHA-256 under a key drawn at start, never in clear) for the
// next scrapes; failures are not.
// Thread-safe.
class BasicAuth
{
public:
    explicit BasicAuth(std::map<std::string, std::string> users, std::size_t cacheEntries = 256);

    bool enabled() const { return !users_.empty(); }

    enum class Verdict { Allowed, Denied, Slow };
    // From the cache only: Allowed for a remembered user and password,
    // Denied for a missing or malformed header, Slow when bcrypt must say.
    Verdict quick(const std::string *authorization) const;
    // The full check with bcrypt (tens of milliseconds): run it off the
    // server's polling thread. An unknown user costs the same as a wrong
    // password.
    bool verify(const std::string *authorization);

private:
    const std::map<std::string, std::string> users_;
    std::size_t cacheEntries_;
    std::string key_; // of the HMAC
    mutable std::mutex mutex_;
    std::set<std::string> cache_; // HMAC of user, NUL, password
    std::deque<std::string> order_; // oldest first, for eviction
};

} // namespace cv4870exp

#endif
