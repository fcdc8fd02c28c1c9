// Every counter object the PDH knows: "Processor" and "PhysicalDisk" from the system, and the
// objects of the published counter files, looked at again on every use so that a file another
// process rewrites takes effect at once. Names are entered in the Perflib index as they appear.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CounterModel.h"
#include "WatchedFile.h"

namespace winport::pdh {

struct SystemSources {
    std::string procStat = "/proc/stat";
    std::string diskStats = "/proc/diskstats";
    std::string sysBlock = "/sys/block";
};

class CounterCatalog {
  public:
    static CounterCatalog& Instance();

    // The object as it reads now, by its English name (any case); nullopt when nothing
    // provides it. A file published earlier wins over a later one with the same object.
    std::optional<ObjectData> Read(std::wstring_view englishName);

    // See winport::PublishCounterFile.
    bool Publish(const std::string& path, std::string& error);
    void ForgetFiles();
    std::string Problem(const std::string& path);

    // Empty texts restore the system's files.
    void SetSystemSources(const SystemSources& sources);

  private:
    CounterCatalog();
    // `lock` is held on entry and on return, and released while changed files are read.
    void RefreshFiles(std::unique_lock<std::mutex>& lock);
    std::optional<ObjectData> ReadSystemObject(std::wstring_view name);

    std::mutex lock_;
    SystemSources sources_;
    WatchedFiles<std::vector<ObjectData>> files_;
};

// Enters the names of the objects and their counters in the Perflib index; writes the index
// to the registry when a name was new.
void RegisterObjectNames(const std::vector<ObjectData>& objects);

}  // namespace winport::pdh
