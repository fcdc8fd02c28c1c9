// "ProtocolInfo": the display-protocol statistics of one user session, read from the Vexel or
// PCoIP per-session performance counters, with the Vexel encoder type named.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PerfCounterDefinition.h"
#include "quillmesh/PropertyBag.h"

// Protocol codes: the category bits of the protocol counter tables.
constexpr DWORD kVexelProtocol = 4;
constexpr DWORD kPcoipProtocol = 8;

constexpr size_t kEncoderNameCount = 47;

struct ProtocolSample {
    uint32_t sessionId = 0;
    uint32_t protocol = 0;
    std::vector<MetricValue> values;
};

// The session's protocol from its "KestlClient_Protocol" registry value.
bool DetectProtocol(int32_t sessionId, DWORD& protocol);

// Samples the protocol's counters of the session twice, a second apart, into `sample.values`.
bool SampleProtocolCounters(ProtocolSample& sample);

// How the sampler waits between its two collections: Sleep(milliseconds) unless another wait
// is installed (tests hold samples and watch the interval with it). Null restores Sleep.
using SampleIntervalWait = void (*)(DWORD milliseconds);
void SetSampleIntervalWait(SampleIntervalWait wait);

// The session's user name; empty when it has none or the lookup failed (logged).
std::wstring GetSessionUserName(int32_t sessionId);

// Rewrites each row's instance to the session's instance of its protocol.
void SetProtocolInstances(std::vector<PerfCounterDefinition>& table, int32_t sessionId,
                          const std::wstring& userName);

// The encoder name of an "Encoder Type" value, or null outside 0..46.
const char* EncoderName(int32_t encoderType);

// Replaces the integer "image_encode_type" of a "vexel" bag by the encoder's name.
void ResolveEncoderName(CORE::PropertyBag& vexel);

// Adds the "protocol" bag for the session to the reply.
bool BuildProtocolReply(int32_t sessionId, CORE::PropertyBag& reply);
