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

// Standard SCPI error codes used by the emulator.
enum Error : int {
    NoError = 0,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    HeaderSeparatorError = -111,
    ProgramMnemonicTooLong = -112,
    UndefinedHeader = -113,
    InvalidCharacterInNumber = -121,
    ExponentTooLarge = -123,
    TooManyDigits = -124,
    InvalidStringData = -151,
    DataOutOfRange = -222,
    IllegalParameterValue = -224,
    QueueOverflow = -350,
    InputBufferOverrun = -363,
    PowerSupplyNotResponding = 301,
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
