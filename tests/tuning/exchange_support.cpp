#include "tests/tuning/exchange_support.h"

#include "installations/server.h"
#include "tests/support/captured_log.h"
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"
#include "tuning/tuning_exchange.h"
#include "protocol/tuning_parameters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

std::string ToHex(const std::string& text)
{
    std::string hex;
    char digits[3];
    for (const unsigned char c : text) {
        std::snprintf(digits, sizeof digits, "%02X", c);
        hex += digits;
    }
    return hex;
}

std::string FromHex(const std::string& hex)
{
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return text;
}

std::string OperationOf(const RecordedRequest& request)
{
    std::smatch match;
    if (std::regex_search(request.body, match, std::regex("<ns2:(testWebService|validateUser|getQuorvelInfo|getTuningExtensions)[ >/]")))
        return match[1];
    return {};
}

std::vector<std::string> DecodedItems(const RecordedRequest& request)
{
    std::vector<std::string> items;
    const std::regex item("<item>([^<]*)</item>");
    for (auto it = std::sregex_iterator(request.body.begin(), request.body.end(), item); it != std::sregex_iterator(); ++it)
        items.push_back(FromHex((*it)[1]));
    return items;
}

std::vector<RecordedRequest> RequestsOf(CannedResponder& responder, const std::string& operation)
{
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& request : responder.Requests())
        if (OperationOf(request) == operation)
            found.push_back(request);
    return found;
}

std::string SoapAnswer(const std::string& content)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:ns2=\"" +
           std::string(serviceNamespace) +
           "\"><SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" + content +
           "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::vector<std::string> CannedService::TableValues()
{
    return {"101", "129MB", "4097kB", "65MB", "204801", "1001", "17MB", "9", "4.5", "6GB",
            "on", "2min", "51", "52", "0.15", "0.06", "off"};
}

std::vector<std::pair<std::string, std::string>> CannedService::TablePairs()
{
    const std::vector<std::string> values = TableValues();
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        pairs.emplace_back(ToHex(wxString(tuningParameterNames[i]).utf8_string()), ToHex(values[i]));
    return pairs;
}

std::string CannedService::Answer(const RecordedRequest& request) const
{
    const std::string operation = OperationOf(request);
    std::string content;
    if (operation == "testWebService") {
        content = "<ns2:testWebServiceResponse><testWebServiceReturn xsi:type=\"xsd:string\">" + testText +
                  "</testWebServiceReturn></ns2:testWebServiceResponse>";
    } else if (operation == "validateUser") {
        content = "<ns2:validateUserResponse><validateUserReturn xsi:type=\"xsd:string\">" + verdict.value_or("") +
                  "</validateUserReturn></ns2:validateUserResponse>";
    } else if (operation == "getQuorvelInfo" && fetchFails) {
        return HttpAnswer(500, SoapAnswer("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
                                          "<faultstring>values unavailable</faultstring></SOAP-ENV:Fault>"));
    } else if (operation == "getQuorvelInfo") {
        std::string items;
        for (const auto& [name, value] : pairs)
            items += "<item xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[2]\"><item>" + name +
                     "</item><item>" + value + "</item></item>";
        content = "<ns2:getQuorvelInfoResponse><getQuorvelInfoReturn xsi:type=\"SOAP-ENC:Array\" "
                  "SOAP-ENC:arrayType=\"xsd:string[][" +
                  std::to_string(rawValues ? tuningParameterCount : pairs.size()) + "]\">" + rawValues.value_or(items) +
                  "</getQuorvelInfoReturn></ns2:getQuorvelInfoResponse>";
    } else if (operation == "getTuningExtensions" && extensionFails) {
        return HttpAnswer(500, SoapAnswer("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
                                          "<faultstring>extension unavailable</faultstring></SOAP-ENV:Fault>"));
    } else if (operation == "getTuningExtensions") {
        std::string rows;
        for (const std::vector<std::string>& row : extensionRows) {
            rows += "<item xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[" + std::to_string(row.size()) + "]\">";
            for (const std::string& text : row)
                rows += "<item>" + ToHex(text) + "</item>";
            rows += "</item>";
        }
        content = "<ns2:getTuningExtensionsResponse><getTuningExtensionsReturn xsi:type=\"SOAP-ENC:Array\" "
                  "SOAP-ENC:arrayType=\"xsd:string[][" + std::to_string(extensionRows.size()) + "]\">" + rows +
                  "</getTuningExtensionsReturn></ns2:getTuningExtensionsResponse>";
    } else {
        return HttpAnswer(500, SoapAnswer("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>"
                                          "<faultstring>unknown operation</faultstring></SOAP-ENV:Fault>"));
    }
    return HttpAnswer(status, SoapAnswer(content));
}

ExchangeRun RunExchangeWith(Server& server, int usageIndex, const MachineFacts& facts)
{
    return RunExchangeWith(server, usageIndex, wxString(), wxString(), {}, facts);
}

ExchangeRun RunExchangeWith(Server& server, int usageIndex, const wxString& proxyHost, const wxString& proxyPort,
                            const std::function<void(int step)>& atStep, const MachineFacts& facts)
{
    ExchangeRun run;
    CapturedLog::Clear();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.completed = ExchangeWithService(
        server, usageIndex, facts,
        [&](wxString& host, wxString& port) {
            host = proxyHost;
            port = proxyPort;
        },
        [&](int step, const wxString& text) {
            run.steps.emplace_back(step, text.utf8_string());
            if (atStep)
                atStep(step);
        });
    run.standardOutput = testing::internal::GetCapturedStdout();
    run.standardError = testing::internal::GetCapturedStderr();
    run.errors = CapturedLog::Errors();
    CapturedLog::Clear();
    return run;
}

ServiceTarget::ServiceTarget(const std::string& url, const std::string& certificateFile)
{
    setenv(serviceUrlVariable, url.c_str(), 1);
    if (certificateFile.empty())
        unsetenv(caFileVariable);
    else
        setenv(caFileVariable, certificateFile.c_str(), 1);
}

ServiceTarget::~ServiceTarget()
{
    unsetenv(serviceUrlVariable);
    unsetenv(caFileVariable);
}
