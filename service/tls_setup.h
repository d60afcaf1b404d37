// The server's certificate and key as new connections get them: TLS 1.2 at least, the chain
// built once, session tickets unless the options turn them off. Loaded again on an operator's
// request; connections in flight keep the pair they began with.
#pragma once

#include "service/tuning_server.h"

#include <openssl/ssl.h>

#include <mutex>
#include <string>

class ServerCertificate
{
public:
    ServerCertificate() = default;
    ~ServerCertificate();
    ServerCertificate(const ServerCertificate&) = delete;
    ServerCertificate& operator=(const ServerCertificate&) = delete;

    // Reads the certificate and key named in `options` and, when they load and belong
    // together, gives them to every later connection. False with a sentence saying why (a file
    // that cannot be read or is no PEM, a key that does not belong to the certificate); the
    // pair in use then stays.
    bool Load(const ServiceOptions& options, std::string& error);
    // A server-side TLS state for a new connection with the current pair; null on failure.
    SSL* NewConnection();

private:
    std::mutex mutex;
    SSL_CTX* current = nullptr; // each connection holds a reference of its own
};
