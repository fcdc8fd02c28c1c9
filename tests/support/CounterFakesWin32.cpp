#include <gtest/gtest.h>
#include "CounterFakes.h"

namespace dorn::test {
namespace {

void NoCounterLayer(const std::string& what) {
    ADD_FAILURE() << "cannot " << what << ": " << kNoCounterFiles;
}

}  // namespace

bool CanFakeCounters() {
    return false;
}

// The system's own counter names need no refresh.
void ResetCounterNames() {}

// Nothing was published or made up, so there is nothing to forget.
void ForgetCounterFixtures() {}

bool PublishCounterFixture(const std::string& path, std::string& error) {
    error = "cannot publish " + path + ": " + kNoCounterFiles;
    return false;
}

void PublishCounterFixture(const std::string& path) {
    NoCounterLayer("publish " + path);
}

void SetFakeSessions(const std::vector<FakeSession>&) {
    NoCounterLayer("choose the machine's sessions");
}

void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>&) {
    NoCounterLayer("translate counter names");
}

uint64_t CounterApiCalls(const char* api) {
    ADD_FAILURE() << "cannot count calls of " << api << ": " << kNoPdhCallCounts;
    return 0;
}

}  // namespace dorn::test
