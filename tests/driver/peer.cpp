#include "peer.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

#include <poll.h>
#include <sys/socket.h>

Peer::Peer(Handler handler)
    : handler_(std::move(handler))
{
    if (!listener_.listen("127.0.0.1", 0, 4))
        throw std::runtime_error("peer: cannot listen on loopback");
    thread_ = std::thread([this] {
        while (!stop_) {
            if (const int fd = listener_.accept(20); fd >= 0) {
                serve(fd);
                ::shutdown(fd, SHUT_RDWR);
                clientClosed_ = true;
            }
        }
    });
}

Peer::~Peer()
{
    stop_ = true;
    thread_.join();
}

std::string Peer::resource() const
{
    return "TCPIP::127.0.0.1::" + std::to_string(listener_.port()) + "::SOCKET";
}

std::vector<std::string> Peer::lines() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<unsigned long> Peer::tags() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return tags_;
}

std::string Peer::tagged(const Request &request, const std::string &rest)
{
    return request.tag + ";" + rest;
}

bool Peer::waitClientClosed() const
{
    for (int i = 0; i < 250 && !clientClosed_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return clientClosed_;
}

void Peer::serve(int fd)
{
    const std::string prefix = ":SYST:TAG? ", wrap = ";*CLS;", end = ";:SYST:ERR?";
    std::string pending;
    int index = 0;
    while (!stop_) {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            Request r;
            if (line.rfind(prefix, 0) == 0) {
                const std::size_t digits = line.find_first_not_of("0123456789", prefix.size());
                r.tag = line.substr(prefix.size(), digits - prefix.size());
                line.replace(prefix.size(), r.tag.size(), "#");
                r.resync = digits == std::string::npos;
                const std::size_t cmd = prefix.size() + 1 + wrap.size();
                if (!r.resync && line.size() >= cmd + end.size() &&
                    line.compare(prefix.size() + 1, wrap.size(), wrap) == 0 &&
                    line.compare(line.size() - end.size(), end.size(), end) == 0)
                    r.command = line.substr(cmd, line.size() - cmd - end.size());
            }
            if (!r.resync)
                r.index = index++;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(line);
                tags_.push_back(r.tag.empty() ? 0 : std::stoul(r.tag));
            }
            std::string out = handler_(r).value_or(
                r.resync               ? r.tag + "\n"
                : r.command == "*IDN?" ? tagged(r, "Corvane Ltd.,4870,48701001,A.03.11;0,\"No error\"\n")
                                       : "");
            for (std::size_t at = 0;;) { // each piece, then the pause after it
                const std::size_t pause = out.find(kPause, at);
                if (!sendAll(fd, out.substr(at, pause == std::string::npos ? std::string::npos : pause - at)))
                    return;
                if (pause == std::string::npos)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                at = pause + std::strlen(kPause);
            }
        }
    }
}
