// The registry as tests see it: emptied around each test, seeded with the same calls the
// plug-in reads with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dorn::test {

// Empties the registry when made and when destroyed.
class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
};

// Creates HKEY_LOCAL_MACHINE\keyPath (and its parents).
void CreateMachineKey(const std::wstring& keyPath);
void SetMachineString(const std::wstring& keyPath, const std::wstring& name,
                      const std::wstring& value, DWORD type = REG_SZ);
void SetMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
void SetMachineBinary(const std::wstring& keyPath, const std::wstring& name,
                      const std::vector<uint8_t>& bytes);

}  // namespace dorn::test
