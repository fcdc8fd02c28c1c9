// The registry as tests see it: emptied around each test, seeded with the same calls the
// plug-in reads with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PrivateMachineRegistry.h"

namespace dorn::test {

// An empty registry for the life of the object. On Linux winport's hive is emptied when the
// object is made and when it is destroyed; on Windows HKEY_LOCAL_MACHINE is redirected to a new,
// empty private key, so tests never touch the machine's own.
class RegistrySandbox {
  public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

  private:
    dorn::PrivateMachineRegistry m_machine;
};

// Creates HKEY_LOCAL_MACHINE\keyPath (and its parents).
void CreateMachineKey(const std::wstring& keyPath);
void SetMachineString(const std::wstring& keyPath, const std::wstring& name,
                      const std::wstring& value, DWORD type = REG_SZ);
void SetMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value);
// Any value as its bytes: REG_BINARY unless `type` says otherwise.
void SetMachineBinary(const std::wstring& keyPath, const std::wstring& name,
                      const std::vector<uint8_t>& bytes, DWORD type = REG_BINARY);

}  // namespace dorn::test
