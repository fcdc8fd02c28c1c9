// pdh.dll over the counter catalog: argument checks, size protocols and status codes as the
// Performance Data Helper gives them.
#include <pdh.h>
#include <pdhmsg.h>

#include <cstring>
#include <memory>

#include "CollectionClock.h"
#include "CounterApiEntry.h"
#include "CounterCatalog.h"
#include "CounterNames.h"
#include "CounterPath.h"
#include "PdhObjects.h"

namespace {

using namespace winport::pdh;

PDH_STATUS Status(DWORD code) {
    return static_cast<PDH_STATUS>(code);
}

template <typename T>
std::shared_ptr<T> Find(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    return std::dynamic_pointer_cast<T>(winport::FindHandle(handle));
}

template <typename T>
bool IsA(const winport::HandleObject& object) {
    return dynamic_cast<const T*>(&object) != nullptr;
}

// The English name a path's name stands for, or the name itself for English paths.
std::optional<std::wstring> EnglishName(const std::wstring& name, bool localized) {
    return localized ? CounterNames::Instance().EnglishName(name) : std::optional(name);
}

std::optional<ObjectData> ReadObjectNamed(const std::wstring& name, bool localized) {
    const std::optional<std::wstring> english = EnglishName(name, localized);
    return english ? CounterCatalog::Instance().Read(*english) : std::nullopt;
}

// Resolves a path to the counter it names. An object part that is itself an object's name
// ("Disk (Cache)") wins over reading its last parenthesized group as an instance.
PDH_STATUS ResolveCounter(const CounterPath& path, bool localized, CounterTarget& target) {
    std::optional<ObjectData> object;
    if (path.instance) object = ReadObjectNamed(path.objectPart, localized);
    if (object) {
        target.instance.reset();
    } else {
        object = ReadObjectNamed(path.object, localized);
        target.instance = path.instance;
    }
    if (!object) return Status(PDH_CSTATUS_NO_OBJECT);
    const std::optional<std::wstring> counterName = EnglishName(path.counter, localized);
    const std::optional<size_t> counter =
        counterName ? object->FindCounter(*counterName) : std::nullopt;
    if (!counter) return Status(PDH_CSTATUS_NO_COUNTER);
    target.object = object->name;
    target.counter = object->counters[*counter].name;
    return ERROR_SUCCESS;
}

PDH_STATUS AddCounter(const char* api, PDH_HQUERY hQuery, LPCWSTR path, PDH_HCOUNTER* phCounter,
                      bool localized) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi(api)) return Status(*code);
    const std::shared_ptr<PdhQuery> query = Find<PdhQuery>(hQuery);
    if (!query) return Status(PDH_INVALID_HANDLE);
    if (path == nullptr || phCounter == nullptr) return Status(PDH_INVALID_ARGUMENT);
    const std::optional<CounterPath> parsed = ParseCounterPath(path);
    if (!parsed) return Status(PDH_CSTATUS_BAD_COUNTERNAME);
    if (!IsLocalMachine(parsed->machine)) return Status(PDH_CSTATUS_NO_MACHINE);
    CounterTarget target;
    if (PDH_STATUS status = ResolveCounter(*parsed, localized, target); status != ERROR_SUCCESS) {
        return status;
    }
    auto counter = std::make_shared<PdhCounter>(hQuery, std::move(target));
    const HANDLE handle = winport::InsertHandle(counter);
    query->Add(handle, std::move(counter));
    *phCounter = handle;
    return ERROR_SUCCESS;
}

// Exactly one of the value formats, with any modifiers.
bool ValidFormat(DWORD format) {
    const DWORD kinds = format & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE);
    return kinds == PDH_FMT_LONG || kinds == PDH_FMT_DOUBLE || kinds == PDH_FMT_LARGE;
}

void StoreValue(double value, DWORD format, PDH_FMT_COUNTERVALUE& out) {
    if ((format & PDH_FMT_DOUBLE) != 0) {
        out.doubleValue = value;
    } else if ((format & PDH_FMT_LARGE) != 0) {
        out.largeValue = value >= 9.2e18    ? INT64_MAX
                         : value <= -9.2e18 ? INT64_MIN
                                            : static_cast<LONGLONG>(value);
    } else {
        out.longValue = value >= 2147483647.0    ? INT32_MAX
                        : value <= -2147483648.0 ? INT32_MIN
                                                 : static_cast<LONG>(value);
    }
}

// "a\0b\0\0": the characters a multi-string of the names takes; 0 for no name.
DWORD MultiStringLength(const std::vector<std::wstring>& names) {
    if (names.empty()) return 0;
    size_t length = 1;
    for (const std::wstring& name : names) length += name.size() + 1;
    return static_cast<DWORD>(length);
}

void WriteMultiString(const std::vector<std::wstring>& names, WCHAR* buffer) {
    for (const std::wstring& name : names) {
        std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        buffer += name.size() + 1;
    }
    *buffer = L'\0';
}

bool IsRealTime(LPCWSTR dataSource) {
    return dataSource == nullptr || *dataSource == L'\0';
}

}  // namespace

extern "C" {

PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY* phQuery) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhOpenQueryW"))
        return Status(*code);
    // Only real-time data: there are no log files to read.
    if (phQuery == nullptr || !IsRealTime(szDataSource)) return Status(PDH_INVALID_ARGUMENT);
    *phQuery = winport::InsertHandle(std::make_shared<PdhQuery>());
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR dwUserData,
                                 PDH_HCOUNTER* phCounter) {
    return AddCounter("PdhAddCounterW", hQuery, szFullCounterPath, phCounter, true);
}

PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath,
                                        DWORD_PTR dwUserData, PDH_HCOUNTER* phCounter) {
    return AddCounter("PdhAddEnglishCounterW", hQuery, szFullCounterPath, phCounter, false);
}

PDH_STATUS WINAPI PdhRemoveCounter(PDH_HCOUNTER hCounter) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhRemoveCounter"))
        return Status(*code);
    const std::shared_ptr<PdhCounter> counter = Find<PdhCounter>(hCounter);
    if (!counter) return Status(PDH_INVALID_HANDLE);
    if (const std::shared_ptr<PdhQuery> query = Find<PdhQuery>(counter->Query()))
        query->Remove(hCounter);
    winport::RemoveHandle(hCounter, IsA<PdhCounter>);
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY hQuery) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhCollectQueryData"))
        return Status(*code);
    const std::shared_ptr<PdhQuery> query = Find<PdhQuery>(hQuery);
    if (!query) return Status(PDH_INVALID_HANDLE);
    return query->Collect(CollectionTimeUs());
}

PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY hQuery) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhCloseQuery"))
        return Status(*code);
    const std::shared_ptr<PdhQuery> query = Find<PdhQuery>(hQuery);
    if (!query || !winport::RemoveHandle(hQuery, IsA<PdhQuery>)) return Status(PDH_INVALID_HANDLE);
    // Closing a query releases its counters.
    for (HANDLE counter : query->TakeAll()) winport::RemoveHandle(counter, IsA<PdhCounter>);
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat,
                                              LPDWORD lpdwType, PPDH_FMT_COUNTERVALUE pValue) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhGetFormattedCounterValue")) {
        return Status(*code);
    }
    const std::shared_ptr<PdhCounter> counter = Find<PdhCounter>(hCounter);
    if (!counter) return Status(PDH_INVALID_HANDLE);
    if (pValue == nullptr || !ValidFormat(dwFormat)) return Status(PDH_INVALID_ARGUMENT);
    DWORD perfType = 0;
    const FormattedValue formatted = counter->Format(dwFormat, perfType);
    if (lpdwType != nullptr) *lpdwType = perfType;
    *pValue = PDH_FMT_COUNTERVALUE{};
    pValue->CStatus = formatted.cstatus;
    StoreValue(formatted.value, dwFormat, *pValue);
    return formatted.status;
}

PDH_STATUS WINAPI PdhEnumObjectItemsW(LPCWSTR szDataSource, LPCWSTR szMachineName,
                                      LPCWSTR szObjectName, PZZWSTR mszCounterList,
                                      LPDWORD pcchCounterListLength, PZZWSTR mszInstanceList,
                                      LPDWORD pcchInstanceListLength, DWORD dwDetailLevel,
                                      DWORD dwFlags) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhEnumObjectItemsW"))
        return Status(*code);
    if (!IsRealTime(szDataSource) || szObjectName == nullptr || pcchCounterListLength == nullptr ||
        pcchInstanceListLength == nullptr) {
        return Status(PDH_INVALID_ARGUMENT);
    }
    if (szMachineName != nullptr && !IsLocalMachine(szMachineName))
        return Status(PDH_CSTATUS_NO_MACHINE);
    // The display name, or the English one, which the plug-ins of this product pass.
    std::optional<ObjectData> object = ReadObjectNamed(szObjectName, true);
    if (!object) object = CounterCatalog::Instance().Read(szObjectName);
    if (!object) return Status(PDH_CSTATUS_NO_OBJECT);

    std::vector<std::wstring> counters;
    for (const CounterInfo& counter : object->counters) {
        counters.push_back(CounterNames::Instance().DisplayName(counter.name));
    }
    std::vector<std::wstring> instances;
    if (object->hasInstances) {
        for (const ObjectInstance& instance : object->instances) instances.push_back(instance.name);
    }
    const DWORD counterLength = MultiStringLength(counters);
    const DWORD instanceLength = MultiStringLength(instances);
    const bool counterRoom = counterLength == 0 ||
                             (mszCounterList != nullptr && *pcchCounterListLength >= counterLength);
    const bool instanceRoom = instanceLength == 0 || (mszInstanceList != nullptr &&
                                                      *pcchInstanceListLength >= instanceLength);
    *pcchCounterListLength = counterLength;
    *pcchInstanceListLength = instanceLength;
    if (!counterRoom || !instanceRoom) return Status(PDH_MORE_DATA);
    if (counterLength != 0) WriteMultiString(counters, mszCounterList);
    if (instanceLength != 0) WriteMultiString(instances, mszInstanceList);
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhLookupPerfNameByIndexW(LPCWSTR szMachineName, DWORD dwNameIndex,
                                            LPWSTR szNameBuffer, LPDWORD pcchNameBufferSize) {
    if (std::optional<uint32_t> code = winport::EnterCounterApi("PdhLookupPerfNameByIndexW")) {
        return Status(*code);
    }
    if (pcchNameBufferSize == nullptr) return Status(PDH_INVALID_ARGUMENT);
    if (szMachineName != nullptr && !IsLocalMachine(szMachineName))
        return Status(PDH_CSTATUS_NO_MACHINE);
    const std::optional<std::wstring> name = CounterNames::Instance().DisplayNameOf(dwNameIndex);
    if (!name) return Status(PDH_INVALID_ARGUMENT);
    const DWORD needed = static_cast<DWORD>(name->size() + 1);
    if (szNameBuffer == nullptr || *pcchNameBufferSize < needed) {
        *pcchNameBufferSize = needed;
        return Status(PDH_MORE_DATA);
    }
    std::memcpy(szNameBuffer, name->c_str(), needed * sizeof(WCHAR));
    *pcchNameBufferSize = needed;
    return ERROR_SUCCESS;
}

}  // extern "C"
