// The front loops: each accepts, does the TLS handshake and reads the requests of many
// connections at once without blocking, each connection bounded by one deadline, refuses what
// needs no worker, and hands complete requests on. Several run at once on one listening socket.
#pragma once

#include "service/access_log.h"
#include "service/client_limits.h"
#include "service/metrics.h"
#include "service/pending_request.h"
#include "service/stop_signal.h"
#include "service/tls_setup.h"
#include "service/worker_pool.h"

#include <openssl/ssl.h>

#include <chrono>
#include <vector>

// What the front loops of one server share.
struct FrontParts
{
    int listening;       // non-blocking
    ServerCertificate* tls; // null over plain HTTP
    std::chrono::seconds requestDeadline; // from connecting until the request is whole
    std::chrono::seconds drain;           // after the stop, for the connections still held
    const std::vector<Network>& proxyNetworks; // whose connections must begin with a PROXY header
    AccessLog& log;
    ClientLimits& limits;
    Metrics& metrics;
    WaitingPlaces& places;
    WorkerPool& workers;
    // Makes what answers a complete request in the front loop that read it; empty when the
    // workers answer. For answers that never wait: a request of a few hundred bytes costs
    // less than the hand-over to a worker, which wakes a thread and switches to it and back.
    WorkerPool::NewServe answerHere;
};

// Serves in the calling thread until `stop` is raised. Then the listening socket stops taking
// connections (new ones are refused, so a balancer tries another instance) and the requests
// under way are still read and handed on, for up to the drain time; what is left is closed.
void RunFrontLoop(FrontParts& parts, const StopSignal& stop);
