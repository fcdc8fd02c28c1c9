// The asynchronous runner of "ProtocolInfo": at most kAsyncThreadLimit requests are answered
// from their own threads at a time.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int32_t kAsyncThreadLimit = 10;

// How many asynchronous operations may still start.
extern std::atomic<int32_t> AsyncThreadSlots;
