// A PDH query handle that closes itself, and the PDH calls made on a query.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <string>

// PdhCloseQuery when the query is not null; nothing is logged.
void ClosePerfQuery(HQUERY query);

class PerfQuery {
  public:
    PerfQuery() = default;
    ~PerfQuery() { ClosePerfQuery(m_query); }
    PerfQuery(const PerfQuery&) = delete;
    PerfQuery& operator=(const PerfQuery&) = delete;

    HQUERY get() const { return m_query; }
    explicit operator bool() const { return m_query != nullptr; }
    // Takes a newly opened query; the query held before is closed.
    void reset(HQUERY query = nullptr) {
        ClosePerfQuery(m_query);
        m_query = query;
    }

  private:
    HQUERY m_query = nullptr;
};

// Opens the query when it is null (real-time data), then adds the counter of `path` to it.
// Logs and returns false when either call fails; a failed open leaves the query null.
bool OpenAndAddCounter(PerfQuery& query, const std::wstring& path, HCOUNTER& counter);

// Samples every counter of the query; true without a call when the query is null.
bool CollectQuery(PerfQuery& query);
