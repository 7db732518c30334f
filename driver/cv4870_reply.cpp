// Reply parsing: splitting a reply line into units and fields, numbers with
// std::from_chars (never the C library's locale-dependent conversions),
// SCPI strings and the error reply.
#include "cv4870_reply.h"

#include <charconv>
#include <cmath>

namespace cv4870drv {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// Strips blanks and one leading '+' (from_chars accepts only '-').
std::string_view numberText(std::string_view field)
{
    field = trim(field);
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
        if (!field.empty() && (field.front() == '-' || field.front() == '+'))
            return {};
    }
    return field;
}

} // namespace

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::size_t splitUnits(std::string_view line, std::string_view *units, std::size_t max)
{
    std::size_t count = 0;
    std::size_t start = 0; // of the unit being split off
    std::size_t pos = 0; // where the scan goes on, outside any string
    for (;;) {
        const std::size_t semicolon = line.find(';', pos);
        const std::size_t end = semicolon == std::string_view::npos ? line.size() : semicolon;
        const std::size_t quote = line.substr(0, end).find('"', pos);
        if (quote != std::string_view::npos) {
            // The string runs to the next quote: a doubled quote closes it
            // and opens it again at once.
            const std::size_t close = line.find('"', quote + 1);
            if (close == std::string_view::npos)
                return 0;
            pos = close + 1;
            continue;
        }
        if (count == max)
            return 0;
        units[count++] = line.substr(start, end - start);
        if (semicolon == std::string_view::npos)
            return count;
        start = pos = semicolon + 1;
    }
}

bool splitFields(std::string_view unit, std::string_view *fields, std::size_t n)
{
    std::size_t count = 0;
    for (;;) {
        const std::size_t comma = unit.find(',');
        if (count == n)
            return false;
        fields[count++] = trim(unit.substr(0, comma));
        if (comma == std::string_view::npos)
            break;
        unit.remove_prefix(comma + 1);
    }
    return count == n;
}

bool parseInt(std::string_view field, ViInt32 &value)
{
    const std::string_view s = numberText(field);
    if (s.empty())
        return false;
    ViInt32 v = 0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), v);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size())
        return false;
    value = v;
    return true;
}

bool parseReal(std::string_view field, ViReal64 &value)
{
    const std::string_view s = numberText(field);
    if (s.empty())
        return false;
    ViReal64 v = 0.0;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size() || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

bool parseBool(std::string_view field, ViBoolean &value)
{
    field = trim(field);
    if (field == "0" || field == "1") {
        value = field == "1" ? VI_TRUE : VI_FALSE;
        return true;
    }
    return false;
}

bool unquote(std::string_view unit, std::string &text)
{
    unit = trim(unit);
    if (unit.size() < 2 || unit.front() != '"' || unit.back() != '"')
        return false;
    unit = unit.substr(1, unit.size() - 2);
    text.clear();
    for (std::size_t i = 0; i < unit.size(); ++i) {
        if (unit[i] == '"') {
            if (i + 1 >= unit.size() || unit[i + 1] != '"')
                return false; // a lone quote ends the string early
            ++i;
        }
        text.push_back(unit[i]);
    }
    return true;
}

bool parseErrorReply(std::string_view unit, ViInt32 &code, std::string &text)
{
    const std::size_t comma = unit.find(',');
    if (comma == std::string_view::npos)
        return false;
    ViInt32 c = 0;
    if (!parseInt(unit.substr(0, comma), c))
        return false;
    std::string t;
    if (!unquote(unit.substr(comma + 1), t))
        return false;
    if (t.size() > kMaxErrorText)
        t.resize(kMaxErrorText);
    code = c;
    text = std::move(t);
    return true;
}

bool copyText(std::string_view text, char *buf, std::size_t cap)
{
    const bool fits = text.size() < cap;
    const std::size_t n = fits ? text.size() : cap - 1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
        buf[i] = control ? '?' : static_cast<char>(c);
    }
    buf[n] = '\0';
    return fits;
}

bool parseTag(std::string_view unit, std::uint32_t &tag)
{
    if (unit.empty() || unit.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (const char c : unit) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > UINT32_MAX)
        return false;
    tag = static_cast<std::uint32_t>(v);
    return true;
}

ViStatus statusForMainframeCode(ViInt32 code)
{
    if (code == 0)
        return VI_SUCCESS;
    if (code > 0 && code <= CV4870_DEVICE_CODE_MAX)
        return CV4870_ERROR_DEVICE_BASE + code;
    if (code < 0 && code >= CV4870_SCPI_CODE_MIN)
        return CV4870_ERROR_SCPI_BASE - code;
    return CV4870_ERROR_MAINFRAME_OTHER;
}

Reply decodeReply(std::string_view line, bool query)
{
    Reply r;
    std::string_view units[kMaxUnits];
    const std::size_t n = splitUnits(line, units, kMaxUnits);
    if (n == 0 || !parseErrorReply(units[n - 1], r.errorCode, r.errorText)) {
        r.status = VI_ERROR_INV_RESPONSE;
        return r;
    }
    if (r.errorCode != 0) {
        r.status = statusForMainframeCode(r.errorCode);
        return r;
    }
    if (n != (query ? 2u : 1u)) {
        r.status = VI_ERROR_INV_RESPONSE;
        return r;
    }
    if (query)
        r.response = units[0];
    return r;
}

} // namespace cv4870drv
