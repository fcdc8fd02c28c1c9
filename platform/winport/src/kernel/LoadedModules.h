// The shared objects of this process seen as Windows modules: a module handle is the address
// the object is mapped at (dladdr's dli_fbase).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace winport::modules {

// The module that contains `address`, or null.
HMODULE ContainingModule(const void* address);

// True when `module` is the handle of a loaded object.
bool IsModule(HMODULE module);

HMODULE ExecutableModule();

// winport itself: the module that stands for ntdll, kernel32, advapi32 and the other system
// libraries whose functions winport provides.
HMODULE WinportModule();

// A loaded object by name: a path names one file, a bare file name matches without regard to
// case. Null when none is loaded.
HMODULE FindLoaded(std::wstring_view name);

// The Linux path of a loaded module's file, or nullopt.
std::optional<std::string> FilePath(HMODULE module);

// The module handle of an object dlopen() returned.
HMODULE ModuleOfDlHandle(void* dlHandle);

// A dlopen() handle for a loaded module, closed on destruction; searches with Find() see only
// the symbols the module itself defines.
class DlReference {
  public:
    explicit DlReference(HMODULE module);
    ~DlReference();
    DlReference(const DlReference&) = delete;
    DlReference& operator=(const DlReference&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    void* Find(const char* symbol) const;

  private:
    HMODULE module_;
    void* handle_ = nullptr;
};

}  // namespace winport::modules
