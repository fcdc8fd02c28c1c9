#include "ThreadNameMarker.h"

#include <windows.h>

#include <cstring>

#include "Settings.h"
#include "quillmesh/corestring.h"

namespace CORE {
namespace {

constexpr char kPrefix[] = {'n', 'a', 'm', 'e', '='};
constexpr size_t kPrefixSize = sizeof kPrefix;

NT_TIB* InformationBlock() {
    return reinterpret_cast<NT_TIB*>(NtCurrentTeb());
}

// The marker only: prefix, length byte L (name length + 1), L - 1 name bytes, NUL.
uint8_t* BuildMarker(const char* name) {
    size_t length = std::strlen(name);
    if (length > kThreadNameMarkerMaxName) length = kThreadNameMarkerMaxName;
    const size_t lengthByte = length + 1;
    auto* block = new uint8_t[lengthByte + kPrefixSize + 1];
    std::memcpy(block, kPrefix, kPrefixSize);
    block[kPrefixSize] = static_cast<uint8_t>(lengthByte);
    std::memcpy(block + kPrefixSize + 1, name, length);
    block[kPrefixSize + 1 + length] = 0;
    return block;
}

void FreeMarker(NT_TIB* block) {
    delete[] static_cast<uint8_t*>(block->ArbitraryUserPointer);
    block->ArbitraryUserPointer = nullptr;
}

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// Looked up rather than linked: Windows has it only since 10 (1607), and not every SDK
// declares it.
SetThreadDescriptionFunction ThreadDescriptionSetter() {
    static const SetThreadDescriptionFunction setter = [] {
        HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        return kernel32 == nullptr
                   ? nullptr
                   : reinterpret_cast<SetThreadDescriptionFunction>(reinterpret_cast<void (*)()>(
                         GetProcAddress(kernel32, "SetThreadDescription")));
    }();
    return setter;
}

// What `ps -L` and debuggers show; the system cuts it to what it can hold.
void PublishToSystem(const char* name) {
    const SetThreadDescriptionFunction setter = ThreadDescriptionSetter();
    if (setter == nullptr) return;
    const corestring<wchar_t> wide = corestring<char>(name)._wstr(65001);
    setter(GetCurrentThread(), wide.c_str());
}

}  // namespace

void SetThreadNameMarker(const char* name) {
    if (!UseThreadNames()) return;
    NT_TIB* block = InformationBlock();
    FreeMarker(block);
    if (name == nullptr) return;
    block->ArbitraryUserPointer = BuildMarker(name);
    PublishToSystem(name);
}

const uint8_t* CurrentThreadNameMarker() {
    return static_cast<const uint8_t*>(InformationBlock()->ArbitraryUserPointer);
}

}  // namespace CORE
