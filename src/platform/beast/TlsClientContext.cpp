#include "platform/beast/TlsClientContext.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>
#include <stdexcept>

namespace orvanta::platform {

boost::asio::ssl::context makeClientTlsContext(const std::optional<std::string>& trustedCertificatesPem) {
    boost::asio::ssl::context tls(boost::asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    tls.set_verify_mode(boost::asio::ssl::verify_peer);
    boost::system::error_code error;
    if (trustedCertificatesPem) {
        tls.add_certificate_authority(boost::asio::buffer(*trustedCertificatesPem), error);
    } else {
        tls.set_default_verify_paths(error);
    }
    if (error) throw std::runtime_error("cannot load the TLS trust store: " + error.message());
    return tls;
}

void expectTlsPeer(ssl_st* ssl, const std::string& host) {
    boost::system::error_code notAddress;
    boost::asio::ip::make_address(host, notAddress);
    if (!notAddress) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
        return;
    }
    // SSL_set_tlsext_host_name without its C cast.
    SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str()));
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl, host.c_str());
}

std::string describeTlsFailure(ssl_st* ssl, const boost::system::error_code& error) {
    long verify = SSL_get_verify_result(ssl);
    return verify != X509_V_OK ? X509_verify_cert_error_string(verify) : error.message();
}

}  // namespace orvanta::platform
