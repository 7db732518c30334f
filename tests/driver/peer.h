// A scripted mainframe on a loopback port: answers each command line with
// what a handler returns, byte for byte, so the tests can send replies that
// no well-behaved mainframe would.
#ifndef CV4870_TEST_PEER_H
#define CV4870_TEST_PEER_H

#include "loopbackpeer.h"

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
    // One line the driver sent: ":SYST:TAG? <tag>;*CLS;<command>;:SYST:ERR?",
    // or a lone ":SYST:TAG? <tag>" (a resync, with an empty command).
    struct Request
    {
        std::string command;
        std::string tag; // as sent
        bool resync = false;
        int index = 0; // 0, 1, 2, ... per command line (resyncs not counted)
    };
    // Gets each request, returns the bytes to send back; nothing
    // (std::nullopt) answers "*IDN?" as a 4870 does, a resync with its tag and
    // any other line not at all.
    using Handler = std::function<std::optional<std::string>(const Request &request)>;
    // In the bytes a handler returns: send what came before, then pause.
    static constexpr const char *kPause = "\x1b[pause]";
    // "<tag>;<rest>": the reply line of the request, when `rest` ends in LF.
    static std::string tagged(const Request &request, const std::string &rest);

    explicit Peer(Handler handler);
    ~Peer();

    std::string resource() const; // "TCPIP::127.0.0.1::<port>::SOCKET"
    // The lines received, each tag replaced by '#', and the tags in order.
    std::vector<std::string> lines() const;
    std::vector<unsigned long> tags() const;
    // Waits (at most a few seconds) until the client has closed its connection.
    bool waitClientClosed() const;

private:
    void serve(int fd);

    Handler handler_;
    LoopbackPeer listener_;
    std::atomic<bool> stop_{false}, clientClosed_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<unsigned long> tags_;
    std::thread thread_;
};

#endif // CV4870_TEST_PEER_H
