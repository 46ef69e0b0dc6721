// Building prometheus metric families by hand: one family, one sample, one
// more label. The drive and the NVMe expositions both build on these.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <prometheus/client_metric.h>
#include <prometheus/metric_family.h>
#include <prometheus/metric_type.h>

namespace platewise::metrics {

using Labels = std::vector<prometheus::ClientMetric::Label>;

// An empty family of this name, help text and type.
inline prometheus::MetricFamily family(const char* name, const char* help,
                                       prometheus::MetricType type = prometheus::MetricType::Gauge)
{
    prometheus::MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

// Adds one sample to `f`: a counter's value when `f` counts, else a gauge's.
inline void add(prometheus::MetricFamily& f, const Labels& labels, double value)
{
    prometheus::ClientMetric m;
    m.label = labels;
    if (f.type == prometheus::MetricType::Counter) {
        m.counter.value = value;
    } else {
        m.gauge.value = value;
    }
    f.metric.push_back(std::move(m));
}

// `labels` and one more.
inline Labels with(Labels labels, const char* name, std::string value)
{
    labels.push_back({name, std::move(value)});
    return labels;
}

}  // namespace platewise::metrics
