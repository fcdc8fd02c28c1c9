#include "ProcessIdentity.h"

#include <windows.h>

#include <cerrno>

#include "Paths.h"
#include "WideText.h"

namespace winport {
namespace {

// UNICODE_STRING lengths are 16-bit byte counts.
constexpr size_t kMaxNameCharacters = 0xFFFE / sizeof(WCHAR) - 1;

std::wstring ImageName(const ProcessIdentity& identity, const procfs::ProcDir& dir,
                       const procfs::StatFields& stat) {
    std::wstring name;
    if (identity.exePath) {
        std::wstring path = ToWindowsPath(*identity.exePath);
        const size_t slash = path.rfind(L'\\');
        name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    } else {
        // Any account may read the command line (unless /proc hides other accounts' processes).
        std::string commandLine;
        if (!dir.ReadFile("cmdline", commandLine)) commandLine.clear();
        name = DecodeUtf8(procfs::ExecutableFileName(stat, commandLine));
    }
    if (name.size() > kMaxNameCharacters) name.resize(kMaxNameCharacters);
    return name;
}

}  // namespace

std::shared_ptr<const ProcessIdentity> ReadProcessIdentity(int pid, const procfs::ProcDir& dir,
                                                           procfs::StatFields& stat,
                                                           procfs::StatusFields& status) {
    std::optional<procfs::StatusFields> readStatus = dir.Status();
    std::optional<procfs::StatFields> readStat = dir.Stat();
    std::optional<procfs::DirectoryStamp> stamp = dir.Stamp();
    // /proc answers for thread ids too, though it lists only processes.
    if (!readStatus || !readStat || !stamp || readStatus->threadGroupId != pid) return nullptr;
    auto identity = std::make_shared<ProcessIdentity>();
    identity->pid = pid;
    identity->startTicks = readStat->startTicks;
    identity->stamp = *stamp;
    identity->parentPid = readStat->parentPid;
    identity->kernelThread = (readStat->flags & procfs::kKernelThreadFlag) != 0;
    identity->effectiveUid = readStatus->effectiveUid;
    identity->loginSession = dir.LoginSession();
    std::string exe;
    if (dir.ReadLink("exe", exe)) {
        identity->exePath = std::move(exe);
    } else {
        identity->exeError = errno;
    }
    identity->imageName = ImageName(*identity, dir, *readStat);
    stat = std::move(*readStat);
    status = *readStatus;
    return identity;
}

}  // namespace winport
