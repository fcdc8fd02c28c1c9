// On Linux the registry is winport's in-memory hive, which belongs to the process already:
// nothing written to HKEY_LOCAL_MACHINE outlives the process or reaches another one.
#include "PrivateMachineRegistry.h"

namespace dorn {

PrivateMachineRegistry::~PrivateMachineRegistry() = default;

bool PrivateMachineRegistry::Open(const std::vector<std::wstring>&, std::string&) {
    return true;
}

}  // namespace dorn
