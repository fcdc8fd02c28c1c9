#include "LoadedModules.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "CaseFold.h"
#include "Paths.h"
#include "Utf8.h"

namespace winport::modules {
namespace {

struct LoadedObject {
    std::string path;  // empty for the executable
    HMODULE module = nullptr;
};

// Where an object's mapping starts: its load bias plus its lowest segment, page-aligned, which
// is what dladdr reports as dli_fbase.
HMODULE MappingStart(const dl_phdr_info& info) {
    ElfW(Addr) lowest = ~ElfW(Addr){0};
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        if (info.dlpi_phdr[i].p_type == PT_LOAD && info.dlpi_phdr[i].p_vaddr < lowest) {
            lowest = info.dlpi_phdr[i].p_vaddr;
        }
    }
    if (lowest == ~ElfW(Addr){0}) return nullptr;
    const auto pageMask = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE) - 1);
    return reinterpret_cast<HMODULE>(info.dlpi_addr + (lowest & ~pageMask));
}

std::vector<LoadedObject> LoadedObjects() {
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto& list = *static_cast<std::vector<LoadedObject>*>(data);
            list.push_back(
                {info->dlpi_name != nullptr ? info->dlpi_name : "", MappingStart(*info)});
            return 0;
        },
        &objects);
    return objects;
}

std::optional<std::string> ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
}

std::string Canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
    return resolved ? std::string(resolved.get()) : path;
}

std::wstring FileNamePart(const std::string& path) {
    std::wstring wide;
    utf8::Decode(path.substr(path.find_last_of('/') + 1), wide, utf8::Malformed::Escape);
    return wide;
}

bool HasSeparator(std::wstring_view name) {
    return name.find_first_of(L"\\/") != name.npos;
}

// A path as the loaded object table would hold it: Linux, absolute, symbolic links resolved.
std::optional<std::string> CanonicalLinuxPath(std::wstring_view name) {
    if (std::optional<std::string> linuxPath = ToLinuxPath(name)) return Canonical(*linuxPath);
    std::wstring slashed(name);
    for (wchar_t& c : slashed) {
        if (c == L'\\') c = L'/';
    }
    std::string relative;
    if (!utf8::Encode(slashed, relative, utf8::Malformed::Escape)) return std::nullopt;
    return Canonical(relative);
}

HMODULE FindByPath(std::wstring_view name) {
    const std::optional<std::string> wanted = CanonicalLinuxPath(name);
    if (!wanted) return nullptr;
    for (const LoadedObject& object : LoadedObjects()) {
        const std::optional<std::string> path =
            object.path.empty() ? ExecutablePath() : std::optional(object.path);
        if (path && Canonical(*path) == *wanted) return object.module;
    }
    return nullptr;
}

HMODULE FindByFileName(std::wstring_view name) {
    for (const LoadedObject& object : LoadedObjects()) {
        const std::optional<std::string> path =
            object.path.empty() ? ExecutablePath() : std::optional(object.path);
        if (path && EqualsIgnoringCase(FileNamePart(*path), name)) return object.module;
    }
    return nullptr;
}

}  // namespace

HMODULE ContainingModule(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

bool IsModule(HMODULE module) {
    return module != nullptr && ContainingModule(module) == module;
}

HMODULE ExecutableModule() {
    HMODULE executable = nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            *static_cast<HMODULE*>(data) = MappingStart(*info);
            return 1;  // the executable comes first
        },
        &executable);
    return executable;
}

HMODULE WinportModule() {
    static const char marker = 0;
    return ContainingModule(&marker);
}

HMODULE FindLoaded(std::wstring_view name) {
    return HasSeparator(name) ? FindByPath(name) : FindByFileName(name);
}

std::optional<std::string> FilePath(HMODULE module) {
    if (!IsModule(module)) return std::nullopt;
    if (module == ExecutableModule()) return ExecutablePath();
    Dl_info info{};
    if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) return std::nullopt;
    std::string path(info.dli_fname);
    return path.empty() || path[0] == '/' ? path : Canonical(path);
}

HMODULE ModuleOfDlHandle(void* dlHandle) {
    link_map* map = nullptr;
    if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
    return ContainingModule(map->l_ld);
}

DlReference::DlReference(HMODULE module) : module_(module) {
    if (module == ExecutableModule()) {
        handle_ = dlopen(nullptr, RTLD_LAZY);
        return;
    }
    Dl_info info{};
    if (dladdr(module, &info) != 0 && info.dli_fname != nullptr) {
        handle_ = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    }
}

DlReference::~DlReference() {
    if (handle_ != nullptr) dlclose(handle_);
}

// dlsym also searches the module's dependencies; a symbol found only there is not the
// module's export.
void* DlReference::Find(const char* symbol) const {
    void* address = dlsym(handle_, symbol);
    return address != nullptr && ContainingModule(address) == module_ ? address : nullptr;
}

}  // namespace winport::modules
