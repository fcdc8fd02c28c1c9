// This process's threads as the system shows them: names, ids, and the exit codes of those
// that ended.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace dorn::test {

// The name the system shows for a thread of this process ("" when it has none).
std::string SystemThreadName(DWORD threadId);
// The ids of this process's threads.
std::set<DWORD> ProcessThreadIds();

// Runs `action` and returns the exit codes of those threads of `ids` that have ended by then,
// each watched through a handle opened before it ran. Only where an ended thread keeps its
// record (Windows); elsewhere runs `action` and returns nothing.
bool KeepsThreadRecords();
std::map<DWORD, DWORD> ExitCodesAfter(const std::set<DWORD>& ids,
                                      const std::function<void()>& action);

}  // namespace dorn::test
