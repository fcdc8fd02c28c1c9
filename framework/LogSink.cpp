// The log sinks the host and the tests use.
#include "LogSink.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "TextConvert.h"

namespace quillmesh {

namespace {

// "2026-12-05 17:02:03.456", in UTC.
std::string TimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto milliseconds = floor<std::chrono::milliseconds>(time);
    auto day = floor<days>(milliseconds);
    year_month_day date(day);
    hh_mm_ss clock(milliseconds - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()),
                  int(clock.subseconds().count()));
    return text;
}

// One line from many threads stays one line: each is written whole under this lock.
std::mutex& StderrLock() {
    static std::mutex* lock = new std::mutex();
    return *lock;
}

}  // namespace

LogSink::~LogSink() = default;

StderrSink::StderrSink(int minLevel) : m_minLevel(minLevel) {}

void StderrSink::Write(const LogRecord& record) {
    if (record.level < m_minLevel) return;
    std::string line = TimeText(record.time) + " [" + std::to_string(record.level) + "] ";
    if (!record.source.empty()) line += Utf8FromWideLossy(record.source) + ": ";
    line += Utf8FromWideLossy(record.message);
    line += '\n';
    std::lock_guard<std::mutex> hold(StderrLock());
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void CaptureSink::Write(const LogRecord& record) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_records.push_back(record);
}

std::vector<LogRecord> CaptureSink::Records() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_records;
}

size_t CaptureSink::Count(int level, const std::wstring& message) const {
    std::lock_guard<std::mutex> hold(m_lock);
    size_t count = 0;
    for (const LogRecord& record : m_records) {
        if (record.level == level && record.message == message) ++count;
    }
    return count;
}

void CaptureSink::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_records.clear();
}

}  // namespace quillmesh
