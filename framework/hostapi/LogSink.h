// Where the framework's log lines go. __SysMessage formats a line once and hands it to every
// registered sink. Host and tests register sinks; the plug-in never sees them.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillmesh/QuillmeshApi.h"

namespace quillmesh {

struct LogRecord {
    std::chrono::system_clock::time_point time;
    int level = 0;
    std::wstring source;
    std::wstring message;
};

class QUILLMESH_API LogSink {
  public:
    virtual ~LogSink();
    virtual void Write(const LogRecord& record) = 0;
};

QUILLMESH_API void AddLogSink(std::shared_ptr<LogSink> sink);
QUILLMESH_API void RemoveLogSink(const std::shared_ptr<LogSink>& sink);

// Writes lines at `minLevel` and above to standard error as
// "2026-12-05 17:02:03.456 [4] libdorn_helpdesk: ClientInfo: no session Id specified".
class QUILLMESH_API StderrSink : public LogSink {
  public:
    explicit StderrSink(int minLevel);
    void Write(const LogRecord& record) override;

  private:
    int m_minLevel;
};

// Keeps every line, for tests that assert exact texts and levels.
class QUILLMESH_API CaptureSink : public LogSink {
  public:
    void Write(const LogRecord& record) override;
    std::vector<LogRecord> Records() const;
    // Lines of exactly this level and message text.
    size_t Count(int level, const std::wstring& message) const;
    bool Contains(int level, const std::wstring& message) const {
        return Count(level, message) > 0;
    }
    void Clear();

  private:
    mutable std::mutex m_lock;
    std::vector<LogRecord> m_records;
};

// Registers a sink for the lifetime of the object (tests).
class ScopedLogSink {
  public:
    explicit ScopedLogSink(std::shared_ptr<LogSink> sink) : m_sink(std::move(sink)) {
        AddLogSink(m_sink);
    }
    ~ScopedLogSink() { RemoveLogSink(m_sink); }
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

  private:
    std::shared_ptr<LogSink> m_sink;
};

}  // namespace quillmesh
