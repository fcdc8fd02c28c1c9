#include "MetricsExposition.h"

#include <charconv>
#include <cmath>

namespace {

// Backslash and line feed escaped, and the double quote too in a label value (between quotes).
std::string Escaped(std::string_view text, bool quoted) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '"' && quoted) {
            escaped += "\\\"";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The shortest text that reads back as `value`; infinities and NaN as Prometheus spells them.
std::string MetricNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto [end, status] = std::to_chars(text, text + sizeof text, value);
    return status == std::errc() ? std::string(text, end) : "NaN";
}

const char* TypeName(MetricType type) {
    switch (type) {
        case MetricType::Counter:
            return "counter";
        case MetricType::Histogram:
            return "histogram";
        case MetricType::Gauge:
            break;
    }
    return "gauge";
}

std::string LabelSet(const MetricLabels& labels, const char* extraName = nullptr,
                     const std::string& extraValue = {}) {
    if (labels.empty() && extraName == nullptr) return {};
    std::string text = "{";
    for (const auto& [name, value] : labels) {
        if (text.size() > 1) text += ',';
        text += name + "=\"" + Escaped(value, true) + "\"";
    }
    if (extraName != nullptr) {
        if (text.size() > 1) text += ',';
        text += std::string(extraName) + "=\"" + extraValue + "\"";
    }
    return text + "}";
}

void Line(std::string& out, const std::string& name, const std::string& labels, double value) {
    out += name;
    out += labels;
    out += ' ';
    out += MetricNumber(value);
    out += '\n';
}

void RenderHistogram(std::string& out, const MetricFamily& family) {
    for (const HistogramSample& sample : family.histograms) {
        uint64_t cumulative = 0;
        for (size_t i = 0; i < family.bounds.size(); ++i) {
            cumulative += i < sample.bucketCounts.size() ? sample.bucketCounts[i] : 0;
            Line(out, family.name + "_bucket",
                 LabelSet(sample.labels, "le", MetricNumber(family.bounds[i])),
                 static_cast<double>(cumulative));
        }
        Line(out, family.name + "_bucket", LabelSet(sample.labels, "le", "+Inf"),
             static_cast<double>(sample.count));
        Line(out, family.name + "_sum", LabelSet(sample.labels), sample.sum);
        Line(out, family.name + "_count", LabelSet(sample.labels),
             static_cast<double>(sample.count));
    }
}

}  // namespace

std::string RenderExposition(const std::vector<MetricFamily>& families) {
    std::string out;
    for (const MetricFamily& family : families) {
        if (family.samples.empty() && family.histograms.empty()) continue;
        out += "# HELP " + family.name + " " + Escaped(family.help, false) + "\n";
        out += "# TYPE " + family.name + " " + TypeName(family.type) + "\n";
        if (family.type == MetricType::Histogram) {
            RenderHistogram(out, family);
            continue;
        }
        for (const MetricSample& sample : family.samples) {
            Line(out, family.name, LabelSet(sample.labels), sample.value);
        }
    }
    return out;
}
