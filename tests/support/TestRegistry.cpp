#include "TestRegistry.h"

#include <gtest/gtest.h>

#include "UniqueHandle.h"
#include "RegistryKeys.h"

namespace dorn::test {
namespace {

// Creates HKEY_LOCAL_MACHINE\keyPath and sets one value in it, failing the test on an error.
void SetMachineValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                     const void* data, size_t size) {
    UniqueRegKey key;
    ASSERT_EQ(registry::Create(HKEY_LOCAL_MACHINE, keyPath.c_str(), key), ERROR_SUCCESS)
        << "creating a test key";
    EXPECT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                             static_cast<DWORD>(size)),
              ERROR_SUCCESS)
        << "setting a test value";
}

}  // namespace

void CreateMachineKey(const std::wstring& keyPath) {
    UniqueRegKey key;
    EXPECT_EQ(registry::Create(HKEY_LOCAL_MACHINE, keyPath.c_str(), key), ERROR_SUCCESS)
        << "creating a test key";
}

void SetMachineString(const std::wstring& keyPath, const std::wstring& name,
                      const std::wstring& value, DWORD type) {
    SetMachineValue(keyPath, name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void SetMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
    SetMachineValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void SetMachineBinary(const std::wstring& keyPath, const std::wstring& name,
                      const std::vector<uint8_t>& bytes, DWORD type) {
    SetMachineValue(keyPath, name, type, bytes.data(), bytes.size());
}

}  // namespace dorn::test
