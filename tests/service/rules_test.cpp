// The tuning service's rules: verdicts, request checks, the values, the exchange memory, the
// access log line and where a request ends.
#include "service/access_log.h"
#include "service/client_limits.h"
#include "service/exchange_memory.h"
#include "service/http_framing.h"
#include "service/proxy_header.h"
#include "service/tuning_extensions.h"
#include "service/tuning_rules.h"

#include "protocol/hex_text.h"
#include "protocol/maker_constants.h"
#include "protocol/tuned_value.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Hex items that own their buffers.
class HexList
{
public:
    explicit HexList(const std::vector<std::string>& texts)
    {
        for (const std::string& text : texts) {
            char* hex = StrToHexStr(text.c_str());
            storage.push_back(hex);
            free(hex);
        }
        for (const std::string& hex : storage)
            items.push_back(hex.c_str());
    }
    std::vector<std::string> storage;
    HexItems items;
};

std::vector<std::string> SoundAnnouncement()
{
    return {"0f8fad5b-d9cb-469f-a165-70867728950e", "tune", "en-us", "tune", "true", "false", "15.4", "Windows_NT",
            "8", "AMD64", "1", "Intel64 Family 6", "16.0000", "0", "16384", serviceUserId, serviceSecret, "100", "oltp"};
}

TEST(ServiceRules, ValidateUserVerdicts)
{
    struct Case
    {
        const char* description;
        std::map<int, std::string> changes; // item number (from 1) -> text
        char verdict;
    };
    const Case cases[] = {
        {"sound", {}, '0'},
        {"version with a third number", {{7, "8.3.7"}}, '0'},
        {"version 8.2 is the oldest taken", {{7, "8.2"}}, '0'},
        {"version 10 without a minor number", {{7, "10"}}, '0'},
        {"not the service account's name", {{16, "someone@example.com"}}, '1'},
        {"not the service account's secret", {{17, "quintal"}}, '1'},
        {"version below 8.2", {{7, "8.1"}}, '2'},
        {"version 7.4", {{7, "7.4"}}, '2'},
        {"version that is not one", {{7, "beta"}}, '2'},
        {"empty version", {{7, ""}}, '2'},
        {"usage level 50", {{18, "50"}}, '4'},
        {"memory in megabytes not a number", {{15, "lots"}}, '4'},
        {"memory in megabytes zero", {{15, "0"}}, '4'},
        {"memory in megabytes negative", {{15, "-5"}}, '4'},
        {"memory in megabytes with a fraction", {{15, "2048.5"}}, '4'},
        {"memory in gigabytes not a number", {{13, "x"}}, '4'},
        {"memory in gigabytes zero", {{13, "0.0000"}}, '4'},
        {"malformed beats a wrong account", {{13, "x"}, {16, "someone"}}, '4'},
        {"a wrong account beats an old version", {{16, "someone"}, {7, "7.4"}}, '1'},
    };
    for (const Case& c : cases) {
        std::vector<std::string> texts = SoundAnnouncement();
        for (const auto& [number, text] : c.changes)
            texts[number - 1] = text;
        HexList hex(texts);
        const Announcement announcement = CheckAnnouncement(hex.items, serviceUserId, serviceSecret);
        EXPECT_EQ(announcement.verdict, c.verdict) << c.description;
    }
}

TEST(ServiceRules, ValidateUserMalformedShapes)
{
    HexList sound(SoundAnnouncement());
    HexItems items = sound.items;
    items.pop_back();
    EXPECT_EQ(CheckAnnouncement(items, serviceUserId, serviceSecret).verdict, '4') << "18 items";
    items = sound.items;
    items.push_back(items[0]);
    EXPECT_EQ(CheckAnnouncement(items, serviceUserId, serviceSecret).verdict, '4') << "20 items";
    items = sound.items;
    items[2] = "6G";
    EXPECT_EQ(CheckAnnouncement(items, serviceUserId, serviceSecret).verdict, '4') << "an item not hex";
    items[2] = "656";
    EXPECT_EQ(CheckAnnouncement(items, serviceUserId, serviceSecret).verdict, '4') << "odd length";
    items[2] = nullptr;
    EXPECT_EQ(CheckAnnouncement(items, serviceUserId, serviceSecret).verdict, '4') << "a nil item";
}

TEST(ServiceRules, ValidateUserRemembersTheProfile)
{
    HexList hex(SoundAnnouncement());
    const Announcement announcement = CheckAnnouncement(hex.items, serviceUserId, serviceSecret);
    EXPECT_EQ(announcement.identifier, "0f8fad5b-d9cb-469f-a165-70867728950e");
    EXPECT_EQ(announcement.profile.version.major, 15);
    EXPECT_EQ(announcement.profile.version.minor, 4);
    EXPECT_TRUE(announcement.profile.windows);
    EXPECT_EQ(announcement.profile.processorCount, 8);

    std::vector<std::string> texts = SoundAnnouncement();
    texts[7] = "Linux";
    HexList linux(texts);
    EXPECT_FALSE(CheckAnnouncement(linux.items, serviceUserId, serviceSecret).profile.windows);
}

TEST(ServiceRules, GetQuorvelInfoChecks)
{
    struct Case
    {
        const char* description;
        std::vector<std::string> texts;
        std::string problem;
    };
    const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    const Case cases[] = {
        {"sound", {id, "66", "2048", "2.0000", "oltp", "32", "64"}, ""},
        {"six items", {id, "66", "2048", "2.0000", "oltp", "32"}, "getQuorvelInfo needs 7 items, not 6"},
        {"usage level", {id, "50", "2048", "2.0000", "oltp", "32", "64"}, "the usage level (item 2) must be 33, 66 or 100"},
        {"memory not a number", {id, "66", "2GB", "2.0000", "oltp", "32", "64"},
         "the memory (item 3) must be a positive whole number of megabytes"},
        {"memory zero", {id, "66", "0", "2.0000", "oltp", "32", "64"},
         "the memory (item 3) must be a positive whole number of megabytes"},
        {"memory beyond every machine", {id, "66", "99999999999999999999", "2.0000", "oltp", "32", "64"},
         "the memory (item 3) must be a positive whole number of megabytes"},
        {"workload", {id, "66", "2048", "2.0000", "olap", "32", "64"}, "the workload (item 5) must be oltp"},
        {"bitness", {id, "66", "2048", "2.0000", "oltp", "32", "16"}, "the bitness (item 7) must be 32 or 64"},
    };
    for (const Case& c : cases) {
        HexList hex(c.texts);
        ValuesRequest request;
        EXPECT_EQ(ReadValuesRequest(hex.items, request), c.problem) << c.description;
    }
    HexList hex(cases[0].texts);
    hex.items[3] = "XY";
    ValuesRequest request;
    EXPECT_EQ(ReadValuesRequest(hex.items, request), "item 4 is not hex text");
}

struct ValuesCase
{
    const char* description;
    std::uint64_t ram;
    int usage;
    std::string version;
    bool windows;
    bool bits32;
    std::vector<std::string> values;
};

TEST(ServiceRules, Values)
{
    const ValuesCase cases[] = {
        {"8 GB dedicated, 15", 8192, 100, "15.4", false, false,
         {"200", "2GB", "10485kB", "512MB", "", "", "16MB", "", "4.0", "6GB", "on", "1min", "50", "50", "0.1", "0.05", ""}},
        {"2 GB mixed, 15: exact kB rounded down, 8kB units to multiples of 8, work_mem at least 15's default", 2048, 66,
         "15.4", false, false,
         {"100", "346024kB", "4MB", "86507kB", "", "", "10376kB", "", "4.0", "1038088kB", "on", "1min", "50", "50",
          "0.2", "0.1", ""}},
        {"512 MB development, 8.2: floors, FSM and stats_row_level", 512, 33, "8.2", false, false,
         {"20", "43248kB", "2162kB", "16MB", "204800", "1000", "1296kB", "8", "4.0", "129760kB", "on", "1min", "50",
          "50", "0.2", "0.1", "on"}},
        {"16 GB dedicated, 8.3: FSM pages from RAM x usage, no stats_row_level", 16384, 100, "8.3", false, false,
         {"200", "4GB", "20971kB", "1GB", "1638400", "4000", "16MB", "32", "4.0", "12GB", "on", "1min", "50", "50",
          "0.1", "0.05", ""}},
        {"8 GB dedicated, Windows 9.4: shared_buffers at most 512MB; 3% of it is over 14MB", 8192, 100, "9.4", true, false,
         {"200", "512MB", "13107kB", "512MB", "", "", "16MB", "32", "4.0", "6GB", "on", "1min", "50", "50", "0.1",
          "0.05", ""}},
        {"64 GB dedicated, 32-bit 15: 1GB shared_buffers, 2047MB maintenance", 65536, 100, "15.4", false, true,
         {"200", "1GB", "110100kB", "2047MB", "", "", "16MB", "", "4.0", "48GB", "on", "1min", "50", "50", "0.1",
          "0.05", ""}},
        {"256 GB dedicated, 17: maintenance_work_mem at most 8GB", 262144, 100, "17.2", false, false,
         {"200", "64GB", "335544kB", "8GB", "", "", "16MB", "", "4.0", "192GB", "on", "1min", "50", "50", "0.1", "0.05",
          ""}},
        {"1 TB dedicated, Windows 12: work_mem at most 2097151kB", 1048576, 100, "12.1", true, false,
         {"200", "256GB", "1342177kB", "2047MB", "", "", "16MB", "", "4.0", "768GB", "on", "1min", "50", "50", "0.1",
          "0.05", ""}},
        {"1 MB development: every lower bound, none beyond the machine's memory", 1, 33, "9.5", false, false,
         {"20", "1MB", "1MB", "1MB", "", "", "488kB", "", "4.0", "248kB", "on", "1min", "50", "50", "0.2", "0.1", ""}},
    };
    for (const ValuesCase& c : cases) {
        ValuesRequest request;
        request.ramMegabytes = c.ram;
        request.usage = c.usage;
        request.bits32 = c.bits32;
        AnnouncedProfile profile;
        profile.version = ReadServerVersion(c.version);
        profile.windows = c.windows;
        const auto values = ComputeValues(request, profile);
        ASSERT_EQ(c.values.size(), tuningParameterCount) << c.description;
        for (std::size_t i = 0; i < tuningParameterCount; ++i)
            EXPECT_EQ(values[i], c.values[i]) << c.description << ": " << tuningParameterNames[i];
    }
}

// The wizard refuses an answer with a value the server would not take: every value the rules
// give, up to the largest memory the service computes with, must pass the wizard's check.
TEST(ServiceRules, EveryValueIsOneTheWizardTakes)
{
    for (const std::uint64_t ram : {1ull, 15ull, 512ull, 2048ull, 8192ull, 65536ull, 1048576ull, 2147483647ull})
        for (const int usage : {33, 66, 100})
            for (const char* version : {"8.2", "8.3", "9.0", "9.4", "9.5", "10.23", "11.2", "12.0", "15.4", "17.2", "18.0"})
                for (const bool windows : {false, true})
                    for (const bool bits32 : {false, true}) {
                        ValuesRequest request;
                        request.ramMegabytes = ram;
                        request.usage = usage;
                        request.bits32 = bits32;
                        AnnouncedProfile profile;
                        profile.version = ReadServerVersion(version);
                        profile.windows = windows;
                        const auto values = ComputeValues(request, profile);
                        TunedTarget target;
                        target.server = {profile.version, windows, bits32};
                        target.memoryKilobytes = ram * 1024;
                        std::ostringstream what;
                        what << ram << " MB, usage " << usage << ", " << version << (windows ? ", Windows" : "")
                             << (bits32 ? ", 32-bit" : "");
                        std::array<std::string_view, tuningParameterCount> together;
                        for (std::size_t i = 0; i < tuningParameterCount; ++i) {
                            EXPECT_TRUE(IsSoundTunedValue(i, values[i], target))
                                << tuningParameterNames[i] << " = " << values[i] << " for " << what.str();
                            together[i] = values[i];
                        }
                        EXPECT_TRUE(AreSoundTogether(together, target)) << what.str();
                    }
}

TEST(ServiceRules, WorkMemCapOnWindowsEndsWith18)
{
    ValuesRequest request;
    request.ramMegabytes = 4 * 1048576; // 4 TB
    request.usage = 100;
    AnnouncedProfile profile;
    profile.windows = true;
    profile.version = ReadServerVersion("17.2");
    EXPECT_EQ(ComputeValues(request, profile)[2], "2097151kB");
    profile.version = ReadServerVersion("18.0");
    EXPECT_EQ(ComputeValues(request, profile)[2], "5368709kB");
}

TEST(ServiceRules, VersionAndMemoryText)
{
    struct Case
    {
        const char* text;
        int major, minor;
    };
    for (const Case& c : {Case{"8.4", 8, 4}, Case{"8", 8, 0}, Case{"8.3.7", 8, 3}, Case{"", 0, 0}, Case{"15.18", 15, 18},
                          Case{"9.0.1", 9, 0}, Case{"10beta2", 10, 0}}) {
        const ServerVersion v = ReadServerVersion(c.text);
        EXPECT_EQ(v.major, c.major) << c.text;
        EXPECT_EQ(v.minor, c.minor) << c.text;
    }
    EXPECT_EQ(MemoryText(1048576), "1GB");
    EXPECT_EQ(MemoryText(1536 * 1024), "1536MB") << "1.5GB is never rounded to 2GB";
    EXPECT_EQ(MemoryText(1025), "1025kB");
}

TEST(ExchangeMemory, ExpiresAfterItsLifetime)
{
    ExchangeMemory::Clock::time_point now{};
    ExchangeMemory memory(std::chrono::seconds(900), 10, [&] { return now; });
    AnnouncedProfile profile;
    profile.version = {8, 2};
    memory.Remember("192.0.2.1", "a", profile);
    now += std::chrono::seconds(899);
    ASSERT_TRUE(memory.Recall("a").profile.has_value());
    EXPECT_EQ(memory.Recall("a").profile->version.minor, 2);
    EXPECT_FALSE(memory.Recall("b").profile.has_value());
    now += std::chrono::seconds(1);
    EXPECT_FALSE(memory.Recall("a").profile.has_value()) << "gone after 15 minutes";
    EXPECT_EQ(memory.Size(), 0u);
}

TEST(ExchangeMemory, ReplacementRenewsAndTheOldestGoFirst)
{
    ExchangeMemory::Clock::time_point now{};
    ExchangeMemory memory(std::chrono::seconds(900), 3, [&] { return now; });
    AnnouncedProfile first, second;
    first.version = {8, 2};
    second.version = {15, 4};
    memory.Remember("192.0.2.1", "a", first);
    now += std::chrono::seconds(1);
    memory.Remember("192.0.2.1", "b", first);
    now += std::chrono::seconds(1);
    memory.Remember("192.0.2.1", "c", first);
    now += std::chrono::seconds(1);
    memory.Remember("192.0.2.1", "a", second); // replaces and renews "a": "b" is now the oldest
    memory.Remember("192.0.2.1", "d", first);
    EXPECT_EQ(memory.Size(), 3u);
    EXPECT_FALSE(memory.Recall("b").profile.has_value());
    ASSERT_TRUE(memory.Recall("a").profile.has_value());
    EXPECT_EQ(memory.Recall("a").profile->version.major, 15);
    EXPECT_TRUE(memory.Recall("c").profile.has_value());
    EXPECT_TRUE(memory.Recall("d").profile.has_value());
}

TEST(ExchangeMemory, WhenFullTheClientHoldingMostLosesItsOldest)
{
    ExchangeMemory memory; // the service's own bound
    memory.Remember("192.0.2.1", "other", AnnouncedProfile{});
    memory.Remember("192.0.2.3", "third-0", AnnouncedProfile{});
    memory.Remember("192.0.2.3", "third-1", AnnouncedProfile{});
    for (int i = 0; i < 100005; ++i)
        memory.Remember("192.0.2.2", "exchange-" + std::to_string(i), AnnouncedProfile{});
    EXPECT_EQ(memory.Size(), 100000u);
    EXPECT_TRUE(memory.Recall("other").profile.has_value()) << "older, but its client holds one";
    EXPECT_TRUE(memory.Recall("third-0").profile.has_value());
    EXPECT_FALSE(memory.Recall("exchange-7").profile.has_value());
    EXPECT_TRUE(memory.Recall("exchange-8").profile.has_value());
    EXPECT_TRUE(memory.Recall("exchange-100004").profile.has_value());
}

TEST(ClientLimits, KeysLimitsAndExemptions)
{
    auto address = [](const char* text) {
        sockaddr_storage storage{};
        if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in&>(storage).sin_addr) == 1)
            storage.ss_family = AF_INET;
        else if (inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr) == 1)
            storage.ss_family = AF_INET6;
        return storage;
    };
    ClientLimitOptions options;
    options.connectionsPerAddress = 2;
    options.announcementsPerMinute = 3;
    options.exempt = ClientLimitOptions::DefaultExempt();
    Network network;
    ASSERT_TRUE(ParseNetwork("10.1.0.0/16", network));
    options.exempt.push_back(network);
    for (const char* wrong : {"10.1.0.0/33", "::/129", "10.1.0.0/", "10.1.0.0/x", "host", "10.1.0.0/16/2"})
        EXPECT_FALSE(ParseNetwork(wrong, network)) << wrong;
    ClientLimits::Clock::time_point now{};
    ClientLimits limits(options, [&] { return now; });

    const struct
    {
        const char* address;
        std::string key;
    } keys[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:bbbb::9", "2001:db8:1:2::/64"},
        {"127.0.0.2", ""},
        {"::1", ""},
        {"10.1.200.3", ""},
        {"10.2.0.1", "10.2.0.1"},
    };
    for (const auto& k : keys)
        EXPECT_EQ(limits.KeyOf(address(k.address)).text, k.key) << k.address;

    const ClientKey client = limits.KeyOf(address("192.0.2.7")), exempt = limits.KeyOf(address("127.0.0.1"));
    const Admission expected[] = {Admission::Admitted, Admission::Admitted, Admission::Refused, Admission::Refused,
                                  Admission::Dropped};
    for (Admission admission : expected)
        EXPECT_EQ(limits.Admit(client), admission);
    for (int i = 0; i < 4; ++i)
        limits.Release(client);
    EXPECT_EQ(limits.Admit(client), Admission::Admitted) << "a place given back is free again";
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(limits.Admit(exempt), Admission::Admitted);

    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(limits.AllowAnnouncement(client));
    EXPECT_FALSE(limits.AllowAnnouncement(client));
    EXPECT_TRUE(limits.AllowAnnouncement(limits.KeyOf(address("192.0.2.8")))) << "another address has its own";
    now += std::chrono::seconds(20); // a minute's share of 3: one more
    EXPECT_TRUE(limits.AllowAnnouncement(client));
    EXPECT_FALSE(limits.AllowAnnouncement(client));
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(limits.AllowAnnouncement(exempt));
}

TEST(AccessLog, CommonLogFormatLine)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(AccessLog::Line("127.0.0.1", 1765275300, "POST /authws/services/AuthenticationService?wsdl HTTP/1.1", 200, 571),
              "127.0.0.1 - - [09/Dec/2025:10:15:00 +0000] \"POST /authws/services/AuthenticationService?wsdl HTTP/1.1\" 200 571");
    EXPECT_EQ(AccessLog::Line("::1", 0, "GET /a\"b\n HTTP/1.1", 401, 0),
              "::1 - - [01/Jan/1970:00:00:00 +0000] \"GET /a\\\"b\\x0A HTTP/1.1\" 401 -")
        << "what the client sent cannot forge a line";
}

// Where the front loop and the admin end points take a request to end. The refusals' own
// answers are pinned over the wire by the service's tests.
TEST(HttpFraming, RequestsEndWhereTheirHeadAndLengthSay)
{
    const std::string post = "POST /s HTTP/1.1\r\nHost: h\r\n";
    const struct
    {
        const char* description;
        std::string bytes;
        bool complete;
        int refusal;
        bool headComplete;
    } cases[] = {
        {"head not yet ended", post + "Content-Length: 4\r\n", false, 0, false},
        {"head over the limit", std::string(64, 'x'), true, 0, true},
        {"body not yet whole", post + "Content-Length: 4\r\n\r\n<x/", false, 0, true},
        {"body whole", post + "content-length: 4\r\n\r\n<x/>", true, 0, true},
        {"empty body", post + "Content-Length: 0\r\n\r\n", true, 0, true},
        {"length over the limit, refused by whoever answers", post + "Content-Length: 101\r\n\r\n", true, 0, true},
        {"length not a number", post + "Content-Length: many\r\n\r\n", true, 0, true},
        {"chunked", post + "Transfer-Encoding: chunked\r\n\r\n", true, 400, true},
        {"two lengths", post + "Content-Length: 1\r\nContent-Length: 1\r\n\r\nx", true, 400, true},
        {"POST without a length", post + "\r\n", true, 411, true},
        {"GET without a length", "GET /healthz HTTP/1.1\r\n\r\n", true, 0, true},
        {"a length only in the body", post + "\r\nContent-Length: 4\r\n\r\n", true, 411, true},
    };
    for (const auto& c : cases) {
        const RequestFraming framing = FrameRequest(c.bytes, 64, 100);
        EXPECT_EQ(framing.complete, c.complete) << c.description;
        EXPECT_EQ(framing.refusal, c.refusal) << c.description;
        EXPECT_EQ(FrameHead(c.bytes, 64).complete, c.headComplete) << c.description;
        EXPECT_EQ(FrameHead(c.bytes, 64).refusal, 0) << c.description;
    }
    EXPECT_EQ(LengthWithin(" 100", 100), 100u);
    for (const char* refused : {"101", "-1", "", "x", "99999999999999999999999"})
        EXPECT_FALSE(LengthWithin(refused, 100)) << refused;
}

// A version 2 header: command byte, family byte, then what follows its 16 bytes.
std::string BinaryHeader(char command, char family, const std::string& following)
{
    const std::string signature("\r\n\r\n\0\r\nQUIT\n", 12);
    return signature + command + family + static_cast<char>(following.size() >> 8) +
           static_cast<char>(following.size() & 0xff) + following;
}

TEST(ProxyHeader, BothVersionsCarryTheClientAndAnythingElseIsRefused)
{
    using State = ProxyHeader::State;
    const std::string ip4Addresses("\xc0\x00\x02\x07\x0a\x00\x00\x05\x30\x39\x20\xfb", 12); // 192.0.2.7:12345 to 10.0.0.5:8443
    std::string ip6Addresses(36, '\0');
    ip6Addresses[0] = '\x20', ip6Addresses[1] = '\x01', ip6Addresses[2] = '\x0d', ip6Addresses[3] = '\xb8';
    ip6Addresses[15] = '\x01', ip6Addresses[32] = '\x30', ip6Addresses[33] = '\x39';
    const std::string tls = "\x16\x03\x01"; // a client hello follows the header
    const struct
    {
        const char* description;
        std::string bytes;
        State state;
        std::size_t length;
        std::string client; // "" when the balancer's own address stands
    } cases[] = {
        {"version 1, IPv4", "PROXY TCP4 192.0.2.7 10.0.0.5 12345 8443\r\n" + tls, State::Complete, 42, "192.0.2.7:12345"},
        {"version 1, IPv6", "PROXY TCP6 2001:db8::1 2001:db8::2 12345 8443\r\n", State::Complete, 47, "2001:db8::1:12345"},
        {"version 1, unknown", "PROXY UNKNOWN\r\n" + tls, State::Complete, 15, ""},
        {"version 1, not yet ended", "PROXY TCP4 192.0.2.7 10.0", State::Incomplete, 0, ""},
        {"version 1, only its start", "PRO", State::Incomplete, 0, ""},
        {"version 1, a NUL ending an address early", std::string("PROXY TCP4 192.0.2.7\0x 10.0.0.5 1 2\r\n", 37), State::Invalid,
         0, ""},
        {"version 1, a lone LF", "PROXY TCP4 192.0.2.7 10.0.0.5 12345 8443\n", State::Invalid, 0, ""},
        {"version 1, no end within 107 bytes", "PROXY TCP4 " + std::string(100, '1'), State::Invalid, 0, ""},
        {"version 1, an IPv6 address as TCP4", "PROXY TCP4 2001:db8::1 10.0.0.5 1 2\r\n", State::Invalid, 0, ""},
        {"version 1, a port too large", "PROXY TCP4 192.0.2.7 10.0.0.5 65536 8443\r\n", State::Invalid, 0, ""},
        {"version 1, a field too many", "PROXY TCP4 192.0.2.7 10.0.0.5 1 2 3\r\n", State::Invalid, 0, ""},
        {"version 1, a field missing", "PROXY TCP4 192.0.2.7 10.0.0.5 1\r\n", State::Invalid, 0, ""},
        {"version 1, UDP", "PROXY UDP4 192.0.2.7 10.0.0.5 1 2\r\n", State::Invalid, 0, ""},
        {"version 2, IPv4", BinaryHeader('\x21', '\x11', ip4Addresses) + tls, State::Complete, 28, "192.0.2.7:12345"},
        {"version 2, IPv6", BinaryHeader('\x21', '\x21', ip6Addresses), State::Complete, 52, "2001:db8::1:12345"},
        {"version 2, extensions after the addresses are skipped", BinaryHeader('\x21', '\x11', ip4Addresses + std::string("\x04\x00\x01x", 4)),
         State::Complete, 32, "192.0.2.7:12345"},
        {"version 2, LOCAL (the balancer's own check)", BinaryHeader('\x20', '\x00', ""), State::Complete, 16, ""},
        {"version 2, addresses not yet whole", BinaryHeader('\x21', '\x11', ip4Addresses).substr(0, 20), State::Incomplete, 0, ""},
        {"version 2, its signature only", BinaryHeader('\x21', '\x11', "").substr(0, 12), State::Incomplete, 0, ""},
        {"version 2, addresses too short for IPv4", BinaryHeader('\x21', '\x11', "\xc0\x00"), State::Invalid, 0, ""},
        {"version 2, UDP", BinaryHeader('\x21', '\x12', ip4Addresses), State::Invalid, 0, ""},
        {"version 3", BinaryHeader('\x31', '\x11', ip4Addresses), State::Invalid, 0, ""},
        {"version 2, an unknown command", BinaryHeader('\x22', '\x11', ip4Addresses), State::Invalid, 0, ""},
        {"version 2, more than may be waited for", BinaryHeader('\x21', '\x11', std::string(proxyHeaderLimit, 'x')),
         State::Invalid, 0, ""},
        {"a TLS client hello without a header", tls, State::Invalid, 0, ""},
        {"plain HTTP without a header", "POST / HTTP/1.1\r\n", State::Invalid, 0, ""},
    };
    for (const auto& c : cases) {
        const ProxyHeader header = ReadProxyHeader(c.bytes);
        EXPECT_EQ(header.state, c.state) << c.description;
        if (c.state != State::Complete)
            continue;
        EXPECT_EQ(header.length, c.length) << c.description;
        EXPECT_EQ(header.carriesClient, !c.client.empty()) << c.description;
        char text[INET6_ADDRSTRLEN] = "";
        int port = 0;
        if (header.client.ss_family == AF_INET) {
            const auto& ip4 = reinterpret_cast<const sockaddr_in&>(header.client);
            inet_ntop(AF_INET, &ip4.sin_addr, text, sizeof text);
            port = ntohs(ip4.sin_port);
        } else if (header.client.ss_family == AF_INET6) {
            const auto& ip6 = reinterpret_cast<const sockaddr_in6&>(header.client);
            inet_ntop(AF_INET6, &ip6.sin6_addr, text, sizeof text);
            port = ntohs(ip6.sin6_port);
        }
        EXPECT_EQ(c.client.empty() ? "" : std::string(text) + ":" + std::to_string(port), c.client) << c.description;
    }
}

} // namespace

struct ExtensionCase
{
    const char* description;
    std::vector<std::string> facts;
    std::uint64_t ram;
    int usage;
    const char* version;
    bool windows;
    std::vector<std::string> items; // name=value (kind), or name (advice: reason), in the answer's order
};

std::string Shown(const ExtensionItem& item)
{
    if (item.kind == ExtensionKind::advice)
        return item.name + " (advice: " + item.reason + ")";
    return item.name + "=" + item.value + (item.kind == ExtensionKind::set ? " (set)" : " (refine)");
}

TEST(ServiceRules, ExtensionItems)
{
    const ExtensionCase cases[] = {
        {"8 GB dedicated 15 on an SSD with 8 processors and an lz4 build, no huge pages reserved",
         {"cpus=8", "storage=ssd", "features=lz4,zstd,llvm", "hugepages_total=0", "hugepage_kb=2048", "colour=blue"},
         8192, 100, "15.4", false,
         {"random_page_cost=1.1 (refine)", "effective_io_concurrency=200 (set)", "maintenance_io_concurrency=200 (set)",
          "max_wal_size=4GB (set)", "min_wal_size=1GB (set)", "max_parallel_workers_per_gather=4 (set)",
          "max_parallel_maintenance_workers=4 (set)", "jit=off (set)", "wal_compression=lz4 (set)",
          "huge_pages (advice: reserve 1108 huge pages (vm.nr_hugepages))"}},
        {"1 GB development 12 on a disk, 300 connections today: more connections, work_mem at its floor",
         {"cpus=2", "storage=hdd", "max_connections_now=300"}, 1024, 33, "12.3", false,
         {"effective_io_concurrency=2 (set)", "max_connections=300 (refine)", "work_mem=4MB (refine)",
          "checkpoint_completion_target=0.9 (set)"}},
        {"64 GB mixed Windows 17, 32 processors, no lz4: no prefetching, 2047MB for autovacuum",
         {"cpus=32", "storage=ssd", "max_connections_now=50"}, 65536, 66, "17.2", true,
         {"random_page_cost=1.1 (refine)", "autovacuum_work_mem=2047MB (set)", "max_wal_size=2GB (set)",
          "min_wal_size=512MB (set)", "max_worker_processes=32 (set)", "max_parallel_workers=32 (set)",
          "max_parallel_maintenance_workers=4 (set)", "autovacuum_max_workers=5 (set)", "jit=off (set)",
          "wal_compression=on (set)"}},
        {"256 GB dedicated 18, storage unknown, little WAL space: max_wal_size a quarter of it",
         {"cpus=32", "storage=unknown", "wal_free_mb=6000", "hugepages_total=40000", "hugepage_kb=2048"}, 262144, 100,
         "18.1", false,
         {"autovacuum_work_mem=2GB (set)", "max_wal_size=1500MB (set)", "min_wal_size=375MB (set)",
          "max_worker_processes=32 (set)", "max_parallel_workers=32 (set)", "max_parallel_workers_per_gather=4 (set)",
          "max_parallel_maintenance_workers=4 (set)", "autovacuum_max_workers=5 (set)", "io_workers=8 (set)",
          "jit=off (set)", "wal_compression=on (set)"}},
        {"4 GB dedicated 8.3 with 16 processors: only what 8.3 has", {"cpus=16", "wal_free_mb=100"}, 4096, 100, "8.3.7",
         false,
         {"checkpoint_completion_target=0.9 (set)", "autovacuum_max_workers=4 (set)",
          "default_statistics_target=100 (set)"}},
        {"8 GB mixed 16, WAL space below 4GB: no WAL sizes; facts of a malformed form are unknown",
         {"wal_free_mb=3000", "cpus=eight", "storage=SSD", "max_connections_now=-5", "=", "storage"}, 8192, 66, "16.0",
         false, {"jit=off (set)", "wal_compression=on (set)"}},
    };
    for (const ExtensionCase& c : cases) {
        ValuesRequest request;
        request.ramMegabytes = c.ram;
        request.usage = c.usage;
        AnnouncedProfile profile;
        profile.version = ReadServerVersion(c.version);
        profile.windows = c.windows;
        std::vector<std::string> shown;
        for (const ExtensionItem& item :
             ComputeExtensions(ReadMachineFacts(c.facts), request, profile, ComputeValues(request, profile)))
            shown.push_back(Shown(item));
        EXPECT_EQ(shown, c.items) << c.description;
    }
}

// Over the grid of machines: every item is one the server of that version and platform has,
// a refinement is a value the wizard takes, the workers fit together, and every reason can
// stand on a note line.
TEST(ServiceRules, ExtensionItemsOverTheGrid)
{
    for (const char* version : {"8.3", "9.6", "12.4", "15.4", "17.2", "18.0"})
        for (const std::uint64_t gigabytes : {1ull, 8ull, 64ull, 256ull})
            for (const int usage : {33, 66, 100})
                for (const char* cpus : {"2", "8", "32"})
                    for (const char* storage : {"ssd", "hdd", "unknown"})
                        for (const bool windows : {false, true}) {
                            ValuesRequest request;
                            request.ramMegabytes = gigabytes * 1024;
                            request.usage = usage;
                            AnnouncedProfile profile;
                            profile.version = ReadServerVersion(version);
                            profile.windows = windows;
                            const auto values = ComputeValues(request, profile);
                            const MachineFacts facts = ReadMachineFacts(
                                {std::string("cpus=") + cpus, std::string("storage=") + storage,
                                 "max_connections_now=500", "hugepages_total=0", "hugepage_kb=2048", "features=lz4"});
                            TunedTarget target;
                            target.server = {profile.version, windows, false};
                            target.memoryKilobytes = request.ramMegabytes * 1024;
                            std::ostringstream what;
                            what << gigabytes << " GB, usage " << usage << ", " << version << ", " << cpus
                                 << " processors, " << storage << (windows ? ", Windows" : "");
                            int workerProcesses = 8;
                            int parallelWorkers = 8;
                            for (const ExtensionItem& item : ComputeExtensions(facts, request, profile, values)) {
                                EXPECT_LE(item.reason.size(), extensionReasonLimit) << item.name << ", " << what.str();
                                EXPECT_TRUE(std::all_of(item.reason.begin(), item.reason.end(),
                                                        [](char c) { return c >= 0x20 && c < 0x7F && c != '#'; }))
                                    << item.reason;
                                if (item.kind == ExtensionKind::advice) {
                                    EXPECT_EQ(item.value, "");
                                    continue;
                                }
                                const ExtensionParameter* row = FindExtensionParameter(item.name);
                                ASSERT_NE(row, nullptr) << item.name;
                                EXPECT_TRUE(ExtensionParameterApplies(*row, profile.version, windows))
                                    << item.name << ", " << what.str();
                                if (item.kind == ExtensionKind::refine) {
                                    std::size_t slot = 0;
                                    while (slot < tuningParameterCount && item.name != tuningParameterNames[slot])
                                        ++slot;
                                    ASSERT_LT(slot, tuningParameterCount) << item.name;
                                    EXPECT_TRUE(IsSoundTunedValue(slot, item.value, target))
                                        << item.name << " = " << item.value << ", " << what.str();
                                }
                                if (item.name == "max_worker_processes")
                                    workerProcesses = std::stoi(item.value);
                                if (item.name == "max_parallel_workers")
                                    parallelWorkers = std::stoi(item.value);
                            }
                            EXPECT_LE(parallelWorkers, workerProcesses) << what.str();
                        }
}
