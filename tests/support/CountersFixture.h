// The counter tests' fixture: every test starts from a clean PDH, registry, name index and
// session gate, with a directory of its own for counter, sessions and /proc files.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <gtest/gtest.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <atomic>
#include <string>
#include <vector>

#include "CounterNameIndex.h"
#include "CounterSetUpdate.h"
#include "PerfCounterSet.h"
#include "CounterFakes.h"
#include "LogCapture.h"
#include "TempDirectory.h"
#include "TestRegistry.h"

namespace dorn::test {

class CountersTest : public ::testing::Test {
  protected:
    CountersTest() {
        ResetCounterNames();
        CounterNameIndex::Build();
        ActiveSessionSeen = false;
    }
    ~CountersTest() override {
        ForgetCounterFixtures();
        ActiveSessionSeen = false;
    }

    // Publishes a counter file written into the temporary directory; fails the test if refused.
    std::string Publish(const std::string& name, const std::string& json) {
        const std::string path = m_files.Write(name, json);
        PublishCounterFixture(path);
        return path;
    }

    static uint64_t Calls(const char* api) { return CounterApiCalls(api); }

    RegistrySandbox m_registry;
    LogCapture m_log;
    TempDirectory m_files;
};

inline PerfCounterDefinition Definition(const wchar_t* object, const wchar_t* counter,
                                        const wchar_t* instance, const wchar_t* metric,
                                        DWORD type = 1, DWORD scale = 1,
                                        bool sessionRelated = false) {
    return PerfCounterDefinition{object, counter, instance, metric, sessionRelated, type, scale};
}

// A name no earlier test of this process used: names keep their Perflib index for the life of
// the process.
inline std::string FreshName(const std::string& base) {
    static std::atomic<int> next{0};
    return base + " " + std::to_string(++next);
}

inline std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

inline std::vector<std::wstring> Keys(const std::vector<MetricValue>& values) {
    std::vector<std::wstring> keys;
    for (const MetricValue& value : values) keys.push_back(value.key);
    return keys;
}

inline std::vector<std::wstring> Paths(const PerfCounterSet& set) {
    std::vector<std::wstring> paths;
    for (const auto& [key, entry] : set.counters) paths.push_back(entry.path);
    return paths;
}

}  // namespace dorn::test
