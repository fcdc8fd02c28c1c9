#include "TestRegistry.h"

#include <gtest/gtest.h>

#include "UniqueHandle.h"

namespace dorn::test {
namespace {

UniqueRegKey CreatedKey(const std::wstring& keyPath) {
    UniqueRegKey key;
    const LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS) << "creating a test key";
    return key;
}

void SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
              size_t size) {
    const LSTATUS status = RegSetValueExW(CreatedKey(keyPath).get(), name.c_str(), 0, type,
                                          static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    EXPECT_EQ(status, ERROR_SUCCESS) << "setting a test value";
}

}  // namespace

void CreateMachineKey(const std::wstring& keyPath) {
    CreatedKey(keyPath);
}

void SetMachineString(const std::wstring& keyPath, const std::wstring& name,
                      const std::wstring& value, DWORD type) {
    SetValue(keyPath, name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void SetMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
    SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void SetMachineBinary(const std::wstring& keyPath, const std::wstring& name,
                      const std::vector<uint8_t>& bytes, DWORD type) {
    SetValue(keyPath, name, type, bytes.data(), bytes.size());
}

}  // namespace dorn::test
