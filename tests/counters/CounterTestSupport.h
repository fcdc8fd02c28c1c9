// What the counter tests share: a temporary directory for counter, sessions and /proc files,
// and a fixture that starts every test from a clean PDH, registry, name index and session gate.
#pragma once

#include <gtest/gtest.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <winport/counters_testing.h>
#include <winport/publish.h>
#include <winport/testing.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "counters/CounterNameIndex.h"
#include "counters/CounterSetUpdate.h"
#include "counters/PerfCounterSet.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestRegistry.h"

namespace dorn::test {

class TempDirectory {
  public:
    TempDirectory() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "dorn-counters-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        m_path = pattern;
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
        winport::testing::RepublishCounterNames();
        CounterNameIndex::Build();
        ActiveSessionSeen = false;
    }
    ~CountersTest() override {
        winport::testing::ForgetCounterFiles();
        winport::testing::ForgetSessionsFiles();
        winport::testing::ClearSessions();
        winport::testing::SetLogindSessionsDirectory("");
        winport::testing::SetCounterNameTranslation({});
        winport::testing::SetSystemCounterSources("", "", "");
        winport::testing::SetCollectionTime(std::nullopt);
        ActiveSessionSeen = false;
    }

    // Publishes a counter file written into the temporary directory; fails the test if refused.
    std::string Publish(const std::string& name, const std::string& json) {
        const std::string path = m_files.Write(name, json);
        std::string error;
        EXPECT_TRUE(winport::PublishCounterFile(path, error)) << error;
        return path;
    }

    static uint64_t Calls(const char* api) { return winport::testing::CounterApiCalls(api); }

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
