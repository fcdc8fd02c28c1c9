// What the plug-in's replies say about the machine, its sessions and its processes, as the
// metric families of "GET /metrics", in base units (seconds, bytes, ratios from 0 to 1).
#pragma once

#include <cstddef>
#include <vector>

#include "MetricsExposition.h"
#include "SessionList.h"
#include "quillmesh/PropertyBag.h"

struct SessionReplies {
    SessionEntry session;
    CORE::PropertyBag protocol;    // the "ProtocolInfo" reply; empty when it failed
    CORE::PropertyBag historical;  // the "HistoricalMetrics" reply; empty when it failed
};

// The replies of one round of sampling.
struct SampledReplies {
    CORE::PropertyBag performance;  // the "Performance" reply; empty when it failed
    std::vector<SessionReplies> sessions;
};

// The machine's load from the newest "metric" of "Performance"; each session's info, load (from
// the newest entry of "HistoricalMetrics") and protocol statistics; the `topProcesses` processes
// of the newest "processMetrics" with the largest processor share.
std::vector<MetricFamily> SampledFamilies(const SampledReplies& replies, size_t topProcesses);
