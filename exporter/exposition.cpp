#include "exposition.h"

#include <prometheus/text_serializer.h>

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

std::string validUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8Length(text, i);
        out.append(n == 0 ? std::string_view("?") : text.substr(i, n));
        i += n == 0 ? 1 : n;
    }
    return out;
}

} // namespace

void Families::family(std::string name, std::string help, prometheus::MetricType type)
{
    list.push_back({std::move(name), std::move(help), type, {}});
}

void Families::sample(std::initializer_list<Label> labels, double value)
{
    prometheus::MetricFamily &family = list.back();
    prometheus::ClientMetric &metric = family.metric.emplace_back();
    metric.label.reserve(labels.size());
    for (const Label &label : labels)
        metric.label.push_back({std::string(label.first), validUtf8(label.second)});
    (family.type == prometheus::MetricType::Counter ? metric.counter.value : metric.gauge.value) = value;
}

void Families::gauge(std::string name, std::string help, double value)
{
    family(std::move(name), std::move(help));
    sample(value);
}

std::string Families::text() const
{
    return prometheus::TextSerializer().Serialize(list);
}

} // namespace cv4870exp
