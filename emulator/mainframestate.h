// State of one emulated mainframe: identity, model, error queue and link
// faults, guarded by its mutex. Shared by the command handlers and the line
// processing; private to the emulator library.
#ifndef CV4870EMU_MAINFRAMESTATE_H
#define CV4870EMU_MAINFRAMESTATE_H

#include "cv4870emu.h"
#include "scpi.h"

#include <array>
#include <deque>
#include <mutex>
#include <string>

namespace cv4870emu {

constexpr std::size_t kErrorQueueDepth = 16;

struct MainframeState
{
    mutable std::mutex mutex;
    Model model;
    Identity identity;
    bool simulation = false;
    std::string address;
    std::uint16_t port = 0;

    std::deque<int> errors;

    // Strikes left per link fault (negative: until cleared).
    std::array<int, kLinkFaultKinds> linkFaults{};
    int delayMs = 0;
    std::uint32_t garbageSeed = 0x4870u;
    Mainframe::LineObserver observer;

    explicit MainframeState(std::uint32_t seed)
        : model(seed)
    {}

    // Runs f under the lock and returns its result.
    template <class F>
    auto locked(F f) -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(mutex);
        return f();
    }

    int &strikes(LinkFault kind) { return linkFaults[static_cast<std::size_t>(kind)]; }
    bool armed(LinkFault kind) { return strikes(kind) != 0; }
    // Uses one strike of the fault up; false when it is not armed.
    bool strike(LinkFault kind)
    {
        int &count = strikes(kind);
        if (count == 0)
            return false;
        if (count > 0)
            --count;
        return true;
    }

    void clearLinkFaults()
    {
        linkFaults.fill(0);
        delayMs = 0;
    }

    void pushError(int code)
    {
        if (errors.size() < kErrorQueueDepth)
            errors.push_back(code);
        else
            errors.back() = scpi::QueueOverflow;
    }

    std::string garbage()
    {
        // Bytes a confused line driver might deliver: control characters,
        // high bytes, separators and quotes, but never an LF.
        std::string out = "\x01\xff?#";
        for (int i = 0; i < 40; ++i) {
            garbageSeed = garbageSeed * 1103515245u + 12345u;
            char c = static_cast<char>((garbageSeed >> 16) & 0xff);
            if (c == '\n')
                c = '"';
            out += c;
        }
        out += '\n';
        return out;
    }
};

} // namespace cv4870emu

#endif // CV4870EMU_MAINFRAMESTATE_H
