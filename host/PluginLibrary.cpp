#include "PluginLibrary.h"

#include <string>

#include "Utf8Path.h"
#include "quillmesh/corestring.h"

namespace {

#if defined(_WIN32)
constexpr const wchar_t* kPluginFileName = L"dorn_helpdesk.dll";
#else
constexpr const wchar_t* kPluginFileName = L"libdorn_helpdesk.so";
#endif

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (m_module != nullptr) FreeLibrary(m_module);
}

std::filesystem::path PluginLibrary::DefaultPath() {
    const CORE::corestring<wchar_t> host = CORE::corestring<wchar_t>::getModuleName(nullptr);
    const std::wstring path = host.dropLastPath().appendPath(kPluginFileName);
    return std::filesystem::path(path);
}

bool PluginLibrary::Load(const std::filesystem::path& path, std::string& error) {
    m_module = LoadLibraryW(path.wstring().c_str());
    if (m_module == nullptr) {
        const DWORD code = GetLastError();
        error = "cannot load the plug-in " + Utf8FromPath(path) + " (error " +
                std::to_string(code) + ")";
        return false;
    }
    // GetProcAddress hands back a generic function pointer; PluginInit takes nothing and
    // returns bool.
    const FARPROC address = GetProcAddress(m_module, "PluginInit");
    m_pluginInit = reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(address));
    if (m_pluginInit == nullptr) {
        error = Utf8FromPath(path) + " exports no PluginInit";
        return false;
    }
    return true;
}

bool PluginLibrary::Init() {
    return m_pluginInit != nullptr && m_pluginInit();
}
