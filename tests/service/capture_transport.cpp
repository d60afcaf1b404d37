#include "capture_transport.h"

#include "protocol/maker_constants.h"

#include <algorithm>
#include <memory>
#include <cstring>

namespace {

struct CaptureState
{
    CapturedRequest* request = nullptr;
    const std::string* answer = nullptr;
    std::size_t offset = 0;
};

// One state per context, looked up through the context's user pointer.
CaptureState* State(struct soap* soap) { return static_cast<CaptureState*>(soap->user); }

SOAP_SOCKET Open(struct soap* soap, const char*, const char*, int)
{
    State(soap)->offset = 0;
    return 3; // any valid-looking socket: the hooks below never touch it
}

int PostHeader(struct soap* soap, const char* key, const char* value)
{
    CapturedRequest* request = State(soap)->request;
    if (key != nullptr && value == nullptr)
        request->requestLine = key;
    else if (key != nullptr)
        request->headerLines.push_back(std::string(key) + ": " + value);
    return SOAP_OK;
}

int Send(struct soap* soap, const char* bytes, std::size_t length)
{
    State(soap)->request->body.append(bytes, length);
    return SOAP_OK;
}

std::size_t Receive(struct soap* soap, char* buffer, std::size_t length)
{
    CaptureState* state = State(soap);
    const std::size_t n = std::min(length, state->answer->size() - state->offset);
    std::memcpy(buffer, state->answer->data() + state->offset, n);
    state->offset += n;
    return n;
}

int Close(struct soap*) { return SOAP_OK; }

} // namespace

void InstallCaptureTransport(struct soap* soap, CapturedRequest* request, const std::string* answer)
{
    static thread_local std::vector<std::unique_ptr<CaptureState>> states;
    states.push_back(std::make_unique<CaptureState>());
    states.back()->request = request;
    states.back()->answer = answer;
    soap->user = states.back().get();
    soap->fopen = Open;
    soap->fposthdr = PostHeader;
    soap->fsend = Send;
    soap->frecv = Receive;
    soap->fclose = Close;
}

std::string CannedAnswer(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Internal Server Error") +
           "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string ResponseEnvelope(const std::string& inner)
{
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                       "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                       "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns2=\"") +
           serviceNamespace +
           "\"><SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" + inner +
           "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}
