#include "HostHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

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
    return IsAddress(AF_INET, name) || SameName(name, "localhost") ||
           (!machineName.empty() && SameName(name, machineName));
}
