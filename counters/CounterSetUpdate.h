// Bringing a counter set up to date with a table: session-bound rows wait until an active user
// session has been seen, and "*" in the counter or instance column becomes one counter per
// counter and instance the object has now. Applying the same table again adds only what is new.
#pragma once

#include <atomic>
#include <vector>

#include "PerfCounterSet.h"

// False when the library is loaded; true from the first enumeration that finds a session in
// the state WTSActive. Enumerations run only while it is false.
extern std::atomic<bool> ActiveSessionSeen;

void UpdateCounterSet(PerfCounterSet& set, const std::vector<PerfCounterDefinition>& list);

// Adds one counter per enumerated (counter, instance) pair that the row's columns match.
void ExpandCounter(PerfCounterSet& set, const PerfCounterDefinition& row);
