// HTTPS through OpenSSL: a connection's stream is TLS over its socket.
#include <boost/asio/buffer.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "HttpServerCore.h"

namespace http_server {

namespace ssl = boost::asio::ssl;
using TlsStream = ssl::stream<tcp::socket>;

class TlsContext {
  public:
    ssl::context context{ssl::context::tls_server};
};

template <>
struct StreamEnds<TlsStream> {
    static tcp::socket& Socket(TlsStream& stream) { return stream.next_layer(); }
    template <class Then>
    static void Begin(TlsStream& stream, Then then) {
        stream.async_handshake(ssl::stream_base::server, std::move(then));
    }
    // The TLS close, so that the client knows the answer was not cut off.
    template <class Then>
    static void End(TlsStream& stream, Then then) {
        stream.async_shutdown([then = std::move(then)](error_code) { then(); });
    }
};

namespace {

std::string Reason(const boost::system::system_error& failure) {
    std::string reason = failure.code().message();
    return reason.empty() ? failure.what() : reason;
}

}  // namespace

bool MakeTlsContext(const TlsIdentity& identity, std::shared_ptr<TlsContext>& context,
                    std::string& error) {
    auto made = std::make_shared<TlsContext>();
    ssl::context& tls = made->context;
    tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                    ssl::context::single_dh_use);
    try {
        tls.use_certificate_chain(boost::asio::buffer(identity.certificateChain.data(),
                                                      identity.certificateChain.size()));
    } catch (const boost::system::system_error& failure) {
        error = "the TLS certificate (--tls-cert) cannot be used: " + Reason(failure);
        return false;
    }
    try {
        tls.use_private_key(
            boost::asio::buffer(identity.privateKey.data(), identity.privateKey.size()),
            ssl::context::pem);
    } catch (const boost::system::system_error& failure) {
        error = "the TLS key (--tls-key) cannot be used: " + Reason(failure);
        return false;
    }
    if (SSL_CTX_check_private_key(tls.native_handle()) != 1) {
        error = "the TLS key (--tls-key) does not belong to the certificate (--tls-cert)";
        return false;
    }
    context = std::move(made);
    return true;
}

void AdmitTls(HttpServerCore& core, tcp::socket socket) {
    std::make_shared<StreamConnection<TlsStream>>(core,
                                                  TlsStream(std::move(socket), core.tls->context))
        ->Start();
}

}  // namespace http_server
