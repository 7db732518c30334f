// The HTTP face of cv4870-web: sessions, the JSON API, the live stream,
// the pages and the audit trail (docs/web.md).
#ifndef CV4870WEB_SERVICE_H
#define CV4870WEB_SERVICE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auth.h"
#include "cvhttp/server.h"
#include "fleet.h"
#include "store.h"
#include "users.h"

namespace cvhttp {
class Workers;
}

namespace cv4870web {

struct ServiceOptions
{
    bool anonymousRead = false;
    bool tls = false;
    std::chrono::seconds sessionIdle{1800}, sessionMax{43200};
    std::chrono::seconds loginWindow{900};
    unsigned loginFailuresPerUser = 5, loginFailuresPerAddress = 20;
    int retentionDays = 30;
    unsigned workers = 8;
};

class Hub;
class Metrics;

class Service
{
public:
    Service(Store &store, Fleet &fleet, ServiceOptions options);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    void setUsers(std::vector<User> users);
    // Tells open streams that the fleet changed.
    void fleetChanged();
    void handle(const cvhttp::Request &request, cvhttp::Reply reply);
    void setServer(const cvhttp::Server *server) { server_ = server; }
    void stop();

    // The headers every answer carries.
    static cvhttp::Fields securityHeaders();

    struct Caller;

private:
    void work(const cvhttp::Request &request, const cvhttp::Reply &reply);
    void housekeeping();

    Store &store_;
    Fleet &fleet_;
    const ServiceOptions options_;
    Sessions sessions_;
    LoginThrottle throttle_;
    std::mutex usersMutex_;
    std::vector<User> users_;
    std::unique_ptr<Hub> hub_;
    std::unique_ptr<Metrics> metrics_;
    std::unique_ptr<cvhttp::Workers> workers_;
    const cvhttp::Server *server_ = nullptr;
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;
    std::thread housekeeper_;
};

} // namespace cv4870web

#endif
