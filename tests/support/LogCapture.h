// Captures the framework's log lines for the life of the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "LogSink.h"

namespace dorn::test {

class LogCapture {
  public:
    LogCapture() : m_sink(std::make_shared<quillmesh::CaptureSink>()), m_scope(m_sink) {}

    bool Has(int level, const std::wstring& message) const {
        return m_sink->Contains(level, message);
    }
    // Lines at `level` that begin with `prefix`, for lines that end in a value of the system's.
    size_t CountStartingWith(int level, const std::wstring& prefix) const {
        size_t count = 0;
        for (const auto& record : m_sink->Records()) {
            count += record.level == level && record.message.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }
    bool HasLineStartingWith(int level, const std::wstring& prefix) const {
        return CountStartingWith(level, prefix) > 0;
    }
    size_t Count(int level, const std::wstring& message) const {
        return m_sink->Count(level, message);
    }
    std::vector<quillmesh::LogRecord> Records() const { return m_sink->Records(); }
    // Messages in order, for tests that check the sequence of lines.
    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> messages;
        for (const auto& record : m_sink->Records()) messages.push_back(record.message);
        return messages;
    }
    void Clear() { m_sink->Clear(); }

  private:
    std::shared_ptr<quillmesh::CaptureSink> m_sink;
    quillmesh::ScopedLogSink m_scope;
};

}  // namespace dorn::test
