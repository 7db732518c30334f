// The mainframe's command table: every command and query with its handler.
// Private to the emulator library.
#ifndef CV4870EMU_COMMANDS_H
#define CV4870EMU_COMMANDS_H

#include "mainframestate.h"

#include <string>
#include <string_view>
#include <vector>

namespace cv4870emu {

enum CommandKind : unsigned {
    Local = 0, // answered by the controller itself
    Hardware = 1, // reaches the hardware: subject to the device-error fault
    Simulation = 2, // only with the simulation commands enabled
    Params = 4, // takes parameters (checked by its handler)
};

// Returns an error code (0 = done); a query appends its response.
using Handler = int (*)(MainframeState &, const scpi::Unit &, std::string &);

struct Command
{
    const char *pattern; // SCPI notation (see scpipattern.h)
    Handler handler;
    unsigned kind;
};

// The command the header spells (nodes from the root), or nullptr.
const Command *findCommand(const std::vector<std::string_view> &nodes, bool query);

} // namespace cv4870emu

#endif // CV4870EMU_COMMANDS_H
