// Cost of one driver session against an emulator serving many mainframes:
// cv4870_init (with the identification query) and cv4870_close, one
// mainframe after another, as "Auto Find" opens them.
//
// Usage: bench_connect_init [pairs=64] [batches=5]
// Prints the time per pair at 64, 256 and 1,000 mainframes.
#include "cv4870.h"
#include "cv4870emu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 64;
    const int batches = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    for (int mainframes : {64, 256, 1000}) {
        cv4870emu::Server server;
        server.setLogSink([](const std::string &) {});
        for (int i = 0; i < mainframes; ++i)
            server.addMainframe("127.0.26." + std::to_string(1 + i % 250), 0);
        std::string error;
        if (!server.start(&error)) {
            std::fprintf(stderr, "emulator: %s\n", error.c_str());
            return 1;
        }
        std::vector<double> perPair;
        int failures = 0;
        for (int b = 0; b < batches; ++b) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < pairs; ++i) {
                const cv4870emu::Mainframe &mf =
                    server.mainframe(static_cast<std::size_t>((b * pairs + i) % mainframes));
                std::string name = "TCPIP0::" + mf.address() + "::" + std::to_string(mf.port()) + "::SOCKET";
                ViSession vi = VI_NULL;
                if (cv4870_init(&name[0], VI_TRUE, VI_FALSE, &vi) != VI_SUCCESS)
                    ++failures;
                else
                    cv4870_close(vi);
            }
            perPair.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() /
                              pairs);
        }
        std::sort(perPair.begin(), perPair.end());
        std::printf("%4d mainframes: cv4870_init + cv4870_close: median %.3f ms (%.3f to %.3f) per pair%s\n",
                    mainframes, perPair[perPair.size() / 2], perPair.front(), perPair.back(),
                    failures ? "  (FAILURES)" : "");
    }
    return 0;
}
