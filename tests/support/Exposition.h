// Reading a Prometheus text exposition in tests: every series line as "name{labels}" with its
// value's text, comments left out.
#pragma once

#include <map>
#include <sstream>
#include <string>

namespace dorn::test {

inline std::map<std::string, std::string> SeriesOf(const std::string& exposition) {
    std::map<std::string, std::string> series;
    std::istringstream lines(exposition);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        series[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return series;
}

}  // namespace dorn::test
