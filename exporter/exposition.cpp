#include "exposition.h"

#include <charconv>
#include <cmath>

namespace cv4870exp {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned lead = byte(i);
    const std::size_t n = lead < 0x80                   ? 1
                          : lead >= 0xc2 && lead < 0xe0 ? 2
                          : lead >= 0xe0 && lead < 0xf0 ? 3
                          : lead >= 0xf0 && lead < 0xf5 ? 4
                                                        : 0;
    const unsigned second = byte(i + 1);
    if (n == 0 || (n > 1 && (second & 0xc0u) != 0x80) || (lead == 0xe0 && second < 0xa0) ||
        (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90))
        return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if ((byte(i + k) & 0xc0u) != 0x80)
            return 0;
    }
    return n;
}

// Prometheus refuses a whole scrape over one malformed UTF-8 byte, so
// such bytes become '?'.
std::string escaped(std::string_view text, bool quote)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8Length(text, i);
        if (n == 0 || n > 1) {
            out.append(n == 0 ? std::string_view("?") : text.substr(i, n));
            i += n == 0 ? 1 : n;
            continue;
        }
        const char c = text[i++];
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

} // namespace

std::string escapeLabelValue(std::string_view value)
{
    return escaped(value, true);
}

std::string escapeHelp(std::string_view help)
{
    return escaped(help, false);
}

std::string formatValue(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

void MetricWriter::family(std::string_view name, std::string_view type, std::string_view help)
{
    text_.append("# HELP ").append(name).append(" ").append(escapeHelp(help)).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricWriter::sample(std::string_view name, std::initializer_list<Label> labels, double value)
{
    text_.append(name);
    if (labels.size() != 0) {
        char separator = '{';
        for (const Label &label : labels) {
            text_ += separator;
            text_.append(label.first).append("=\"").append(escapeLabelValue(label.second)).append("\"");
            separator = ',';
        }
        text_ += '}';
    }
    text_.append(" ").append(formatValue(value)).append("\n");
}

void MetricWriter::gauge(std::string_view name, std::string_view help, double value)
{
    family(name, "gauge", help);
    sample(name, value);
}

} // namespace cv4870exp
