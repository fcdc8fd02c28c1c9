#include "CounterCatalog.h"

#include <algorithm>

#include "CaseFold.h"
#include "CounterFile.h"
#include "CounterNames.h"
#include "PhysicalDiskObject.h"
#include "ProcFs.h"
#include "ProcessorObject.h"

namespace winport::pdh {
namespace {

std::vector<std::wstring> NamesOf(const std::vector<ObjectData>& objects) {
    std::vector<std::wstring> names;
    for (const ObjectData& object : objects) {
        names.push_back(object.name);
        for (const CounterInfo& counter : object.counters) names.push_back(counter.name);
    }
    return names;
}

std::vector<ObjectData> SystemObjectsWithoutData() {
    return {ObjectData{kProcessorObject, ProcessorCounters(), true, {}},
            ObjectData{kPhysicalDiskObject, PhysicalDiskCounters(), true, {}}};
}

// The system's names are in the index from the moment the library is loaded, before any
// plug-in reads it.
[[maybe_unused]] const bool systemNamesRegistered = [] {
    RegisterObjectNames(SystemObjectsWithoutData());
    return true;
}();

}  // namespace

void RegisterObjectNames(const std::vector<ObjectData>& objects) {
    if (CounterNames::Instance().Register(NamesOf(objects)))
        CounterNames::Instance().WriteRegistry();
}

CounterCatalog::CounterCatalog() : files_("counter file", ParseCounterFile) {}

CounterCatalog& CounterCatalog::Instance() {
    // Never destroyed: PDH calls made from other libraries' destructors still find it.
    static auto* catalog = new CounterCatalog();
    return *catalog;
}

std::optional<ObjectData> CounterCatalog::Read(std::wstring_view englishName) {
    if (std::optional<ObjectData> system = ReadSystemObject(englishName)) return system;
    std::unique_lock lock(lock_);
    RefreshFiles(lock);
    for (const std::vector<ObjectData>* objects : files_.Contents()) {
        const auto found = std::find_if(
            objects->begin(), objects->end(),
            [&](const ObjectData& object) { return EqualsIgnoringCase(object.name, englishName); });
        if (found != objects->end()) return *found;
    }
    return std::nullopt;
}

bool CounterCatalog::Publish(const std::string& path, std::string& error) {
    std::lock_guard lock(lock_);
    if (!files_.Add(path, error)) return false;
    for (const std::vector<ObjectData>* objects : files_.Contents()) RegisterObjectNames(*objects);
    return true;
}

void CounterCatalog::ForgetFiles() {
    std::lock_guard lock(lock_);
    files_.Clear();
}

std::string CounterCatalog::Problem(const std::string& path) {
    std::unique_lock lock(lock_);
    RefreshFiles(lock);
    return files_.Problem(path);
}

void CounterCatalog::SetSystemSources(const SystemSources& sources) {
    const SystemSources defaults;
    std::lock_guard lock(lock_);
    sources_.procStat = sources.procStat.empty() ? defaults.procStat : sources.procStat;
    sources_.diskStats = sources.diskStats.empty() ? defaults.diskStats : sources.diskStats;
    sources_.sysBlock = sources.sysBlock.empty() ? defaults.sysBlock : sources.sysBlock;
}

void CounterCatalog::RefreshFiles(std::unique_lock<std::mutex>& lock) {
    files_.Refresh(lock, RegisterObjectNames);
}

std::optional<ObjectData> CounterCatalog::ReadSystemObject(std::wstring_view name) {
    const bool processor = EqualsIgnoringCase(name, kProcessorObject);
    const bool disk = EqualsIgnoringCase(name, kPhysicalDiskObject);
    if (!processor && !disk) return std::nullopt;
    SystemSources sources;
    {
        std::lock_guard lock(lock_);
        sources = sources_;
    }
    // An unreadable file reads as an object without instances: every counter then reports that
    // its instance is missing.
    std::string text;
    if (processor) {
        if (!procfs::ReadWholeFile(sources.procStat.c_str(), text)) text.clear();
        return ParseProcessorObject(text);
    }
    if (!procfs::ReadWholeFile(sources.diskStats.c_str(), text)) text.clear();
    ObjectData object = ParsePhysicalDiskObject(text, SysBlockDiskFilter(sources.sysBlock));
    if (text.empty()) object.instances.clear();
    return object;
}

}  // namespace winport::pdh
