// Allow-list decisions, probe budgets and label values: the places where
// a slip lets a probe through, outlives the scrape or breaks a scrape.
#include "allowlist.h"
#include "exporter.h"
#include "exposition.h"
#include "webconfig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace cv4870exp;
using std::chrono::milliseconds;

TEST(AllowList, DecidesByAddressNameAndResource)
{
    AllowList allow;
    std::istringstream file("10.20.1.0/24  # rack\n\nfd00:4870::/32\nmf-a.lab\n*.racks.lab\n"
                            "TCPIP0::192.168.1.5::5025::SOCKET\n::ffff:127.0.0.0/125\n");
    ASSERT_TRUE(allow.load(file));
    const struct
    {
        const char *resource;
        bool allowed;
    } rows[] = {
        {"TCPIP0::10.20.1.0::23::SOCKET", true},
        {"TCPIP0::10.20.1.255::1::SOCKET", true},
        {"TCPIP0::10.20.2.0::23::SOCKET", false},
        {"TCPIP0::10.20.01.7::23::SOCKET", true}, // decimal, as the session connects
        {"TCPIP0::[fd00:4870:ffff::1]::23::SOCKET", true},
        {"TCPIP0::[fd00:4871::1]::23::SOCKET", false},
        {"TCPIP0::MF-A.Lab::23::SOCKET", true},
        {"TCPIP0::mf-b.lab::23::SOCKET", false},
        {"TCPIP0::x.racks.lab::23::SOCKET", true},
        {"TCPIP0::racks.lab::23::SOCKET", false},
        {"TCPIP0::xracks.lab::23::SOCKET", false},
        {"TCPIP0::192.168.1.5::5025::SOCKET", true},
        {"TCPIP1::192.168.1.5::5025::SOCKET", true},
        {"TCPIP0::192.168.1.5::23::SOCKET", false},
        {"TCPIP0::167908359::23::SOCKET", false},
        {"ASRL1::INSTR", false},
        // IPv6 spellings of IPv4 addresses are judged as those addresses.
        {"TCPIP0::[::ffff:10.20.1.7]::23::SOCKET", true},
        {"TCPIP0::[64:ff9b::a14:207]::23::SOCKET", false},
        {"TCPIP0::[::ffff:127.0.0.200]::23::SOCKET", false},
        {"TCPIP0::[64:ff9b::7f00:c8]::23::SOCKET", false},
        {"TCPIP0::[::ffff:127.0.0.7]::23::SOCKET", true},
        {"TCPIP0::[FD00:4870::0:1]::5::SOCKET", true},
        {"TCPIP0::[::ffff:c0a8:105]::5025::SOCKET", true},
    };
    for (const auto &row : rows)
        EXPECT_EQ(allow.allows(row.resource), row.allowed) << row.resource;
    // No IPv6 block admits an IPv4 address in IPv6 spelling.
    AllowList wide;
    ASSERT_TRUE(wide.add("127.0.0.0/26") && wide.add("::/0"));
    for (const char *host : {"::ffff:127.0.0.200", "::ffff:7f00:c8", "64:ff9b::7f00:c8", "64:ff9b::127.0.0.200"})
        EXPECT_FALSE(wide.allows("TCPIP0::[" + std::string(host) + "]::23::SOCKET")) << host;
    EXPECT_TRUE(wide.allows("TCPIP0::[::ffff:127.0.0.63]::23::SOCKET"));
    EXPECT_TRUE(wide.allows("TCPIP0::[0:0:0:0:0:0:0:1]::23::SOCKET"));
    // What follows a NUL counts too: C parsers would stop at it.
    EXPECT_FALSE(allow.allows(std::string("TCPIP0::10.20.1.7::23::SOCKET\0x", 31)));
    EXPECT_FALSE(allow.add(std::string("10.20.1.7\0x", 11)));
}

TEST(AllowList, RefusesBadEntriesAndKeepsNothingOfABadFile)
{
    for (const char *entry : {"", "10.0.0.1/33", "10.0.0.1/24", "10.0.0.0/", "10.0.0.0/x", "0x7f000001", "127.1", "*.",
                              "bad_name", "TCPIP0::host", "fd00::/129", "10.0.0.1 x", "::ffff:10.0.0.0/95"}) {
        AllowList allow;
        std::string error;
        EXPECT_FALSE(allow.add(entry, &error)) << entry;
        EXPECT_FALSE(error.empty()) << entry;
    }
    AllowList allow;
    std::istringstream file("10.0.0.0/8\n10.0.0.0/33\n");
    std::string error;
    EXPECT_FALSE(allow.load(file, &error));
    EXPECT_EQ(error.compare(0, 7, "line 2:"), 0) << error;
    EXPECT_EQ(allow.size(), 0u);
}

TEST(ProbeBudget, ScrapeTimeoutLessMarginUnderTheCeiling)
{
    const struct
    {
        const char *header;
        long long ceiling, expected;
    } rows[] = {
        {"", 10000, 10000},    {"10", 10000, 9500},     {"10", 3000, 3000},   {"2", 10000, 1800},
        {"0.5", 10000, 450},   {"0", 10000, 10000},     {"-1", 10000, 10000}, {"nan", 10000, 10000},
        {"inf", 10000, 10000}, {"1e999", 10000, 10000}, {"5s", 10000, 10000}, {"0.0001", 10000, 1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(probeBudget(row.header, milliseconds(row.ceiling)).count(), row.expected) << row.header;
}

// A label value from the mainframe reaches the text escaped and as valid
// UTF-8: Prometheus drops a whole scrape over one bad byte.
TEST(Exposition, KeepsHostileLabelValuesParseable)
{
    Families f;
    f.family("m", "Help.");
    f.sample({{"l", "x\"y\\z\nw \xc3\xa9 \xff \xe2\x82 \xed\xa0\x80 \xc0\xaf"}}, 0.1);
    EXPECT_EQ(f.text(), "# HELP m Help.\n# TYPE m gauge\nm{l=\"x\\\"y\\\\z\\nw \xc3\xa9 ? ?? ??? ??\"} 0.1\n");
}

// bcrypt of "secret" at cost 4, so the test stays quick.
const char kHash[] = "$2b$04$vboK/ICtXzcWXmSmfzE/s.zu6rr9yVXzJRZBjfK/U/.3PIM5ZWFAq";

TEST(WebConfig, AcceptsTheToolkitFormatAndRefusesTheRest)
{
    char dir[] = "/tmp/cv4870-webconfig-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    std::ofstream(base + "/c.pem") << "certificate";
    std::ofstream(base + "/k.pem") << "key";
    const std::string tls = "tls_server_config: {cert_file: c.pem, key_file: k.pem";
    const std::string users = std::string("basic_auth_users: {prom: '") + kHash + "'}\n";
    const struct
    {
        std::string text;
        const char *error; // start of the error; nullptr: accepted
        const char *priorities;
    } rows[] = {
        {"", nullptr, nullptr},
        {tls + ", min_version: TLS13}\n" + users, nullptr, "NORMAL:-VERS-ALL:+VERS-TLS1.3"},
        {tls + ", client_auth_type: NoClientCert}", nullptr, "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2"},
        {tls + ", max_version: TLS12}", nullptr, "NORMAL:-VERS-ALL:+VERS-TLS1.2"},
        {"http_server_config: {headers: {X-Frame-Options: deny}}", nullptr, nullptr},
        {"tls_server_config: [", "not valid YAML", nullptr},
        {"tls_config: {}", "unknown key tls_config", nullptr},
        {tls + ", certfile: x}", "unknown key tls_server_config.certfile", nullptr},
        {"tls_server_config: {key_file: k.pem}", "tls_server_config needs cert_file", nullptr},
        {"tls_server_config: {cert_file: none.pem, key_file: k.pem}", "tls_server_config.cert_file", nullptr},
        {tls + ", min_version: TLS11}", "tls_server_config.min_version TLS11 is not offered", nullptr},
        {tls + ", min_version: tls13}", "tls_server_config.min_version must be", nullptr},
        {tls + ", min_version: TLS13, max_version: TLS12}", "tls_server_config.min_version is above", nullptr},
        {tls + ", client_auth_type: RequireAndVerifyClientCert}", "tls_server_config.client_auth_type", nullptr},
        {"basic_auth_users: {prom: secret}", "basic_auth_users.prom is not a bcrypt hash", nullptr},
        {"basic_auth_users: {prom: '$1$abc$0123456789012345678901'}", "basic_auth_users.prom", nullptr},
        {std::string("basic_auth_users: {prom: '") + std::string(kHash).replace(4, 2, "03") + "'}",
         "basic_auth_users.prom", nullptr},
        {"basic_auth_users: [prom]", "basic_auth_users must be a mapping", nullptr},
        {"http_server_config: {headers: {Set-Cookie: a}}", "http_server_config.headers.Set-Cookie", nullptr},
    };
    for (const auto &row : rows) {
        std::ofstream(base + "/web.yml") << row.text;
        WebConfig config;
        std::string error;
        const bool ok = loadWebConfig(base + "/web.yml", &config, &error);
        EXPECT_EQ(ok, row.error == nullptr) << row.text << ": " << error;
        if (row.error) {
            EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.text << ": " << error;
        }
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        if (ok && row.priorities) {
            ASSERT_TRUE(config.tls) << row.text;
            EXPECT_EQ(config.tls->priorities, row.priorities);
            EXPECT_EQ(config.tls->certFile, base + "/c.pem"); // relative to the file
        }
    }
    for (const char *name : {"/c.pem", "/k.pem", "/web.yml"})
        std::remove((base + name).c_str());
    rmdir(dir);
}

TEST(BasicAuth, AllowsOnlyTheRightPasswordAndRemembersIt)
{
    BasicAuth auth({{"prom", kHash}, {"other", kHash}}, 1);
    using V = BasicAuth::Verdict;
    const std::string good = "Basic cHJvbTpzZWNyZXQ="; // prom:secret
    const struct
    {
        std::string header;
        V quick;
        bool verified;
    } rows[] = {
        {"", V::Denied, false},
        {"Bearer cHJvbTpzZWNyZXQ=", V::Denied, false},
        {"Basic !!!", V::Denied, false},
        {"Basic cHJvbXNlY3JldA==", V::Denied, false}, // no colon
        {"Basic cHJvbTpzZWNyZXQAeA==", V::Denied, false}, // prom:secret NUL x
        {"Basic cHJvbTpTZWNyZXQ=", V::Slow, false}, // prom:Secret
        {"Basic bm9ib2R5OnNlY3JldA==", V::Slow, false}, // nobody:secret
        {good, V::Slow, true},
        {"basic  cHJvbTpzZWNyZXQ=", V::Allowed, true}, // remembered; scheme in any case
        {"Basic b3RoZXI6c2VjcmV0", V::Slow, true}, // other:secret pushes prom out
        {good, V::Slow, true},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(auth.quick(&row.header), row.quick) << row.header;
        EXPECT_EQ(auth.verify(&row.header), row.verified) << row.header;
    }
    EXPECT_EQ(auth.quick(nullptr), V::Denied);
    EXPECT_FALSE(BasicAuth({}).verify(&good));
}
