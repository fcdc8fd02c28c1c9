#include "TestRegistry.h"

#include <gtest/gtest.h>

namespace dorn::test {
namespace {

class CreatedKey {
  public:
    explicit CreatedKey(const std::wstring& keyPath) {
        const LSTATUS status =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        EXPECT_EQ(status, ERROR_SUCCESS) << "creating a test key";
    }
    ~CreatedKey() {
        if (m_key != nullptr) RegCloseKey(m_key);
    }
    CreatedKey(const CreatedKey&) = delete;
    CreatedKey& operator=(const CreatedKey&) = delete;

    void Set(const std::wstring& name, DWORD type, const void* data, size_t size) {
        const LSTATUS status = RegSetValueExW(
            m_key, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        EXPECT_EQ(status, ERROR_SUCCESS) << "setting a test value";
    }

  private:
    HKEY m_key = nullptr;
};

}  // namespace

void CreateMachineKey(const std::wstring& keyPath) {
    CreatedKey key(keyPath);
}

void SetMachineString(const std::wstring& keyPath, const std::wstring& name,
                      const std::wstring& value, DWORD type) {
    CreatedKey(keyPath).Set(name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void SetMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
    CreatedKey(keyPath).Set(name, REG_DWORD, &value, sizeof(value));
}

void SetMachineBinary(const std::wstring& keyPath, const std::wstring& name,
                      const std::vector<uint8_t>& bytes, DWORD type) {
    CreatedKey(keyPath).Set(name, type, bytes.data(), bytes.size());
}

}  // namespace dorn::test
