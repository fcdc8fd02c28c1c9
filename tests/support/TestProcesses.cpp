// The parts of the test processes that are the same on both builds.
#include "TestProcesses.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <atomic>
#include "UniqueHandle.h"
#include "ProcessArithmetic.h"

namespace dorn::test {

std::wstring ImageName(const std::filesystem::path& path) {
    return std::filesystem::weakly_canonical(path).filename().wstring();
}

void CopyExecutable(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::path temporary = to;
    temporary += ".part" + std::to_string(GetCurrentProcessId());
    std::error_code error;
    std::filesystem::copy_file(from, temporary, std::filesystem::copy_options::overwrite_existing,
                               error);
    ASSERT_FALSE(error) << from << " -> " << temporary << ": " << error.message();
    std::filesystem::permissions(temporary, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    std::filesystem::rename(temporary, to, error);
    ASSERT_FALSE(error) << temporary << " -> " << to << ": " << error.message();
}

int64_t OwnProcessorTime() {
    FILETIME creation, exit, kernel, user;
    EXPECT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
    auto value = [](const FILETIME& t) {
        return static_cast<int64_t>((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return value(kernel) + value(user);
}

int64_t BurnOwnProcessorTime(int64_t by) {
    const int64_t start = OwnProcessorTime();
    int64_t now = start;
    volatile uint64_t spin = 0;
    EXPECT_TRUE(WaitUntil([&] {
        for (int i = 0; i < 100000; ++i) spin = spin + 1;
        now = OwnProcessorTime();
        return now > start + by;
    })) << "the processor time did not grow";
    return now;
}

ProcessIdentity Identify(DWORD pid) {
    ProcessIdentity identity;
    identity.id = pid;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    FILETIME creation, exit, kernel, user;
    WCHAR path[1024];
    DWORD size = 1024;
    if (!process || !GetProcessTimes(process.get(), &creation, &exit, &kernel, &user) ||
        !QueryFullProcessImageNameW(process.get(), 0, path, &size)) {
        ADD_FAILURE() << "cannot identify process " << pid << ", error " << GetLastError();
        return identity;
    }
    identity.createTime = CreationTimeToUnixSeconds(
        static_cast<int64_t>((uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime));
    identity.path.assign(path, size);
    identity.name = identity.path.substr(identity.path.rfind(L'\\') + 1);
    return identity;
}

}  // namespace dorn::test
