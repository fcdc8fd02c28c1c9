// What the counter tests share: a temporary directory for counter, sessions and /proc files, a
// fixture that starts every test from a clean PDH, registry, name index and session gate, and
// what the tests ask of the system, given by each build its own way (the made-up counter objects,
// sessions and name translations only the Linux API layer can offer).
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <gtest/gtest.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <wtsapi32.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "CounterNameIndex.h"
#include "CounterSetUpdate.h"
#include "PerfCounterSet.h"
#include "LogCapture.h"
#include "TestRegistry.h"

namespace dorn::test {

inline constexpr const char* kNoCounterFiles =
    "counter files and made-up sessions need the Linux API layer";
inline constexpr const char* kNoNameTranslation =
    "counter names in another display language need the Linux API layer's translation (Wine's "
    "PdhLookupPerfNameByIndexW fails for most indices)";
inline constexpr const char* kNoPdhCallCounts =
    "counting PDH calls and open handles needs the Linux API layer";

// True where a test can publish counter files, choose the machine's sessions and translate
// counter names.
bool CanFakeCounters();

struct FakeSession {
    DWORD id = 0;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state = WTSActive;
    std::wstring station;
};

// Where CanFakeCounters() is false these are no-ops: nothing was made up.
void ResetCounterNames();
void ForgetCounterFixtures();
// Each of these fails the calling test where CanFakeCounters() is false.
bool PublishCounterFixture(const std::string& path, std::string& error);
void SetFakeSessions(const std::vector<FakeSession>& sessions);
void SetCounterNameTranslation(const std::map<std::wstring, std::wstring>& names);
uint64_t CounterApiCalls(const char* api);
size_t OpenHandleCount();

class TempDirectory {
  public:
    TempDirectory() {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::error_code error;
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_path = base / ("dorn-counters-" + std::to_string(random()));
            if (std::filesystem::create_directory(m_path, error)) return;
        }
        ADD_FAILURE() << "no temporary directory in " << base << ": " << error.message();
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    std::string Path(const std::string& name) const { return (m_path / name).string(); }

    // Written in place (same inode), as a careless publisher does.
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << text;
        return Path(name);
    }
    // Written beside and renamed over the old file, as a careful publisher does.
    std::string Replace(const std::string& name, const std::string& text) const {
        Write(name + ".new", text);
        std::filesystem::rename(Path(name + ".new"), Path(name));
        return Path(name);
    }

  private:
    std::filesystem::path m_path;
};

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
        std::string error;
        EXPECT_TRUE(PublishCounterFixture(path, error)) << error;
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
