// The tuning service over HTTPS (or plain HTTP behind a TLS-terminating proxy), composed of a
// listening socket with its TLS set-up (tls_setup.h), front loops that accept, handshake and
// read requests without blocking (front_loop.h), and a fixed pool of workers
// (worker_pool.h) that answer complete requests when the exchange store may wait (the front
// loops answer them otherwise), each as a served connection (served_connection.h) with the
// three operations of tuning_operations.h.
#pragma once

#include "service/access_log.h"
#include "service/client_limits.h"
#include "service/exchange_store.h"
#include "service/metrics.h"
#include "service/stop_signal.h"

#include <memory>
#include <string>
#include <vector>

struct ServiceOptions
{
    std::string host;          // address to listen on ("127.0.0.1", "::1", "0.0.0.0")
    int port = 0;              // 0: any free port (Port() tells which)
    std::string certificateFile;
    std::string keyFile;
    bool plainHttp = false;
    bool sessionTickets = true; // false: every connection makes a full TLS handshake
    int workers = 8;
    int requestDeadline = 5;   // seconds from connecting until the request has arrived whole
    int sendTimeout = 10;      // seconds a client may take to accept bytes
    int transferTimeout = 30;  // seconds for a whole answer
    int maxPending = 512;      // connections being handshaken and read, all front loops together
    int drainSeconds = 10;     // after a stop, how long requests in flight may take to finish
    std::vector<Network> proxyProtocolFrom; // balancers whose connections begin with a PROXY header
};

class TuningServer
{
public:
    TuningServer(const ServiceOptions& options, AccessLog& log, ExchangeStore& store, ClientLimits& limits,
                 Metrics& metrics);
    ~TuningServer();
    TuningServer(const TuningServer&) = delete;
    TuningServer& operator=(const TuningServer&) = delete;

    // Prepares TLS and binds the socket. False with a sentence saying why.
    bool Start(std::string& error);
    // The port listened on, after Start.
    int Port() const;
    // "https://host:port/authws/services/AuthenticationService", after Start.
    std::string Address() const;
    // Serves until `stop` is raised; then accepts no more, lets the requests in flight finish
    // for up to the drain time, answers what was handed to workers and returns.
    void Run(const StopSignal& stop);
    // Reads the certificate and key again for the connections to come. False with a sentence
    // saying why, the pair in use staying.
    bool ReloadCertificate(std::string& error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
