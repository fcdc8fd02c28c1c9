#include "HostHeader.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include <string>

#include "HttpText.h"

namespace {

// Dotted quads only, as the server's own address parser reads them on every build.
bool IsIpv4Address(std::string_view text) {
    boost::system::error_code failure;
    boost::asio::ip::make_address_v4(std::string(text), failure);
    return !failure;
}

// Without a zone ("%eth0"), which no Host header carries.
bool IsIpv6Address(std::string_view text) {
    if (text.find('%') != std::string_view::npos) return false;
    boost::system::error_code failure;
    boost::asio::ip::make_address_v6(std::string(text), failure);
    return !failure;
}

}  // namespace

bool NamesThisServer(std::string_view host, std::string_view machineName) {
    if (host.empty()) return true;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        const std::string_view rest = close == std::string_view::npos ? "" : host.substr(close + 1);
        return close != std::string_view::npos && (rest.empty() || rest.front() == ':') &&
               IsIpv6Address(host.substr(1, close - 1));
    }
    const std::string_view name = host.substr(0, host.find(':'));
    return IsIpv4Address(name) || EqualsIgnoringCase(name, "localhost") ||
           (!machineName.empty() && EqualsIgnoringCase(name, machineName));
}
