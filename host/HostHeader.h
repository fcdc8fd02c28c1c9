// Which names the console server answers under. A web page of another site can point its own
// DNS name at this machine's address (DNS rebinding) and have the browser send requests with the
// cookie it holds for this server; such requests name the other site in their Host header.
#pragma once

#include <string_view>

// Whether a Host header names this server: an address (IPv4, or IPv6 in brackets), "localhost",
// or the machine's own host name, in any case, with or without a port. An empty header (an
// HTTP/1.0 request) names no other server either.
bool NamesThisServer(std::string_view host, std::string_view machineName);
