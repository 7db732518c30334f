#include "auth.h"

#include <sys/random.h>

#include <cerrno>

namespace cv4870web {

std::string randomToken()
{
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

Sessions::Sessions(std::chrono::seconds idle, std::chrono::seconds max, std::function<Steady::time_point()> now)
    : idle_(idle)
    , max_(max)
    , now_(std::move(now))
{}

bool Sessions::expiredLocked(const Session &s, Steady::time_point now) const
{
    return now - s.lastUsed >= idle_ || now - s.created >= max_;
}

std::optional<Session> Sessions::create(const std::string &user, Role role)
{
    Session s;
    s.token = randomToken();
    s.csrf = randomToken();
    if (s.token.empty() || s.csrf.empty())
        return std::nullopt;
    s.user = user;
    s.role = role;
    s.created = s.lastUsed = now_();
    s.expires = std::chrono::system_clock::now() + max_;
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[s.token] = s;
    return s;
}

std::optional<Session> Sessions::find(const std::string &token)
{
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end())
        return std::nullopt;
    if (expiredLocked(it->second, now)) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.lastUsed = now;
    return it->second;
}

bool Sessions::alive(const std::string &token)
{
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    return it != sessions_.end() && !expiredLocked(it->second, now);
}

void Sessions::end(const std::string &token)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

void Sessions::keepOnly(const std::vector<User> &users)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        bool keep = false;
        for (const User &u : users)
            keep = keep || (u.name == it->second.user && u.role == it->second.role);
        it = keep ? std::next(it) : sessions_.erase(it);
    }
}

std::size_t Sessions::purge()
{
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = expiredLocked(it->second, now) ? sessions_.erase(it) : std::next(it);
    return sessions_.size();
}

std::size_t Sessions::size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

LoginThrottle::LoginThrottle(std::chrono::seconds window, unsigned perUser, unsigned perAddress,
                             std::function<Steady::time_point()> now)
    : window_(window)
    , perUser_(perUser)
    , perAddress_(perAddress)
    , now_(std::move(now))
{}

std::chrono::seconds LoginThrottle::waitOf(Times &times, unsigned limit, Steady::time_point now)
{
    while (!times.empty() && now - times.front() >= window_)
        times.pop_front();
    if (times.size() < limit)
        return std::chrono::seconds(0);
    // Free again when the oldest failure that counts leaves the window.
    const auto left = times[times.size() - limit] + window_ - now;
    return std::chrono::ceil<std::chrono::seconds>(left);
}

std::chrono::seconds LoginThrottle::wait(const std::string &user, const std::string &address)
{
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto a = waitOf(users_[user], perUser_, now);
    const auto b = waitOf(addresses_[address], perAddress_, now);
    trim();
    return std::max(a, b);
}

void LoginThrottle::failed(const std::string &user, const std::string &address)
{
    const auto now = now_();
    std::lock_guard<std::mutex> lock(mutex_);
    users_[user].push_back(now);
    addresses_[address].push_back(now);
    // A bounded memory: at most the limit's worth of times per key.
    if (users_[user].size() > perUser_ * 2u)
        users_[user].pop_front();
    if (addresses_[address].size() > perAddress_ * 2u)
        addresses_[address].pop_front();
}

void LoginThrottle::succeeded(const std::string &user)
{
    std::lock_guard<std::mutex> lock(mutex_);
    users_.erase(user);
}

void LoginThrottle::trim()
{
    // Keys whose failures all left the window go, so guessed names cost no
    // memory for long.
    if (users_.size() + addresses_.size() < 4096)
        return;
    const auto now = now_();
    for (auto *m : {&users_, &addresses_})
        for (auto it = m->begin(); it != m->end();)
            it = (it->second.empty() || now - it->second.back() >= window_) ? m->erase(it) : std::next(it);
}

} // namespace cv4870web
