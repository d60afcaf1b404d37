// The operators' end points, plain HTTP on an address of their own so that they are never
// public by accident: GET /healthz (200 when this instance can serve, 503 when its store of
// announcements cannot be reached) for load balancers, GET /metrics for Prometheus.
#pragma once

#include "service/exchange_store.h"
#include "service/metrics.h"

#include <atomic>
#include <string>

class AdminServer
{
public:
    AdminServer(ExchangeStore& store, Metrics& metrics) : store(store), metrics(metrics) {}
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // Binds host:port. False with a sentence saying why.
    bool Start(const std::string& host, int port, std::string& error);
    // Answers one request at a time until `stop` turns true.
    void Run(const std::atomic<bool>& stop);

private:
    void Answer(int connection);

    ExchangeStore& store;
    Metrics& metrics;
    int listening = -1;
};
