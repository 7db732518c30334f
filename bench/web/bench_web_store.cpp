// Events committed per second by the web service's store: callers that
// each wait for their commit, from 1, 16 and 64 threads (the writer puts
// what is queued into one transaction), and batches of 100 from one caller.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "store.h"

using namespace cv4870web;
using Clock = std::chrono::steady_clock;

int main()
{
    char dir[] = "/tmp/bench-web-store-XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    Store store;
    std::string error;
    if (!store.open(std::string(dir) + "/web.db", &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto event = [](int i) {
        EventRow e;
        e.timeMs = 1700000000000 + i;
        e.mainframe = "mf-" + std::to_string(i % 1000);
        e.kind = "line_set";
        e.subject = "sys_fail";
        e.severity = "critical";
        e.text = "SysFail set";
        return e;
    };
    for (unsigned threads : {1u, 16u, 64u}) {
        const int perThread = threads == 1 ? 2000 : 20000 / int(threads);
        const auto began = Clock::now();
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    std::vector<EventRow> one{event(int(t) * perThread + i)};
                    store.addEvents(one);
                }
            });
        for (auto &th : pool)
            th.join();
        const double s = std::chrono::duration<double>(Clock::now() - began).count();
        std::printf("%2u waiting callers, one event each: %.0f events/s\n", threads, double(threads) * perThread / s);
    }
    const auto began = Clock::now();
    for (int b = 0; b < 200; ++b) {
        std::vector<EventRow> batch;
        for (int i = 0; i < 100; ++i)
            batch.push_back(event(b * 100 + i));
        store.addEvents(batch);
    }
    const double s = std::chrono::duration<double>(Clock::now() - began).count();
    std::printf("batches of 100 from one caller: %.0f events/s\n", 20000 / s);
    return std::system(("rm -rf " + std::string(dir)).c_str()) == 0 ? 0 : 1;
}
