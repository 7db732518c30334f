// A bounded set of worker threads for work that waits (a probe, a command
// to a mainframe), so that the HTTP server's polling thread never does.
#ifndef CVHTTP_WORKERS_H
#define CVHTTP_WORKERS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cvhttp {

class Workers
{
public:
    // At most maxThreads threads, started on demand; one idle for
    // idleExit ends. At most maxQueued tasks wait beyond those running.
    explicit Workers(unsigned maxThreads, std::size_t maxQueued = 0,
                     std::chrono::seconds idleExit = std::chrono::seconds(30));
    ~Workers(); // runs the queued tasks, then joins
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // False when the queue is full or the workers are stopping.
    bool submit(std::function<void()> task);
    unsigned threads() const;

private:
    void run();

    const unsigned maxThreads_;
    const std::size_t maxQueued_;
    const std::chrono::seconds idleExit_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, exited_;
    std::deque<std::function<void()>> queue_;
    unsigned threads_ = 0, idle_ = 0;
    bool stopping_ = false;
};

} // namespace cvhttp

#endif
