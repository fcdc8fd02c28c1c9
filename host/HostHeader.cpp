#include "HostHeader.h"

#include <arpa/inet.h>

#include <string>

#include "HttpText.h"

namespace {

bool IsAddress(int family, std::string_view text) {
    unsigned char address[16];
    return inet_pton(family, std::string(text).c_str(), address) == 1;
}

}  // namespace

bool NamesThisServer(std::string_view host, std::string_view machineName) {
    if (host.empty()) return true;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        const std::string_view rest = close == std::string_view::npos ? "" : host.substr(close + 1);
        return close != std::string_view::npos && (rest.empty() || rest.front() == ':') &&
               IsAddress(AF_INET6, host.substr(1, close - 1));
    }
    const std::string_view name = host.substr(0, host.find(':'));
    return IsAddress(AF_INET, name) || EqualsIgnoringCase(name, "localhost") ||
           (!machineName.empty() && EqualsIgnoringCase(name, machineName));
}
