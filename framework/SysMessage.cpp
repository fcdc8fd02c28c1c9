// The framework's log: lines are formatted once and handed to every registered sink.
#include "quillmesh/SysMessage.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FrameworkLog.h"
#include "LogSink.h"
#include "WideFormat.h"
#include "quillmesh/corestring.h"

namespace quillmesh {

namespace {

using SinkList = std::vector<std::shared_ptr<LogSink>>;

// Writers take the current list and write without holding the lock, so a sink may log, and
// sinks may come and go while other threads write. The registry is never destroyed: modules
// may log while the process's static objects are being torn down.
class SinkRegistry {
  public:
    static SinkRegistry& Instance() {
        static SinkRegistry* registry = new SinkRegistry();
        return *registry;
    }

    std::shared_ptr<const SinkList> Current() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_sinks;
    }

    void Add(std::shared_ptr<LogSink> sink) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!sink || std::find(m_sinks->begin(), m_sinks->end(), sink) != m_sinks->end()) return;
        auto next = std::make_shared<SinkList>(*m_sinks);
        next->push_back(std::move(sink));
        m_sinks = std::move(next);
    }

    void Remove(const std::shared_ptr<LogSink>& sink) {
        std::lock_guard<std::mutex> hold(m_lock);
        auto next = std::make_shared<SinkList>(*m_sinks);
        next->erase(std::remove(next->begin(), next->end(), sink), next->end());
        m_sinks = std::move(next);
    }

  private:
    std::mutex m_lock;
    std::shared_ptr<const SinkList> m_sinks = std::make_shared<SinkList>();
};

void WriteToSinks(int level, const wchar_t* source, const wchar_t* format, va_list args) {
    std::shared_ptr<const SinkList> sinks = SinkRegistry::Instance().Current();
    if (sinks->empty()) return;
    LogRecord record;
    record.time = std::chrono::system_clock::now();
    record.level = level;
    record.source = source ? source : L"";
    record.message = FormatWideV(format, args);
    for (const std::shared_ptr<LogSink>& sink : *sinks) sink->Write(record);
}

void WriteLine(int level, const std::wstring& source, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteToSinks(level, source.c_str(), format, args);
    va_end(args);
}

void LogThroughFramework(const wchar_t* source, int level, const wchar_t* format, va_list args) {
    WriteToSinks(level, source, format, args);
}

}  // namespace

void FrameworkLog(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteToSinks(level, L"quillmesh", format, args);
    va_end(args);
}

void AddLogSink(std::shared_ptr<LogSink> sink) {
    SinkRegistry::Instance().Add(std::move(sink));
}

void RemoveLogSink(const std::shared_ptr<LogSink>& sink) {
    SinkRegistry::Instance().Remove(sink);
}

}  // namespace quillmesh

namespace CORE {

corelogExternalFunction corelogExternal = quillmesh::LogThroughFramework;

void __SysMessage(SysMessageType level, const wchar_t* source, const wchar_t* format, va_list args,
                  const char* file, const char* function) {
    quillmesh::WriteToSinks(level, source, format, args);
}

void sysmsgLogLoaded(HMODULE module, bool unloaded) {
    corestring<wchar_t> path = corestring<wchar_t>::getModuleName(module);
    std::wstring shown =
        path.empty() ? quillmesh::FormatWide(L"(unknown module %p)", static_cast<void*>(module))
                     : path;
    quillmesh::WriteLine(SysMessageVerbose, path.lastPath().dropSuffix(),
                         unloaded ? L"Module unloaded: %s" : L"Module loaded: %s", shown.c_str());
}

}  // namespace CORE
