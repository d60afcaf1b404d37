#include "tests/tuning/transport_call.h"

#include <gtest/gtest.h>

#include <algorithm>

const std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope>"
                         "<SOAP-ENV:Body>payload</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
const std::string bodySent = body.substr(0, body.size() - 2);

SoapHeaderLines SoapHeaders(const std::string& host, std::size_t length)
{
    return {{"Host", host},
            {"User-Agent", "gSOAP/2.8"},
            {"Content-Type", "text/xml; charset=utf-8"},
            {"Content-Length", std::to_string(length)},
            {"Connection", "close"},
            {"Authorization", "Basic dXNlcjpzZWNyZXQ="},
            {"SOAPAction", "\"\""}};
}

Context::Context()
{
    soap = soap_new();
    EXPECT_EQ(RegisterTransport(soap), 0);
}

Context::~Context()
{
    // soap_free alone leaves the fault objects the calls made to the context's own lists.
    soap_destroy(soap);
    soap_end(soap);
    soap_free(soap);
}

CallResult Context::Post(const std::string& url, const SoapHeaderLines& headers, const std::string& content, int pieces)
{
    CallResult result;
    soap->error = SOAP_OK;
    if (soap->fopen(soap, url.c_str(), "", 0) == SOAP_INVALID_SOCKET || soap->error) {
        result.error = soap->error ? soap->error : -1;
    } else {
        // The transports write their own request line from the end point.
        result.error = soap->fposthdr(soap, "POST /authws/services/AuthenticationService?wsdl HTTP/1.1", nullptr);
        for (const auto& [name, value] : headers)
            if (!result.error)
                result.error = soap->fposthdr(soap, name, value.c_str());
        if (!result.error)
            result.error = soap->fposthdr(soap, nullptr, nullptr);
        const std::size_t step = (content.size() + pieces - 1) / pieces;
        for (std::size_t at = 0; at < content.size() && !result.error; at += step)
            result.error = soap->fsend(soap, content.data() + at, std::min(step, content.size() - at));
        if (!result.error) {
            char buffer[7];
            std::size_t n;
            while ((n = soap->frecv(soap, buffer, sizeof buffer)) > 0)
                result.answer.append(buffer, n);
            result.error = soap->error;
        }
    }
    if (result.error) {
        char text[1024] = "";
        soap_sprint_fault(soap, text, sizeof text);
        result.fault = text;
    }
    soap->fclose(soap);
    return result;
}
