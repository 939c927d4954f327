// Client-side TLS shared by the Beast backends: a context that verifies peers against the system's
// trust store (or the PEM certificates given instead), and the per-connection host-name check.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>
#include <optional>
#include <string>

struct ssl_st;

namespace orvanta::platform {

// TLS 1.2 or newer with peer verification. Throws std::runtime_error when the trust store cannot
// be loaded.
boost::asio::ssl::context makeClientTlsContext(const std::optional<std::string>& trustedCertificatesPem);

// Names `host` for SNI and has the handshake check the certificate against it (as an IP address
// when it is one, else as a DNS name without partial wildcards). `host` carries no brackets.
void expectTlsPeer(ssl_st* ssl, const std::string& host);

// Why a handshake failed: the certificate check's verdict when it failed, else the error.
std::string describeTlsFailure(ssl_st* ssl, const boost::system::error_code& error);

}  // namespace orvanta::platform
