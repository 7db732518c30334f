#include "webconfig.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

namespace cv4870exp {

namespace {

constexpr std::size_t kMaxFileBytes = 1024 * 1024;
constexpr std::size_t kMaxAuthorizationBytes = 4096;

// The response headers the exporter toolkit lets a web config set.
const char *const kSettableHeaders[] = {"Strict-Transport-Security", "X-Content-Type-Options", "X-Frame-Options",
                                        "X-XSS-Protection", "Content-Security-Policy"};

struct ConfigError
{
    std::string what;
};

[[noreturn]] void fail(const std::string &what)
{
    throw ConfigError{what};
}

// The keys of a mapping; anything else in it is an error.
void onlyKeys(const YAML::Node &map, const char *where, std::initializer_list<const char *> known)
{
    if (!map.IsMap())
        fail((*where ? std::string(where) : std::string("the file")) + " must be a mapping");
    for (const auto &item : map) {
        const std::string key = item.first.Scalar();
        if (std::none_of(known.begin(), known.end(), [&](const char *k) { return key == k; }))
            fail("unknown key " + (*where ? std::string(where) + "." : std::string()) + key);
    }
}

std::string scalar(const YAML::Node &node, const std::string &what)
{
    if (!node.IsScalar())
        fail(what + " must be a string");
    return node.Scalar();
}

std::string resolve(const std::string &name, const std::string &baseDir)
{
    if (name.empty() || name[0] == '/' || baseDir.empty())
        return name;
    return baseDir + "/" + name;
}

void mustRead(const std::string &file, const char *key)
{
    std::ifstream in(file);
    if (!in || in.peek() == std::ifstream::traits_type::eof())
        fail(std::string("tls_server_config.") + key + " " + file + " cannot be read");
}

// 0 for TLS 1.2, 1 for TLS 1.3.
int tlsVersion(const std::string &text, const char *key)
{
    if (text == "TLS12")
        return 0;
    if (text == "TLS13")
        return 1;
    if (text == "TLS10" || text == "TLS11")
        fail(std::string("tls_server_config.") + key + " " + text + " is not offered: TLS12 or TLS13");
    fail(std::string("tls_server_config.") + key + " must be TLS12 or TLS13, not " + text);
}

cvhttp::TlsOptions readTls(const YAML::Node &tls, const std::string &baseDir)
{
    onlyKeys(tls, "tls_server_config",
             {"cert_file", "key_file", "min_version", "max_version", "client_auth_type", "client_ca_file",
              "cipher_suites", "curve_preferences", "prefer_server_cipher_suites"});
    const char *const unsupported[] = {"client_ca_file", "cipher_suites", "curve_preferences"};
    for (const char *key : unsupported) {
        if (tls[key])
            fail(std::string("tls_server_config.") + key + " is not supported by cv4870-exporter");
    }
    if (const YAML::Node auth = tls["client_auth_type"]) {
        const std::string type = scalar(auth, "tls_server_config.client_auth_type");
        if (type != "NoClientCert" && type != "none" && !type.empty())
            fail("tls_server_config.client_auth_type " + type +
                 ": client certificates are not supported, only NoClientCert");
    }
    cvhttp::TlsOptions options;
    if (tls["cert_file"])
        options.certFile = resolve(scalar(tls["cert_file"], "tls_server_config.cert_file"), baseDir);
    if (tls["key_file"])
        options.keyFile = resolve(scalar(tls["key_file"], "tls_server_config.key_file"), baseDir);
    if (options.certFile.empty())
        fail("tls_server_config needs cert_file");
    if (options.keyFile.empty())
        fail("tls_server_config needs key_file");
    mustRead(options.certFile, "cert_file");
    mustRead(options.keyFile, "key_file");
    const int low = tls["min_version"] ? tlsVersion(scalar(tls["min_version"], "min_version"), "min_version") : 0;
    const int high = tls["max_version"] ? tlsVersion(scalar(tls["max_version"], "max_version"), "max_version") : 1;
    if (low > high)
        fail("tls_server_config.min_version is above max_version");
    options.priorities = "NORMAL:-VERS-ALL";
    if (high == 1)
        options.priorities += ":+VERS-TLS1.3";
    if (low == 0)
        options.priorities += ":+VERS-TLS1.2";
    return options;
}

cvhttp::Fields readHeaders(const YAML::Node &http)
{
    onlyKeys(http, "http_server_config", {"headers", "http2"});
    cvhttp::Fields fields;
    const YAML::Node headers = http["headers"];
    if (!headers)
        return fields;
    if (!headers.IsMap())
        fail("http_server_config.headers must be a mapping");
    for (const auto &item : headers) {
        const std::string name = item.first.Scalar();
        const auto known = std::find_if(std::begin(kSettableHeaders), std::end(kSettableHeaders),
                                        [&](const char *h) { return cvhttp::sameName(name, h); });
        if (known == std::end(kSettableHeaders))
            fail("http_server_config.headers." + name + " cannot be set");
        const std::string value = scalar(item.second, "http_server_config.headers." + name);
        if (std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
            fail("http_server_config.headers." + name + " holds a control character");
        fields.emplace_back(*known, value);
    }
    return fields;
}

// $2a$, $2b$ or $2y$, a two-digit cost from 04 to 31, then 53 characters
// of salt and hash in bcrypt's alphabet.
bool isBcrypt(const std::string &hash)
{
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y')
        return false;
    if (!std::isdigit(static_cast<unsigned char>(hash[4])) || !std::isdigit(static_cast<unsigned char>(hash[5])))
        return false;
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31)
        return false;
    return std::all_of(hash.begin() + 7, hash.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/'; });
}

std::map<std::string, std::string> readUsers(const YAML::Node &users)
{
    if (users.IsNull())
        return {};
    if (!users.IsMap())
        fail("basic_auth_users must be a mapping of user names to bcrypt hashes");
    std::map<std::string, std::string> out;
    for (const auto &item : users) {
        const std::string user = item.first.Scalar();
        if (user.empty() || user.find(':') != std::string::npos)
            fail("basic_auth_users: a user name must be non-empty and without ':'");
        const std::string hash = scalar(item.second, "basic_auth_users." + user);
        if (!isBcrypt(hash))
            fail("basic_auth_users." + user + " is not a bcrypt hash ($2a$, $2b$ or $2y$)");
        out[user] = hash;
    }
    return out;
}

// HMAC-SHA-256 under a key drawn at start, so that what the cache holds
// tells nothing about a password outside this process.
std::string cacheKey(const std::string &key, const std::string &user, const std::string &password)
{
    const std::string data = user + '\0' + password;
    std::array<unsigned char, 32> digest{};
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), data.data(), data.size(), digest.data());
    return std::string(digest.begin(), digest.end());
}

bool sameInConstantTime(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

// "Basic base64(user:password)" into user and password.
bool splitBasic(const std::string *authorization, std::string *user, std::string *password)
{
    if (!authorization || authorization->size() > kMaxAuthorizationBytes || authorization->size() < 6)
        return false;
    if (!cvhttp::sameName(std::string_view(*authorization).substr(0, 6), "Basic "))
        return false;
    std::string encoded = authorization->substr(6);
    encoded.erase(0, encoded.find_first_not_of(' '));
    encoded.erase(encoded.find_last_not_of(' ') + 1);
    if (encoded.empty())
        return false;
    gnutls_datum_t in{reinterpret_cast<unsigned char *>(encoded.data()), static_cast<unsigned>(encoded.size())};
    gnutls_datum_t out{nullptr, 0};
    if (gnutls_base64_decode2(&in, &out) < 0)
        return false;
    const std::string decoded(reinterpret_cast<const char *>(out.data), out.size);
    gnutls_free(out.data);
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos || decoded.find('\0') != std::string::npos)
        return false; // crypt_r would stop at a NUL
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

} // namespace

bool parseWebConfig(const std::string &text, const std::string &baseDir, WebConfig *config, std::string *error)
{
    try {
        const YAML::Node root = YAML::Load(text);
        WebConfig parsed;
        if (root.IsNull()) { // an empty file: plain HTTP, no authentication
            *config = parsed;
            return true;
        }
        onlyKeys(root, "", {"tls_server_config", "http_server_config", "basic_auth_users"});
        if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull())
            parsed.tls = readTls(tls, baseDir);
        if (const YAML::Node http = root["http_server_config"]; http && !http.IsNull())
            parsed.headers = readHeaders(http);
        if (const YAML::Node users = root["basic_auth_users"])
            parsed.users = readUsers(users);
        *config = std::move(parsed);
        return true;
    } catch (const ConfigError &e) {
        if (error)
            *error = e.what;
    } catch (const YAML::Exception &e) {
        if (error)
            *error = "not valid YAML: line " + std::to_string(e.mark.line + 1) + ": " + e.msg;
    }
    return false;
}

bool loadWebConfig(const std::string &path, WebConfig *config, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot be read";
        return false;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes) {
        if (error)
            *error = "is larger than 1 MiB";
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string baseDir = slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    return parseWebConfig(text, baseDir, config, error);
}

BasicAuth::BasicAuth(std::map<std::string, std::string> users, std::size_t cacheEntries)
    : users_(std::move(users))
    , cacheEntries_(std::max<std::size_t>(cacheEntries, 1))
{}

BasicAuth::Verdict BasicAuth::quick(const std::string *authorization) const
{
    std::string user, password;
    if (!splitBasic(authorization, &user, &password))
        return Verdict::Denied;
    const std::string key = cacheKey(key_, user, password);
    std::lock_guard<std::mutex> lock(mutex_);
    return cache_.count(key) ? Verdict::Allowed : Verdict::Slow;
}

bool BasicAuth::verify(const std::string *authorization)
{
    std::string user, password;
    if (users_.empty() || !splitBasic(authorization, &user, &password))
        return false;
    const std::string key = cacheKey(key_, user, password);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cache_.count(key))
            return true;
    }
    const auto found = users_.find(user);
    // An unknown user is checked against a known hash all the same, so that
    // the time of the answer does not tell which users exist.
    const std::string &hash = found != users_.end() ? found->second : users_.begin()->second;
    auto data = std::make_unique<crypt_data>();
    const char *result = crypt_r(password.c_str(), hash.c_str(), data.get());
    const bool good = found != users_.end() && result && result[0] != '*' && sameInConstantTime(result, hash);
    if (!good)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (cacheEntries_ > 0 && cache_.insert(key).second) {
        order_.push_back(key);
        if (order_.size() > cacheEntries_) {
            cache_.erase(order_.front());
            order_.pop_front();
        }
    }
    return true;
}

} // namespace cv4870exp
