// A test double for the SOAP client's connection: it records the request line, the header
// lines and the body the proxy hands over, and answers with canned HTTP bytes. It stands in
// for the HTTPS transport where a test needs the proxy's own bytes, exactly as written.
#pragma once
#include <stdsoap2.h>

#include <string>
#include <vector>

struct CapturedRequest
{
    std::string requestLine;
    std::vector<std::string> headerLines; // "Name: value", in the order the proxy posted them
    std::string body;
};

// Installs the hooks on `soap`; `answer` is what the "server" sends back (status line,
// headers and body). Both objects must outlive the calls made on `soap`.
void InstallCaptureTransport(struct soap* soap, CapturedRequest* request, const std::string* answer);

// A complete HTTP answer with the given status and XML body.
std::string CannedAnswer(int status, const std::string& body);

// A response envelope of the tuning service around `inner` (the content of the Body).
std::string ResponseEnvelope(const std::string& inner);
