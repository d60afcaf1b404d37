// A connection from its accept until its request has been answered: handshaken and read by a
// front loop without holding a worker, then served by one. Small, since the SOAP context is
// made only for a worker.
#pragma once

#include "service/client_limits.h"
#include "service/metrics.h"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct PendingRequest;

// The waiting places every front loop takes from. Entries are only read under the lock, and a
// connection leaves the table before it is freed or handed on.
class WaitingPlaces
{
public:
    WaitingPlaces(std::size_t limit, Metrics& metrics) : limit(limit), metrics(metrics) {}
    // Gives `connection` a place; when none is free, the connection that has made least
    // progress for its age loses its own: its socket is shut down, which wakes the loop that
    // holds it to drop it.
    void Enter(PendingRequest& connection);
    void Leave(PendingRequest& connection);

private:
    void Remove(PendingRequest& connection); // under the lock

    std::mutex mutex;
    const std::size_t limit;
    Metrics& metrics;
    std::vector<PendingRequest*> held;
};

struct PendingRequest
{
    int socket = -1;
    SSL* ssl = nullptr; // made when the first bytes come; null over plain HTTP
    bool handshaken = false;
    bool refused = false; // over its address's limit: answered with a refusal, not by a worker
    bool awaitsProxyHeader = false; // from a balancer, whose header names the client first
    std::uint32_t watched = 0; // the events the front loop waits for
    std::string client; // the address as the access log shows it
    ClientKey key;      // the address as the limits count it
    ClientLimits* limits = nullptr; // set once the connection is counted there
    std::string bytes;  // what arrived of the request (before it, of a balancer's header)
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point arrived; // when the request was complete
    std::chrono::steady_clock::time_point accepted;
    std::atomic<std::size_t> received{0}; // bytes read from the socket, TLS records included
    std::atomic<bool> pushedOut{false};   // its place was given to a newer connection
    WaitingPlaces* table = nullptr;       // where it took a place
    bool holding = false;                 // under the table's lock: whether it holds one
    std::size_t place = 0;                // its index there, under the table's lock

    PendingRequest() = default;
    PendingRequest(const PendingRequest&) = delete;
    PendingRequest& operator=(const PendingRequest&) = delete;
    // Leaves its place, closes what the serving connection did not take over, and uncounts
    // the connection from its address.
    ~PendingRequest();
};
