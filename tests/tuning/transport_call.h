// One call driven through a context's transport hooks as the SOAP layer drives them: the
// harness of the transport tests of both platforms.
#pragma once

#include "tuning/http_transport.h"

#include <string>
#include <utility>
#include <vector>

// A document as the runtime sends it (closing CR LF included), and as the transports put it
// on the wire (without).
extern const std::string body;
extern const std::string bodySent;

using SoapHeaderLines = std::vector<std::pair<const char*, std::string>>;

// The header lines the runtime sends with a call, for `host` and a body of `length` bytes.
SoapHeaderLines SoapHeaders(const std::string& host, std::size_t length = body.size());

struct CallResult
{
    int error = 0;
    std::string answer;
    std::string fault;
};

// A SOAP context with the platform's transport registered.
class Context
{
public:
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    TransportState* state() { return FindTransport(soap); }

    // What the SOAP layer does for one call: open, header lines, body (in `pieces` parts),
    // read the answer, close.
    CallResult Post(const std::string& url, const SoapHeaderLines& headers, const std::string& content = body,
                    int pieces = 1);

    struct soap* soap;
};
