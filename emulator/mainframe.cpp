// One emulated mainframe: its public API and the processing of a command
// line, from the units of the line to the bytes sent back, link faults
// included. The commands are in commands.cpp, the state in mainframestate.h.
#include "cv4870emu.h"
#include "commands.h"
#include "mainframestate.h"

#include <algorithm>

namespace cv4870emu {

struct Mainframe::Impl : MainframeState
{
    using MainframeState::MainframeState;
};

Mainframe::Mainframe(std::uint32_t seed)
    : d(new Impl(seed))
{}

Mainframe::~Mainframe() = default;

void Mainframe::setIdentity(const Identity &identity)
{
    d->locked([&] { d->identity = identity; });
}

Identity Mainframe::identity() const
{
    return d->locked([&] { return d->identity; });
}

void Mainframe::setSimulationCommands(bool enabled)
{
    d->locked([&] { d->simulation = enabled; });
}

Model &Mainframe::model()
{
    return d->model;
}

std::string Mainframe::address() const
{
    return d->locked([&] { return d->address; });
}

std::uint16_t Mainframe::port() const
{
    return d->locked([&] { return d->port; });
}

void Mainframe::injectLinkFault(LinkFault kind, int count)
{
    d->locked([&] { d->strikes(kind) = count; });
}

void Mainframe::setReplyDelay(int ms)
{
    d->locked([&] { d->delayMs = ms < 0 ? 0 : ms; });
}

void Mainframe::setLineObserver(LineObserver observer)
{
    d->locked([&] { d->observer = std::move(observer); });
}

void Mainframe::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->clearLinkFaults();
    d->model.clearFaults();
}

void Mainframe::setBoundAddress(const std::string &address, std::uint16_t port)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->address = address;
    d->port = port;
}

void Mainframe::pushError(int code)
{
    d->locked([&] { d->pushError(code); });
}

namespace {

// The same line with every digit moved on by five: the shape of a reply, but
// none of its numbers, so it is never the reply to a line sent after it.
std::string changedDigits(std::string text)
{
    for (char &c : text) {
        if (c >= '0' && c <= '9')
            c = static_cast<char>('0' + (c - '0' + 5) % 10);
    }
    return text;
}

// Executes a line under the mainframe's lock; `reply` gets the reply the
// line produced, before any link fault (empty when it has none).
LineOutcome processLocked(MainframeState &mf, const std::string &line, std::string &reply)
{
    LineOutcome outcome;
    // Reply faults armed by this very line act from the next one on.
    const bool noReply = mf.armed(LinkFault::NoReply);
    const bool garbage = mf.armed(LinkFault::Garbage);
    const bool oversized = mf.armed(LinkFault::Oversized);
    const bool extra = mf.armed(LinkFault::ExtraLine);
    const bool duplicate = mf.armed(LinkFault::DuplicateReply);

    std::vector<std::string_view> units;
    std::vector<std::string> responses;
    if (!scpi::splitUnits(line, units)) {
        mf.pushError(scpi::InvalidStringData);
        units.clear();
    }
    std::vector<std::string_view> path; // current node after the last unit
    std::vector<std::string_view> full;
    scpi::Unit unit;
    for (std::string_view text : units) {
        int rc = scpi::parseUnit(text, unit);
        if (rc != 0) {
            mf.pushError(rc);
            continue;
        }
        if (unit.nodes.empty())
            continue;
        full.clear();
        if (!unit.common && !unit.absolute)
            full = path;
        full.insert(full.end(), unit.nodes.begin(), unit.nodes.end());
        const Command *command = findCommand(full, unit.query);
        if (command == nullptr || ((command->kind & Simulation) && !mf.simulation)) {
            mf.pushError(scpi::UndefinedHeader);
            continue;
        }
        if (!unit.common)
            path.assign(full.begin(), full.end() - 1);
        if (!(command->kind & Params) && !unit.params.empty()) {
            mf.pushError(scpi::ParameterNotAllowed);
            continue;
        }
        if ((command->kind & Hardware) && mf.strike(LinkFault::DeviceError)) {
            mf.pushError(scpi::PowerSupplyNotResponding);
            continue;
        }
        std::string response;
        rc = command->handler(mf, unit, response);
        if (rc != 0)
            mf.pushError(rc);
        else if (unit.query)
            responses.push_back(std::move(response));
    }

    if (responses.empty())
        return outcome;
    for (std::size_t i = 0; i < responses.size(); ++i) {
        if (i)
            reply += ';';
        reply += responses[i];
    }
    if (noReply && mf.strike(LinkFault::NoReply))
        return outcome; // carried out, reply discarded
    outcome.action = LineOutcome::Action::Reply;
    outcome.delayMs = mf.delayMs;
    if (garbage && mf.strike(LinkFault::Garbage)) {
        outcome.bytes = mf.garbage();
    } else if (oversized && mf.strike(LinkFault::Oversized)) {
        static const char kPattern[] = "+24.012,+12.003,+5.001,";
        outcome.bytes.reserve(kOversizedReplyBytes);
        while (outcome.bytes.size() + sizeof kPattern - 1 <= kOversizedReplyBytes)
            outcome.bytes += kPattern;
        outcome.bytes.append(kOversizedReplyBytes - outcome.bytes.size(), '9');
    } else {
        outcome.bytes = reply + '\n';
        if (duplicate && mf.strike(LinkFault::DuplicateReply))
            outcome.bytes += outcome.bytes;
        else if (extra && mf.strike(LinkFault::ExtraLine))
            outcome.bytes += changedDigits(reply) + '\n';
    }
    return outcome;
}

} // namespace

LineOutcome Mainframe::processLine(const std::string &line)
{
    std::string reply;
    LineOutcome outcome;
    LineObserver observer;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->strike(LinkFault::Drop)) {
            outcome.action = LineOutcome::Action::Drop;
            return outcome;
        }
        outcome = processLocked(*d, line, reply);
        observer = d->observer;
    }
    if (observer)
        observer(line, reply);
    return outcome;
}

} // namespace cv4870emu
