#include "PdhObjects.h"

#include <algorithm>
#include <map>

#include "CaseFold.h"
#include "CounterCatalog.h"

namespace winport::pdh {

Sample PdhCounter::SampleFrom(const ObjectData* object, uint64_t timeUs) {
    Sample sample;
    sample.timeUs = timeUs;
    if (object == nullptr) {
        sample.status = PDH_CSTATUS_NO_OBJECT;
        return sample;
    }
    const std::optional<size_t> counter = object->FindCounter(target_.counter);
    if (!counter) {
        sample.status = PDH_CSTATUS_NO_COUNTER;
        return sample;
    }
    info_ = object->counters[*counter];
    const ObjectInstance* instance = nullptr;
    if (object->hasInstances && target_.instance) {
        instance = object->FindInstance(*target_.instance);
    } else if (!object->hasInstances && !target_.instance && !object->instances.empty()) {
        instance = &object->instances.front();
    }
    if (instance == nullptr) {
        sample.status = PDH_CSTATUS_NO_INSTANCE;
    } else if (!instance->values[*counter]) {
        sample.status = PDH_CSTATUS_NO_COUNTER;  // listed for the object, absent here
    } else {
        sample.status = PDH_CSTATUS_VALID_DATA;
        sample.raw = *instance->values[*counter];
    }
    return sample;
}

void PdhCounter::Record(const ObjectData* object, uint64_t timeUs) {
    std::lock_guard lock(lock_);
    Sample sample = SampleFrom(object, timeUs);
    previous_ = std::move(current_);
    current_ = std::move(sample);
}

FormattedValue PdhCounter::Format(DWORD format, DWORD& perfType) const {
    std::lock_guard lock(lock_);
    perfType = info_ ? info_->perfType : 0;
    if (!current_) {
        return {static_cast<PDH_STATUS>(PDH_INVALID_DATA), PDH_CSTATUS_INVALID_DATA, 0.0};
    }
    if (!info_) {
        return {static_cast<PDH_STATUS>(PDH_INVALID_DATA), current_->status, 0.0};
    }
    return FormatCounter(*info_, previous_ ? &*previous_ : nullptr, *current_, format);
}

void PdhQuery::Add(HANDLE handle, std::shared_ptr<PdhCounter> counter) {
    std::lock_guard lock(lock_);
    counters_.emplace_back(handle, std::move(counter));
}

void PdhQuery::Remove(HANDLE handle) {
    std::lock_guard lock(lock_);
    counters_.erase(std::remove_if(counters_.begin(), counters_.end(),
                                   [&](const auto& entry) { return entry.first == handle; }),
                    counters_.end());
}

std::vector<HANDLE> PdhQuery::TakeAll() {
    std::lock_guard lock(lock_);
    std::vector<HANDLE> handles;
    for (const auto& entry : counters_) handles.push_back(entry.first);
    counters_.clear();
    return handles;
}

PDH_STATUS PdhQuery::Collect(uint64_t timeUs) {
    std::lock_guard lock(lock_);
    if (counters_.empty()) return static_cast<PDH_STATUS>(PDH_NO_DATA);
    std::map<std::wstring, std::optional<ObjectData>> objects;
    for (const auto& [handle, counter] : counters_) {
        const std::wstring& name = counter->Target().object;
        auto [read, added] = objects.try_emplace(Folded(name));
        if (added) read->second = CounterCatalog::Instance().Read(name);
        counter->Record(read->second ? &*read->second : nullptr, timeUs);
    }
    return ERROR_SUCCESS;
}

}  // namespace winport::pdh
