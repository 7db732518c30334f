// Metric families for prometheus-cpp's text serializer: exposition format
// 0.0.4.
#ifndef CV4870_EXPORTER_EXPOSITION_H
#define CV4870_EXPORTER_EXPOSITION_H

#include <prometheus/metric_family.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cv4870exp {

constexpr const char *kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

using Label = std::pair<std::string_view, std::string_view>;

// The families of one answer, built a sample at a time: the samples of a
// family follow its family() call. HELP texts go out as they are, so they
// hold no backslash or line feed.
struct Families
{
    void family(std::string name, std::string help, prometheus::MetricType type = prometheus::MetricType::Gauge);
    // A sample of the last family: a gauge's or a counter's value, by its
    // type. Prometheus refuses a whole scrape over one malformed UTF-8 byte
    // and the serializer writes label values as they are, so each byte of a
    // value that starts no well-formed sequence becomes '?'.
    void sample(std::initializer_list<Label> labels, double value);
    void sample(double value) { sample({}, value); }
    // Gauge family with a single sample.
    void gauge(std::string name, std::string help, double value);
    // The text of every family.
    std::string text() const;

    std::vector<prometheus::MetricFamily> list;
};

} // namespace cv4870exp

#endif
