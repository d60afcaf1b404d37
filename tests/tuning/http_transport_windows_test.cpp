// The WinInet transport under wine against programs on the Linux side of the same machine:
// the real pelloran-service, and a recorder that echoes each request and gives the answers
// the service never gives (401, 407, a redirect, silence). tests/e2e/windows/transport.py
// starts both, trusts their authority in the wine prefix only and names them here:
//   PELLORAN_SERVICE_URL  the real service, https://localhost:<port>/...?wsdl
//   PELLORAN_RECORDER     https://localhost:<port> of the recorder (certificate for localhost)
//   PELLORAN_WRONG_NAME   https://localhost:<port> of a recorder whose certificate names another host
//   PELLORAN_UNTRUSTED    https://localhost:<port> of a recorder whose authority is not trusted
//   PELLORAN_PROXY_PORT   a real tinyproxy on 127.0.0.1, logging to PELLORAN_PROXY_LOG
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"

#include "tests/tuning/transport_call.h"

#include "soapAuthenticationServiceSoapBindingProxy.h"

#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

#define REQUIRE_VARIABLE(name)                                                                     \
    if (Variable(name).empty())                                                                    \
    GTEST_SKIP() << name << " is not set: run through tests/e2e/windows/transport.py"

// The Host line the SOAP layer hands over names another host: the platform's own line, from
// the URL, is the one that must go out.
const std::string soapLayersHost = "wrong.example";

// The recorder's echo: the request head (request line and header lines, CR LF each), an
// empty line, then the body.
struct Echo
{
    std::string requestLine;
    std::vector<std::string> headers;
    std::string body;
};

Echo ParseEcho(const std::string& answer)
{
    Echo echo;
    const std::size_t end = answer.find("\r\n\r\n");
    std::string head = answer.substr(0, end);
    echo.body = end == std::string::npos ? "" : answer.substr(end + 4);
    std::size_t at = 0;
    for (bool first = true; at <= head.size(); first = false) {
        std::size_t next = head.find("\r\n", at);
        if (next == std::string::npos)
            next = head.size();
        (first ? echo.requestLine : echo.headers.emplace_back()) = head.substr(at, next - at);
        at = next + 2;
    }
    return echo;
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

int CountStarting(const std::vector<std::string>& lines, const std::string& prefix)
{
    int count = 0;
    for (const std::string& line : lines)
        count += line.compare(0, prefix.size(), prefix) == 0;
    return count;
}

std::string HostPort(const std::string& url)
{
    return url.substr(url.find("://") + 3);
}

} // namespace

TEST(WinInetTransport, SendsTheSoapLayersLinesAndTheWholeBodyInOnePostPerConnection)
{
    REQUIRE_VARIABLE("PELLORAN_RECORDER");
    const std::string recorder = Variable("PELLORAN_RECORDER");
    for (const int pieces : {1, 3, 40}) {
        Context context;
        context.soap->userid = "user";
        context.soap->passwd = "secret";
        const CallResult result = context.Post(recorder + "/echo/authws?wsdl", SoapHeaders(soapLayersHost), body, pieces);
        ASSERT_EQ(result.error, 0) << pieces << " pieces: " << result.fault;
        const Echo echo = ParseEcho(result.answer);
        EXPECT_EQ(echo.requestLine, "POST /echo/authws?wsdl HTTP/1.1") << "the query travels";
        EXPECT_EQ(echo.body, bodySent) << "nothing after the envelope";
        // The platform writes Host, Content-Length and User-Agent; the rest are the SOAP layer's.
        for (const std::string& line : std::vector<std::string>{"Host: " + HostPort(recorder), "User-Agent: gSOAP/2.7",
                                        "Content-Type: text/xml; charset=utf-8",
                                        "Content-Length: " + std::to_string(bodySent.size()), "Connection: close",
                                        "Authorization: Basic dXNlcjpzZWNyZXQ=", "SOAPAction: \"\""})
            EXPECT_TRUE(Has(echo.headers, line)) << line << " missing from:\n" << result.answer;
        EXPECT_EQ(CountStarting(echo.headers, "Host:"), 1);
        EXPECT_EQ(context.state()->Figures().requestsSent, 1u);
        EXPECT_EQ(context.state()->Figures().connectionsOpened, 1u);
        // One piece of exactly the announced length goes out without a copy.
        EXPECT_EQ(context.state()->Figures().bytesCopied, pieces == 1 ? 0u : body.size()) << pieces << " pieces";
    }
}

TEST(WinInetTransport, HeaderRules)
{
    REQUIRE_VARIABLE("PELLORAN_RECORDER");
    const std::string url = Variable("PELLORAN_RECORDER") + "/echo";
    const std::string length = std::to_string(body.size());
    struct Case
    {
        const char* description;
        SoapHeaderLines headers;
        std::string userid;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"a name already present is not added again",
         {{"Content-Length", length}, {"SOAPAction", "\"a\""}, {"soapaction", "\"b\""}},
         "user",
         {"SOAPAction: \"a\""},
         {"soapaction: \"b\"", "SOAPAction: \"b\""}},
        {"credentials of 760 characters are sent",
         {{"Content-Length", length}, {"Authorization", "Basic long"}},
         std::string(754, 'u'),
         {"Authorization: Basic long"},
         {}},
        {"credentials of 761 characters are left out",
         {{"Content-Length", length}, {"Authorization", "Basic long"}},
         std::string(755, 'u'),
         {},
         {"Authorization: Basic long"}},
    };
    for (const Case& c : cases) {
        Context context;
        context.soap->userid = c.userid.c_str();
        context.soap->passwd = "secret";
        const CallResult result = context.Post(url, c.headers);
        ASSERT_EQ(result.error, 0) << c.description << ": " << result.fault;
        const Echo echo = ParseEcho(result.answer);
        for (const std::string& line : c.present)
            EXPECT_TRUE(Has(echo.headers, line)) << c.description << ": " << result.answer;
        for (const std::string& line : c.absent)
            EXPECT_FALSE(Has(echo.headers, line)) << c.description << ": " << result.answer;
    }
    Context context;
    const CallResult tooLong = context.Post(url, {{"X-Long", std::string(4090, 'x')}});
    EXPECT_EQ(tooLong.error, SOAP_EOM) << "a header line over 4095 characters";
}

TEST(WinInetTransport, AnswersOtherThanTheServicesFailTheCall)
{
    REQUIRE_VARIABLE("PELLORAN_RECORDER");
    const std::string recorder = Variable("PELLORAN_RECORDER");
    std::string closedPort = Variable("PELLORAN_CLOSED_PORT");
    struct Case
    {
        const char* description;
        std::string url;
        int expectedError;
        std::string faultText;
    };
    const Case cases[] = {
        {"nothing listening", "https://localhost:" + closedPort + "/x", SOAP_HTTP_ERROR, "error 12029"},
        {"401 from the service", recorder + "/status/401", 401, "status 401"},
        {"407 from a proxy", recorder + "/status/407", 407, "status 407"},
        {"a redirect is not followed", recorder + "/status/302", 302, "status 302"},
        {"a bad end point", "ftp://localhost/x", SOAP_TCP_ERROR, "cannot use the address"},
        {"no end point", "", SOAP_TCP_ERROR, "cannot use the address"},
    };
    for (const Case& c : cases) {
        Context context;
        // Declines every dialog: a test shows none.
        context.state()->errorHandler = [](struct soap*, void*, unsigned long) { return 0; };
        const CallResult result = context.Post(c.url, SoapHeaders(soapLayersHost));
        EXPECT_EQ(result.error, c.expectedError) << c.description << ": " << result.fault;
        EXPECT_NE(result.fault.find(c.faultText), std::string::npos) << c.description << ": " << result.fault;
        EXPECT_EQ(result.answer, "") << c.description;
    }
    Context context;
    const CallResult fault = context.Post(recorder + "/status/500", SoapHeaders(soapLayersHost));
    EXPECT_EQ(fault.error, 0) << "a fault's answer reaches the SOAP layer: " << fault.fault;
    EXPECT_EQ(fault.answer, "<fault/>");
}

TEST(WinInetTransport, AnAnswerThatNeverComesEndsTheCall)
{
    REQUIRE_VARIABLE("PELLORAN_RECORDER");
    Context context;
    context.soap->transfer_timeout = 1; // the program's 60 seconds, shortened for the test
    const DWORD start = GetTickCount();
    const CallResult result = context.Post(Variable("PELLORAN_RECORDER") + "/silence", SoapHeaders(soapLayersHost));
    EXPECT_NE(result.error, 0) << result.answer;
    // Windows reports the time-out (12002), wine the connection it dropped for it (12030).
    EXPECT_TRUE(result.fault.find("error 12002") != std::string::npos ||
                result.fault.find("error 12030") != std::string::npos) << result.fault;
    EXPECT_LT(GetTickCount() - start, 10000u);

    Context hungUp; // the connection closed without an answer
    const CallResult closed = hungUp.Post(Variable("PELLORAN_RECORDER") + "/hang-up", SoapHeaders(soapLayersHost));
    EXPECT_NE(closed.error, 0) << closed.answer;
}

// The error handler stands where the platform's dialog would ask the user.
TEST(WinInetTransport, CredentialAndCertificateProblemsAskBeforeGivingUp)
{
    REQUIRE_VARIABLE("PELLORAN_WRONG_NAME");
    static std::vector<unsigned long> asked;
    static int retriesAllowed;
    auto handler = [](struct soap*, void* request, unsigned long code) {
        asked.push_back(code);
        if (retriesAllowed-- <= 0)
            return 0;
        if (code == ERROR_INTERNET_SEC_CERT_CN_INVALID) {
            // What accepting the certificate in the dialog does.
            DWORD flags = 0;
            DWORD size = sizeof flags;
            InternetQueryOptionA(static_cast<HINTERNET>(request), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
            flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
            InternetSetOptionA(static_cast<HINTERNET>(request), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
        }
        return 1;
    };
    struct Case
    {
        const char* description;
        std::string url;
        int retries;
        int expectedError;
        std::vector<unsigned long> expectedAsked;
        unsigned expectedSends;
    };
    const std::string wrongName = Variable("PELLORAN_WRONG_NAME") + "/echo";
    const std::string recorder = Variable("PELLORAN_RECORDER");
    const Case cases[] = {
        {"a certificate for another name, accepted", wrongName, 1, 0, {12038}, 2},
        {"a certificate for another name, declined", wrongName, 0, SOAP_HTTP_ERROR, {12038}, 1},
        {"401, credentials given twice, then cancelled", recorder + "/status/401", 2, 401, {401, 401, 401}, 3},
        {"407, cancelled", recorder + "/status/407", 0, 407, {407}, 1},
        {"a handler that never gives up is stopped", recorder + "/status/401", 100, 401,
         std::vector<unsigned long>(8, 401), 9},
    };
    for (const Case& c : cases) {
        asked.clear();
        retriesAllowed = c.retries;
        Context context;
        context.state()->errorHandler = handler;
        const CallResult result = context.Post(c.url, SoapHeaders(soapLayersHost));
        EXPECT_EQ(result.error, c.expectedError) << c.description << ": " << result.fault;
        EXPECT_EQ(asked, c.expectedAsked) << c.description;
        EXPECT_EQ(context.state()->Figures().requestsSent, c.expectedSends) << c.description;
    }

    // An authority nobody trusts: wine reports 12057 (revocation), which no dialog offers to
    // resolve, so the handler is not asked; Windows reports 12045 and asks.
    asked.clear();
    retriesAllowed = 0;
    Context context;
    context.state()->errorHandler = handler;
    const CallResult result = context.Post(Variable("PELLORAN_UNTRUSTED") + "/echo", SoapHeaders(soapLayersHost));
    EXPECT_EQ(result.error, SOAP_HTTP_ERROR) << result.fault;
    EXPECT_EQ(result.answer, "");
    if (result.fault.find("error 12045") != std::string::npos)
        EXPECT_EQ(asked, std::vector<unsigned long>{12045});
    else
        EXPECT_TRUE(asked.empty() && result.fault.find("error 12057") != std::string::npos) << result.fault;
}

TEST(WinInetTransport, RealServiceCallsEachOnANewConnectionWithCredentials)
{
    REQUIRE_VARIABLE("PELLORAN_SERVICE_URL");
    const std::string url = Variable("PELLORAN_SERVICE_URL");
    AuthenticationServiceSoapBindingProxy proxy;
    ASSERT_EQ(RegisterTransport(&proxy), 0);
    proxy.soap_endpoint = url.c_str();
    proxy.userid = serviceUserId;
    proxy.passwd = serviceSecret;
    for (int call = 0; call < 2; ++call) {
        char* answer = nullptr;
        ASSERT_EQ(proxy.testWebService(&answer), SOAP_OK) << proxy.soap_fault_string();
        ASSERT_NE(answer, nullptr);
    }
    EXPECT_EQ(FindTransport(&proxy)->Figures().connectionsOpened, 2u);

    proxy.passwd = "wrong";
    FindTransport(&proxy)->errorHandler = [](struct soap*, void*, unsigned long) { return 0; }; // no dialog in a test
    char* answer = nullptr;
    EXPECT_EQ(proxy.testWebService(&answer), 401) << "without the dialog's credentials the call fails";
    struct soap* copy = soap_copy(&proxy);
    EXPECT_TRUE(copy == nullptr || copy->error == SOAP_FATAL_ERROR);
    if (copy)
        soap_free(copy);
}

TEST(WinInetTransport, TheContextsProxyCarriesTheCall)
{
    REQUIRE_VARIABLE("PELLORAN_PROXY_PORT");
    const std::string url = Variable("PELLORAN_RECORDER") + "/echo";
    const std::string connect = "CONNECT " + HostPort(Variable("PELLORAN_RECORDER"));
    auto connects = [&connect]() {
        std::ifstream file(Variable("PELLORAN_PROXY_LOG"));
        const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        int count = 0;
        for (std::size_t at = log.find(connect); at != std::string::npos; at = log.find(connect, at + 1))
            ++count;
        return count;
    };
    {
        Context context;
        context.soap->proxy_host = "127.0.0.1";
        context.soap->proxy_port = std::atoi(Variable("PELLORAN_PROXY_PORT").c_str());
        const CallResult result = context.Post(url, SoapHeaders(soapLayersHost));
        ASSERT_EQ(result.error, 0) << result.fault;
        EXPECT_EQ(ParseEcho(result.answer).body, bodySent);
        EXPECT_EQ(connects(), 1);
    }
    {
        Context context; // an empty proxy host: the system's settings, which name no proxy here
        context.soap->proxy_host = "";
        context.soap->proxy_port = 8080;
        EXPECT_EQ(context.Post(url, SoapHeaders(soapLayersHost)).error, 0);
        EXPECT_EQ(connects(), 1);
    }
    {
        Context context; // a proxy that is not there fails the call
        context.soap->proxy_host = "127.0.0.1";
        context.soap->proxy_port = std::atoi(Variable("PELLORAN_CLOSED_PORT").c_str());
        EXPECT_NE(context.Post(url, SoapHeaders(soapLayersHost)).error, 0);
    }
}
