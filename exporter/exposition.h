// Prometheus text exposition format, version 0.0.4.
#ifndef CV4870_EXPORTER_EXPOSITION_H
#define CV4870_EXPORTER_EXPOSITION_H

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace cv4870exp {

constexpr const char *kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

using Label = std::pair<std::string_view, std::string_view>;

class MetricWriter
{
public:
    // Starts a metric family: its HELP and TYPE lines. Every sample of a
    // family follows its family() call, before the next one.
    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, double value) { sample(name, {}, value); }
    void sample(std::string_view name, std::initializer_list<Label> labels, double value);
    // Family with a single sample.
    void gauge(std::string_view name, std::string_view help, double value);

    const std::string &text() const { return text_; }

private:
    std::string text_;
};

// Label values escape backslash, double quote and line feed; HELP texts
// backslash and line feed.
std::string escapeLabelValue(std::string_view value);
std::string escapeHelp(std::string_view help);
// Shortest text that reads back as the same double; NaN, +Inf, -Inf.
std::string formatValue(double value);

} // namespace cv4870exp

#endif
