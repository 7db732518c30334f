// A started in-process server with one mainframe on an ephemeral loopback
// port, its model on the manual clock, and one connected client.
#ifndef CV4870EMU_RUNNINGEMULATOR_H
#define CV4870EMU_RUNNINGEMULATOR_H

#include "cv4870emu.h"
#include "lineclient.h"

#include <algorithm>

// Moves a model on the manual clock in one-second steps; returns its state.
inline cv4870emu::ModelState runModel(cv4870emu::Model &m, std::int64_t ms)
{
    for (std::int64_t t = 0; t < ms; t += 1000)
        m.advance(std::min<std::int64_t>(1000, ms - t));
    return m.state();
}

struct RunningEmulator
{
    cv4870emu::Server server;
    cv4870emu::Mainframe *mf = nullptr;
    LineClient client;
    bool started = false;

    explicit RunningEmulator(bool simulation = false)
    {
        mf = &server.addMainframe("127.0.0.1", 0);
        mf->model().setManualClock(true);
        mf->setSimulationCommands(simulation);
        started = server.start() && client.connect(mf->address(), mf->port());
    }

    cv4870emu::ModelState advance(std::int64_t ms) { return runModel(mf->model(), ms); }
};

#endif // CV4870EMU_RUNNINGEMULATOR_H
