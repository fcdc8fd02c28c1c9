#include <sys/resource.h>

#include <algorithm>
#include <csignal>

#include "ConnectionCapacity.h"

// The soft descriptor limit is raised as far as the hard one allows, and the server holds as
// many connections as leave room for the plug-in's own files.
size_t PrepareConnectionCapacity() {
    std::signal(SIGPIPE, SIG_IGN);
    constexpr rlim_t kWanted = 1 << 16;
    constexpr rlim_t kKeptForFiles = 256;
    constexpr size_t kMostConnections = 4096;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kKeptForFiles;
    const rlim_t wanted = std::min(limit.rlim_max, kWanted);
    if (limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    const rlim_t available =
        limit.rlim_cur > 2 * kKeptForFiles ? limit.rlim_cur - kKeptForFiles : limit.rlim_cur / 2;
    return std::min<size_t>(kMostConnections, available);
}
