// The HTTPS transport of the SOAP client: a plug-in that takes over the SOAP context's
// connection hooks and carries each call as one HTTP POST through the platform's HTTP client.
// One registration per context; it lives and dies with the context.
#pragma once

#include <stdsoap2.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The identifier under which the transport is registered on a context; each platform's
// transport has its own.
extern const char* const transportPluginId;

// Each call gives up when the service does not accept the connection within
// defaultConnectTimeout seconds or has not answered completely within defaultTotalTimeout;
// a context's own positive connect_timeout / transfer_timeout take precedence.
inline constexpr int defaultConnectTimeout = 20;
inline constexpr int defaultTotalTimeout = 60;

// A time-out of the context in milliseconds: positive values are seconds, negative ones the
// runtime's way of giving microseconds, 0 means the default.
inline long TimeoutMilliseconds(int contextValue, int defaultSeconds)
{
    if (contextValue > 0)
        return contextValue * 1000L;
    if (contextValue < 0)
        return std::max(1L, -static_cast<long>(contextValue) / 1000L);
    return defaultSeconds * 1000L;
}

// The User-Agent every call carries: what the service has always seen from this client.
inline constexpr const char* userAgent = "gSOAP/2.7";

// Names the PEM file whose certificates are trusted besides the system's.
inline constexpr const char* caFileVariable = "PELLORAN_CA_FILE";

// HTTP Basic credentials go out only while user id and secret together stay below this.
inline constexpr std::size_t credentialsLengthLimit = 761;

// The transport's state on one context (reach it with soap_lookup_plugin).
struct TransportState
{
    void* internetHandle = nullptr;   // the HTTP client's handle, opened at registration
    void* sessionShare = nullptr;     // TLS sessions kept between the context's calls
    bool requestOpen = false;         // a request has been opened and not yet closed
    bool disconnectPending = false;   // the request is finished; the next hook starts afresh
    unsigned long requestFlags = 0;   // extra flags given at registration
    int placeholderSocket = -1;       // what the context holds as its socket while a request is open
    void* connectionHandle = nullptr; // the platform's connection of the current request, where it has one
    void* requestHandle = nullptr;    // the platform's current request, where it has one
    std::string proxyInUse;           // "host:port" the handle was opened for, empty when the system's settings apply

    // Asked, where the platform offers a dialog, before it shows one for a failed send or a
    // 401/407 answer (request handle, error or status code): 1 sends again, 2 shows the
    // platform's dialog, anything else gives up. The program sets none.
    int (*errorHandler)(struct soap* soap, void* request, unsigned long code) = nullptr;

    std::string url;                  // the end point of the open request
    std::string hostHeader;           // "host" or "host:port" as the Host line must read
    std::vector<std::pair<std::string, std::string>> headers; // in the SOAP layer's order

    const char* sendBuffer = nullptr; // the body: ownBuffer, or the SOAP layer's bytes in place
    std::string ownBuffer;
    std::size_t bufferedLength = 0;
    bool expectedLengthKnown = false;
    std::size_t expectedLength = 0;   // announced by Content-Length
    bool chunkedOutput = false;
    bool requestSent = false;

    std::string response;             // the answer's body, handed to the SOAP layer
    std::size_t responseOffset = 0;
    long status = 0;

    // Figures for checking the transport from outside.
    unsigned requestsSent = 0;
    unsigned connectionsOpened = 0;
    unsigned sessionsResumed = 0;     // calls whose TLS handshake resumed an earlier session
    unsigned retriesAsked = 0;        // sends repeated after the error handler or dialog asked for it
    std::size_t bytesCopied = 0;      // body bytes collected into ownBuffer
};

// Registers the transport on the context. 0 on success; SOAP_EOM when the state or the HTTP
// client's handle cannot be had. Copying a context that carries it fails with SOAP_FATAL_ERROR.
int RegisterTransport(struct soap* soap, unsigned long requestFlags = 0);

// The transport's state on the context, or null when it is not registered.
TransportState* FindTransport(struct soap* soap);
