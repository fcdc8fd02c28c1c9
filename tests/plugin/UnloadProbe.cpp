// unload_probe PLUGIN PROBE free|exit: loads the plug-in, calls its PluginInit, loads the probe
// library, and then unloads both with FreeLibrary ("free") or leaves them to process exit
// ("exit"). The framework's log lines, those written while the libraries are unloaded
// included, go to standard output with the probe's lines.
#include <windows.h>

#include <memory>
#include <string>

#include "LogSink.h"
#include "PrivateMachineRegistry.h"
#include "TextConvert.h"
#include "UniqueHandle.h"

namespace {

void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

// "[level] source: message", written at once, without the C runtime.
class StdoutSink : public quillmesh::LogSink {
  public:
    void Write(const quillmesh::LogRecord& record) override {
        ::Write("[" + std::to_string(record.level) + "] " +
                quillmesh::Utf8FromWideLossy(record.source) + ": " +
                quillmesh::Utf8FromWideLossy(record.message) + "\n");
    }
};

// The plug-in's PluginInit would otherwise wait for a performance monitor this program does
// not run.
bool DisableHistoricalCollector() {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Zentavo\\Pallido\\Plugins\\dorn\\helpdesk",
                        0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const wchar_t one[] = L"1";
    return RegSetValueExW(key.get(), L"DisableHistoricalCollector", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(one), sizeof one) == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        Write("usage: unload_probe PLUGIN PROBE free|exit\n");
        return 2;
    }
    const std::string mode = argv[3];
    // Never removed: the lines written while the process ends must still reach the output.
    quillmesh::AddLogSink(std::make_shared<StdoutSink>());

    dorn::PrivateMachineRegistry registry;
    std::string error;
    if (!registry.Open({}, error) || !DisableHistoricalCollector()) {
        Write("no private registry: " + error + "\n");
        return 3;
    }
    UniqueModule plugin(LoadLibraryA(argv[1]));
    const FARPROC init = plugin ? GetProcAddress(plugin.get(), "PluginInit") : nullptr;
    if (init == nullptr || !reinterpret_cast<bool (*)()>(reinterpret_cast<void (*)()>(init))()) {
        Write("cannot load and initialise " + std::string(argv[1]) + "\n");
        return 4;
    }
    UniqueModule probe(LoadLibraryA(argv[2]));
    if (!probe) {
        Write("cannot load " + std::string(argv[2]) + "\n");
        return 5;
    }
    if (mode == "free") {
        probe.reset();
        plugin.reset();
        Write("unload_probe: unloaded\n");
    } else {
        // Left loaded on purpose: the process's exit unloads them.
        probe.release();
        plugin.release();
    }
    return 0;
}
