#include "cvhttp/workers.h"

#include <system_error>

namespace cvhttp {

Workers::Workers(unsigned maxThreads, std::size_t maxQueued, std::chrono::seconds idleExit)
    : maxThreads_(maxThreads ? maxThreads : 1)
    , maxQueued_(maxQueued)
    , idleExit_(idleExit)
{}

Workers::~Workers()
{
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    exited_.wait(lock, [this] { return threads_ == 0; });
}

bool Workers::submit(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Tasks running or waiting, against threads and queue together.
    if (stopping_ || (threads_ - idle_) + queue_.size() >= maxThreads_ + maxQueued_)
        return false;
    if (idle_ <= queue_.size() && threads_ < maxThreads_) {
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error &) {
            if (threads_ == 0)
                return false;
        }
        ++threads_;
        ++idle_; // until it takes its first task
    }
    queue_.push_back(std::move(task));
    wake_.notify_one();
    return true;
}

unsigned Workers::threads() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void Workers::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (bool started = true;; started = false) {
        if (!started)
            ++idle_;
        const bool woken = wake_.wait_for(lock, idleExit_, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty() && (stopping_ || !woken))
            break;
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A task answers for its own errors; the worker goes on.
        }
        task = nullptr;
        lock.lock();
    }
    --threads_;
    exited_.notify_all();
}

} // namespace cvhttp
