// The exchange against a responder that serves canned SOAP answers on loopback. It stands in
// for the tuning service only for answers the real service never gives (refusing verdicts,
// missing answers, wrong item counts, names and values the client must cope with) and to
// look at the exact items the client sends.
#include "installations/server.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/exchange_support.h"
#include "tuning/maker_constants.h"
#include "tuning/system_info.h"
#include "tuning/tuning_exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

const std::string forum = supportForumAddress;
const std::string unexpectedError = "Unexpected Error!\nPlease visit " + forum + " for further assistance.";
const std::string accessError = "Error accessing WebService!\nMake sure that you are connected to the network.\n"
                                "If you are connected to the internet, please check the proxy settings.\n"
                                "Please visit " + forum + " for further assistance.";
const std::string listModified = "Quorvel variables list has been modified.\nPlease visit " + forum + " for further assistance";
const std::string memoryError = "Could not fetch the memory info for this system!\nPlease visit " + forum + " for further assistance";

class CannedExchange : public testing::Test
{
protected:
    CannedExchange()
        : certificate(MakeCertificate(folder.path(), "localhost")),
          responder([this](const RecordedRequest& request) { return service.Answer(request); }, certificate),
          target(responder.Url("localhost"), certificate.certificateFile)
    {
        service.pairs = CannedService::TablePairs();
        server.version = wxT("8.4");
        server.bitness = wxT("64");
        FreeExchangeId();
    }
    ~CannedExchange() override { FreeExchangeId(); }

    std::vector<std::string> Values() const
    {
        std::vector<std::string> values;
        for (const wxString& value : server.values)
            values.push_back(value.utf8_string());
        return values;
    }

    TempDir folder;
    Certificate certificate;
    CannedService service;
    CannedResponder responder;
    ServiceTarget target;
    Server server;
};

std::vector<std::string> TableValues()
{
    std::vector<std::string> values;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        values.push_back("value" + std::to_string(i));
    return values;
}

} // namespace

TEST_F(CannedExchange, CompleteExchangeReportsEveryStepAndPrintsTheIdentifier)
{
    const ExchangeRun run = RunExchangeWith(server, 1);
    ASSERT_TRUE(run.completed) << run.standardError;
    EXPECT_TRUE(run.errors.empty());
    const std::vector<std::pair<int, std::string>> steps = {
        {1, "Setting required parameter to connect WebService ..."},
        {2, "Initializing WebService ..."},
        {3, "Checking for WebService ..."},
        {4, "Fetching information ..."},
        {5, "Updating information ..."},
        {6, "Done"},
    };
    EXPECT_EQ(run.steps, steps);
    EXPECT_EQ(Values(), TableValues());
    const std::vector<RecordedRequest> fetches = RequestsOf(responder, "getQuorvelInfo");
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(run.standardOutput, DecodedItems(fetches[0])[0]) << "the identifier, without a line end";
    EXPECT_EQ(run.standardOutput.size(), 36u);
}

TEST_F(CannedExchange, RequestsCarryTheMachineTheUsageAndTheVersion)
{
    ASSERT_TRUE(FetchMemoryInfo());
    struct Case
    {
        int usageIndex;
        const wxChar* version;
        const wxChar* bitness;
        std::string level;
        std::string versionSent;
    };
    const Case cases[] = {
        {0, wxT("8.4"), wxT("64"), "33", "8.4"},
        {1, wxT(""), wxT("32"), "66", "8.3"},
        {2, wxT("15.18"), wxT("64"), "100", "15.18"},
    };
    for (const Case& c : cases) {
        server.version = c.version;
        server.bitness = c.bitness;
        const std::size_t before = RequestsOf(responder, "validateUser").size();
        ASSERT_TRUE(RunExchangeWith(server, c.usageIndex).completed) << c.level;
        const std::vector<std::string> announced = DecodedItems(RequestsOf(responder, "validateUser").at(before));
        const std::vector<std::string> fetched = DecodedItems(RequestsOf(responder, "getQuorvelInfo").at(before));
        ASSERT_EQ(announced.size(), 19u);
        const std::string id = announced[0];
        EXPECT_EQ(id.size(), 36u);
        const std::vector<std::string> expectedAnnounced = {
            id, "tune", GetLocaleName(), "tune", "true", "false", c.versionSent, "Linux", announced[8], announced[9],
            "1", announced[11], memoryGigabytes, "0", memoryMegabytes, serviceUserId, "quintals", c.level, "oltp"};
        EXPECT_EQ(announced, expectedAnnounced) << "usage " << c.level;
        const std::vector<std::string> expectedFetched = {id, c.level, memoryMegabytes, memoryGigabytes, "oltp", "32",
                                                          wxString(c.bitness).utf8_string()};
        EXPECT_EQ(fetched, expectedFetched) << "usage " << c.level;
    }
    const std::vector<RecordedRequest> all = responder.Requests();
    EXPECT_EQ(all.size(), 9u);
    EXPECT_EQ(responder.Connections(), 9) << "every call on a new connection";
}

TEST_F(CannedExchange, AnnouncementVerdicts)
{
    struct Case
    {
        const char* description;
        std::optional<std::string> verdict;
        bool goesOn;
    };
    const Case cases[] = {
        {"0", std::string("0"), true},
        {"a text beginning with 0", std::string("0 accepted"), true},
        {"no text", std::nullopt, true},
        {"1", std::string("1"), false},
        {"2", std::string("2"), false},
        {"4", std::string("4"), false},
        {"x", std::string("x"), false},
    };
    for (const Case& c : cases) {
        FreeExchangeId();
        server.values = {};
        service.verdict = c.verdict;
        const std::size_t fetchesBefore = RequestsOf(responder, "getQuorvelInfo").size();
        const ExchangeRun refusedOrNot = RunExchangeWith(server, 0);
        EXPECT_EQ(refusedOrNot.completed, c.goesOn) << c.description;
        if (c.goesOn) {
            EXPECT_TRUE(refusedOrNot.errors.empty()) << c.description;
            EXPECT_EQ(refusedOrNot.steps.back(), std::make_pair(6, std::string("Done"))) << c.description;
            EXPECT_EQ(Values(), TableValues()) << c.description;
            continue;
        }
        EXPECT_EQ(refusedOrNot.errors, std::vector<std::string>{unexpectedError}) << c.description;
        EXPECT_EQ(refusedOrNot.steps.back().first, 3) << c.description;
        EXPECT_EQ(RequestsOf(responder, "getQuorvelInfo").size(), fetchesBefore) << c.description;
        EXPECT_EQ(Values(), std::vector<std::string>(tuningParameterCount)) << c.description;

        // The next attempt carries the same identifier in both requests.
        const std::string refusedId = DecodedItems(RequestsOf(responder, "validateUser").back())[0];
        service.verdict = std::string("0");
        const ExchangeRun retry = RunExchangeWith(server, 0);
        EXPECT_TRUE(retry.completed) << c.description;
        EXPECT_EQ(DecodedItems(RequestsOf(responder, "validateUser").back())[0], refusedId) << c.description;
        EXPECT_EQ(DecodedItems(RequestsOf(responder, "getQuorvelInfo").back())[0], refusedId) << c.description;
        EXPECT_EQ(retry.standardOutput, refusedId);
    }
}

TEST_F(CannedExchange, AFailedFetchKeepsThePageAndReleasesTheIdentifier)
{
    struct Case
    {
        const char* description;
        std::size_t count;
        bool fault;
        std::string message;
    };
    const Case cases[] = {
        {"16 items", 16, false, listModified},
        {"18 items", 18, false, listModified},
        {"no items", 0, false, listModified},
        {"a fault instead of values", 17, true, accessError},
    };
    for (const Case& c : cases) {
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        service.pairs = CannedService::TablePairs();
        service.pairs.resize(std::min(c.count, service.pairs.size()));
        while (service.pairs.size() < c.count)
            service.pairs.emplace_back(ToHex("max_connections"), ToHex("1"));
        service.fetchFails = c.fault;
        const ExchangeRun run = RunExchangeWith(server, 2);
        EXPECT_FALSE(run.completed) << c.description;
        EXPECT_EQ(run.errors, std::vector<std::string>{c.message}) << c.description;
        EXPECT_EQ(Values(), std::vector<std::string>(tuningParameterCount, "old")) << c.description;
        EXPECT_NE(run.steps.back(), std::make_pair(6, std::string("Done"))) << c.description;
        if (c.fault) {
            EXPECT_NE(run.standardError.find("values unavailable"), std::string::npos) << run.standardError;
        }
        // Released: the next exchange announces itself under a new identifier.
        const std::string failedId = run.standardOutput;
        service.fetchFails = false;
        service.pairs = CannedService::TablePairs();
        const ExchangeRun next = RunExchangeWith(server, 2);
        EXPECT_TRUE(next.completed) << c.description;
        EXPECT_NE(next.standardOutput, failedId) << c.description;
    }
}

TEST_F(CannedExchange, ReturnedNamesAndValues)
{
    const auto pair = [](const std::string& name, const std::string& value) {
        return std::make_pair(ToHex(name), ToHex(value));
    };
    struct Case
    {
        const char* description;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::vector<std::pair<std::size_t, std::string>> changed; // slot and value; all others keep "old"
        bool decoderComplains;
    };
    std::vector<std::pair<std::string, std::string>> reversed = CannedService::TablePairs();
    std::reverse(reversed.begin(), reversed.end());
    std::vector<std::pair<std::size_t, std::string>> everySlot;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        everySlot.emplace_back(i, "value" + std::to_string(i));
    std::vector<std::pair<std::string, std::string>> padding(17, pair("no_such_parameter", "9"));
    const auto with = [&](std::vector<std::pair<std::string, std::string>> head) {
        head.insert(head.end(), padding.begin(), padding.begin() + (17 - head.size()));
        return head;
    };
    const Case cases[] = {
        {"the table in reverse order", reversed, everySlot, false},
        {"another letter case", with({pair("Shared_Buffers", "256MB"), pair("WORK_MEM", "4MB")}), {{1, "256MB"}, {2, "4MB"}}, false},
        {"the same name twice: the later value stands", with({pair("work_mem", "1MB"), pair("work_mem", "2MB")}), {{2, "2MB"}}, false},
        {"names outside the table change nothing", with({pair("shared_buffers", "1GB")}), {{1, "1GB"}}, false},
        {"an empty value empties the slot", with({pair("max_fsm_pages", ""), pair("autovacuum", "on")}), {{4, ""}, {10, "on"}}, false},
        {"a value that is not hex text stores an empty value", with({{ToHex("work_mem"), "4G"}, pair("autovacuum", "on")}), {{2, ""}, {10, "on"}}, true},
        {"a name that is not hex text is ignored", with({{"XYZ", ToHex("1")}, pair("autovacuum", "on")}), {{10, "on"}}, true},
        {"an odd-length name is ignored", with({{"ABC", ToHex("1")}, pair("wal_buffers", "16MB")}), {{6, "16MB"}}, true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.pairs.size(), 17u) << c.description;
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        service.pairs = c.pairs;
        const ExchangeRun run = RunExchangeWith(server, 0);
        EXPECT_TRUE(run.completed) << c.description;
        std::vector<std::string> expected(tuningParameterCount, "old");
        for (const auto& [slot, value] : c.changed)
            expected[slot] = value;
        EXPECT_EQ(Values(), expected) << c.description;
        EXPECT_EQ(run.standardError.find("Invalid Hex String:") != std::string::npos, c.decoderComplains)
            << c.description << ": " << run.standardError;
    }
}

TEST_F(CannedExchange, UnavailableMemoryFiguresStopTheExchange)
{
    SetTotalMemorySource([](std::uint64_t&) { return false; });
    const ExchangeRun run = RunExchangeWith(server, 0);
    SetTotalMemorySource({});
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.errors, (std::vector<std::string>{memoryError, memoryError}));
    EXPECT_TRUE(RequestsOf(responder, "validateUser").empty()) << "nothing is announced without the figures";
    EXPECT_TRUE(RequestsOf(responder, "getQuorvelInfo").empty());
    EXPECT_EQ(Values(), std::vector<std::string>(tuningParameterCount));
}

TEST_F(CannedExchange, ProxySettings)
{
    TinyProxy tinyproxy(folder.path());
    const std::string connect = "CONNECT localhost:" + std::to_string(responder.port());
    unsetenv("https_proxy");
    unsetenv("HTTPS_PROXY");

    // A host without a port: no proxy at all.
    EXPECT_TRUE(RunExchangeWith(server, 0, wxT("127.0.0.1"), wxT("")).completed);
    EXPECT_EQ(tinyproxy.Log().find(": CONNECT "), std::string::npos) << tinyproxy.Log();

    // Host and port: each of the three calls goes through the proxy's CONNECT.
    const ExchangeRun run = RunExchangeWith(server, 0, wxT("127.0.0.1"), wxString::Format(wxT("%d"), tinyproxy.port()));
    EXPECT_TRUE(run.completed) << run.standardError;
    const std::string log = tinyproxy.Log();
    int connects = 0;
    for (std::size_t at = log.find(connect); at != std::string::npos; at = log.find(connect, at + 1))
        ++connects;
    EXPECT_EQ(connects, 3) << log;

    // A port with trailing text is read by its leading digits.
    EXPECT_TRUE(RunExchangeWith(server, 0, wxT("127.0.0.1"), wxString::Format(wxT("%d tinyproxy"), tinyproxy.port())).completed);
}

TEST_F(CannedExchange, ExchangesLeaveNoDescriptorsBehind)
{
    // Sockets only: the toolkit opens files of its own now and then (fonts, settings), which
    // an exchange has nothing to do with.
    const auto openDescriptors = []() {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code unreadable;
            const std::string target = std::filesystem::read_symlink(entry.path(), unreadable).string();
            if (target.rfind("socket:", 0) == 0)
                ++count;
        }
        return count;
    };
    ASSERT_TRUE(RunExchangeWith(server, 0).completed); // libraries set up once
    const int before = openDescriptors();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(RunExchangeWith(server, i % 3).completed);
    service.fetchFails = true;
    EXPECT_FALSE(RunExchangeWith(server, 0).completed);
    // The responder's thread in this process closes its side of the last connection a
    // moment after the client has gone; give it that moment, then count.
    for (int waited = 0; waited < 50 && openDescriptors() != before; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(openDescriptors(), before);
}
