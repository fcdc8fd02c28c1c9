// The counter file: counter objects that another component publishes, in JSON:
//
//   {"objects": [{"name": "Pallido Vexel Session Counters",
//                 "counters": ["RTT", "Packet Loss (Uplink)"],
//                 "instances": {"Session ID: 3; (main)": {"RTT": 12.7}}}]}
//
// An object without instances gives "values": {"RTT": 12.7} instead of "instances". The values
// are what PdhGetFormattedCounterValue reports. A listed counter missing from an instance does
// not read there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "CounterModel.h"

namespace winport::pdh {

// The objects of the file, or false with the reason ("objects[0].counters[1]: ...").
bool ParseCounterFile(std::string_view text, std::vector<ObjectData>& objects, std::string& reason);

}  // namespace winport::pdh
