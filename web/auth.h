// Sessions held in memory, and the throttle of failed logins.
#ifndef CV4870WEB_AUTH_H
#define CV4870WEB_AUTH_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "users.h"

namespace cv4870web {

using Steady = std::chrono::steady_clock;

// 256 random bits from getrandom() as 64 hex digits; empty if the kernel
// gives none.
std::string randomToken();

struct Session
{
    std::string token; // the cookie
    std::string csrf; // X-CSRF-Token
    std::string user;
    Role role = Role::Viewer;
    Steady::time_point created, lastUsed;
    std::chrono::system_clock::time_point expires; // the absolute end, for the pages
};

class Sessions
{
public:
    Sessions(std::chrono::seconds idle, std::chrono::seconds max,
             std::function<Steady::time_point()> now = Steady::now);

    // Nullopt only when no random token could be made.
    std::optional<Session> create(const std::string &user, Role role);
    // The live session of a token (marking it used), else nullopt; an
    // expired one is removed.
    std::optional<Session> find(const std::string &token);
    bool alive(const std::string &token); // without marking it used
    void end(const std::string &token);
    // Ends the sessions of users no longer present or whose role changed.
    void keepOnly(const std::vector<User> &users);
    std::size_t purge(); // removes expired ones, returns how many are left
    std::size_t size() const;

private:
    bool expiredLocked(const Session &s, Steady::time_point now) const;

    const std::chrono::seconds idle_, max_;
    const std::function<Steady::time_point()> now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Session> sessions_;
};

// Failed logins per user name and per source address in a sliding window.
class LoginThrottle
{
public:
    LoginThrottle(std::chrono::seconds window, unsigned perUser, unsigned perAddress,
                  std::function<Steady::time_point()> now = Steady::now);

    // How long the login of this user from this address must wait; zero
    // when it may go ahead.
    std::chrono::seconds wait(const std::string &user, const std::string &address);
    void failed(const std::string &user, const std::string &address);
    void succeeded(const std::string &user);

private:
    using Times = std::deque<Steady::time_point>;
    std::chrono::seconds waitOf(Times &times, unsigned limit, Steady::time_point now);
    void trim();

    const std::chrono::seconds window_;
    const unsigned perUser_, perAddress_;
    const std::function<Steady::time_point()> now_;
    std::mutex mutex_;
    std::map<std::string, Times> users_, addresses_;
};

} // namespace cv4870web

#endif
