// Between the transport's plug-in (tuning/http_transport.cpp), which is the same on every
// platform, and the platform's HTTP client, which carries the calls: libcurl on Linux
// (http_transport_curl.cpp), WinInet on Windows (http_transport_wininet.cpp). The plug-in
// decides what goes out (the header lines, the body, the time-outs, the proxy) and what an
// answer's status means; the backend only carries one call at a time.
#pragma once

#include "tuning/http_transport.h"

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The end point as the platform's HTTP client reads it.
struct EndPoint
{
    std::string host;
    std::string port; // as a number, the scheme's default when the address names none
};

// How one call goes out.
struct CallOptions
{
    std::string url;
    std::string proxyHost;         // the context's proxy; empty: the system's settings
    int proxyPort = 0;
    long connectMilliseconds = 0;  // to have the connection
    long totalMilliseconds = 0;    // to have the whole answer
    bool keepAlive = false;        // the context asks to keep the connection
};

class TransportBackend
{
public:
    virtual ~TransportBackend() = default;

    // Splits the end point by the platform's rules: false (the platform's code in errnum,
    // where it gives one) when it cannot carry a call there. The backend keeps what else it
    // needs of the end point for the Open that follows.
    virtual bool Split(struct soap* soap, const char* endpoint, EndPoint& parts) = 0;

    // Opens a call to the end point Split accepted last: what the context holds as its socket
    // while the call is open, or SOAP_INVALID_SOCKET with the call failed.
    virtual SOAP_SOCKET Open(struct soap* soap, const CallOptions& options) = 0;

    // Sends the request with these header lines (Host and Content-Length as they must read)
    // and this body, and waits for the answer's status, which goes to `status` (the last one
    // when the platform sends again). SOAP_OK once an answer came, whatever its status; else
    // the call is failed.
    virtual int Send(struct soap* soap, const HeaderList& headers, const char* body, std::size_t length,
                     long& status) = 0;

    // Up to `size` bytes of the answer's body into `buffer`; `count` 0 at its end. False with
    // the call failed when the answer broke off.
    virtual bool Read(struct soap* soap, char* buffer, std::size_t size, std::size_t& count) = 0;

    // Ends the call, if one is open.
    virtual void Close() = 0;

    // Whether the platform has said the open call's connection is closed; the next hook of
    // the call then starts afresh.
    virtual bool ConnectionClosed() const { return false; }
};

// How a call to `url` goes out from the context: its proxy (the user's own carries every
// address), its time-outs, whether it keeps the connection.
CallOptions CallOptionsOf(const struct soap* soap, const char* url);

// The platform's backend for a context, or null (errnum set where the platform gives a code)
// when its HTTP client cannot be had. It adds to `figures` and asks `owner`'s error handler.
std::unique_ptr<TransportBackend> MakeTransportBackend(struct soap* soap, const TransportState& owner,
                                                       TransportFigures& figures, unsigned long requestFlags);

// Fails the call with a description the fault printers show. The texts must outlive the
// call, so they are copied into the context.
int FailCall(struct soap* soap, int code, const std::string& reason, const std::string& detail);
