#include "service/tls_setup.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::string SslError()
{
    char text[256] = "unknown reason";
    if (unsigned long code = ERR_peek_last_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

} // namespace

ServerCertificate::~ServerCertificate()
{
    SSL_CTX_free(current);
}

bool ServerCertificate::Load(const ServiceOptions& options, std::string& error)
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
    ERR_clear_error();
    Context context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        error = "cannot set up TLS (" + SslError() + ")";
        return false;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_use_certificate_chain_file(context.get(), options.certificateFile.c_str()) != 1) {
        error = "the certificate " + options.certificateFile + " is not a PEM certificate (" + SslError() + ")";
        return false;
    }
    // A key that reads well but is another certificate's is refused here already.
    const bool keyTaken = SSL_CTX_use_PrivateKey_file(context.get(), options.keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
    if (!keyTaken && ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        error = "the key " + options.keyFile + " is not a PEM private key (" + SslError() + ")";
        return false;
    }
    if (!keyTaken || SSL_CTX_check_private_key(context.get()) != 1) {
        ERR_clear_error();
        error = "the key " + options.keyFile + " does not belong to the certificate " + options.certificateFile;
        return false;
    }
    // The chain sent is built once, here; left to itself OpenSSL builds it again in every
    // handshake, searching the system's certificate folder each time.
    SSL_CTX_build_cert_chain(context.get(), SSL_BUILD_CHAIN_FLAG_NO_ROOT | SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR);
    // Partial writes and retries as the SOAP runtime that answers on these connections
    // expects; a waiting connection keeps no empty 16 kB read and write buffers.
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_AUTO_RETRY | SSL_MODE_NO_AUTO_CHAIN |
                                        SSL_MODE_RELEASE_BUFFERS);
    // One read takes what came, instead of a record's header and then its body: a client's
    // last flight (Finished and the request) is then one system call, not six. The front loop
    // reads until OpenSSL wants more from the socket, so nothing waits in its buffer unseen.
    SSL_CTX_set_read_ahead(context.get(), 1);
    ERR_clear_error();
    // The three calls of an exchange come on three connections: tickets let the later two
    // skip the full handshake. One is enough for a client that makes one exchange. A new pair
    // brings new ticket keys, so tickets given before it make a full handshake once.
    if (options.sessionTickets) {
        SSL_CTX_clear_options(context.get(), SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(context.get(), 1);
    } else {
        SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(context.get(), 0);
    }
    std::lock_guard<std::mutex> lock(mutex);
    SSL_CTX_free(current);
    current = context.release();
    return true;
}

SSL* ServerCertificate::NewConnection()
{
    std::lock_guard<std::mutex> lock(mutex);
    return current != nullptr ? SSL_new(current) : nullptr;
}
