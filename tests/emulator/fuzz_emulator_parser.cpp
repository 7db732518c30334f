// libFuzzer target: any bytes as command lines, simulation commands enabled.
#include "cv4870emu.h"
#include "scpi.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static cv4870emu::Mainframe *mf = [] {
        auto *m = new cv4870emu::Mainframe;
        m->setSimulationCommands(true);
        m->model().setManualClock(true);
        return m;
    }();
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t lf = input.find('\n', start);
        if (lf == std::string::npos)
            lf = input.size();
        // The server never hands over more than a line's worth.
        const std::string line = input.substr(start, std::min(lf - start, cv4870emu::kMaxLineLength));
        const cv4870emu::LineOutcome out = mf->processLine(line);
        if (out.bytes.size() > cv4870emu::kOversizedReplyBytes + 64 * cv4870emu::kMaxLineLength)
            __builtin_trap();
        start = lf + 1;
    }
    double value = 0.0;
    cv4870emu::scpi::parseNumber(input, value);
    // Keep the state from drifting into "everything faulty" for good.
    mf->clearFaults();
    mf->processLine("*RST;*CLS");
    return 0;
}
