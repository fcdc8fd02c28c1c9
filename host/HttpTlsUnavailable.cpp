// This build has no TLS library: HTTPS is refused at the start, with the reason.
#include "HttpServerCore.h"

namespace http_server {

class TlsContext {};

bool MakeTlsContext(const TlsIdentity&, std::shared_ptr<TlsContext>&, std::string& error) {
    error = "this build of dorn cannot serve HTTPS (it has no TLS library)";
    return false;
}

void AdmitTls(HttpServerCore&, tcp::socket) {}  // never called: no context is ever made

}  // namespace http_server
