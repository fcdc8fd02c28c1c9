// HKEY_LOCAL_MACHINE made private to this process, for the runs and tests that write settings
// and session data there (dorn call --registry, the test suites).
//
// On Windows the process's HKEY_LOCAL_MACHINE is redirected (RegOverridePredefKey) to a key of
// its own, HKEY_CURRENT_USER\Software\dorn\registry-<pid>-<process start time>, which the object
// deletes again; meanwhile nothing in the process reads or writes the machine's own HKLM. On
// Linux the registry already belongs to the process (winport's in-memory hive), and the object
// changes nothing.
#pragma once

#include <string>
#include <vector>

namespace dorn {

class PrivateMachineRegistry {
  public:
    PrivateMachineRegistry() = default;
    // Ends the redirection and deletes the private key with everything written into it.
    ~PrivateMachineRegistry();
    PrivateMachineRegistry(const PrivateMachineRegistry&) = delete;
    PrivateMachineRegistry& operator=(const PrivateMachineRegistry&) = delete;

    // Makes the private key, copies into it the machine's values named in `carried`
    // ("Key\Path\ValueName" below HKLM; absent ones are skipped) and redirects. First deletes
    // the private keys that ended processes left behind. One redirection at a time per
    // process. False with `error` when something fails; nothing is left behind then.
    bool Open(const std::vector<std::wstring>& carried, std::string& error);

    // The private key below HKEY_CURRENT_USER; empty when not open (and always on Linux).
    const std::wstring& KeyPath() const { return m_keyPath; }

  private:
    std::wstring m_keyPath;
};

}  // namespace dorn
