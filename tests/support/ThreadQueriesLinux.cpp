#include <filesystem>
#include <fstream>

#include "ThreadQueries.h"

namespace dorn::test {

std::string SystemThreadName(DWORD threadId) {
    std::ifstream comm("/proc/self/task/" + std::to_string(threadId) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::set<DWORD> ProcessThreadIds() {
    std::set<DWORD> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(static_cast<DWORD>(std::stoul(entry.path().filename().string())));
    }
    return ids;
}

bool KeepsThreadRecords() {
    return false;
}

std::map<DWORD, DWORD> ExitCodesAfter(const std::set<DWORD>&, const std::function<void()>& action) {
    action();
    return {};
}

}  // namespace dorn::test
