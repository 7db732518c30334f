#include "scpi.h"

#include <cmath>
#include <cstdlib>

namespace cv4870emu {
namespace scpi {

namespace {

constexpr std::size_t kMaxMnemonic = 12; // SCPI long form limit
constexpr std::size_t kMaxDigits = 255;

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

bool isAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// Splits at sep outside double-quoted strings ("" inside a string is a quote).
bool splitOutsideQuotes(std::string_view text, char sep, std::vector<std::string_view> &parts)
{
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"')
            quoted = !quoted; // a doubled quote toggles twice
        else if (c == sep && !quoted) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return !quoted;
}

} // namespace

const char *errorText(int code)
{
    switch (code) {
#define CV4870EMU_ERROR_CASE(name, code, text)                                                                         \
    case name:                                                                                                         \
        return text;
        CV4870EMU_ERRORS(CV4870EMU_ERROR_CASE)
#undef CV4870EMU_ERROR_CASE
    default:
        return "Unknown error";
    }
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

bool splitUnits(std::string_view line, std::vector<std::string_view> &units)
{
    units.clear();
    return splitOutsideQuotes(line, ';', units);
}

int parseUnit(std::string_view text, Unit &unit)
{
    unit = Unit();
    text = trim(text);
    if (text.empty())
        return NoError;

    std::size_t i = 0;
    if (text[0] == '*') {
        unit.common = true;
        i = 1;
        while (i < text.size() && isAlpha(text[i]))
            ++i;
        if (i == 1)
            return SyntaxError;
        if (i - 1 > kMaxMnemonic)
            return ProgramMnemonicTooLong;
        unit.nodes.push_back(text.substr(0, i));
    } else {
        if (text[0] == ':') {
            unit.absolute = true;
            i = 1;
        }
        for (;;) {
            const std::size_t start = i;
            if (i >= text.size() || !isAlpha(text[i]))
                return SyntaxError;
            while (i < text.size() && (isAlpha(text[i]) || isDigit(text[i]) || text[i] == '_'))
                ++i;
            if (i - start > kMaxMnemonic)
                return ProgramMnemonicTooLong;
            unit.nodes.push_back(text.substr(start, i - start));
            if (i < text.size() && text[i] == ':') {
                ++i;
                continue;
            }
            break;
        }
    }
    if (i < text.size() && text[i] == '?') {
        unit.query = true;
        ++i;
    }
    if (i == text.size())
        return NoError;
    if (!isSpace(text[i]))
        return unit.common || isAlpha(text[i]) || isDigit(text[i]) ? HeaderSeparatorError : SyntaxError;

    const std::string_view params = trim(text.substr(i));
    if (params.empty())
        return NoError;
    if (!splitOutsideQuotes(params, ',', unit.params))
        return InvalidStringData;
    for (std::string_view &p : unit.params) {
        p = trim(p);
        if (p.empty())
            return SyntaxError;
    }
    return NoError;
}

int parseNumber(std::string_view text, double &value)
{
    value = 0.0;
    if (text.empty())
        return MissingParameter;
    const char first = text[0];
    if (!(isDigit(first) || first == '+' || first == '-' || first == '.'))
        return DataTypeError;

    std::size_t i = 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    double mantissa = 0.0;
    std::size_t digits = 0;
    long scale = 0; // power of ten from digits after the point
    while (i < text.size() && isDigit(text[i])) {
        mantissa = mantissa * 10.0 + (text[i] - '0');
        ++digits;
        ++i;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            mantissa = mantissa * 10.0 + (text[i] - '0');
            ++digits;
            --scale;
            ++i;
        }
    }
    if (digits == 0)
        return InvalidCharacterInNumber;
    if (digits > kMaxDigits)
        return TooManyDigits;

    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        // SCPI allows white space between the mantissa's E and the exponent
        // only in theory; no instrument relies on it.
        bool expNegative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            expNegative = text[i] == '-';
            ++i;
        }
        std::size_t expDigits = 0;
        while (i < text.size() && isDigit(text[i])) {
            if (exponent < 100000)
                exponent = exponent * 10 + (text[i] - '0');
            ++expDigits;
            ++i;
        }
        if (expDigits == 0)
            return InvalidCharacterInNumber;
        if (expNegative)
            exponent = -exponent;
    }
    if (i != text.size())
        return InvalidCharacterInNumber;

    const long power = exponent + scale;
    if (mantissa != 0.0 && (power > 300 || power < -300 || exponent > 43 || exponent < -43))
        return ExponentTooLarge;
    double v = mantissa == 0.0 ? 0.0 : mantissa * std::pow(10.0, static_cast<double>(power));
    if (!std::isfinite(v))
        return ExponentTooLarge;
    value = negative ? -v : v;
    return NoError;
}

int parseInteger(std::string_view text, long min, long max, long &value)
{
    double v = 0.0;
    const int rc = parseNumber(text, v);
    if (rc != NoError)
        return rc;
    const double rounded = std::floor(v + 0.5);
    if (rounded < static_cast<double>(min) || rounded > static_cast<double>(max))
        return DataOutOfRange;
    value = static_cast<long>(rounded);
    return NoError;
}

int parseBoolean(std::string_view text, bool &value)
{
    if (equalsIgnoreCase(text, "ON")) {
        value = true;
        return NoError;
    }
    if (equalsIgnoreCase(text, "OFF")) {
        value = false;
        return NoError;
    }
    if (!text.empty() && isAlpha(text[0]))
        return IllegalParameterValue;
    double v = 0.0;
    const int rc = parseNumber(text, v);
    if (rc != NoError)
        return rc;
    value = std::floor(std::fabs(v) + 0.5) != 0.0;
    return NoError;
}

std::string formatFixed(double value, int decimals, bool forceSign)
{
    if (!std::isfinite(value))
        value = 0.0;
    decimals = decimals < 0 ? 0 : (decimals > 9 ? 9 : decimals);
    long long scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    const double limit = 1e15 / static_cast<double>(scale);
    if (value > limit)
        value = limit;
    if (value < -limit)
        value = -limit;
    const long long scaled = std::llround(value * static_cast<double>(scale));
    const unsigned long long magnitude =
        scaled < 0 ? static_cast<unsigned long long>(-scaled) : static_cast<unsigned long long>(scaled);

    std::string out;
    if (scaled < 0)
        out += '-';
    else if (forceSign)
        out += '+';
    out += std::to_string(magnitude / static_cast<unsigned long long>(scale));
    if (decimals > 0) {
        std::string frac = std::to_string(magnitude % static_cast<unsigned long long>(scale));
        out += '.';
        out.append(static_cast<std::size_t>(decimals) - frac.size(), '0');
        out += frac;
    }
    return out;
}

std::string quoteString(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    out += '"';
    return out;
}

} // namespace scpi
} // namespace cv4870emu
