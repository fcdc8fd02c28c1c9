// What PDH query and counter handles name. Each query has its own lock, so threads that use
// their own queries never wait for each other; a counter keeps its last two samples.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CounterModel.h"
#include "Handles.h"

namespace winport::pdh {

// The counter a path named, by its English names.
struct CounterTarget {
    std::wstring object;
    std::wstring counter;
    std::optional<std::wstring> instance;
};

class PdhCounter : public HandleObject {
  public:
    PdhCounter(HANDLE query, CounterTarget target) : query_(query), target_(std::move(target)) {}
    // PDH handles are closed by PDH calls only.
    bool ClosedByCloseHandle() const override { return false; }

    HANDLE Query() const { return query_; }
    const CounterTarget& Target() const { return target_; }

    // Takes this collection's sample from the object as read (null: nothing provides it).
    void Record(const ObjectData* object, uint64_t timeUs);
    // The value from the last two samples; `perfType` gets the counter's type.
    FormattedValue Format(DWORD format, DWORD& perfType) const;

  private:
    Sample SampleFrom(const ObjectData* object, uint64_t timeUs);

    const HANDLE query_;
    const CounterTarget target_;
    mutable std::mutex lock_;
    std::optional<CounterInfo> info_;
    std::optional<Sample> previous_;
    std::optional<Sample> current_;
};

class PdhQuery : public HandleObject {
  public:
    bool ClosedByCloseHandle() const override { return false; }

    void Add(HANDLE handle, std::shared_ptr<PdhCounter> counter);
    void Remove(HANDLE handle);
    // The handles of every counter, which the query no longer holds.
    std::vector<HANDLE> TakeAll();
    // Samples every counter, reading each object once. PDH_NO_DATA when there is no counter.
    PDH_STATUS Collect(uint64_t timeUs);

  private:
    std::mutex lock_;
    std::vector<std::pair<HANDLE, std::shared_ptr<PdhCounter>>> counters_;
};

}  // namespace winport::pdh
