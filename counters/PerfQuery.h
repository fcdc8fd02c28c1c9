// The PDH calls made on a query.
#pragma once

#include <windows.h>
#include <pdh.h>

#include <string>

#include "UniqueHandle.h"

// Opens the query when it is null (real-time data), then adds the counter of `path` to it.
// Logs and returns false when either call fails; a failed open leaves the query null.
bool OpenAndAddCounter(UniquePdhQuery& query, const std::wstring& path, HCOUNTER& counter);

// Samples every counter of the query; true without a call when the query is null.
bool CollectQuery(UniquePdhQuery& query);
