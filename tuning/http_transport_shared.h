// What both platforms' transports do alike: the registration, failing a call, the
// credentials rule, and collecting the body until it can go out in one POST.
#pragma once

#include "tuning/http_transport.h"

#include <string>

// Fails the call with a description the fault printers show. The texts must outlive the
// call, so they are copied into the context.
int FailCall(struct soap* soap, int code, const std::string& reason, const std::string& detail);

// Whether the context's HTTP Basic credentials may go out: both present and together below
// the length limit.
bool MaySendCredentials(const struct soap* soap);

// Forgets the collected body and its announced length.
void ForgetBody(TransportState* state);

// Takes one piece of the body of an open request. Once the announced length is there, calls
// `sendCollected`, which sends the body from state->sendBuffer (the SOAP layer's own bytes
// when they came in one piece, else the transport's copy) and returns the call's result.
int CollectBody(struct soap* soap, TransportState* state, const char* bytes, std::size_t length,
                int (*sendCollected)(struct soap* soap, TransportState* state));

// The platform's plug-in set-up: makes the transport's state (the request flags are an
// unsigned long) and takes over the context's connection hooks.
int CreateTransport(struct soap* soap, struct soap_plugin* plugin, void* requestFlags);
