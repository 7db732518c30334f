// SCPI lexical layer of the emulator: message units, headers, parameters,
// numbers and error texts. Locale-independent; never allocates more than a
// small multiple of its input.
#ifndef CV4870EMU_SCPI_H
#define CV4870EMU_SCPI_H

#include <string>
#include <string_view>
#include <vector>

namespace cv4870emu {
namespace scpi {

// Every error the emulator reports: name, code and text, the one list behind
// the enum and errorText(). Standard SCPI errors, then device-specific ones.
#define CV4870EMU_ERRORS(X)                                                                                            \
    X(NoError, 0, "No error")                                                                                          \
    X(SyntaxError, -102, "Syntax error")                                                                               \
    X(DataTypeError, -104, "Data type error")                                                                          \
    X(ParameterNotAllowed, -108, "Parameter not allowed")                                                              \
    X(MissingParameter, -109, "Missing parameter")                                                                     \
    X(HeaderSeparatorError, -111, "Header separator error")                                                            \
    X(ProgramMnemonicTooLong, -112, "Program mnemonic too long")                                                       \
    X(UndefinedHeader, -113, "Undefined header")                                                                       \
    X(InvalidCharacterInNumber, -121, "Invalid character in number")                                                   \
    X(ExponentTooLarge, -123, "Exponent too large")                                                                    \
    X(TooManyDigits, -124, "Too many digits")                                                                          \
    X(InvalidStringData, -151, "Invalid string data")                                                                  \
    X(DataOutOfRange, -222, "Data out of range")                                                                       \
    X(IllegalParameterValue, -224, "Illegal parameter value")                                                          \
    X(QueueOverflow, -350, "Queue overflow")                                                                           \
    X(InputBufferOverrun, -363, "Input buffer overrun")                                                                \
    X(PowerSupplyNotResponding, 301, "Power supply not responding")

enum Error : int {
#define CV4870EMU_ERROR_ENUM(name, code, text) name = code,
    CV4870EMU_ERRORS(CV4870EMU_ERROR_ENUM)
#undef CV4870EMU_ERROR_ENUM
};

// Text of an error code ("No error" for 0, "Unknown error" if unlisted).
const char *errorText(int code);

// Splits a program message at ';' outside quoted strings. Returns false
// (InvalidStringData) when a quote is left open.
bool splitUnits(std::string_view line, std::vector<std::string_view> &units);

// One message unit taken apart.
struct Unit
{
    bool absolute = false; // started with ':'
    bool common = false; // '*' command
    bool query = false;
    std::vector<std::string_view> nodes; // keywords without ':' or '?'
    std::vector<std::string_view> params; // trimmed, split at ',' outside quotes
};

// Parses a unit (already split from its neighbours). Returns NoError or the
// error code; an empty unit gives NoError with no nodes.
int parseUnit(std::string_view text, Unit &unit);

// Decimal numeric program data (NR1, NR2, NR3).
int parseNumber(std::string_view text, double &value);
// Integer-valued numeric data, rounded to the nearest integer within range.
int parseInteger(std::string_view text, long min, long max, long &value);
// ON, OFF or a number (non-zero = on after rounding).
int parseBoolean(std::string_view text, bool &value);

// Fixed-point text with a point, e.g. formatFixed(-5.198, 3, true) = "-5.198".
std::string formatFixed(double value, int decimals, bool forceSign);
// SCPI string data: quoted, embedded quotes doubled.
std::string quoteString(std::string_view text);

bool equalsIgnoreCase(std::string_view a, std::string_view b);

} // namespace scpi
} // namespace cv4870emu

#endif // CV4870EMU_SCPI_H
