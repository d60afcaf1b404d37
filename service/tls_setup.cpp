#include "service/tls_setup.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string SslError()
{
    char text[256] = "unknown reason";
    if (unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

} // namespace

bool SetUpTls(struct soap& listener, const ServiceOptions& options, std::string& error)
{
    for (const std::string* file : {&options.certificateFile, &options.keyFile}) {
        std::FILE* f = std::fopen(file->c_str(), "r");
        if (f == nullptr) {
            error = std::string("cannot read ") + (file == &options.keyFile ? "the key " : "the certificate ") +
                    *file + ": " + std::strerror(errno);
            return false;
        }
        std::fclose(f);
    }
    if (soap_ssl_server_context(&listener, SOAP_SSL_NO_AUTHENTICATION | SOAP_TLSv1_2 | SOAP_TLSv1_3, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != SOAP_OK) {
        error = "cannot set up TLS";
        return false;
    }
    SSL_CTX* context = listener.ctx;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(context, options.certificateFile.c_str()) != 1) {
        error = "the certificate " + options.certificateFile + " is not a PEM certificate (" + SslError() + ")";
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(context, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "the key " + options.keyFile + " is not a PEM private key (" + SslError() + ")";
        return false;
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        error = "the key " + options.keyFile + " does not belong to the certificate " + options.certificateFile;
        return false;
    }
    // The chain sent is built once, here; left to itself OpenSSL builds it again in every
    // handshake, searching the system's certificate folder each time.
    SSL_CTX_build_cert_chain(context, SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
    // A waiting connection keeps no empty 16 kB read and write buffers.
    SSL_CTX_set_mode(context, SSL_MODE_NO_AUTO_CHAIN | SSL_MODE_RELEASE_BUFFERS);
    ERR_clear_error();
    // The three calls of an exchange come on three connections: tickets let the later two
    // skip the full handshake. One is enough for a client that makes one exchange.
    if (options.sessionTickets) {
        SSL_CTX_clear_options(context, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(context, 1);
    } else {
        SSL_CTX_set_num_tickets(context, 0);
    }
    return true;
}
