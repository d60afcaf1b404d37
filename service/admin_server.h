// The operators' end points, plain HTTP on an address of their own so that they are never
// public by accident: GET /healthz (200 when this instance can serve, 503 when its store of
// announcements cannot be reached or written, or once the service is stopping) for load balancers, GET /metrics for
// Prometheus. Many clients at once, each with one deadline for its whole request, so that no
// slow client can keep a load balancer's checks from being answered.
#pragma once

#include "service/exchange_store.h"
#include "service/metrics.h"
#include "service/stop_signal.h"

#include <string>

class AdminServer
{
public:
    // From the moment `stopping` is raised /healthz answers 503, while the requests in flight
    // finish: a balancer sends no more.
    AdminServer(ExchangeStore& store, Metrics& metrics, const StopSignal& stopping)
        : store(store), metrics(metrics), stopping(stopping)
    {
    }
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // Binds host:port. False with a sentence saying why.
    bool Start(const std::string& host, int port, std::string& error);
    // Answers requests until `end` is raised.
    void Run(const StopSignal& end);

private:
    // The whole answer to `request`.
    std::string Answer(const std::string& request);

    ExchangeStore& store;
    Metrics& metrics;
    const StopSignal& stopping;
    int listening = -1;
};
