// The hive is process-wide: writers, readers and deleters on several threads at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "RegistryKeys.h"
#include "winport/testing.h"

namespace {

using namespace dorn::test::registry;

constexpr int kWriters = 3;
constexpr int kValuesPerWriter = 150;

void WriteValues(int writer) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Shared", key), ERROR_SUCCESS);
    for (int i = 0; i < kValuesPerWriter; ++i) {
        const std::wstring name = L"w" + std::to_wstring(writer) + L"_" + std::to_wstring(i);
        ASSERT_EQ(SetDword(key.get(), name.c_str(), static_cast<DWORD>(i)), ERROR_SUCCESS);
    }
}

// Reads as the session reader does while the key grows: every answer is complete or
// ERROR_MORE_DATA, never torn.
void EnumerateWhileWritersRun(const std::atomic<bool>& writing) {
    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Shared", key), ERROR_SUCCESS);
    while (writing.load()) {
        DWORD values = 0, maxName = 0;
        ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &values, &maxName, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        std::vector<wchar_t> name(maxName + 1);
        for (DWORD index = 0; index < values; ++index) {
            DWORD nameSize = static_cast<DWORD>(name.size());
            DWORD data = 0, dataSize = sizeof data;
            const LSTATUS status =
                RegEnumValueW(key.get(), index, name.data(), &nameSize, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(&data), &dataSize);
            ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_MORE_DATA) << status;
            if (status == ERROR_SUCCESS) {
                ASSERT_EQ(dataSize, sizeof data);
            }
        }
    }
}

// Deletes and recreates a subtree that other threads keep handles into.
void ChurnSubtree(const std::atomic<bool>& writing) {
    while (writing.load()) {
        UniqueRegKey key;
        ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Churn\\Deep", key), ERROR_SUCCESS);
        const LSTATUS status = SetDword(key.get(), L"v", 1);
        ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_KEY_DELETED) << status;
        const LSTATUS deleted = RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Churn");
        ASSERT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
    }
}

TEST(RegistryConcurrencyTest, ParallelWritersReadersAndDeletersKeepTheHiveConsistent) {
    winport::testing::ResetRegistry();
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) writers.emplace_back(WriteValues, w);
    std::thread reader(EnumerateWhileWritersRun, std::cref(writing));
    std::thread churn1(ChurnSubtree, std::cref(writing));
    std::thread churn2(ChurnSubtree, std::cref(writing));
    for (std::thread& writer : writers) writer.join();
    writing.store(false);
    reader.join();
    churn1.join();
    churn2.join();

    UniqueRegKey key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, L"Software\\Shared", key), ERROR_SUCCESS);
    const std::vector<std::wstring> names = ValueNames(key.get());
    ASSERT_EQ(names.size(), size_t{kWriters * kValuesPerWriter});
    std::map<wchar_t, int> nextOfWriter;  // each writer's values in the order it set them
    for (const std::wstring& name : names) {
        EXPECT_EQ(name,
                  std::wstring(L"w") + name[1] + L"_" + std::to_wstring(nextOfWriter[name[1]]));
        ++nextOfWriter[name[1]];
    }
}

}  // namespace
