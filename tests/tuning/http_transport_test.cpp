// The transport's hooks driven as the SOAP layer drives them, against a responder on
// loopback that records the bytes it receives (it stands in for the service here because
// these tests look at the transport alone, below any SOAP message).
#include "tuning/http_transport.h"

#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/loopback_https.h"
#include "tests/tuning/transport_call.h"

#include "soapProbeProxy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

std::string Ok(const RecordedRequest&)
{
    return HttpAnswer(200, "<answer/>");
}

class EnvironmentVariable
{
public:
    EnvironmentVariable(const char* name, const std::string& value) : name(name)
    {
        if (const char* old = std::getenv(name))
            saved = old, hadValue = true;
        setenv(name, value.c_str(), 1);
    }
    ~EnvironmentVariable()
    {
        if (hadValue)
            setenv(name, saved.c_str(), 1);
        else
            unsetenv(name);
    }

private:
    const char* name;
    std::string saved;
    bool hadValue = false;
};

} // namespace

TEST(HttpTransport, SendsExactlyTheSoapLayersHeaderLinesAndTheWholeBodyInOnePost)
{
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    EnvironmentVariable trust(caFileVariable, certificate.certificateFile);
    CannedResponder responder(Ok, certificate);
    const std::string host = "localhost:" + std::to_string(responder.port());
    for (const int pieces : {1, 3, 40}) {
        Context context;
        context.soap->userid = "user";
        context.soap->passwd = "secret";
        const CallResult result = context.Post(responder.Url("localhost"), SoapHeaders("localhost"), body, pieces);
        ASSERT_EQ(result.error, 0) << pieces << " pieces: " << result.fault;
        EXPECT_EQ(result.answer, "<answer/>");
        EXPECT_EQ(context.state()->Figures().requestsSent, 1u);
        // One piece of exactly the announced length goes out without a copy.
        EXPECT_EQ(context.state()->Figures().bytesCopied, pieces == 1 ? 0u : body.size()) << pieces << " pieces";
    }
    const std::vector<RecordedRequest> requests = responder.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const RecordedRequest& request : requests) {
        EXPECT_EQ(request.head.substr(0, request.head.find("\r\n")), "POST /authws/services/AuthenticationService?wsdl HTTP/1.1");
        const std::vector<std::string> expected = {"Host: " + host,
                                                   "User-Agent: gSOAP/2.7",
                                                   "Content-Type: text/xml; charset=utf-8",
                                                   "Content-Length: " + std::to_string(bodySent.size()),
                                                   "Connection: close",
                                                   "Authorization: Basic dXNlcjpzZWNyZXQ=",
                                                   "SOAPAction: \"\""};
        EXPECT_EQ(HeaderLines(request), expected);
        EXPECT_EQ(request.body, bodySent) << "nothing after the envelope";
    }
    EXPECT_EQ(responder.Connections(), 3) << "a new connection for every call";
}

TEST(HttpTransport, HeaderRules)
{
    CannedResponder responder(Ok);
    struct Case
    {
        const char* description;
        std::vector<std::pair<const char*, std::string>> headers;
        std::string userid;
        std::vector<std::string> expected;
    };
    const std::string host = "Host: 127.0.0.1:" + std::to_string(responder.port());
    const std::string length = "Content-Length: " + std::to_string(bodySent.size());
    const std::string longUser(700, 'u');
    const Case cases[] = {
        {"a name already present is not added again",
         {{"Host", "x"}, {"Content-Length", std::to_string(body.size())}, {"SOAPAction", "\"a\""}, {"soapaction", "\"b\""}},
         "user",
         {host, length, "SOAPAction: \"a\""}},
        {"credentials of 760 characters are sent",
         {{"Host", "x"}, {"Content-Length", std::to_string(body.size())}, {"Authorization", "Basic long"}},
         std::string(754, 'u'),
         {host, length, "Authorization: Basic long"}},
        {"credentials of 761 characters are left out",
         {{"Host", "x"}, {"Content-Length", std::to_string(body.size())}, {"Authorization", "Basic long"}},
         std::string(755, 'u'),
         {host, length}},
    };
    for (const Case& c : cases) {
        Context context;
        context.soap->userid = c.userid.c_str();
        context.soap->passwd = "secret";
        const CallResult result = context.Post(responder.Url(), c.headers);
        ASSERT_EQ(result.error, 0) << c.description << ": " << result.fault;
        EXPECT_EQ(HeaderLines(responder.Requests().back()), c.expected) << c.description;
    }
}

TEST(HttpTransport, FailuresGiveNonZeroCodesWithTheirReason)
{
    TempDir folder;
    const Certificate trusted = MakeCertificate(folder.path(), "trusted");
    const Certificate stranger = MakeCertificate(folder.path(), "stranger");
    const Certificate wrongName = MakeCertificate(folder.path(), "wrongname", "DNS:elsewhere.example");
    WriteFileBytes(folder.file("garbage.pem"), "not a certificate\n");

    // A port nobody listens on: bind one, then let it go.
    int closedPort;
    {
        CannedResponder gone(Ok);
        closedPort = gone.port();
    }
    const std::string closedUrl = "https://127.0.0.1:" + std::to_string(closedPort) + "/authws/services/AuthenticationService?wsdl";

    struct Case
    {
        const char* description;
        Certificate served;
        std::string trustFile;
        std::string answer;
        bool listening;
        int expectedError;
        std::string faultText;
    };
    const Case cases[] = {
        {"nothing listening", {}, "", "", false, SOAP_TCP_ERROR, "Couldn't connect"},
        {"a certificate nobody trusts", stranger, trusted.certificateFile, "", true, SOAP_SSL_ERROR, "certificate"},
        {"no extra trust at all", trusted, "", "", true, SOAP_SSL_ERROR, "certificate"},
        {"a trusted certificate for another name", wrongName, wrongName.certificateFile, "", true, SOAP_SSL_ERROR, "no alternative certificate subject name"},
        {"an unreadable trust file", trusted, folder.file("garbage.pem"), "", true, SOAP_SSL_ERROR, "cannot be read"},
        {"401 from the service", trusted, trusted.certificateFile, HttpAnswer(401, "no"), true, 401, "status 401"},
        {"407 from a proxy", trusted, trusted.certificateFile, HttpAnswer(407, "no"), true, 407, "status 407"},
        {"a redirect is not followed", trusted, trusted.certificateFile, "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", true, 302, "status 302"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<EnvironmentVariable> trust;
        if (!c.trustFile.empty())
            trust = std::make_unique<EnvironmentVariable>(caFileVariable, c.trustFile);
        else
            unsetenv(caFileVariable);
        std::unique_ptr<CannedResponder> responder;
        if (c.listening)
            responder = std::make_unique<CannedResponder>([&](const RecordedRequest&) { return c.answer; }, c.served);
        Context context;
        const CallResult result = context.Post(responder ? responder->Url("localhost") : closedUrl, SoapHeaders("x"));
        EXPECT_EQ(result.error, c.expectedError) << c.description << ": " << result.fault;
        EXPECT_NE(result.fault.find(c.faultText), std::string::npos) << c.description << ": " << result.fault;
        EXPECT_EQ(result.answer, "") << c.description;
    }
}

TEST(HttpTransport, FaultAnswersReachTheSoapLayer)
{
    CannedResponder responder([](const RecordedRequest&) { return HttpAnswer(500, "<fault/>"); });
    Context context;
    const CallResult result = context.Post(responder.Url(), SoapHeaders("x"));
    EXPECT_EQ(result.error, 0);
    EXPECT_EQ(result.answer, "<fault/>");
}

TEST(HttpTransport, AnAnswerThatNeverComesEndsTheCall)
{
    CannedResponder responder([](const RecordedRequest&) { return silence; });
    Context context;
    context.soap->transfer_timeout = 1; // the program's 60 seconds, shortened for the test
    const CallResult result = context.Post(responder.Url(), SoapHeaders("x"));
    EXPECT_EQ(result.error, SOAP_TCP_ERROR);
    EXPECT_NE(result.fault.find("imed out"), std::string::npos) << result.fault;
}

TEST(HttpTransport, BadEndPointsAndCopies)
{
    Context context;
    for (const char* url : {"ftp://127.0.0.1/x", "not a url", ""}) {
        const CallResult result = context.Post(url, SoapHeaders("x"));
        EXPECT_EQ(result.error, SOAP_TCP_ERROR) << url;
        EXPECT_NE(result.fault.find("cannot use the address"), std::string::npos) << result.fault;
    }
    EXPECT_EQ(RegisterTransport(context.soap), 0) << "a second registration replaces nothing";
    struct soap* copy = soap_copy(context.soap);
    EXPECT_TRUE(copy == nullptr || copy->error == SOAP_FATAL_ERROR);
    if (copy)
        soap_free(copy);
}

TEST(HttpTransport, CarriesRealSoapCallsWithCredentialsOnEveryCall)
{
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    EnvironmentVariable trust(caFileVariable, certificate.certificateFile);
    CannedResponder responder(
        [](const RecordedRequest& request) {
            const std::size_t start = request.body.find("<text>") + 6;
            const std::string text = request.body.substr(start, request.body.find("</text>") - start);
            return HttpAnswer(200, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                   "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                   "xmlns:ns=\"urn:pelloran-probe\"><SOAP-ENV:Body><ns:pingResponse><r>" +
                                       text + "!</r></ns:pingResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");
        },
        certificate);
    ProbeProxy proxy;
    ASSERT_EQ(RegisterTransport(&proxy), 0);
    const std::string url = responder.Url("localhost");
    proxy.soap_endpoint = url.c_str();
    proxy.userid = "user";
    proxy.passwd = "secret";
    std::string big(200000, 'x'); // arrives in several pieces
    for (std::string text : {std::string("one"), std::string("two"), big}) {
        char* answer = nullptr;
        ASSERT_EQ(proxy.ping(&text[0], &answer), SOAP_OK) << proxy.soap_fault_string();
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(std::string(answer), text + "!");
    }
    const std::vector<RecordedRequest> requests = responder.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const RecordedRequest& request : requests) {
        const std::vector<std::string> lines = HeaderLines(request);
        ASSERT_EQ(lines.size(), 7u) << request.head;
        EXPECT_EQ(lines[0], "Host: localhost:" + std::to_string(responder.port()));
        EXPECT_EQ(lines[3], "Content-Length: " + std::to_string(request.body.size()));
        EXPECT_EQ(lines[5], "Authorization: Basic dXNlcjpzZWNyZXQ=");
        EXPECT_EQ(request.body.substr(request.body.size() - 20), "</SOAP-ENV:Envelope>");
    }
    EXPECT_EQ(responder.Connections(), 3);
    EXPECT_GT(FindTransport(&proxy)->Figures().bytesCopied, 200000u) << "the large body came in pieces";
}

TEST(HttpTransport, ProxyFromTheContextElseTheEnvironment)
{
    TempDir folder;
    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    EnvironmentVariable trust(caFileVariable, certificate.certificateFile);
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    CannedResponder responder(Ok, certificate);
    TinyProxy tinyproxy(folder.path());
    const std::string connect = "CONNECT localhost:" + std::to_string(responder.port());
    auto connects = [&]() {
        const std::string log = tinyproxy.Log();
        int count = 0;
        for (std::size_t at = log.find(connect); at != std::string::npos; at = log.find(connect, at + 1))
            ++count;
        return count;
    };

    {
        Context context;
        context.soap->proxy_host = "127.0.0.1";
        context.soap->proxy_port = tinyproxy.port();
        EnvironmentVariable bypass("no_proxy", "localhost,127.0.0.1"); // the user's own proxy is used regardless
        const CallResult result = context.Post(responder.Url("localhost"), SoapHeaders("x"));
        EXPECT_EQ(result.error, 0) << result.fault;
        EXPECT_EQ(result.answer, "<answer/>");
        EXPECT_EQ(connects(), 1) << tinyproxy.Log();
    }
    {
        Context context; // no proxy on the context and none in the environment: direct
        EXPECT_EQ(context.Post(responder.Url("localhost"), SoapHeaders("x")).error, 0);
        EXPECT_EQ(connects(), 1);
    }
    {
        Context context; // the environment's proxy, as libcurl's defaults read it
        EnvironmentVariable environmentProxy("https_proxy", "http://127.0.0.1:" + std::to_string(tinyproxy.port()));
        const CallResult result = context.Post(responder.Url("localhost"), SoapHeaders("x"));
        EXPECT_EQ(result.error, 0) << result.fault;
        EXPECT_EQ(connects(), 2) << tinyproxy.Log();
        EnvironmentVariable bypass("no_proxy", "localhost");
        EXPECT_EQ(context.Post(responder.Url("localhost"), SoapHeaders("x")).error, 0);
        EXPECT_EQ(connects(), 2) << "no_proxy names the host";
    }
    {
        Context context; // a proxy that is not there fails the call
        context.soap->proxy_host = "127.0.0.1";
        context.soap->proxy_port = FreeLoopbackPort();
        const CallResult result = context.Post(responder.Url("localhost"), SoapHeaders("x"));
        EXPECT_EQ(result.error, SOAP_TCP_ERROR) << result.fault;
    }
    EXPECT_EQ(responder.Requests().size(), 4u);
}
