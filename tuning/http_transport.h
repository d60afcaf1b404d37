// The HTTPS transport of the SOAP client: a plug-in that takes over the SOAP context's
// connection hooks and carries each call as one HTTP POST through the platform's HTTP client.
// One registration per context; it lives and dies with the context.
//
// The plug-in, its rules for the header lines and the body are the same on every platform
// (tuning/http_transport.cpp); only carrying the call is the platform's
// (tuning/http_transport_backend.h).
#pragma once

#include <stdsoap2.h>

#include <cstddef>
#include <memory>
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

// The User-Agent every call carries: what the service has always seen from this client.
inline constexpr const char* userAgent = "gSOAP/2.7";

// Names the PEM file whose certificates are trusted besides the system's.
inline constexpr const char* caFileVariable = "PELLORAN_CA_FILE";

// HTTP Basic credentials go out only while user id and secret together stay below this.
inline constexpr std::size_t credentialsLengthLimit = 761;

// Figures for checking the transport from outside.
struct TransportFigures
{
    unsigned requestsSent = 0;      // requests handed to the platform, each repetition counted
    unsigned connectionsOpened = 0;
    unsigned sessionsResumed = 0;   // calls whose TLS handshake resumed an earlier session
    unsigned retriesAsked = 0;      // sends repeated after the error handler or dialog asked for it
    std::size_t bytesCopied = 0;    // body bytes the transport copied to collect the body
    long status = 0;                // the status of the last answer, 0 before one came
};

class TransportBackend;

// The transport's state on one context (reach it with FindTransport).
class TransportState
{
public:
    ~TransportState();
    TransportState(const TransportState&) = delete;
    TransportState& operator=(const TransportState&) = delete;

    // Asked, where the platform offers a dialog, before it shows one for a failed send or a
    // 401/407 answer (request handle, error or status code): 1 sends again, 2 shows the
    // platform's dialog, anything else gives up. The program sets none.
    int (*errorHandler)(struct soap* soap, void* request, unsigned long code) = nullptr;

    const TransportFigures& Figures() const { return figures; }

private:
    friend struct TransportPlugin; // the plug-in's hooks (tuning/http_transport.cpp)
    TransportState();

    std::unique_ptr<TransportBackend> backend; // the platform's side of each call
    bool requestOpen = false;       // a call has been opened and not yet closed
    bool disconnectPending = false; // the call is over (done or failed): nothing more is read, the next hook starts afresh

    std::string hostHeader;         // "host" or "host:port" as the Host line must read
    std::vector<std::pair<std::string, std::string>> headers; // in the SOAP layer's order

    const char* sendBuffer = nullptr; // the body: ownBuffer, or the SOAP layer's bytes in place
    std::string ownBuffer;
    std::size_t bufferedLength = 0;
    bool expectedLengthKnown = false;
    std::size_t expectedLength = 0; // announced by Content-Length
    bool chunkedOutput = false;
    bool requestSent = false;

    TransportFigures figures;
};

// Registers the transport on the context. 0 on success; SOAP_EOM when the state or the HTTP
// client's handle cannot be had. Copying a context that carries it fails with SOAP_FATAL_ERROR.
// `requestFlags` go to the platform's requests where it takes such flags (WinInet's).
int RegisterTransport(struct soap* soap, unsigned long requestFlags = 0);

// The transport's state on the context, or null when it is not registered.
TransportState* FindTransport(struct soap* soap);
