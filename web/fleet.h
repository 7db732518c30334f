// The mainframes of the targets file, each polled on its own kept session
// every interval (every 0.5 s while a live stream follows it). A slow or
// dead mainframe holds one worker for at most its deadline, never the
// others. Events are stored before anybody hears of them.
#ifndef CV4870WEB_FLEET_H
#define CV4870WEB_FLEET_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cv4870mon/pool.h"
#include "store.h"

namespace cvhttp {
class Workers;
}

namespace cv4870web {

struct Target
{
    std::string id; // stable, used in URLs
    std::string name; // for people; the id when the line has none
    std::string target; // as written
    std::string resource; // canonical, what the session opens
};

// Lower-case letters, digits and single '-', at most 64 characters.
std::string slug(std::string_view text);
// False with *error naming the line and what is wrong.
bool parseTargets(std::istream &in, std::vector<Target> *targets, std::string *error);

struct FleetOptions
{
    std::chrono::milliseconds interval{2000};
    std::chrono::milliseconds fastInterval{500};
    std::chrono::milliseconds timeout{2000};
    unsigned threads = 16;
};

struct FleetCounts
{
    std::size_t total = 0, up = 0, down = 0, unknown = 0;
};

struct FleetStats
{
    std::uint64_t polls = 0, pollFailures = 0, eventsStored = 0, eventsLost = 0;
    double pollSeconds = 0; // sum
};

class Fleet
{
public:
    // Called after every poll with the mainframe's id, its JSON
    // (docs/web.md, Mainframe) and whether what a fleet overview shows
    // changed (state, link, health, power, fan setting); and with its new
    // events once stored.
    using PollListener = std::function<void(const std::string &id, const std::string &json, bool changed)>;
    using EventListener = std::function<void(const std::vector<EventRow> &events)>;

    // Polls and commands take each mainframe's one session from pool; the
    // fleet holds a handle to every session, so none is closed under it.
    Fleet(Store &store, FleetOptions options, cv4870mon::Pool &pool);
    ~Fleet(); // stop()
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    void setListeners(PollListener onPoll, EventListener onEvents);
    // The first call sets the fleet; later ones keep the session, state and
    // schedule of every entry whose id and resource stay the same.
    void setTargets(const std::vector<Target> &targets);
    void start();
    void stop();

    std::vector<std::string> ids() const;
    bool has(const std::string &id) const;
    std::optional<nlohmann::json> mainframe(const std::string &id) const;
    nlohmann::json all() const;
    FleetCounts counts() const;
    FleetStats stats() const;

    // Polls these every fastInterval while followed (counted).
    void follow(const std::vector<std::string> &ids, bool on);

    // Runs a driver call on the mainframe's session, then polls it at once.
    // Nullopt for an unknown id; else the call's status, *error its text.
    std::optional<ViStatus> command(const std::string &id, const std::function<ViStatus(ViSession)> &call,
                                    std::string *error);
    // Stores command events (after the audit) and hands them on.
    bool storeEvents(std::vector<EventRow> &rows);

    struct Mainframe;

private:
    void schedulerLoop();
    void poll(const std::shared_ptr<Mainframe> &mf);
    nlohmann::json jsonLocked(const Mainframe &mf) const;

    Store &store_;
    const FleetOptions options_;
    cv4870mon::Pool &pool_;
    PollListener onPoll_;
    EventListener onEvents_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Mainframe>> order_;
    std::map<std::string, std::shared_ptr<Mainframe>> byId_;
    std::map<std::string, int> followers_;
    bool stopping_ = false, started_ = false;
    FleetStats stats_;
    std::thread scheduler_;
    std::unique_ptr<cvhttp::Workers> workers_;
};

std::int64_t unixMs(std::chrono::system_clock::time_point time);

} // namespace cv4870web

#endif
