// The exchange against the real pelloran-service over HTTPS on loopback, with a certificate
// made for the test, directly and through a real tinyproxy; and its failures.
#include "installations/server.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/exchange_support.h"
#include "tests/tuning/loopback_service.h"
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"
#include "tuning/system_info.h"
#include "tuning/tuning_exchange.h"

#include "soapAuthenticationServiceSoapBindingProxy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace {

const std::string accessError = "Error accessing WebService!\nMake sure that you are connected to the network.\n"
                                "If you are connected to the internet, please check the proxy settings.\n"
                                "Please visit " + std::string(supportForumAddress) + " for further assistance.";

class RealServiceExchange : public testing::Test
{
protected:
    RealServiceExchange() : target(service.Url(), service.certificate.certificateFile)
    {
        unsetenv("https_proxy");
        unsetenv("HTTPS_PROXY");
        server.bitness = wxT("64");
        FreeExchangeId();
    }
    ~RealServiceExchange() override { FreeExchangeId(); }

    std::string Value(const char* name)
    {
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            if (wxString(tuningParameterNames[i]) == name)
                return server.values[i].utf8_string();
        ADD_FAILURE() << "no parameter " << name;
        return {};
    }

    LoopbackService service;
    ServiceTarget target;
    Server server;
};

} // namespace

TEST_F(RealServiceExchange, EachUsageFillsEverySlot)
{
    // 8.2 still has every one of the 17 parameters, so every slot gets a value.
    server.version = wxT("8.2");
    const char* const connections[] = {"20", "100", "200"};
    for (int usage = 0; usage < 3; ++usage) {
        server.values = {};
        const ExchangeRun run = RunExchangeWith(server, usage);
        ASSERT_TRUE(run.completed) << run.standardError;
        EXPECT_TRUE(run.errors.empty());
        EXPECT_EQ(run.steps.back(), std::make_pair(6, std::string("Done")));
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            EXPECT_FALSE(server.values[i].empty()) << "usage " << usage << ": " << wxString(tuningParameterNames[i]).utf8_string();
        // The service's answer follows the usage level it was sent (33, 66, 100).
        EXPECT_EQ(Value("max_connections"), connections[usage]) << "usage " << usage;
        EXPECT_EQ(Value("stats_row_level"), "on");
        EXPECT_EQ(run.standardOutput.size(), 36u);
    }
}

TEST_F(RealServiceExchange, TheAnnouncedVersionReachesTheService)
{
    struct Case
    {
        const wxChar* version;
        bool fsmValues;
        bool checkpointSegments;
        bool statsRowLevel;
    };
    const Case cases[] = {
        {wxT(""), true, true, false}, // announced as 8.3
        {wxT("8.2"), true, true, true},
        {wxT("9.4"), false, true, false},
        {wxT("15.18"), false, false, false},
    };
    for (const Case& c : cases) {
        const std::string version = wxString(c.version).utf8_string();
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        server.version = c.version;
        ASSERT_TRUE(RunExchangeWith(server, 1).completed) << version;
        EXPECT_EQ(!Value("max_fsm_pages").empty(), c.fsmValues) << version;
        EXPECT_EQ(!Value("max_fsm_relations").empty(), c.fsmValues) << version;
        EXPECT_EQ(!Value("checkpoint_segments").empty(), c.checkpointSegments) << version;
        EXPECT_EQ(!Value("stats_row_level").empty(), c.statsRowLevel) << version;
        EXPECT_FALSE(Value("shared_buffers").empty()) << version;
        EXPECT_NE(Value("shared_buffers"), "old") << version;
    }
}

TEST_F(RealServiceExchange, ThroughTinyproxy)
{
    TempDir folder;
    TinyProxy tinyproxy(folder.path());
    server.version = wxT("9.6");
    const std::string connect = "CONNECT localhost:" + std::to_string(service.Port());

    EXPECT_TRUE(RunExchangeWith(server, 2, wxT("127.0.0.1"), wxT("")).completed);
    EXPECT_EQ(tinyproxy.Log().find(": CONNECT "), std::string::npos) << "a host without a port is no proxy";

    server.values = {};
    const ExchangeRun run = RunExchangeWith(server, 2, wxT("127.0.0.1"), wxString::Format(wxT("%d"), tinyproxy.port()));
    ASSERT_TRUE(run.completed) << run.standardError;
    EXPECT_EQ(Value("max_connections"), "200");
    const std::string log = tinyproxy.Log();
    int connects = 0;
    for (std::size_t at = log.find(connect); at != std::string::npos; at = log.find(connect, at + 1))
        ++connects;
    EXPECT_EQ(connects, 4) << "one CONNECT per call, the extension's included\n" << log;
}

TEST_F(RealServiceExchange, FailuresKeepThePage)
{
    TempDir folder;
    const Certificate stranger = MakeCertificate(folder.path(), "localhost");
    const std::string unserved = "https://localhost:" + std::to_string(FreeLoopbackPort()) +
                                 "/authws/services/AuthenticationService?wsdl";
    struct Case
    {
        const char* description;
        std::string url;
        std::string trust;
        std::string detail; // in the fault description on standard error
    };
    const Case cases[] = {
        {"service not listening", unserved, service.certificate.certificateFile, "Couldn't connect"},
        {"a certificate that is not trusted", service.Url(), stranger.certificateFile, "certificate"},
        {"no extra trust at all", service.Url(), "", "certificate"},
    };
    for (const Case& c : cases) {
        ServiceTarget elsewhere(c.url, c.trust);
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        const ExchangeRun run = RunExchangeWith(server, 0);
        EXPECT_FALSE(run.completed) << c.description;
        EXPECT_EQ(run.errors, std::vector<std::string>{accessError}) << c.description;
        ASSERT_FALSE(run.steps.empty());
        EXPECT_EQ(run.steps.back(), std::make_pair(6, std::string("Could not connect to WebService ..."))) << c.description;
        EXPECT_EQ(run.steps.size(), 3u) << c.description;
        EXPECT_EQ(run.standardOutput, "") << c.description << ": no exchange identifier is created";
        EXPECT_NE(run.standardError.find(c.detail), std::string::npos) << c.description << ": " << run.standardError;
        EXPECT_EQ(server.values[0], wxString(wxT("old"))) << c.description;
    }
}

TEST_F(RealServiceExchange, AServiceThatForgotTheAnnouncementKeepsThePageAndNextStartsAfresh)
{
    server.version = wxT("15.18");
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        server.values[i] = wxT("old");
    // Restarted after validateUser, before getQuorvelInfo.
    const ExchangeRun forgotten = RunExchangeWith(server, 1, wxString(), wxString(), [&](int step) {
        if (step == 4)
            service.Restart();
    });
    EXPECT_FALSE(forgotten.completed);
    EXPECT_EQ(forgotten.errors, std::vector<std::string>{accessError});
    EXPECT_EQ(forgotten.steps.back(), std::make_pair(4, std::string("Fetching information ...")));
    EXPECT_NE(forgotten.standardError.find("Unknown or expired exchange"), std::string::npos) << forgotten.standardError;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        EXPECT_EQ(server.values[i], wxString(wxT("old"))) << "nothing stored";

    const ExchangeRun again = RunExchangeWith(server, 1);
    ASSERT_TRUE(again.completed) << again.standardError;
    EXPECT_NE(again.standardOutput, forgotten.standardOutput) << "a new exchange identifier";
    EXPECT_EQ(Value("checkpoint_segments"), "") << "the values of the announced 15.18";
    EXPECT_FALSE(Value("shared_buffers").empty());
}

TEST_F(RealServiceExchange, CredentialsTheServiceRefuses)
{
    struct Case
    {
        const char* description;
        std::string userId;
        std::string secret;
        int expected;
    };
    const Case cases[] = {
        {"the service account", serviceUserId, serviceSecret, SOAP_OK},
        {"a wrong secret", serviceUserId, "quintal", 401},
        {"another account", "someone@example.com", serviceSecret, 401},
        {"credentials over the limit are not sent", std::string(760, 'u'), serviceSecret, 401},
    };
    for (const Case& c : cases) {
        AuthenticationServiceSoapBindingProxy proxy;
        ASSERT_EQ(RegisterTransport(&proxy), 0);
        const std::string url = service.Url();
        proxy.soap_endpoint = url.c_str();
        proxy.userid = c.userId.c_str();
        proxy.passwd = c.secret.c_str();
        char* answer = nullptr;
        EXPECT_EQ(proxy.testWebService(&answer), c.expected) << c.description;
    }

    // Refused credentials end the exchange like an unreachable service. The program's own
    // account is fixed, so a responder answering 401 stands in for a service that refuses it.
    CannedResponder refusing([](const RecordedRequest&) { return HttpAnswer(401, "unauthorized"); },
                             service.certificate);
    ServiceTarget refused(refusing.Url("localhost"), service.certificate.certificateFile);
    const ExchangeRun run = RunExchangeWith(server, 0);
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.errors, std::vector<std::string>{accessError});
    EXPECT_NE(run.standardError.find("status 401"), std::string::npos) << run.standardError;
}

// The service's extension reaches the record, and every item it sends for any version and
// usage passes the wizard's own checks: the two ends agree on what may be written.
TEST_F(RealServiceExchange, TheExtensionReachesTheRecordAndPassesTheWizardsChecks)
{
    MachineFacts facts;
    facts.cpus = 32;
    facts.storage = Storage::ssd;
    facts.maxConnectionsNow = 300;
    facts.hugepagesTotal = 0;
    facts.hugepageKb = 2048;
    facts.walFreeMb = 100000;
    facts.features = "lz4";
    for (const wxChar* version : {wxT("8.3"), wxT("9.6"), wxT("12.4"), wxT("15.4"), wxT("17.2"), wxT("18.1")}) {
        for (int usage = 0; usage < 3; ++usage) {
            const std::string description = wxString(version).utf8_string() + ", usage " + std::to_string(usage);
            server.SetVersion(version);
            const ExchangeRun run = RunExchangeWith(server, usage, facts);
            ASSERT_TRUE(run.completed) << description << ": " << run.standardError;
            EXPECT_FALSE(server.extensionUnavailable) << description;
            EXPECT_TRUE(server.dropped.empty()) << description << ": " << server.dropped.front().name.utf8_string()
                                                << " " << server.dropped.front().text.utf8_string();
            EXPECT_FALSE(server.extensionSettings.empty()) << description;
        }
    }

    server.SetVersion(wxT("15.4"));
    ASSERT_TRUE(RunExchangeWith(server, 2, facts).completed);
    EXPECT_EQ(Value("random_page_cost"), "1.1");
    EXPECT_FALSE(server.reasons[randomPageCostIndex].empty());
    EXPECT_EQ(Value("max_connections"), "300") << "never fewer than the server allows today";
    std::map<std::string, std::string> settings;
    for (const ExtensionSetting& setting : server.extensionSettings) {
        settings[setting.name.utf8_string()] = setting.value.utf8_string();
        EXPECT_FALSE(setting.reason.empty()) << setting.name.utf8_string();
        EXPECT_EQ(setting.restart, setting.name == wxT("max_worker_processes") || setting.name == wxT("autovacuum_max_workers"))
            << setting.name.utf8_string();
    }
    EXPECT_EQ(settings["effective_io_concurrency"], "200");
    EXPECT_EQ(settings["max_worker_processes"], "32");
    EXPECT_EQ(settings["wal_compression"], "lz4");
    ASSERT_EQ(server.advice.size(), 1u);
    EXPECT_EQ(server.advice[0].name, wxT("huge_pages"));
}
