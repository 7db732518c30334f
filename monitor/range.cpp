// The plugin range syntax.
#include <charconv>
#include <cmath>
#include <cstdio>

#include "cv4870mon/range.h"
#include "cv4870mon/text.h"

namespace cv4870mon {

namespace {

constexpr std::size_t kMaxRangeText = 64;

// A whole finite decimal number, or nothing.
std::optional<double> number(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() ||
        !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '-' || text.front() == '.'))
        return std::nullopt; // from_chars would also take "inf" and "nan"
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

bool Range::alerts(double value) const
{
    if (std::isnan(value))
        return true;
    const bool within = (!start || value >= *start) && (!end || value <= *end);
    return inside ? within : !within;
}

std::string Range::describe() const
{
    return std::string(inside ? "inside " : "outside ") + (start ? formatNumber(*start) : "") + ".." +
           (end ? formatNumber(*end) : "");
}

RangeResult parseRange(std::string_view text)
{
    RangeResult r;
    const std::string shown =
        text.size() <= kMaxRangeText ? std::string(text) : std::string(text.substr(0, 20)) + "...";
    auto fail = [&](const char *why) {
        r.error = "range '" + shown + "' " + why;
        return r;
    };
    if (text.empty() || text.size() > kMaxRangeText)
        return fail("must have 1 to 64 characters");
    Range range;
    range.text = std::string(text);
    if (text.front() == '@') {
        range.inside = true;
        text.remove_prefix(1);
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        range.start = 0.0;
        if (!(range.end = number(text)))
            return fail("is not a number, start:end, start:, ~:end or @start:end");
    } else {
        const std::string_view low = text.substr(0, colon), high = text.substr(colon + 1);
        if (low != "~" && !(range.start = number(low)))
            return fail("has no number or ~ before the colon");
        if (!high.empty() && !(range.end = number(high)))
            return fail("has no number after the colon");
    }
    if (range.start && range.end && *range.start > *range.end)
        return fail("starts above its end");
    r.ok = true;
    r.range = std::move(range);
    return r;
}

} // namespace cv4870mon
