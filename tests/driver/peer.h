// A scripted mainframe on a loopback port: answers each command line with
// what a handler returns, byte for byte, so the tests can send replies that
// no well-behaved mainframe would.
#ifndef CV4870_TEST_PEER_H
#define CV4870_TEST_PEER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Peer
{
public:
    // Gets one command line (without LF), returns the bytes to send back;
    // nothing (std::nullopt) answers the driver's "*IDN?" line as a 4870
    // does, a resync "*OPC?" with "1" and any other line not at all.
    using Handler = std::function<std::optional<std::string>(const std::string &line)>;

    explicit Peer(Handler handler);
    ~Peer();

    std::string resource() const; // "TCPIP::127.0.0.1::<port>::SOCKET"
    std::vector<std::string> lines() const;
    // Waits (at most a few seconds) until the client has closed its connection.
    bool waitClientClosed() const;

private:
    void serve(int fd);

    Handler handler_;
    int listenFd_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false}, clientClosed_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

#endif // CV4870_TEST_PEER_H
