// The shared HTTP server where a plain client can not reach it well: answers
// from other threads, streams and their slow readers, the stop with requests
// still waiting, and TLS. Deadlines and limits are tested through the
// exporter (tests/exporter).
#include <cvhttp/server.h>

#include <gnutls/gnutls.h>

#include <gtest/gtest.h>

#include "lineclient.h"
#include "testproc.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Sends text and reads until the server closes, at most `within`.
std::string roundTrip(std::uint16_t port, const std::string &text, std::chrono::milliseconds within = 5000ms)
{
    LineClient c;
    std::string reply;
    if (!c.connect("127.0.0.1", port) || !c.send(text))
        return "no connection";
    c.readBytes(reply, std::string::npos, int(within.count()));
    return reply;
}

struct Served
{
    cvhttp::Server server;
    std::uint16_t port = 0;
    explicit Served(cvhttp::Handler handler, cvhttp::ServerOptions options = {})
    {
        std::string error;
        EXPECT_TRUE(server.start(options, std::move(handler), &error)) << error;
        port = server.port();
    }
};

TEST(HttpServer, AnswersFromAnotherThreadWhileServingOthers)
{
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::vector<std::thread> workers;
    cvhttp::ServerOptions options;
    options.defaultHeaders = {{"X-Frame-Options", "DENY"}, {"Cache-Control", "no-store"}};
    Served s(
        [&](const cvhttp::Request &r, cvhttp::Reply reply) {
            if (r.path == "/slow") {
                workers.emplace_back([&, reply] {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait_for(lock, 5s, [&] { return release; });
                    reply.send(cvhttp::Response::text(200, "late\n"));
                });
                return;
            }
            cvhttp::Response a = cvhttp::Response::text(201, "");
            a.headers = {{"Cache-Control", "max-age=5"}, {"Set-Cookie", "a=b"}};
            const std::string *agent = r.header("user-AGENT");
            a.body = r.method + " " + r.path + " " + (agent ? *agent : "-") + " " + r.clientAddress + " " +
                     (r.clientPort != 0 ? "port" : "0") + " " + r.body;
            for (const auto &q : r.query)
                a.body += " [" + q.first + "=" + q.second + "]";
            reply.send(a);
        },
        options);
    std::string slow;
    std::thread waiting([&] { slow = roundTrip(s.port, "GET /slow HTTP/1.0\r\n\r\n"); });
    std::this_thread::sleep_for(100ms);
    // The waiting request holds no thread of the server: this one is served.
    const std::string fast = roundTrip(s.port, "POST /x%20y?b=%26&a=1&b=2 HTTP/1.0\r\nUser-Agent: t\r\n"
                                               "Content-Length: 4\r\n\r\nbody");
    EXPECT_NE(fast.find("HTTP/1.1 201"), std::string::npos) << fast;
    EXPECT_NE(fast.find("\r\n\r\nPOST /x y t 127.0.0.1 port body [b=&] [a=1] [b=2]"), std::string::npos) << fast;
    EXPECT_NE(fast.find("X-Frame-Options: DENY"), std::string::npos) << fast;
    EXPECT_NE(fast.find("Cache-Control: max-age=5"), std::string::npos) << fast;
    EXPECT_EQ(fast.find("no-store"), std::string::npos) << fast;
    EXPECT_NE(fast.find("Set-Cookie: a=b"), std::string::npos) << fast;
    EXPECT_TRUE(slow.empty());
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();
    waiting.join();
    EXPECT_NE(slow.find("HTTP/1.1 200"), std::string::npos) << slow;
    EXPECT_NE(slow.find("late"), std::string::npos) << slow;
    for (auto &w : workers)
        w.join();
}

TEST(HttpServer, KeptAliveConnectionsGetEveryLateAnswer)
{
    // Many clients, each a kept-alive connection sending its next request
    // as soon as the late answer to the last one arrives.
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<cvhttp::Reply> pending;
    bool done = false;
    cvhttp::ServerOptions options;
    options.limits.idleTimeout = 3s;
    Served s(
        [&](const cvhttp::Request &, cvhttp::Reply reply) {
            std::lock_guard<std::mutex> lock(mutex);
            pending.push_back(reply);
            cv.notify_all();
        },
        options);
    std::thread answering([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            cv.wait_for(lock, 100ms, [&] { return done || !pending.empty(); });
            std::vector<cvhttp::Reply> now;
            now.swap(pending);
            lock.unlock();
            for (const auto &r : now)
                r.send(cvhttp::Response::text(200, "ok"));
            lock.lock();
        }
    });
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int k = 0; k < 128; ++k) {
        clients.emplace_back([&] {
            LineClient c;
            std::string line;
            for (int i = 0; i < 20 && (i > 0 || c.connect("127.0.0.1", s.port)); ++i) {
                if (!c.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"))
                    break;
                while (c.readLine(line) == LineClient::Result::Line && line != "\r") // the head
                    ;
                if (c.readBytes(line, 2) != LineClient::Result::Line || line != "ok")
                    break;
                ++answered;
            }
        });
    }
    for (auto &c : clients)
        c.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    cv.notify_all();
    answering.join();
    EXPECT_EQ(answered.load(), 128 * 20);
}

TEST(HttpServer, ReplyDroppedUnansweredIs500AndAThrowingHandler500)
{
    Served s([](const cvhttp::Request &r, cvhttp::Reply) {
        if (r.path == "/throw")
            throw std::runtime_error("handler failed");
    });
    EXPECT_EQ(roundTrip(s.port, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 500", 0), 0u);
    EXPECT_EQ(roundTrip(s.port, "GET /throw HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 500", 0), 0u);
}

TEST(HttpServer, StreamDeliversChunksInOrderAndEnds)
{
    std::vector<std::thread> producers;
    std::atomic<int> gone{0};
    Served s([&](const cvhttp::Request &, cvhttp::Reply reply) {
        cvhttp::Response head;
        head.contentType = "text/event-stream";
        auto stream = reply.stream(head, [&] { ++gone; });
        ASSERT_TRUE(stream);
        EXPECT_FALSE(reply.send(cvhttp::Response::text(200, "second answer")));
        producers.emplace_back([stream] {
            for (int i = 1; i <= 3; ++i) {
                std::this_thread::sleep_for(50ms);
                stream->push("data: " + std::to_string(i) + "\n\n");
            }
            stream->close();
            EXPECT_FALSE(stream->push("data: after close\n\n"));
        });
    });
    const std::string text = roundTrip(s.port, "GET /events HTTP/1.0\r\n\r\n");
    for (auto &p : producers)
        p.join();
    EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos) << text;
    const std::size_t one = text.find("data: 1"), two = text.find("data: 2"), three = text.find("data: 3");
    EXPECT_TRUE(one != std::string::npos && one < two && two < three && three != std::string::npos) << text;
    EXPECT_EQ(text.find("after close"), std::string::npos);
    testproc::waitUntil([&] { return gone != 0; }, 1000);
    EXPECT_EQ(gone.load(), 1);
}

TEST(HttpServer, StreamToAClientThatDoesNotReadIsClosedAtItsBound)
{
    std::shared_ptr<cvhttp::EventStream> stream;
    std::mutex mutex;
    std::atomic<bool> gone{false};
    cvhttp::ServerOptions options;
    options.limits.streamBufferBytes = 64 * 1024;
    Served s(
        [&](const cvhttp::Request &, cvhttp::Reply reply) {
            std::lock_guard<std::mutex> lock(mutex);
            stream = reply.stream({}, [&] { gone = true; });
        },
        options);
    LineClient c;
    ASSERT_TRUE(c.connect("127.0.0.1", s.port, 4096) && c.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(testproc::waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return stream != nullptr;
    }));
    // The client reads nothing: pushing goes on only until the socket
    // buffers and the bound are full.
    const std::string chunk(16 * 1024, 'x');
    std::size_t pushed = 0;
    while (pushed < 64 * 1024 * 1024 && stream->push(chunk)) {
        pushed += chunk.size();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_LT(pushed, 64u * 1024 * 1024);
    EXPECT_TRUE(stream->closed());
    EXPECT_EQ(s.server.stats().streamsOverflowed, 1u);
    EXPECT_TRUE(testproc::waitUntil([&] { return gone.load(); }));
}

TEST(HttpServer, StopAnswersWaitingRequestsAndEndsStreams)
{
    std::mutex mutex;
    std::vector<cvhttp::Reply> held;
    std::shared_ptr<cvhttp::EventStream> stream;
    std::atomic<int> gone{0};
    auto served = std::make_unique<Served>([&](const cvhttp::Request &r, cvhttp::Reply reply) {
        std::lock_guard<std::mutex> lock(mutex);
        if (r.path == "/events")
            stream = reply.stream({}, [&] { ++gone; });
        else
            held.push_back(reply); // never answered before the stop
    });
    const std::uint16_t port = served->port;
    std::string waiting[3];
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i)
        clients.emplace_back([&, i] { waiting[i] = roundTrip(port, "GET /wait HTTP/1.0\r\n\r\n"); });
    clients.emplace_back([&] { waiting[2] = roundTrip(port, "GET /events HTTP/1.0\r\n\r\n"); });
    testproc::waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return held.size() == 2 && stream;
    });
    const auto begin = std::chrono::steady_clock::now();
    served->server.stop();
    served->server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    for (auto &c : clients)
        c.join();
    EXPECT_EQ(waiting[0].rfind("HTTP/1.1 503", 0), 0u) << waiting[0];
    EXPECT_EQ(waiting[1].rfind("HTTP/1.1 503", 0), 0u) << waiting[1];
    EXPECT_EQ(waiting[2].rfind("HTTP/1.1 200", 0), 0u) << waiting[2];
    EXPECT_EQ(gone.load(), 1);
    // What producers still hold after the stop does nothing.
    EXPECT_FALSE(held[0].send(cvhttp::Response::text(200, "too late")));
    EXPECT_FALSE(stream->push("data: too late\n\n"));
    served.reset();
    held.clear();
}

// TLS with a throwaway self-signed certificate made by openssl.
class Tls : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp_.path().empty());
        const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                                    "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
                                    dir_ + "/key.pem -out " + dir_ + "/cert.pem >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            GTEST_SKIP() << "openssl could not make a certificate";
    }

    // A GET over TLS with the given GnuTLS priorities; the reply, or the
    // handshake's error text.
    std::string get(std::uint16_t port, const char *priorities)
    {
        gnutls_certificate_credentials_t creds = nullptr;
        gnutls_certificate_allocate_credentials(&creds);
        gnutls_certificate_set_x509_trust_file(creds, (dir_ + "/cert.pem").c_str(), GNUTLS_X509_FMT_PEM);
        gnutls_session_t session = nullptr;
        gnutls_init(&session, GNUTLS_CLIENT);
        gnutls_priority_set_direct(session, priorities, nullptr);
        gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, creds);
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, "localhost", 9);
        gnutls_session_set_verify_cert(session, "localhost", 0);
        LineClient c;
        c.connect("127.0.0.1", port);
        gnutls_transport_set_int(session, c.fd());
        gnutls_handshake_set_timeout(session, 5000);
        std::string reply;
        int rc = 0;
        do {
            rc = gnutls_handshake(session);
        } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
        if (rc < 0) {
            reply = std::string("handshake: ") + gnutls_strerror(rc);
        } else {
            const std::string request = "GET /secure HTTP/1.0\r\n\r\n";
            gnutls_record_send(session, request.data(), request.size());
            char buf[4096];
            ssize_t n = 0;
            while ((n = gnutls_record_recv(session, buf, sizeof buf)) > 0)
                reply.append(buf, std::size_t(n));
        }
        gnutls_deinit(session);
        gnutls_certificate_free_credentials(creds);
        return reply;
    }

    testproc::TempDir tmp_;
    const std::string &dir_ = tmp_.path();
};

TEST_F(Tls, ServesOverTlsAndRefusesVersionsBelowTheMinimum)
{
    cvhttp::ServerOptions options;
    options.tls = cvhttp::TlsOptions{dir_ + "/cert.pem", dir_ + "/key.pem", "NORMAL:-VERS-ALL:+VERS-TLS1.3"};
    Served s([](const cvhttp::Request &r,
                cvhttp::Reply reply) { reply.send(cvhttp::Response::text(200, r.tls ? "over tls\n" : "plain\n")); },
             options);
    const std::string reply = get(s.port, "NORMAL");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
    EXPECT_NE(reply.find("over tls"), std::string::npos) << reply;
    EXPECT_EQ(get(s.port, "NORMAL:-VERS-ALL:+VERS-TLS1.2").rfind("handshake: ", 0), 0u);
    // Plain HTTP to the TLS port gets no answer.
    EXPECT_EQ(roundTrip(s.port, "GET / HTTP/1.0\r\n\r\n", 2000ms).find("HTTP/1.1"), std::string::npos);
}

TEST_F(Tls, RefusesToStartWithoutAUsableKey)
{
    const struct
    {
        std::string cert, key;
    } cases[] = {{dir_ + "/cert.pem", dir_ + "/missing.pem"}, {dir_ + "/cert.pem", dir_ + "/cert.pem"}};
    for (const auto &c : cases) {
        cvhttp::Server server;
        cvhttp::ServerOptions options;
        options.tls = cvhttp::TlsOptions{c.cert, c.key, ""};
        std::string error;
        EXPECT_FALSE(server.start(
            options, [](const cvhttp::Request &, cvhttp::Reply) {}, &error))
            << c.key;
        EXPECT_FALSE(error.empty());
    }
}

TEST(HttpServer, ListensOnIpv6)
{
    cvhttp::ServerOptions options;
    options.port = 1;
    ASSERT_TRUE(cvhttp::splitListenAddress("[::1]:0", &options.address, &options.port));
    const Served v6([](const cvhttp::Request &, cvhttp::Reply r) { r.send({}); }, options);
    EXPECT_NE(v6.port, 0);
}

} // namespace
