// Complete requests answered one after another by one thread: a copy of the listening SOAP
// context whose hooks authenticate the service account before any body is read, read only what
// the front loop framed, refuse an announced body over the limit, and note the request for the
// access log and the figures.
#pragma once

#include "service/access_log.h"
#include "service/client_limits.h"
#include "service/exchange_store.h"
#include "service/metrics.h"
#include "service/pending_request.h"

#include "stdsoap2.h"

#include <memory>

// What every served connection shares, and the runtime's own hooks, which theirs wrap.
struct ServedParts
{
    AccessLog& log;
    ExchangeStore& store;
    ClientLimits& limits;
    Metrics& metrics;
    int (*originalParse)(struct soap*) = nullptr;
    int (*originalParseHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*originalResponse)(struct soap*, int, ULONG64) = nullptr;
    int (*originalPostHeader)(struct soap*, const char*, const char*) = nullptr;

    // Takes the runtime's hooks from `listener`, before connections copy it.
    void KeepOriginalHooks(const struct soap& listener);
};

class ServedConnection;

// One thread's context, made once: a copy of the listening context is 160 kB, which copied and
// freed for every request cost more than the rest of a small request's answer.
class RequestServer
{
public:
    RequestServer(const struct soap& listener, ServedParts& parts);
    ~RequestServer();
    RequestServer(const RequestServer&) = delete;
    RequestServer& operator=(const RequestServer&) = delete;

    // Answers the request `request` holds, takes over its socket and TLS state, and closes them.
    void Serve(PendingRequest& request);

private:
    std::unique_ptr<ServedConnection> connection;
};
